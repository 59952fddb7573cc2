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

// After the volume's walk, each shadow copy of the image's volume gets a
// line: its number, its creation time to the second in UTC and the volume;
// one that cannot be examined gets an error line, and a copy with nothing
// new for the walk gets no walk.
TEST_F(RunLogFault, NamesEachShadowCopyAfterTheVolume) {
  struct Case {
    const char* what;
    std::vector<ShadowCopyStep> steps;
    std::vector<bool> walks;  // what each NextExamination answers
    std::string lines;
  };
  const std::string kVolume =
      "the NTFS volume at byte 32256 of /cases/host17.E01";
  auto copy = [](size_t number, uint64_t created, bool has_news) {
    ShadowCopyStep step;
    step.number = number;
    step.count = 3;
    step.created = created;
    step.has_news = has_news;
    return step;
  };
  ShadowCopyStep unreadable = copy(1, 0, true);
  unreadable.error = kErrorFileCorrupt;
  ShadowCopyStep catalog;
  catalog.error = kErrorFileCorrupt;
  const Case cases[] = {
      {"three copies, the middle one without news, the oldest unreadable",
       {copy(3, 132041654120000000, true), copy(2, 132274532969999999, false),
        unreadable},
       {true, false},
       "INFO: Examining shadow copy 3 of 3, made 2019-06-04 23:43:32 UTC, of " +
           kVolume + "\r\n" +
           "INFO: Examining shadow copy 2 of 3, made 2020-02-29 12:34:56 UTC, "
           "of " +
           kVolume + "\r\n" +
           "ERROR: Could not examine shadow copy 1 of 3 of " + kVolume +
           ". Error code: 0x570\r\n"},
      {"the turns of centuries and of the epoch",
       {copy(3, 125963424009999999, true), copy(2, 125911583999999999, true),
        copy(1, 0, true)},
       {true, true, true, false},
       "INFO: Examining shadow copy 3 of 3, made 2000-03-01 00:00:00 UTC, of " +
           kVolume + "\r\n" +
           "INFO: Examining shadow copy 2 of 3, made 1999-12-31 23:59:59 UTC, "
           "of " +
           kVolume + "\r\n" +
           "INFO: Examining shadow copy 1 of 3, made 1601-01-01 00:00:00 UTC, "
           "of " +
           kVolume + "\r\n"},
      {"a damaged catalog",
       {catalog},
       {false},
       "ERROR: Could not examine shadow copy 0 of " + kVolume +
           ". Error code: 0x570\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Restart();
    fake.image = u"/cases/host17.E01";
    fake.image_volume.windows_folder = u"\\Windows";
    fake.image_volume.file_system = u"NTFS";
    fake.image_volume.offset = 32256;
    fake.shadow_steps.assign(c.steps.begin(), c.steps.end());
    ASSERT_TRUE(StartExamination());
    const std::string examining =
        "INFO: Examining the Windows folder \\Windows of " + kVolume +
        " (VORLKIT_IMAGE)\r\n";
    std::vector<bool> walks;
    for (bool walk = true; walk;) walks.push_back(walk = NextExamination());
    EXPECT_EQ(walks, c.walks);
    EXPECT_EQ(FakeLogText(), kStartLine + examining + c.lines);
    EXPECT_EQ(FakeConsole(), examining + c.lines);
  }
}

}  // namespace
