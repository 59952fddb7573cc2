// drvscan run as a user runs it: on a Windows folder named by SystemRoot,
// and the Windows build under Wine on the prefix's own drivers folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include "tests/e2e/harness.h"
#include "tests/e2e/messages.h"

namespace {

struct Signature {
  const char* name;
  std::string bytes;
};

// The eleven signatures, written out here again so that the tests do not
// take them from the code they test.
const Signature kSignatures[] = {
    {"decrypt magic1", "\xb8\x5c\x17\xe9\x42"},
    {"decrypt magic2", "\x56\x81\xf1\x3a\x90\x6e\x2b"},
    {"unknown magic", "\x44\x24\x10\x50\x51\x55\x6a\x02\x53"},
    {"imul magic1", "\x69\xc0\xd5\x0b\x8e\x61"},
    {"C6 2A xor", "\x57\xb9\x2a\xc6\x2a\xc6\xeb\x0d"},
    {"30 76 60",
     std::string("\x30\x76\x60\x8d\x49\x00\x8b\x54\x24\x44\x8d\x1c\x16\x83"
                 "\xc6\x0c",
                 16)},
    {"89 74 24",
     "\x89\x74\x24\x4c\x8d\x74\x24\x3c\x8d\x44\x24\x44\xe8\x75\xfe\xff"},
    {"FF 8D 74",
     "\xff\x8d\x74\x24\x2c\x8d\x44\x24\x44\xe8\x68\xfe\xff\xff\x8b\x74"},
    {"83 FE 07",
     "\x83\xfe\x07\x7e\xd6\xeb\x03\x83\xc6\x01\x83\xee\x02\x78\x13\x8b"},
    {"1D C4 33",
     std::string("\x1d\xc4\x33\x01\x00\x90\x8b\x54\xb4\x38\x52\xff\xd3\x83"
                 "\xee\x01",
                 16)},
    {"79 F4 8B",
     "\x79\xf4\x8b\xc7\x5f\x5e\x5d\x5b\x83\xc4\x4c\xc3\xcc\xcc\xcc\xcc"},
};

// What drvscan says first when it runs as a 32-bit program on 64-bit
// Windows.
const char kWow64Warning[] =
    "WARNING: 64-bit system is detected. Some drivers may remain unchecked. "
    "Note that Vorl currently does not use 64-bit kernel drivers!\r\n";

// Filler that holds none of the signatures.
std::string Filler(size_t size) { return std::string(size, '\x90'); }

const Signature& Row(int number) { return kSignatures[number - 1]; }

// The console report of a hit: the text, then the bytes eight to a line.
std::string Hit(int row) {
  const Signature& s = Row(row);
  std::string out =
      std::string("SUSPICIOUS: Pattern ") + s.name + " is matching: ";
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < s.bytes.size(); ++i) {
    if (i % 8 == 0) out += "\n";
    unsigned char b = s.bytes[i];
    out += {kHex[b >> 4], kHex[b & 15], ' '};
  }
  return out + "\n";
}

std::string Logged(const std::string& file, int row) {
  return "SUSPICIOUS: File " + file + " matches pattern called " +
         Row(row).name + "\r\n";
}

std::string Skipped(int row) {
  return std::string("\nINFO: Skipping current pattern \"") + Row(row).name +
         "\" [buffer length < pattern length]\n";
}

// What a drivers folder holds and what drvscan must say about it.
struct DriverFixture {
  std::vector<std::pair<std::string, std::string>> files;
  std::vector<std::string> folders;
  std::string console;  // in walk order
  std::string log;      // after the start line, as UTF-8 text
};

// Hits and misses, empty and tiny files, the 64 KiB boundary and a folder
// whose name matches the pattern.
DriverFixture MixedDrivers() {
  DriverFixture f;
  // Rows 9 and 2 in this order, row 1 three times, rows 7 and 8 sharing
  // one byte.
  std::string a = Filler(40) + Row(9).bytes + Filler(3) + Row(2).bytes +
                  Row(1).bytes + Filler(7) + Row(1).bytes + Row(1).bytes +
                  Row(7).bytes + Row(8).bytes.substr(1) + Filler(5);
  f.files.push_back({"a.sys", a});
  f.files.push_back({"b.sys", Filler(100)});
  std::string big(65536, '\0');
  big.replace(65536 - 16, 16, Row(6).bytes);
  f.files.push_back({"big64k.sys", big});
  f.files.push_back({"empty.sys", ""});
  f.files.push_back({"exact.sys", Row(1).bytes});
  f.files.push_back({"notes.txt", Row(1).bytes});
  std::string straddle(65537, '\x01');
  straddle.replace(65536 - 8, 16, Row(7).bytes);
  f.files.push_back({"straddle.sys", straddle});
  f.files.push_back({"tiny.sys", "\xb8\x5c\x17\xe9"});
  f.folders.push_back("x.sys");

  f.console = Checking("a.sys") + Hit(1) + Hit(2) + Hit(7) + Hit(8) + Hit(9) +
              Checking("b.sys") + Checking("big64k.sys") + Hit(6) +
              Checking("empty.sys") + Checking("exact.sys") + Hit(1);
  for (int row = 2; row <= 11; ++row) f.console += Skipped(row);
  f.console += Checking("straddle.sys") + Hit(7) + Checking("tiny.sys");
  for (int row = 1; row <= 11; ++row) f.console += Skipped(row);
  f.console += "ERROR: Could not read the specified file. Error code: 0x5\n";
  f.log = Logged("a.sys", 1) + Logged("a.sys", 2) + Logged("a.sys", 7) +
          Logged("a.sys", 8) + Logged("a.sys", 9) + Logged("big64k.sys", 6) +
          Logged("exact.sys", 1) + Logged("straddle.sys", 7);
  return f;
}

DriverFixture OneFile(const std::string& name, const std::string& bytes) {
  DriverFixture fixture;
  fixture.files.push_back({name, bytes});
  return fixture;
}

void Lay(const DriverFixture& fixture, const std::string& drivers) {
  MakeFolders(drivers);
  for (const auto& [name, bytes] : fixture.files)
    WriteFileBytes(drivers + "/" + name, bytes);
  for (const std::string& name : fixture.folders)
    MakeFolders(drivers + "/" + name);
}

void Clear(const DriverFixture& fixture, const std::string& drivers) {
  for (const auto& [name, bytes] : fixture.files)
    RemoveTree(drivers + "/" + name);
  for (const std::string& name : fixture.folders)
    RemoveTree(drivers + "/" + name);
}

// A Windows folder below a temporary folder, its names in other cases than
// the ones the kit asks for, as on a mounted volume.
class NativeDrvscan : public testing::Test {
 protected:
  std::string windows() const { return temp_.path() + "/Windows"; }
  std::string drivers() const { return windows() + "/System32/Drivers"; }
  std::string log_path() const { return temp_.path() + "/case.log"; }

  RunResult Run(std::vector<std::string> args = {"case.log"}) {
    return RunNative("drvscan",
                     OptionsIn(temp_.path(), std::move(args), windows()));
  }

  std::string LogText() {
    return LogTextAfterStart(log_path(), NativeProgram("drvscan"));
  }

  TempFolder temp_;
};

TEST_F(NativeDrvscan, ReportsHitsInWalkOrder) {
  DriverFixture fixture = MixedDrivers();
  Lay(fixture, drivers());
  RunResult run = Run();
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.console, fixture.console);
  EXPECT_EQ(LogText(), fixture.log);
}

TEST_F(NativeDrvscan, FolderFailuresAreLoggedAndEchoed) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;
    bool make_drivers;
    const char* message;
  } cases[] = {
      {"no *.sys entry",
       {{"readme.txt", "x"}},
       true,
       "ERROR: Could not find the specified file. Error code: 0x2\r\n"},
      {"no drivers folder",
       {},
       false,
       "ERROR: Could not find the specified file. Error code: 0x3\r\n"},
  };
  for (const Case& c : cases) {
    RemoveTree(windows());
    RemoveTree(log_path());
    MakeFolders(windows() + "/System32");
    if (c.make_drivers) MakeFolders(drivers());
    for (const auto& [name, bytes] : c.files)
      WriteFileBytes(drivers() + "/" + name, bytes);
    RunResult run = Run();
    EXPECT_EQ(run.exit_code, 0) << c.what;
    EXPECT_EQ(run.console, c.message) << c.what;
    EXPECT_EQ(LogText(), c.message) << c.what;
  }
}

TEST_F(NativeDrvscan, WithoutSystemRootWalksThePresetFolder) {
  // The preset c:\WINDOWS\system32 is a relative path on Linux: lay it out
  // below the current folder to see that the walk really uses it.
  Lay(OneFile("c.sys", Filler(8) + Row(5).bytes),
      temp_.path() + "/c:/WINDOWS/system32/drivers");
  RunResult run = RunNative("drvscan", OptionsIn(temp_.path(), {"case.log"}));
  const std::string kError =
      "ERROR: Could not retrieve system directory. Error code: 0xcb\r\n";
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.console, kError + Checking("c.sys") + Hit(5));
  EXPECT_EQ(LogText(), kError + Logged("c.sys", 5));
}

TEST_F(NativeDrvscan, AppendsToALogThatHoldsText) {
  Lay(OneFile("c.sys", Filler(8) + Row(5).bytes), drivers());
  const std::string earlier = Utf16Le("earlier run\r\n");
  WriteFileBytes(log_path(), earlier);
  ASSERT_EQ(Run().exit_code, 0);
  std::string log = ReadFileBytes(log_path());
  ASSERT_EQ(log.compare(0, earlier.size(), earlier), 0);
  EXPECT_EQ(FromUtf16Le(AfterStartLine(log.substr(earlier.size()),
                                       NativeProgram("drvscan"))),
            Logged("c.sys", 5));
}

TEST_F(NativeDrvscan, TakesTheDefaultLogUnlessExactlyOnePathIsGiven) {
  Lay(OneFile("c.sys", Filler(8) + Row(5).bytes), drivers());
  const std::string default_log = temp_.path() + "/zazovavadera_log.txt";
  for (auto args : {std::vector<std::string>{},
                    std::vector<std::string>{"case.log", "extra"}}) {
    RemoveTree(default_log);
    RunResult run = Run(args);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.console, kMissingArgumentNotice + Checking("c.sys") + Hit(5));
    EXPECT_EQ(FromUtf16Le(AfterStartLine(ReadFileBytes(default_log),
                                         NativeProgram("drvscan"))),
              Logged("c.sys", 5));
    EXPECT_NE(access(log_path().c_str(), F_OK), 0) << "given path was used";
  }
}

TEST_F(NativeDrvscan, UnopenableLogEndsTheRunWithExitCode1) {
  Lay(MixedDrivers(), drivers());
  RunResult missing = Run({"missing/case.log"});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(missing.console,
            "ERROR: Could not create log file. Error code: 0x3\n");

  int held = open(log_path().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  RunResult busy = Run();
  close(held);
  EXPECT_EQ(busy.exit_code, 1);
  EXPECT_EQ(busy.console,
            "ERROR: Could not create log file. Error code: 0x20\n");
  EXPECT_EQ(ReadFileBytes(log_path()), "");
}

TEST_F(NativeDrvscan, FailingLogWritesAreReportedAndTheRunGoesOn) {
  Lay(OneFile("c.sys", Filler(8) + Row(5).bytes), drivers());
  RunResult run = Run({"/dev/full"});
  const std::string kWriteError =
      "ERROR: Could not write into log file. Error code: 0x70\n";
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.console,
            kWriteError + Checking("c.sys") + Hit(5) + kWriteError);

  // A route that echoes still shows its message after the write error.
  RemoveTree(drivers());
  RunResult empty = Run({"/dev/full"});
  EXPECT_EQ(
      empty.console,
      kWriteError + kWriteError +
          "ERROR: Could not find the specified file. Error code: 0x3\r\n");
}

// The Windows builds under Wine, each on the drivers folder of its system
// folder in the prefix, where Wine's drivers may lie beside the fixtures.
// The 32-bit drvscan runs as on 64-bit Windows: redirected to syswow64, and
// with the 64-bit warning before anything else.
class WineDrvscan : public testing::TestWithParam<WindowsBuild> {
 protected:
  void SetUp() override {
    SKIP_OR_FAIL_WITHOUT(GetParam());
    drivers_ = WineSystemFolder(GetParam()) + "/drivers";
    own_ = ListFolder(drivers_);
  }

  RunResult Run(std::vector<std::string> args = {"case.log"}) {
    return RunWindows(GetParam(), "drvscan",
                      OptionsIn(temp_.path(), std::move(args)));
  }

  std::string LogText(const std::string& name = "case.log") {
    return LogTextAfterStart(temp_.path() + "/" + name, "drvscan.exe");
  }

  std::string Console(const RunResult& run) {
    return NormaliseLineEnds(WithoutCheckingLines(run.console, own_));
  }

  // What comes first in the log and on the console after the start line.
  std::string Warning() { return GetParam().wow64 ? kWow64Warning : ""; }

  TempFolder temp_;
  std::string drivers_;
  std::vector<std::string> own_;
};

TEST_P(WineDrvscan, ReportsHitsInWalkOrder) {
  DriverFixture fixture = MixedDrivers();
  Lay(fixture, drivers_);
  RunResult run = Run();
  Clear(fixture, drivers_);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(Console(run), NormaliseLineEnds(Warning() + fixture.console));
  EXPECT_EQ(LogText(), Warning() + fixture.log);
}

TEST_P(WineDrvscan, StartUpAndLogHandling) {
  DriverFixture one = OneFile("zz_c.sys", Filler(8) + Row(5).bytes);
  Lay(one, drivers_);
  WriteFileBytes(temp_.path() + "/case.log", Utf16Le("earlier\r\n"));
  RunResult appended = Run();
  RunResult no_argument = Run({});
  RunResult extra = Run({"other.log", "extra"});
  RunResult missing = Run({"missing\\case.log"});
  Clear(one, drivers_);

  const std::string expected =
      NormaliseLineEnds(Warning()) + Checking("zz_c.sys") + Hit(5);
  const std::string logged = Warning() + Logged("zz_c.sys", 5);
  EXPECT_EQ(Console(appended), expected);
  std::string log = ReadFileBytes(temp_.path() + "/case.log");
  EXPECT_EQ(log.substr(0, 18), Utf16Le("earlier\r\n"));
  EXPECT_EQ(FromUtf16Le(AfterStartLine(log.substr(18), "drvscan.exe")), logged);

  EXPECT_EQ(Console(no_argument),
            NormaliseLineEnds(kMissingArgumentNotice) + expected);
  EXPECT_EQ(Console(extra),
            NormaliseLineEnds(kMissingArgumentNotice) + expected);
  // Both runs went to the default log, one after the other.
  std::string runs = AfterStartLine(
      ReadFileBytes(temp_.path() + "/zazovavadera_log.txt"), "drvscan.exe");
  const std::string first = Utf16Le(logged);
  ASSERT_EQ(runs.compare(0, first.size(), first), 0);
  EXPECT_EQ(
      FromUtf16Le(AfterStartLine(runs.substr(first.size()), "drvscan.exe")),
      logged);
  EXPECT_NE(access((temp_.path() + "/other.log").c_str(), F_OK), 0);

  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(NormaliseLineEnds(missing.console),
            "ERROR: Could not create log file. Error code: 0x3\n");
}

// Wine, as Windows on volumes that keep 8.3 short names, matches "*.sys"
// against the short name too: x.sysx is found through X~1.SYS. The POSIX
// layer sees no short names.
TEST_P(WineDrvscan, MatchesShortNamesAsWindowsDoes) {
  DriverFixture fixture = OneFile("zz_long.sysx", Filler(8) + Row(5).bytes);
  Lay(fixture, drivers_);
  RunResult run = Run();
  Clear(fixture, drivers_);
  EXPECT_EQ(Console(run),
            NormaliseLineEnds(Warning()) + Checking("zz_long.sysx") + Hit(5));
  EXPECT_EQ(LogText(), Warning() + Logged("zz_long.sysx", 5));
}

INSTANTIATE_TEST_SUITE_P(Wine, WineDrvscan, testing::ValuesIn(WindowsBuilds()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
