// noisegauge's failure routes, each driven through the fake platform.
#include <string>

#include "noisegauge/pnf_entropy_scan.h"
#include "tests/fault/fault_test.h"

namespace {

const WideString kInf = u"D:\\WINNT\\inf\\";

// 256 bytes holding every value once: windows of entropy 1.0 and 0.875.
std::string EveryByte() {
  std::string bytes;
  for (int value = 0; value < 256; ++value) bytes.push_back(value);
  return bytes;
}

FakeFile Holding(const std::string& bytes) {
  FakeFile file;
  file.bytes = bytes;
  return file;
}

std::string Checking(const std::string& name) {
  return "INFO: Checking file " + name + "\n";
}

std::string Above(const std::string& name, const std::string& average) {
  return "SUSPICIOUS: The entropy of " + name +
         " is above threshold: " + average + "\r\n";
}

// x.pnf, the file under test, and y.pnf after it (average 0.9375), whose
// report shows that the walk went on.
void AddPnfs(const FakeFile& x) {
  fake.files[kInf + u"x.pnf"] = x;
  fake.files[kInf + u"y.pnf"] = Holding(EveryByte());
}

const std::string kNextFile = Checking("y.pnf") + Above("y.pnf", "0.937500");
const std::string kNextLogged = Above("y.pnf", "0.937500");

using PnfEntropyFault = FaultTest;

TEST_F(PnfEntropyFault, AFailedReadEndsTheFileWithTheWindowsSoFar) {
  // Every byte value once, then 768 zeros: the windows have entropies 1.0,
  // 0.5625 and six times 0, an average of 0.195 that is not reported. A bad
  // spot fails the first window that holds it, and leaves the average of
  // the windows before it.
  const std::string kReadError =
      "ERROR: x.pnf - Could not read the specified file. Error code: "
      "0x45d\r\n";
  const struct {
    int64_t unreadable_at;
    std::string said;  // on the console and in the log
  } cases[] = {
      {-1, ""},
      {100, kReadError},  // in the first window: no average at all
      {300, kReadError + Above("x.pnf", "1.000000")},
      {400, kReadError + Above("x.pnf", "0.781250")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.unreadable_at);
    Restart();
    FakeFile x = Holding(EveryByte() + std::string(768, '\0'));
    x.unreadable_at = c.unreadable_at;
    AddPnfs(x);
    ScanPnfEntropy();
    EXPECT_EQ(FakeConsole(), Checking("x.pnf") + c.said + kNextFile);
    EXPECT_EQ(FakeLogText(), kStartLine + c.said + kNextLogged);
  }
}

TEST_F(PnfEntropyFault, AFailedStepBackIsShownOnTheConsoleOnly) {
  // 300 bytes: windows [0, 256) and [128, 300), entropies 1.0 and
  // log256(172); the step back after the last one fails.
  FakeFile x = Holding(EveryByte() + EveryByte().substr(0, 44));
  x.step_fails_at = 300;
  AddPnfs(x);
  ScanPnfEntropy();
  EXPECT_EQ(FakeConsole(),
            Checking("x.pnf") +
                "ERROR: x.pnf - Could not set file pointer. Error code: "
                "0x45d\r\n" +
                Above("x.pnf", "0.964142") + kNextFile);
  EXPECT_EQ(FakeLogText(),
            kStartLine + Above("x.pnf", "0.964142") + kNextLogged);
}

// A name holding line ends and terminal controls is still measured, and in
// its messages they travel as escape units.
TEST_F(PnfEntropyFault, ANameCannotEndALogLine) {
  Restart();
  fake.files[kInf + u"a\r\nSUSPICIOUS: forged\x07.pnf"] = Holding(EveryByte());
  ScanPnfEntropy();
  const std::string shown =
      "a\xEF\xBF\xBD\xEF\xBF\xBDSUSPICIOUS: forged\xEF\xBF\xBD.pnf";
  EXPECT_EQ(FakeConsole(), Checking(shown) + Above(shown, "0.937500"));
  EXPECT_EQ(FakeLogText(), kStartLine + Above(shown, "0.937500"));
}

TEST_F(PnfEntropyFault, FolderAndEntryFailures) {
  const std::string kFolderError =
      "ERROR: Could not retrieve windows directory. Error code: 0xcb\r\n";
  const std::string kOpenError =
      "ERROR: x.pnf - Could not open PNF file for reading. Error code: "
      "0x20\r\n";
  const WalkCase cases[] = {
      {"Windows folder unavailable: c:\\WINDOWS is walked",
       [] {
         fake.windows_folder_error = 0xcb;
         AddPnfs(Holding(EveryByte()));
         fake.files[u"c:\\WINDOWS\\inf\\c.pnf"] = Holding(EveryByte());
       },
       kFolderError + Checking("c.pnf") + Above("c.pnf", "0.937500"),
       kFolderError + Above("c.pnf", "0.937500")},
      {"enumeration failing at start",
       [] {
         fake.enumeration_error = kErrorFileNotFound;
         AddPnfs(Holding(EveryByte()));
       },
       "ERROR: Could not get directory entry. Error code: 0x2\r\n",
       "ERROR: Could not get directory entry. Error code: 0x2\r\n"},
      {"enumeration ending early, without a word",
       [] {
         fake.entries_before_end = 1;
         AddPnfs(Holding(EveryByte()));
       },
       Checking("x.pnf") + Above("x.pnf", "0.937500"),
       Above("x.pnf", "0.937500")},
      {"entry that cannot be opened",
       [] {
         FakeFile x = Holding(EveryByte());
         x.open_error = kErrorSharingViolation;
         AddPnfs(x);
       },
       Checking("x.pnf") + kOpenError + kNextFile, kOpenError + kNextLogged},
  };
  ExpectEachCase(cases, ScanPnfEntropy);
}

}  // namespace
