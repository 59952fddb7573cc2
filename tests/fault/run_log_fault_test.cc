// The run log when writes fail one at a time: the failing message is missing
// from the log, its route still shows it on the console, and every later
// write is tried again.
#include <string>
#include <vector>

#include "drvscan/driver_scan.h"
#include "noisegauge/pnf_entropy_scan.h"
#include "pairscan/pnf_pairs.h"
#include "tests/fault/fault_test.h"

namespace {

const char kWriteError[] =
    "ERROR: Could not write into log file. Error code: 0x70\n";

using RunLogFault = FaultTest;

TEST_F(RunLogFault, TheNthWriteFailing) {
  // pairscan's findings go to the console first, then to the log: the write
  // error follows the finding it belongs to. Write 1 is the start line.
  const std::vector<std::string> stems = {
      "D:\\WINNT\\inf\\a", "D:\\WINNT\\inf\\b", "D:\\WINNT\\inf\\c"};
  for (int failing = 1; failing <= 4; ++failing) {
    SCOPED_TRACE(failing);
    End();
    ResetFake();
    fake.failing_writes = {failing};
    for (const std::string& stem : stems)
      fake.files[WideFromNative(stem + ".pnf")] = FakeFile();
    StartRun();
    ScanPnfPairs();

    std::string console = failing == 1 ? kWriteError : "";
    std::string log = failing == 1 ? "" : kStartLine;
    for (size_t i = 0; i < stems.size(); ++i) {
      std::string finding =
          "SUSPICIOUS: There is no corresponding inf file for " + stems[i] +
          "\r\n";
      bool lost = failing == static_cast<int>(i) + 2;
      console += finding + (lost ? kWriteError : "") + "INFO: Checking file " +
                 stems[i] + "\n";
      if (!lost) log += finding;
    }
    EXPECT_EQ(FakeConsole(), console);
    EXPECT_EQ(FakeLogText(), log);
  }
}

TEST_F(RunLogFault, EachRouteShowsTheWriteErrorInItsPlace) {
  // drvscan's finding goes to the log only: just the write error shows.
  // noisegauge's goes to the log first, then to the console.
  const std::string kDrvscanFinding =
      "SUSPICIOUS: File a.sys matches pattern called decrypt magic1\r\n";
  const std::string kNoisegaugeFinding =
      "SUSPICIOUS: The entropy of a.pnf is above threshold: 0.937500\r\n";
  std::string every_byte;
  for (int value = 0; value < 256; ++value) every_byte.push_back(value);

  for (int failing : {2, 3}) {
    SCOPED_TRACE(failing);
    End();
    ResetFake();
    fake.failing_writes = {failing};
    fake.files[u"D:\\WINNT\\system32\\drivers\\a.sys"].bytes =
        std::string(16, '\x90') + "\xb8\x5c\x17\xe9\x42";
    fake.files[u"D:\\WINNT\\inf\\a.pnf"].bytes = every_byte;
    StartRun();
    ScanDriverFolder();
    ScanPnfEntropy();
    EXPECT_EQ(FakeConsole(),
              std::string("INFO: Checking file a.sys\n") +
                  "SUSPICIOUS: Pattern decrypt magic1 is matching: \n"
                  "b8 5c 17 e9 42 \n" +
                  (failing == 2 ? kWriteError : "") +
                  "INFO: Checking file a.pnf\n" +
                  (failing == 3 ? kWriteError : "") + kNoisegaugeFinding);
    EXPECT_EQ(FakeLogText(), kStartLine +
                                 (failing == 2 ? "" : kDrvscanFinding) +
                                 (failing == 3 ? "" : kNoisegaugeFinding));
  }
}

TEST_F(RunLogFault, ALogThatCannotBeOpenedEndsTheRunBeforeAnyWrite) {
  End();
  ResetFake();
  fake.log_open_error = kErrorSharingViolation;
  WideString program = u"tool", log = u"fault.log";
  char16_t* argv[] = {program.data(), log.data()};
  EXPECT_FALSE(OpenRunLog(2, argv));
  EXPECT_EQ(FakeConsole(),
            "ERROR: Could not create log file. Error code: 0x20\n");
  EXPECT_EQ(fake.log_writes, 0);
}

}  // namespace
