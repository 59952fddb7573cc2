// pairscan run as a user runs it: on a Windows folder named by SystemRoot,
// and the Windows build under Wine on the prefix's own inf folder.
#include <gtest/gtest.h>
#include "tests/e2e/harness.h"
#include "tests/e2e/messages.h"

namespace {

// What an inf folder holds, and the stems pairscan walks, in walk order.
struct InfFixture {
  std::vector<std::string> files;
  std::vector<std::string> folders;
  std::vector<std::pair<std::string, bool>> walk;  // stem, reported as orphan
};

// Pairs and orphans: oem7 paired, oem8 alone, a name with two dots, a name
// in upper case beside a lower-case companion, a companion that is a folder,
// a folder named like a pnf and a percent sign in a name. Every name starts
// with `prefix`, to keep them apart from other files in the folder.
InfFixture PairsAndOrphans(const std::string& prefix,
                           const std::string& upper_prefix) {
  const std::string p = prefix, u = upper_prefix;
  InfFixture f;
  f.files = {p + "drv.pnf",   p + "notes.txt", p + "oem7.inf",
             p + "oem7.pnf",  p + "oem8.pnf",  u + "OEM9.PNF",
             p + "oem9.inf",  p + "p%sx.pnf",  p + "setup.api.pnf",
             p + "setup.inf", p + "lone.inf"};
  f.folders = {p + "drv.inf", p + "zdir.pnf"};
  f.walk = {{p + "drv", false},  {p + "oem7", false}, {p + "oem8", true},
            {u + "OEM9", false}, {p + "p%sx", true},  {p + "setup", false},
            {p + "zdir", true}};
  return f;
}

InfFixture OnePairOneOrphan(const std::string& prefix = "") {
  InfFixture f;
  f.files = {prefix + "oem7.inf", prefix + "oem7.pnf", prefix + "oem8.pnf"};
  f.walk = {{prefix + "oem7", false}, {prefix + "oem8", true}};
  return f;
}

// The console of a walk whose stems begin with `inf` (the inf folder and a
// backslash), and the log after the start line.
std::string ConsoleOf(const InfFixture& f, const std::string& inf) {
  std::string out;
  for (const auto& [stem, orphan] : f.walk)
    out += (orphan ? Orphan(inf + stem) : "") + Checking(inf + stem);
  return out;
}

std::string LogOf(const InfFixture& f, const std::string& inf) {
  std::string out;
  for (const auto& [stem, orphan] : f.walk)
    if (orphan) out += Orphan(inf + stem);
  return out;
}

void Lay(const InfFixture& fixture, const std::string& inf) {
  MakeFolders(inf);
  for (const std::string& name : fixture.files)
    WriteFileBytes(inf + "/" + name, "");
  for (const std::string& name : fixture.folders) MakeFolders(inf + "/" + name);
}

void Clear(const InfFixture& fixture, const std::string& inf) {
  for (const std::string& name : fixture.files) RemoveTree(inf + "/" + name);
  for (const std::string& name : fixture.folders) RemoveTree(inf + "/" + name);
}

// A Windows folder below a temporary folder, its inf folder named in another
// case than the one the kit asks for, as on a mounted volume.
class NativePairscan : public testing::Test {
 protected:
  std::string log_path() const { return temp_.path() + "/case.log"; }

  RunResult Run(const std::string& windows,
                std::vector<std::string> args = {"case.log"}) {
    return RunNative("pairscan",
                     OptionsIn(temp_.path(), std::move(args), windows));
  }

  std::string LogText() {
    return LogTextAfterStart(log_path(), NativeProgram("pairscan"));
  }

  TempFolder temp_;
};

TEST_F(NativePairscan, ReportsOrphansBeforeAnnouncingThem) {
  // The second Windows folder lies below a dotted path and holds a dot
  // itself: every entry is still judged by its own name.
  struct Case {
    std::string windows;
    std::string inf;
  } cases[] = {
      {temp_.path() + "/Windows", "Inf"},
      {temp_.path() + "/case.001/WIN.NT", "INF"},
  };
  InfFixture fixture = PairsAndOrphans("", "");
  for (const Case& c : cases) {
    RemoveTree(log_path());
    Lay(fixture, c.windows + "/" + c.inf);
    RunResult run = Run(c.windows);
    const std::string stems = c.windows + "\\inf\\";
    EXPECT_EQ(run.exit_code, 0) << c.windows;
    EXPECT_EQ(run.console, ConsoleOf(fixture, stems)) << c.windows;
    EXPECT_EQ(LogText(), LogOf(fixture, stems)) << c.windows;
  }
}

TEST_F(NativePairscan, FolderFailuresAreLoggedAndEchoed) {
  const std::string windows = temp_.path() + "/Windows";
  struct Case {
    const char* what;
    std::vector<std::string> files;  // in the inf folder; none: no folder
    const char* message;
  } cases[] = {
      {"no *.pnf entry",
       {"oem7.inf", "oem7.pnf.bak", "pnf"},
       "ERROR: Could not get directory list. Error code: 0x2\r\n"},
      {"no inf folder",
       {},
       "ERROR: Could not get directory list. Error code: 0x3\r\n"},
  };
  for (const Case& c : cases) {
    RemoveTree(windows);
    RemoveTree(log_path());
    MakeFolders(windows);
    for (const std::string& name : c.files)
      WriteFileBytes(windows + "/inf/" + name, "");
    RunResult run = Run(windows);
    EXPECT_EQ(run.exit_code, 0) << c.what;
    EXPECT_EQ(run.console, c.message) << c.what;
    EXPECT_EQ(LogText(), c.message) << c.what;
  }
}

TEST_F(NativePairscan, WithoutSystemRootWalksThePresetFolder) {
  // The preset c:\WINDOWS is a relative path on Linux: lay it out below the
  // current folder to see that the walk really uses it.
  InfFixture fixture = OnePairOneOrphan();
  Lay(fixture, temp_.path() + "/c:/WINDOWS/inf");
  RunResult run = Run("");
  const std::string kError =
      "ERROR: Could not retrieve windows directory. Error code: 0xcb\r\n";
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.console, kError + ConsoleOf(fixture, "c:\\WINDOWS\\inf\\"));
  EXPECT_EQ(LogText(), kError + LogOf(fixture, "c:\\WINDOWS\\inf\\"));
}

TEST_F(NativePairscan, FailingLogWriteFollowsTheEchoedFinding) {
  const std::string windows = temp_.path() + "/Windows";
  Lay(OnePairOneOrphan(), windows + "/inf");
  RunResult run = Run(windows, {"/dev/full"});
  const std::string kWriteError =
      "ERROR: Could not write into log file. Error code: 0x70\n";
  const std::string stems = windows + "\\inf\\";
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.console, kWriteError + Checking(stems + "oem7") +
                             Orphan(stems + "oem8") + kWriteError +
                             Checking(stems + "oem8"));
}

// The Windows builds under Wine, 64-bit and 32-bit, on the prefix's own inf
// folder, where Wine's inf files lie beside the fixtures.
class WinePairscan : public testing::TestWithParam<WindowsBuild> {
 protected:
  void SetUp() override {
    SKIP_OR_FAIL_WITHOUT(GetParam());
    inf_ = WineWindowsFolder() + "/inf";
    own_ = ListFolder(inf_);
  }

  RunResult Run(std::vector<std::string> args = {"case.log"}) {
    return RunWindows(GetParam(), "pairscan",
                      OptionsIn(temp_.path(), std::move(args)));
  }

  std::string LogText() {
    return LogTextAfterStart(temp_.path() + "/case.log", "pairscan.exe");
  }

  std::string Console(const RunResult& run) {
    return NormaliseLineEnds(WithoutCheckingLines(run.console, own_));
  }

  TempFolder temp_;
  std::string inf_;
  std::vector<std::string> own_;
};

TEST_P(WinePairscan, ReportsOrphansBeforeAnnouncingThem) {
  InfFixture fixture = PairsAndOrphans("zz_", "ZZ_");
  Lay(fixture, inf_);
  RunResult run = Run();
  Clear(fixture, inf_);
  const std::string stems = "C:\\windows\\inf\\";
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(Console(run), NormaliseLineEnds(ConsoleOf(fixture, stems)));
  EXPECT_EQ(LogText(), LogOf(fixture, stems));
}

TEST_P(WinePairscan, LogInAMissingFolderEndsTheRunBeforeTheWalk) {
  InfFixture fixture = OnePairOneOrphan("zz_");
  Lay(fixture, inf_);
  RunResult run = Run({"missing\\case.log"});
  Clear(fixture, inf_);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(NormaliseLineEnds(run.console),
            "ERROR: Could not create log file. Error code: 0x3\n");
}

INSTANTIATE_TEST_SUITE_P(Wine, WinePairscan, testing::ValuesIn(WindowsBuilds()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
