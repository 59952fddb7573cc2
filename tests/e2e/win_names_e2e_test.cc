// The Windows programs under Wine on files that Win32 path parsing would
// take for something else (a DOS device, a name without its trailing dots
// or spaces) and on a file that another process holds open for writing:
// each is scanned and reported under its own name.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/e2e/messages.h"

namespace {

// What the 32-bit drvscan says first on 64-bit Windows.
const char kWow64Warning[] =
    "WARNING: 64-bit system is detected. Some drivers may remain unchecked. "
    "Note that Vorl currently does not use 64-bit kernel drivers!\n";

// Names of the same shapes for each folder, by extension: a device name
// whatever the extension, and trailing dots and spaces.
std::vector<std::string> TrickyNames(const std::string& extension) {
  std::vector<std::string> names;
  for (const char* stem : {"nul", "aux", "con", "prn", "com1", "lpt1"})
    names.push_back(stem + extension);
  names.push_back("space" + extension + " ");
  names.push_back("trail" + extension + ".");
  return names;
}

// Files laid into a folder of the Wine prefix, removed again on destruction
// so that a failed test leaves the prefix as it found it.
class LaidFiles {
 public:
  explicit LaidFiles(const std::string& folder) : folder_(folder) {}
  ~LaidFiles() {
    for (const std::string& name : names_) RemoveTree(folder_ + "/" + name);
  }
  void Add(const std::string& name, const std::string& bytes) {
    WriteFileBytes(folder_ + "/" + name, bytes);
    names_.push_back(name);
  }
  // The laid names in the order the kit walks them.
  std::vector<std::string> InWalkOrder() const {
    std::vector<std::string> order;
    for (const std::string& name : ListFolder(folder_))
      if (std::count(names_.begin(), names_.end(), name)) order.push_back(name);
    return order;
  }

 private:
  std::string folder_;
  std::vector<std::string> names_;
};

// True when `line` names `name` as a word of its own: after a space or a
// backslash, before a space or the line's end.
bool Mentions(const std::string& line, const std::string& name) {
  for (size_t at = line.find(name); at != std::string::npos;
       at = line.find(name, at + 1)) {
    size_t end = at + name.size();
    if (at > 0 && (line[at - 1] == ' ' || line[at - 1] == '\\') &&
        (end == line.size() || line[end] == ' '))
      return true;
  }
  return false;
}

// `text` (line ends normalised) without the lines about the entries in
// `own`, named by file name or, as pairscan names them, by stem.
std::string WithoutOwnLines(const std::string& text,
                            const std::vector<std::string>& own) {
  std::string out;
  std::istringstream lines(NormaliseLineEnds(text));
  std::string line;
  while (std::getline(lines, line)) {
    bool about_own = std::any_of(own.begin(), own.end(), [&](auto& name) {
      return Mentions(line, name) ||
             Mentions(line, name.substr(0, name.find('.')));
    });
    if (!about_own) out += line + "\n";
  }
  return out;
}

class WineNames : public testing::TestWithParam<WindowsBuild> {
 protected:
  void SetUp() override {
    SKIP_OR_FAIL_WITHOUT(GetParam());
    drivers_ = WineSystemFolder(GetParam()) + "/drivers";
    inf_ = WineWindowsFolder() + "/inf";
  }

  // Runs `tool` with its log in the temporary folder, while `held` (a
  // Windows path, if any) is held open for writing. The console and the log
  // come back without the lines about Wine's own entries, `own`.
  struct Output {
    int exit_code;
    std::string console;
    std::string log;
  };
  Output Run(const std::string& tool, const std::vector<std::string>& own,
             const std::string& held = "") {
    std::unique_ptr<HeldFile> holder;
    if (!held.empty()) {
      holder.reset(new HeldFile(held));
      EXPECT_TRUE(holder->held()) << held << ": " << holder->said();
    }
    RunResult run =
        RunWindows(GetParam(), tool, OptionsIn(temp_.path(), {"case.log"}));
    std::string log =
        LogTextAfterStart(temp_.path() + "/case.log", tool + ".exe");
    RemoveTree(temp_.path() + "/case.log");
    return {run.exit_code, WithoutOwnLines(run.console, own),
            WithoutOwnLines(log, own)};
  }

  TempFolder temp_;
  std::string drivers_;
  std::string inf_;
};

TEST_P(WineNames, DrvscanScansEveryDriverUnderItsOwnName) {
  std::vector<std::string> own = ListFolder(drivers_);
  LaidFiles laid(drivers_);
  for (const std::string& name : TrickyNames(".sys"))
    laid.Add(name, WithSignature(kRow1));
  laid.Add("held.sys", WithSignature(kRow1));

  Output out =
      Run("drvscan", own,
          "C:\\windows\\" + GetParam().system_folder + "\\drivers\\held.sys");
  std::string console, log;
  if (GetParam().wow64) console = log = kWow64Warning;
  for (const std::string& name : laid.InWalkOrder()) {
    console += Checking(name) + kHit1;
    log += NormaliseLineEnds(Logged(name, "decrypt magic1"));
  }
  EXPECT_EQ(out.exit_code, 0);
  EXPECT_EQ(out.console, console);
  EXPECT_EQ(out.log, log);
}

TEST_P(WineNames, NoisegaugeMeasuresEveryPnfUnderItsOwnName) {
  std::vector<std::string> own = ListFolder(inf_);
  LaidFiles laid(inf_);
  for (const std::string& name : TrickyNames(".pnf"))
    laid.Add(name, EveryByte());
  laid.Add("held.pnf", EveryByte());

  Output out = Run("noisegauge", own, "C:\\windows\\inf\\held.pnf");
  std::string console, log;
  for (const std::string& name : laid.InWalkOrder()) {
    std::string finding = NormaliseLineEnds(AboveThreshold(name));
    console += Checking(name) + finding;
    log += finding;
  }
  EXPECT_EQ(out.exit_code, 0);
  EXPECT_EQ(out.console, console);
  EXPECT_EQ(out.log, log);
}

TEST_P(WineNames, PairscanFindsTheInfOfEveryStem) {
  std::vector<std::string> own = ListFolder(inf_);
  LaidFiles laid(inf_);
  // Every other name has its .inf; the stem is cut at the first dot.
  std::vector<std::string> names = TrickyNames(".pnf");
  std::vector<std::string> orphans;
  for (size_t i = 0; i < names.size(); ++i) {
    laid.Add(names[i], "pnf");
    std::string stem = names[i].substr(0, names[i].find('.'));
    if (i % 2 == 0)
      laid.Add(stem + ".inf", "inf");
    else
      orphans.push_back(names[i]);
  }

  Output out = Run("pairscan", own);
  std::string console, log;
  for (const std::string& name : laid.InWalkOrder()) {
    if (name.find(".pnf") == std::string::npos) continue;
    std::string stem = "C:\\windows\\inf\\" + name.substr(0, name.find('.'));
    if (std::count(orphans.begin(), orphans.end(), name)) {
      std::string finding = NormaliseLineEnds(Orphan(stem));
      console += finding;
      log += finding;
    }
    console += Checking(stem);
  }
  EXPECT_EQ(out.exit_code, 0);
  EXPECT_EQ(out.console, console);
  EXPECT_EQ(out.log, log);
}

// The Windows platform layer of each build on paths of every form it may be
// given: relative and drive-relative ones are taken from the current folder,
// and only the last name is kept exactly as given.
class WinePlatformPaths : public testing::TestWithParam<WindowsBuild> {};

TEST_P(WinePlatformPaths, ResolvesTheFolderAndKeepsTheName) {
  SKIP_OR_FAIL_WITHOUT(GetParam());
  const std::string root = WinePrefix() + "/drive_c/kit_paths";
  MakeFolders(root + "/drv");
  for (const char* name : {"nul.sys", "aux.sys", "trail.sys.", "space.sys "})
    WriteFileBytes(root + "/drv/" + name, name);
  struct Case {
    const char* command;
    const char* path;
    const char* said;
  };
  // Run in C:\kit_paths\drv.
  const Case cases[] = {
      {"open", "C:\\kit_paths\\drv\\nul.sys", "0x0 7"},
      {"open", "nul.sys", "0x0 7"},
      {"open", "..\\drv\\trail.sys.", "0x0 10"},
      {"open", "C:space.sys ", "0x0 10"},
      {"open", "C:..\\drv\\aux.sys", "0x0 7"},
      {"open", "C:/kit_paths/drv/aux.sys", "0x0 7"},
      {"open", "\\kit_paths\\drv\\nul.sys", "0x0 7"},
      {"open", "\\\\?\\C:\\kit_paths\\drv\\trail.sys.", "0x0 10"},
      {"open", "\\\\.\\C:\\kit_paths\\drv\\nul.sys", "0x0 7"},
      // No file has these names; the devices must not be opened instead.
      {"open", "nul", "0x2"},
      {"open", "con.sys", "0x2"},
      {"open", "trail.sys", "0x2"},
      {"exists", "nul.sys", "yes"},
      {"exists", "..\\drv\\space.sys ", "yes"},
      {"exists", "con.sys", "no"},
      {"exists", "C:\\kit_paths\\drv\\aux", "no"},
      {"list", "*.sys", "aux.sys\nnul.sys\nspace.sys \ntrail.sys."},
      {"list", "C:..\\drv\\n*", "nul.sys"},
      {"list", "\\kit_paths\\drv\\*.pnf", "0x2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.command) + " " + c.path);
    RunResult run =
        RunWineProgram(WineTestHelper("platform_probe", GetParam()),
                       OptionsIn(root + "/drv", {c.command, c.path}));
    EXPECT_EQ(NormaliseLineEnds(run.console), std::string(c.said) + "\n");
  }
  RemoveTree(root);
}

INSTANTIATE_TEST_SUITE_P(Wine, WinePlatformPaths,
                         testing::ValuesIn(WindowsBuilds()),
                         [](const auto& info) { return info.param.name; });
INSTANTIATE_TEST_SUITE_P(Wine, WineNames, testing::ValuesIn(WindowsBuilds()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
