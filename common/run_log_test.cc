#include "common/run_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "common/captured_run.h"
#include "common/console.h"

namespace {

// A temporary folder for one test's log, and the console captured meanwhile.
class RunLogTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/run_log_test.XXXXXX";
    folder_ = mkdtemp(pattern);
    log_path_ = folder_ + "/case.log";
    SetConsoleSinkForTesting(&console_);
  }
  void TearDown() override {
    CloseRunLog();
    SetConsoleSinkForTesting(nullptr);
    unlink(log_path_.c_str());
    rmdir(folder_.c_str());
  }

  bool Open(const std::string& path) {
    WideString program = u"drvscan";
    WideString argument = WideFromNative(path);
    char16_t* argv[] = {program.data(), argument.data(), nullptr};
    return OpenRunLog(2, argv);
  }

  WideString LogText() { return ReadUtf16LeFile(log_path_); }

  std::string Console() {
    ConsoleFlush();
    return console_;
  }

  std::string folder_;
  std::string log_path_;
  std::string console_;
};

TEST_F(RunLogTest, StartLineIsAppendedAfterEarlierText) {
  {
    std::ofstream earlier(log_path_, std::ios::binary);
    earlier.write("o\0l\0d\0", 6);
  }
  ASSERT_TRUE(Open(log_path_));
  WriteRunHeader(u"C:\\tools\\drvscan.exe");
  CloseRunLog();

  std::string log = DisplayFromWide(LogText().data(), LogText().size());
  EXPECT_TRUE(std::regex_match(
      log, std::regex("old\r\nC:\\\\tools\\\\drvscan\\.exe is started at "
                      "[01][0-9]/[0-3][0-9]/20[0-9][0-9] [0-2][0-9]:[0-5][0-9]"
                      "\r\n")))
      << log;
  EXPECT_EQ(Console(), "");
}

TEST_F(RunLogTest, RoutesOrderLogAndConsole) {
  ASSERT_TRUE(Open(log_path_));
  LogAndEcho(u"ERROR: %s - Could not open. Error code: 0x%x\r\n", {u"a%d", 5u});
  EchoThenLog(u"SUSPICIOUS: %ls\r\n", {u"b"});
  LogOnly(u"SUSPICIOUS: File %ls matches\r\n", {u"c"});
  ConsolePrint(u"INFO: %ls\n", {u"d"});
  CloseRunLog();

  EXPECT_EQ(LogText(),
            u"ERROR: a%d - Could not open. Error code: 0x5\r\n"
            u"SUSPICIOUS: b\r\n"
            u"SUSPICIOUS: File c matches\r\n");
  EXPECT_EQ(Console(),
            "ERROR: a%d - Could not open. Error code: 0x5\r\n"
            "SUSPICIOUS: b\r\n"
            "INFO: d\n");
}

TEST_F(RunLogTest, FailedWritesAreReportedAndMessagesStillEchoed) {
  ASSERT_TRUE(Open("/dev/full"));
  WriteRunHeader(u"drvscan");
  LogAndEcho(u"first\r\n");
  EchoThenLog(u"second\r\n");
  LogOnly(u"third\r\n");
  const char kWriteError[] =
      "ERROR: Could not write into log file. Error code: 0x70\n";
  EXPECT_EQ(Console(), std::string(kWriteError) + kWriteError + "first\r\n" +
                           "second\r\n" + kWriteError + kWriteError);
}

TEST_F(RunLogTest, LongMessagesAndPathsAreNotCutShort) {
  std::string long_log = folder_ + "/" + std::string(200, 'l') + ".log";
  ASSERT_TRUE(Open(long_log));
  WideString name(3000, u'n');
  LogOnly(u"SUSPICIOUS: File %ls matches pattern called %ls\r\n", {name, u"x"});
  CloseRunLog();
  std::swap(long_log, log_path_);
  WideString log = LogText();
  std::swap(long_log, log_path_);
  unlink(long_log.c_str());
  EXPECT_EQ(log.size(), 3000u + 44u);
  EXPECT_EQ(log.substr(log.size() - 3), u"x\r\n");
}

TEST_F(RunLogTest, ArgumentCountChoosesTheLogPath) {
  char cwd[4096];
  ASSERT_TRUE(getcwd(cwd, sizeof cwd));
  ASSERT_EQ(chdir(folder_.c_str()), 0);
  WideString program = u"p", given = WideFromNative(log_path_), extra = u"x";
  char16_t* argv[] = {program.data(), given.data(), extra.data(), nullptr};
  EXPECT_TRUE(OpenRunLog(3, argv));
  CloseRunLog();
  EXPECT_TRUE(OpenRunLog(1, argv));
  CloseRunLog();
  std::string default_log = folder_ + "/zazovavadera_log.txt";
  EXPECT_EQ(access(default_log.c_str(), F_OK), 0);
  EXPECT_NE(access(log_path_.c_str(), F_OK), 0);
  unlink(default_log.c_str());
  ASSERT_EQ(chdir(cwd), 0);
  const std::string kNotice =
      "\nINFO: First argument [logfile] is missing, taking default values. "
      "\n\n";
  EXPECT_EQ(Console(), kNotice + kNotice);
}

TEST_F(RunLogTest, UnopenableLogFailsWithItsCode) {
  EXPECT_FALSE(Open(folder_ + "/missing/case.log"));
  EXPECT_FALSE(Open(folder_));
  EXPECT_EQ(Console(),
            "ERROR: Could not create log file. Error code: 0x3\n"
            "ERROR: Could not create log file. Error code: 0x5\n");
}

}  // namespace
