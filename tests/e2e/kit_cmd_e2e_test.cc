// kit.cmd from the release archive under Wine, which runs as 64-bit
// Windows: from the 64-bit and from the 32-bit cmd.exe it must run the x64
// programs, which see the real drivers folder, and the 32-bit ones only when
// the x64 folder is missing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

const char kWow64Warning[] = "WARNING: 64-bit system is detected.";

// The start line of each program in a log, as text.
std::vector<std::string> ProgramsStarted(const std::string& log_text) {
  std::vector<std::string> programs;
  const std::string kStarted = " is started at ";
  for (size_t end = log_text.find(kStarted); end != std::string::npos;
       end = log_text.find(kStarted, end + 1)) {
    size_t start = log_text.rfind("\r\n", end);
    start = start == std::string::npos ? 0 : start + 2;
    programs.push_back(log_text.substr(start, end - start));
  }
  return programs;
}

TEST(WineKitCmd, RunsTheProgramsForTheMachine) {
  SKIP_OR_FAIL_WITHOUT(Win64Build());
  SKIP_OR_FAIL_WITHOUT(Win32Build());
  TempFolder temp;
  RunOptions make_zip;
  make_zip.args = {
      "-D", "KIT_WIN32_BUILD=" + Win32Build().bin + "/..",
      "-D", "KIT_WIN64_BUILD=" + Win64Build().bin + "/..",
      "-D", "KIT_RELEASE_DIR=" + temp.path(),
      "-P", std::string(KIT_SOURCE_DIR) + "/packaging/release.cmake"};
  ASSERT_EQ(RunCommand({"/usr/bin/cmake"}, make_zip).exit_code, 0);
  RunOptions unzip;
  unzip.args = {"-q", "-d", temp.path() + "/kit", "--"};
  unzip.cwd = temp.path();
  RunResult unzipped =
      RunCommand({"/bin/sh", "-c", "exec unzip \"$@\" *.zip", "unzip"}, unzip);
  ASSERT_EQ(unzipped.exit_code, 0) << unzipped.console;
  const std::string kit = WinePath(temp.path() + "/kit/kit.cmd");

  const struct {
    const char* what;
    const char* cmd;
    bool without_x64;
    const char* folder;  // of the programs that must have run
  } cases[] = {
      {"64-bit cmd.exe", "C:\\windows\\system32\\cmd.exe", false, "\\x64\\"},
      {"32-bit cmd.exe", "C:\\windows\\syswow64\\cmd.exe", false, "\\x64\\"},
      {"no x64 folder", "C:\\windows\\system32\\cmd.exe", true, "\\kit\\"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.without_x64) RemoveTree(temp.path() + "/kit/x64");
    const std::string log = std::string(c.what) + ".log";
    RunResult run =
        RunWineCommand({c.cmd, "/c", kit}, OptionsIn(temp.path(), {log}));
    EXPECT_EQ(run.exit_code, 0) << run.console;
    std::string text = FromUtf16Le(ReadFileBytes(temp.path() + "/" + log));
    std::vector<std::string> expected;
    for (const char* tool : {"drvscan", "noisegauge", "pairscan"})
      expected.push_back(WinePath(temp.path() + "/kit") +
                         (c.without_x64 ? "\\" : "\\x64\\") + tool + ".exe");
    EXPECT_EQ(ProgramsStarted(text), expected) << c.folder;
    // Only the 32-bit drvscan on 64-bit Windows warns of unchecked drivers.
    EXPECT_EQ(text.find(kWow64Warning) != std::string::npos, c.without_x64);
  }
}

}  // namespace
