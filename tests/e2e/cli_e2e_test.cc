// The command line beyond the log path (help and version, of the programs
// and of the kit scripts) and the Windows folder named by VORLKIT_WINDOWS,
// run natively and with the Windows build under Wine. Every test body takes
// the build it runs as a parameter, so that another build runs through the
// same tests by adding a runner.
#include <gtest/gtest.h>

#include "tests/e2e/harness.h"

namespace {

const char* const kTools[] = {"drvscan", "noisegauge", "pairscan"};

// Linux path to the path a Windows program under Wine sees for it.
std::string WinePath(const std::string& path) {
  std::string out = "Z:" + path;
  for (char& c : out)
    if (c == '/') c = '\\';
  return out;
}

// One build of the programs and how it is run.
struct Runner {
  const char* name;
  RunResult (*run)(const std::string& tool, const RunOptions& options);
  bool under_wine;
  const char* program_suffix;  // ends the program's path in the start line
  // The kit script and the arguments that ask it for help.
  RunResult (*run_script)(const RunOptions& options);
  const char* script_name;
  std::vector<std::string> script_help;
  // The folder below the live Windows folder where drvscan looks: a 32-bit
  // program on 64-bit Windows is redirected to syswow64.
  const char* live_system_folder;
};

RunResult RunWin32(const std::string& tool, const RunOptions& options) {
  return RunWindows(Win32Build(), tool, options);
}

RunResult RunKitSh(const RunOptions& options) {
  return RunCommand({std::string(KIT_SOURCE_DIR) + "/packaging/kit.sh"},
                    options);
}

// kit.cmd as the release archive holds it, with CR LF line ends.
RunResult RunKitCmd(const RunOptions& options) {
  RunOptions in_cmd = options;
  in_cmd.args.insert(
      in_cmd.args.begin(),
      {"/c", WinePath(std::string(KIT_WIN64_BIN) + "/../release/kit.cmd")});
  return RunWineCommand({"cmd"}, in_cmd);
}

// A driver with a signature and a packed pnf file without an .inf file: a
// finding for each program. Folder names are given as laid out.
void LayFindings(const std::string& windows, const std::string& system32,
                 const std::string& drivers, const std::string& inf) {
  WriteFileBytes(windows + "/" + system32 + "/" + drivers + "/zz_vk.sys",
                 std::string(40, '\x90') + "\xb8\x5c\x17\xe9\x42");
  std::string packed;
  for (int i = 0; i < 8192; ++i) packed.push_back(static_cast<char>(i * 7));
  WriteFileBytes(windows + "/" + inf + "/zz_vk.pnf", packed);
}

void ClearFindings(const std::string& windows, const std::string& system32) {
  RemoveTree(windows + "/" + system32 + "/drivers/zz_vk.sys");
  RemoveTree(windows + "/inf/zz_vk.pnf");
}

const Runner kNative = {"Native", RunNative,        false,     "", RunKitSh,
                        "kit.sh", {"--help", "-h"}, "system32"};
const Runner kWine64 = {"Wine",
                        RunWine,
                        true,
                        ".exe",
                        RunKitCmd,
                        "kit.cmd",
                        {"--help", "-h", "/?"},
                        "system32"};
const Runner kWine32 = {"win32",
                        RunWin32,
                        true,
                        ".exe",
                        RunKitCmd,
                        "kit.cmd",
                        {"--help", "-h", "/?"},
                        "syswow64"};

void PrintTo(const Runner& runner, std::ostream* out) { *out << runner.name; }

class Cli : public testing::TestWithParam<Runner> {
 protected:
  void SetUp() override {
    if (GetParam().run == RunWin32) SKIP_OR_FAIL_WITHOUT(Win32Build());
    if (GetParam().under_wine) SKIP_OR_FAIL_WITHOUT_WINE();
    cwd_ = temp_.path() + "/cwd";
    MakeFolders(cwd_);
  }
  void TearDown() override {
    if (laid_in_live_)
      ClearFindings(LiveFolder(), GetParam().live_system_folder);
  }

  // The live Windows folder: named by SystemRoot natively, the prefix's own
  // under Wine. `Spelled` is how the programs name it.
  std::string LiveFolder() const {
    return GetParam().under_wine ? WineWindowsFolder() : temp_.path() + "/Live";
  }
  std::string LiveFolderSpelled() const {
    return GetParam().under_wine ? "C:\\windows" : LiveFolder();
  }

  // A run in the test's current folder on the live Windows folder.
  RunOptions Options(std::vector<std::string> args) const {
    return OptionsIn(cwd_, std::move(args),
                     GetParam().under_wine ? "" : LiveFolder());
  }

  RunResult Run(const std::string& tool, const RunOptions& options) const {
    return GetParam().run(tool, options);
  }

  // The log `tool`-`name`.log after its start line.
  std::string Log(const std::string& tool, const std::string& name) const {
    return LogTextAfterStart(cwd_ + "/" + tool + "-" + name + ".log",
                             tool + GetParam().program_suffix);
  }

  TempFolder temp_;
  std::string cwd_;
  bool laid_in_live_ = false;  // the prefix's folder is shared by the tests
};

TEST_P(Cli, HelpAndVersionAnswerWithoutCreatingAnything) {
  for (const char* tool : kTools) {
    SCOPED_TRACE(tool);
    RunResult help = Run(tool, Options({"--help"}));
    EXPECT_EQ(help.exit_code, 0);
    const std::string text = NormaliseLineEnds(help.console);
    EXPECT_EQ(text.rfind("Usage: " + std::string(tool) + " [logfile]\n", 0), 0u)
        << text;
    for (const char* needed :
         {"zazovavadera_log.txt", "appended", "UTF-16LE", "VORLKIT_WINDOWS",
          "SystemRoot", "Exit codes", "SUSPICIOUS:"})
      EXPECT_NE(text.find(needed), std::string::npos) << needed;

    for (const char* alias : {"-h", "/?"}) {
      RunResult same = Run(tool, Options({alias}));
      EXPECT_EQ(same.exit_code, 0) << alias;
      EXPECT_EQ(NormaliseLineEnds(same.console), text) << alias;
    }

    RunResult version = Run(tool, Options({"--version"}));
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(NormaliseLineEnds(version.console),
              std::string(tool) + " (vorlkit) " + KIT_VERSION + "\n");
    EXPECT_EQ(ListFolder(cwd_), std::vector<std::string>{});
  }
}

// Only a lone option is answered: anything else keeps its meaning as a log
// path, or as one argument too many.
TEST_P(Cli, OtherArgumentsKeepTheirMeaning) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> files;  // in the current folder afterwards
    bool notice;
  };
  const Case cases[] = {
      {{"--HELP"}, {"--HELP"}, false},
      {{"--version", "x"}, {"zazovavadera_log.txt"}, true},
      {{"--help", "--help"}, {"zazovavadera_log.txt"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " with " + std::to_string(c.args.size()));
    RunResult run = Run("pairscan", Options(c.args));
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(NormaliseLineEnds(run.console)
                      .rfind(NormaliseLineEnds(kMissingArgumentNotice), 0) == 0,
              c.notice);
    EXPECT_EQ(NormaliseLineEnds(run.console).find("Usage:"), std::string::npos);
    EXPECT_EQ(ListFolder(cwd_), c.files);
    RemoveTree(cwd_);
    MakeFolders(cwd_);
  }
}

TEST_P(Cli, KitScriptAnswersHelp) {
  for (const std::string& option : GetParam().script_help) {
    SCOPED_TRACE(option);
    RunResult run = GetParam().run_script(Options({option}));
    EXPECT_EQ(run.exit_code, 0);
    const std::string text = NormaliseLineEnds(run.console);
    EXPECT_EQ(text.rfind("Usage: " + std::string(GetParam().script_name) +
                             " [logfile]\n",
                         0),
              0u)
        << text;
    for (const char* needed :
         {"zazovavadera_log.txt", "UTF-16LE", "VORLKIT_WINDOWS", "Exit codes"})
      EXPECT_NE(text.find(needed), std::string::npos) << needed;
    EXPECT_EQ(ListFolder(cwd_), std::vector<std::string>{});
  }
}

// A fixture Windows folder outside the live one, named relative to the
// current folder and with its folders in other cases, gives the findings
// the same folder gives as the live one, after one line that names it; on
// Linux the variable wins over SystemRoot. Set but empty, it changes
// nothing.
TEST_P(Cli, VariableNamesTheWindowsFolder) {
  const std::string kInfo =
      "INFO: Examining the Windows folder Windows (VORLKIT_WINDOWS)\r\n";
  laid_in_live_ = true;
  LayFindings(LiveFolder(), GetParam().live_system_folder, "drivers", "inf");
  LayFindings(cwd_ + "/Windows", "System32", "DRIVERS", "INF");
  for (const char* tool : kTools) {
    SCOPED_TRACE(tool);
    const std::string t = tool;
    RunResult live = Run(tool, Options({t + "-live.log"}));
    RunOptions options = Options({t + "-chosen.log"});
    options.env["VORLKIT_WINDOWS"] = "Windows";
    if (!GetParam().under_wine)
      options.env["SystemRoot"] = temp_.path() + "/Other";
    RunResult chosen = Run(tool, options);
    options = Options({t + "-empty.log"});
    options.env["VORLKIT_WINDOWS"] = "";
    RunResult empty = Run(tool, options);

    const std::string live_log = Log(tool, "live");
    ASSERT_NE(live_log.find("SUSPICIOUS:"), std::string::npos) << live_log;
    EXPECT_EQ(chosen.exit_code, 0);
    EXPECT_EQ(Log(tool, "chosen"),
              kInfo + Replaced(live_log, LiveFolderSpelled(), "Windows"));
    EXPECT_EQ(
        NormaliseLineEnds(chosen.console).rfind(NormaliseLineEnds(kInfo), 0),
        0u)
        << chosen.console;
    EXPECT_EQ(empty.console, live.console);
    EXPECT_EQ(Log(tool, "empty"), live_log);
  }
}

INSTANTIATE_TEST_SUITE_P(Native, Cli, testing::Values(kNative),
                         [](const auto& info) { return info.param.name; });
INSTANTIATE_TEST_SUITE_P(Wine, Cli, testing::Values(kWine64, kWine32),
                         [](const auto& info) { return info.param.name; });

}  // namespace
