// drvscan's failure routes, each driven through the fake platform.
#include <string>

#include "drvscan/driver_scan.h"
#include "tests/fault/fault_test.h"

namespace {

const WideString kDrivers = u"D:\\WINNT\\system32\\drivers\\";

const std::string kRow1 = "\xb8\x5c\x17\xe9\x42";
const std::string kRow5 = "\x57\xb9\x2a\xc6\x2a\xc6\xeb\x0d";
const std::string kRow11 =
    "\x79\xf4\x8b\xc7\x5f\x5e\x5d\x5b\x83\xc4\x4c\xc3\xcc\xcc\xcc\xcc";
const char kHit1[] =
    "SUSPICIOUS: Pattern decrypt magic1 is matching: \nb8 5c 17 e9 42 \n";
const char kHit5[] =
    "SUSPICIOUS: Pattern C6 2A xor is matching: \n57 b9 2a c6 2a c6 eb 0d \n";
const char kHit11[] =
    "SUSPICIOUS: Pattern 79 F4 8B is matching: \n"
    "79 f4 8b c7 5f 5e 5d 5b \n83 c4 4c c3 cc cc cc cc \n";

const std::string kReadError =
    "ERROR: Could not open file for reading. Error code: 0x45d\r\n";
const std::string kMemoryError =
    "ERROR: Could not open file for reading. Error code: 0x8\r\n";
const std::string kSystemFolderError =
    "ERROR: Could not retrieve system directory. Error code: 0xcb\r\n";
const char kWarning[] =
    "WARNING: 64-bit system is detected. Some drivers may remain unchecked. "
    "Note that Vorl currently does not use 64-bit kernel drivers!\r\n";

std::string Checking(const std::string& name) {
  return "INFO: Checking file " + name + "\n";
}

std::string Logged(const std::string& file, const std::string& pattern) {
  return "SUSPICIOUS: File " + file + " matches pattern called " + pattern +
         "\r\n";
}

FakeFile Holding(const std::string& bytes) {
  FakeFile file;
  file.bytes = bytes;
  return file;
}

// `size` bytes of filler, row 1 at the start and, when it fits, row 11 at
// the start of the second 64 KiB chunk.
FakeFile Driver(size_t size) {
  FakeFile file;
  file.bytes.assign(size, '\x90');
  file.bytes.replace(0, kRow1.size(), kRow1);
  if (size >= 65536 + kRow11.size())
    file.bytes.replace(65536, kRow11.size(), kRow11);
  return file;
}

// Row 5 after filler: 16 bytes, so that no signature is skipped.
FakeFile WithRow5() { return Holding(std::string(8, '\x90') + kRow5); }

// a.sys, the file under test, and b.sys after it, whose scan shows that the
// walk went on.
void AddDrivers(const FakeFile& a) {
  fake.files[kDrivers + u"a.sys"] = a;
  fake.files[kDrivers + u"b.sys"] = WithRow5();
}

const std::string kNextFile = Checking("b.sys") + kHit5;
const std::string kNextLogged = Logged("b.sys", "C6 2A xor");

using DriverScanFault = FaultTest;

TEST_F(DriverScanFault, AFailedReadDropsWhatWasReadOfTheFile) {
  const struct {
    const char* what;
    size_t size;
    int64_t unreadable_at;
  } cases[] = {
      {"the first read", 1000, 500},
      {"after the first chunk", 150000, 70000},
      {"after the second chunk, the last one's read", 150000, 140000},
      {"the empty read after the last full chunk", 131072, 131072},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Restart();
    FakeFile a = Driver(c.size);
    a.unreadable_at = c.unreadable_at;
    AddDrivers(a);
    ScanDriverFolder();
    EXPECT_EQ(FakeConsole(), Checking("a.sys") + kReadError + kNextFile);
    EXPECT_EQ(FakeLogText(), kStartLine + (kReadError + kNextLogged));
  }

  // Read whole, the same files show their signatures.
  for (size_t size : {150000, 131072}) {
    Restart();
    AddDrivers(Driver(size));
    ScanDriverFolder();
    EXPECT_EQ(FakeConsole(), Checking("a.sys") + kHit1 + kHit11 + kNextFile);
  }
}

TEST_F(DriverScanFault, MemoryRunningOutIsAReadErrorWithCode0x8) {
  const struct {
    const char* what;
    int allocations;
    bool size_unknown;
  } cases[] = {
      {"the first buffer", 0, false},
      {"the first buffer, the size unknown", 0, true},
      {"growing the buffer for the second chunk", 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Restart();
    FakeFile a = Driver(150000);
    a.allocations = c.allocations;
    a.size_unknown = c.size_unknown;
    AddDrivers(a);
    ScanDriverFolder();
    EXPECT_EQ(FakeConsole(), Checking("a.sys") + kMemoryError + kNextFile);
    EXPECT_EQ(FakeLogText(), kStartLine + (kMemoryError + kNextLogged));
  }
}

// The buffer of a walk grows for a larger file into a fresh block, so that
// the old file's bytes are not copied along, and to at least twice its room,
// so that ever larger files take few blocks: here c.sys takes room for
// d.sys too, for which no allocation would succeed.
TEST_F(DriverScanFault, GrowingForALargerFileTakesAFreshBlockWithRoomToSpare) {
  Restart();
  AddDrivers(Driver(150000));
  fake.files[kDrivers + u"c.sys"] = Driver(200000);
  FakeFile d = Driver(290000);
  d.allocations = 0;
  fake.files[kDrivers + u"d.sys"] = d;
  ScanDriverFolder();
  EXPECT_EQ(fake.block_moves, 0);
  const std::string hits = kHit1 + std::string(kHit11);
  EXPECT_EQ(FakeConsole(), Checking("a.sys") + hits + kNextFile +
                               Checking("c.sys") + hits + Checking("d.sys") +
                               hits);
}

// When no block can be had for a larger file, even after the old one was
// given back, the walk reports it and goes on; a smaller file after it then
// gets a block of its own.
TEST_F(DriverScanFault, AFileThatFindsNoRoomLeavesTheWalkGoing) {
  Restart();
  AddDrivers(Driver(150000));
  FakeFile c = Driver(400000);
  c.allocations = 0;
  fake.files[kDrivers + u"c.sys"] = c;
  fake.files[kDrivers + u"d.sys"] = Driver(100000);
  ScanDriverFolder();
  const std::string hits = kHit1 + std::string(kHit11);
  EXPECT_EQ(FakeConsole(), Checking("a.sys") + hits + kNextFile +
                               Checking("c.sys") + kMemoryError +
                               Checking("d.sys") + hits);
  EXPECT_EQ(FakeLogText(), kStartLine + Logged("a.sys", "decrypt magic1") +
                               Logged("a.sys", "79 F4 8B") + kNextLogged +
                               kMemoryError +
                               Logged("d.sys", "decrypt magic1") +
                               Logged("d.sys", "79 F4 8B"));
}

// A name written to the volume other than through Windows may hold line
// ends and terminal controls: it is still scanned, and in its messages they
// travel as escape units, so it cannot forge a line of the log.
TEST_F(DriverScanFault, ANameCannotEndALogLine) {
  Restart();
  fake.files[kDrivers + u"a\r\nSUSPICIOUS: forged\x1B[2J.sys"] = WithRow5();
  ScanDriverFolder();
  const std::string shown =
      "a\xEF\xBF\xBD\xEF\xBF\xBDSUSPICIOUS: forged\xEF\xBF\xBD[2J.sys";
  EXPECT_EQ(FakeConsole(), Checking(shown) + kHit5);
  EXPECT_EQ(FakeLogText(), kStartLine + Logged(shown, "C6 2A xor"));
  // The log keeps the control as the unit 0xDC00 + its value.
  EXPECT_NE(fake.log.find(std::string("a\0\x0D\xDC\x0A\xDC", 6)),
            std::string::npos);
}

TEST_F(DriverScanFault, FolderAndEntryFailures) {
  const WalkCase cases[] = {
      {"system folder unavailable: the preset folder is walked",
       [] {
         fake.system_folder_error = 0xcb;
         AddDrivers(Holding(""));
         fake.files[u"c:\\WINDOWS\\system32\\drivers\\c.sys"] = WithRow5();
       },
       kSystemFolderError + Checking("c.sys") + kHit5,
       kSystemFolderError + Logged("c.sys", "C6 2A xor")},
      {"64-bit Windows: the warning after the system folder's error",
       [] {
         fake.system_folder_error = 0xcb;
         fake.wow64 = true;
         fake.files[u"c:\\WINDOWS\\system32\\drivers\\c.sys"] = WithRow5();
       },
       kSystemFolderError + kWarning + Checking("c.sys") + kHit5,
       kSystemFolderError + kWarning + Logged("c.sys", "C6 2A xor")},
      {"enumeration failing at start",
       [] {
         fake.enumeration_error = kErrorPathNotFound;
         AddDrivers(Holding(kRow1));
       },
       "ERROR: Could not find the specified file. Error code: 0x3\r\n",
       "ERROR: Could not find the specified file. Error code: 0x3\r\n"},
      {"enumeration ending early, without a word",
       [] {
         fake.entries_before_end = 1;
         AddDrivers(Driver(100));
       },
       Checking("a.sys") + kHit1, Logged("a.sys", "decrypt magic1")},
      {"entry that cannot be opened: on the console only",
       [] {
         FakeFile a = Driver(100);
         a.open_error = kErrorSharingViolation;
         AddDrivers(a);
       },
       "ERROR: Could not read the specified file. Error code: 0x20\n" +
           kNextFile,
       kNextLogged},
  };
  ExpectEachCase(cases, ScanDriverFolder);
}

// A drivers folder compared with the raw volume: what the listing hides is
// reported and scanned, and what the system reads otherwise than the volume
// holds is reported once it still differs after a moment, its bytes on the
// disk scanned for the signatures not found already.
class DriverCrossViewFault : public FaultTest {
 protected:
  void Compared() {
    Restart();
    fake.comparison.state = FolderComparison::State::kRan;
    fake.comparison.volume = u"\\\\.\\D:";
  }
};

const std::string kCompared =
    "INFO: Comparing the folder D:\\WINNT\\system32\\drivers with the raw "
    "NTFS volume \\\\.\\D:\r\n";

std::string Masked(const std::string& name) {
  return "SUSPICIOUS: The system reads " + name + " otherwise than on disk\r\n";
}

TEST_F(DriverCrossViewFault, ScansWhatTheListingHides) {
  Compared();
  AddDrivers(Holding(std::string(8, '\x90') + kRow11));
  fake.hidden.insert(kDrivers + u"a.sys");
  ScanDriverFolder();
  const std::string hidden = "SUSPICIOUS: The folder listing hides a.sys\r\n";
  EXPECT_EQ(FakeConsole(),
            kCompared + hidden + Checking("a.sys") + kHit11 + kNextFile);
  EXPECT_EQ(FakeLogText(), kStartLine + kCompared + hidden +
                               Logged("a.sys", "79 F4 8B") + kNextLogged);
  EXPECT_EQ(fake.refreshes, 0);
}

TEST_F(DriverCrossViewFault, ReportsBytesThatReadOtherwiseThanOnDisk) {
  const std::string clean(24, '\x90');
  const std::string both = kRow1 + std::string(8, '\x90') + kRow11;
  const struct {
    const char* what;
    std::string read, on_disk, on_disk_later;
    std::string console, log;
  } cases[] = {
      {"a signature only on the disk", clean, both, both,
       Checking("a.sys") + Masked("a.sys") + kHit1 + kHit11,
       Masked("a.sys") + Logged("a.sys", "decrypt magic1") +
           Logged("a.sys", "79 F4 8B")},
      {"a signature read and on the disk: reported once",
       kRow1 + std::string(20, '\x90'), both, both,
       Checking("a.sys") + kHit1 + Masked("a.sys") + kHit11,
       Logged("a.sys", "decrypt magic1") + Masked("a.sys") +
           Logged("a.sys", "79 F4 8B")},
      {"the disk catches up after a moment", clean, both, clean,
       Checking("a.sys"), ""},
      {"the same bytes", clean, clean, clean, Checking("a.sys"), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Compared();
    AddDrivers(Holding(c.read));
    fake.on_volume[kDrivers + u"a.sys"] = c.on_disk;
    fake.refreshed[kDrivers + u"a.sys"] = c.on_disk_later;
    fake.on_volume[kDrivers + u"b.sys"] = WithRow5().bytes;
    ScanDriverFolder();
    EXPECT_EQ(FakeConsole(), kCompared + c.console + kNextFile);
    EXPECT_EQ(FakeLogText(), kStartLine + kCompared + c.log + kNextLogged);
    EXPECT_EQ(fake.refreshes, c.read == c.on_disk ? 0 : 1);
  }
}

}  // namespace
