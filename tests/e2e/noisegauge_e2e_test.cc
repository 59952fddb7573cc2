// noisegauge run as a user runs it: on a Windows folder named by SystemRoot,
// and the Windows build under Wine on the prefix's own inf folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>

#include "tests/e2e/harness.h"
#include "tests/e2e/messages.h"

namespace {

// `count` bytes of distinct values, counting up from `first`.
std::string Distinct(size_t count, int first = 0) {
  std::string bytes;
  for (size_t i = 0; i < count; ++i)
    bytes.push_back(static_cast<char>((first + i) % 256));
  return bytes;
}

// The average as the report prints it, six decimals.
std::string Digits(double average) {
  char text[32];
  snprintf(text, sizeof text, "%.6f", average);
  return text;
}

std::string NoStepBack(const std::string& name) {
  return "ERROR: " + name +
         " - Could not set file pointer. Error code: 0x83\r\n";
}

std::string Suspicious(const std::string& name, const std::string& digits) {
  return "SUSPICIOUS: The entropy of " + name +
         " is above threshold: " + digits + "\r\n";
}

std::string CannotOpen(const std::string& name) {
  return "ERROR: " + name +
         " - Could not open PNF file for reading. Error code: 0x5\r\n";
}

// What an inf folder holds and what noisegauge must say about it.
struct InfFixture {
  std::vector<std::pair<std::string, std::string>> files;
  std::vector<std::string> folders;
  // Per entry the walk visits: its console lines and its logged lines.
  std::map<std::string, std::pair<std::string, std::string>> expected;
};

// Files above and below the threshold, below and at the step of 128 bytes,
// a folder that matches the pattern, names in upper case or holding a
// percent sign, and an .inf file that must be left alone.
InfFixture MixedInf() {
  InfFixture f;
  auto add = [&f](const std::string& name, const std::string& bytes,
                  const std::string& console, const std::string& log) {
    f.files.push_back({name, bytes});
    f.expected[name] = {Checking(name) + console, log};
  };
  // One window of 100 distinct values: log256(100).
  const std::string hundred = Digits(std::log(100.0) / std::log(256.0));
  add("50%d.pnf", Distinct(100, 7),
      NoStepBack("50%d.pnf") + Suspicious("50%d.pnf", hundred),
      Suspicious("50%d.pnf", hundred));
  // Windows [0, 256) at 1.0 and [128, 256) at 0.875.
  add("all256.pnf", Distinct(256), Suspicious("all256.pnf", "0.937500"),
      Suspicious("all256.pnf", "0.937500"));
  // Stepping back from 128 to 0 succeeds: no error, one window at 0.875.
  add("edge128.pnf", Distinct(128, 64), Suspicious("edge128.pnf", "0.875000"),
      Suspicious("edge128.pnf", "0.875000"));
  add("empty.pnf", "", NoStepBack("empty.pnf"), "");
  // 100 bytes of ten values, ten each: log256(10), about 0.415.
  std::string few;
  for (int i = 0; i < 100; ++i) few.push_back(static_cast<char>('a' + i % 10));
  add("few.pnf", few, NoStepBack("few.pnf"), "");
  f.files.push_back({"notes.inf", Distinct(256)});
  // Windows [0, 256), every value once, and the short [128, 300), 172
  // distinct values; no window after it.
  const std::string two = Digits((1.0 + std::log(172.0) / std::log(256.0)) / 2);
  add("OEM1.PNF", Distinct(300), Suspicious("OEM1.PNF", two),
      Suspicious("OEM1.PNF", two));
  f.folders.push_back("x.pnf");
  f.expected["x.pnf"] = {Checking("x.pnf") + CannotOpen("x.pnf"),
                         CannotOpen("x.pnf")};
  add("zeros.pnf", std::string(4096, '\0'), "", "");
  return f;
}

InfFixture OneReported(const std::string& name) {
  InfFixture f;
  f.files.push_back({name, Distinct(256)});
  f.expected[name] = {Checking(name) + Suspicious(name, "0.937500"),
                      Suspicious(name, "0.937500")};
  return f;
}

void Lay(const InfFixture& fixture, const std::string& inf) {
  MakeFolders(inf);
  for (const auto& [name, bytes] : fixture.files)
    WriteFileBytes(inf + "/" + name, bytes);
  for (const std::string& name : fixture.folders) MakeFolders(inf + "/" + name);
}

void Clear(const InfFixture& fixture, const std::string& inf) {
  for (const auto& [name, bytes] : fixture.files) RemoveTree(inf + "/" + name);
  for (const std::string& name : fixture.folders) RemoveTree(inf + "/" + name);
}

// The console and the log expected from a walk over `entries`, in the order
// given; entries the fixture does not know are not walked.
std::pair<std::string, std::string> InWalkOrder(
    const InfFixture& fixture, const std::vector<std::string>& entries) {
  std::pair<std::string, std::string> out;
  for (const std::string& name : entries) {
    auto found = fixture.expected.find(name);
    if (found == fixture.expected.end()) continue;
    out.first += found->second.first;
    out.second += found->second.second;
  }
  return out;
}

// A Windows folder below a temporary folder, its inf folder named in another
// case than the one the kit asks for, as on a mounted volume.
class NativeNoisegauge : public testing::Test {
 protected:
  std::string windows() const { return temp_.path() + "/Windows"; }
  std::string inf() const { return windows() + "/INF"; }
  std::string log_path() const { return temp_.path() + "/case.log"; }

  RunResult Run(std::vector<std::string> args = {"case.log"}) {
    return RunNative("noisegauge",
                     OptionsIn(temp_.path(), std::move(args), windows()));
  }

  std::string LogText() {
    return LogTextAfterStart(log_path(), NativeProgram("noisegauge"));
  }

  TempFolder temp_;
};

TEST_F(NativeNoisegauge, MeasuresEveryPnfInWalkOrder) {
  InfFixture fixture = MixedInf();
  Lay(fixture, inf());
  // Sorted with case ignored: OEM1.PNF between few.pnf and x.pnf.
  auto [console, log] = InWalkOrder(
      fixture, {"50%d.pnf", "all256.pnf", "edge128.pnf", "empty.pnf", "few.pnf",
                "OEM1.PNF", "x.pnf", "zeros.pnf"});
  RunResult run = Run();
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.console, console);
  EXPECT_EQ(LogText(), log);
}

TEST_F(NativeNoisegauge, FolderFailuresAreLoggedAndEchoed) {
  struct Case {
    const char* what;
    bool make_inf;
    const char* message;
  } cases[] = {
      {"no *.pnf entry", true,
       "ERROR: Could not get directory entry. Error code: 0x2\r\n"},
      {"no inf folder", false,
       "ERROR: Could not get directory entry. Error code: 0x3\r\n"},
  };
  for (const Case& c : cases) {
    RemoveTree(windows());
    RemoveTree(log_path());
    MakeFolders(windows());
    if (c.make_inf) {
      WriteFileBytes(inf() + "/oem1.inf", Distinct(256));
      WriteFileBytes(inf() + "/oem1.pnf.txt", Distinct(256));
    }
    RunResult run = Run();
    EXPECT_EQ(run.exit_code, 0) << c.what;
    EXPECT_EQ(run.console, c.message) << c.what;
    EXPECT_EQ(LogText(), c.message) << c.what;
  }
}

TEST_F(NativeNoisegauge, WithoutSystemRootWalksThePresetFolder) {
  // The preset c:\WINDOWS is a relative path on Linux: lay it out below the
  // current folder to see that the walk really uses it.
  InfFixture fixture = OneReported("c.pnf");
  Lay(fixture, temp_.path() + "/c:/WINDOWS/inf");
  RunResult run =
      RunNative("noisegauge", OptionsIn(temp_.path(), {"case.log"}));
  const std::string kError =
      "ERROR: Could not retrieve windows directory. Error code: 0xcb\r\n";
  auto [console, log] = InWalkOrder(fixture, {"c.pnf"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.console, kError + console);
  EXPECT_EQ(LogText(), kError + log);
}

TEST_F(NativeNoisegauge, UnopenableLogEndsTheRunBeforeTheWalk) {
  Lay(OneReported("c.pnf"), inf());
  RunResult run = Run({"missing/case.log"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.console, "ERROR: Could not create log file. Error code: 0x3\n");
}

// The entropy in base 256 of `bytes`, with natural logarithms: a check
// independent of the program's own formula.
double Entropy(const std::string& bytes) {
  if (bytes.empty()) return 0.0;
  size_t counts[256] = {};
  for (char b : bytes) ++counts[static_cast<unsigned char>(b)];
  double sum = 0.0;
  for (size_t count : counts) {
    if (count == 0) continue;
    double p = static_cast<double>(count) / bytes.size();
    sum -= p * std::log(p);
  }
  return sum / std::log(256.0);
}

// The Windows builds under Wine, 64-bit and 32-bit, on the prefix's own inf
// folder, where Wine's own *.pnf files (a few dozen bytes of text each) lie
// beside the fixtures and are walked with them. The 32-bit programs compute
// on the x87: their averages must agree with these to the last digit.
class WineNoisegauge : public testing::TestWithParam<WindowsBuild> {
 protected:
  void SetUp() override {
    SKIP_OR_FAIL_WITHOUT(GetParam());
    inf_ = WineWindowsFolder() + "/inf";
  }

  RunResult Run(std::vector<std::string> args = {"case.log"}) {
    return RunWindows(GetParam(), "noisegauge",
                      OptionsIn(temp_.path(), std::move(args)));
  }

  std::string LogText(const std::string& name = "case.log") {
    return LogTextAfterStart(temp_.path() + "/" + name, "noisegauge.exe");
  }

  // Adds to `fixture` what must be said about the prefix's own *.pnf files,
  // worked out from their bytes: windows of 256 bytes 128 apart, the last
  // one short, the step back failing in a file below 128 bytes.
  void ExpectOwnFiles(InfFixture* fixture) {
    for (const std::string& name : ListFolder(inf_)) {
      std::string upper = name;
      for (char& c : upper) c = static_cast<char>(toupper(c));
      if (upper.size() < 4 || upper.compare(upper.size() - 4, 4, ".PNF") != 0)
        continue;
      struct stat info;
      ASSERT_EQ(stat((inf_ + "/" + name).c_str(), &info), 0) << name;
      ASSERT_TRUE(S_ISREG(info.st_mode)) << name;
      std::string bytes = ReadFileBytes(inf_ + "/" + name);
      double sum = 0.0;
      int windows = 0;
      for (size_t offset = 0;; offset += 128) {
        std::string window = bytes.substr(offset, 256);
        sum += Entropy(window);
        ++windows;
        if (window.size() < 256) break;
      }
      std::string console = Checking(name), log;
      if (bytes.size() < 128) console += NoStepBack(name);
      if (sum / windows > 0.6) {
        log = Suspicious(name, Digits(sum / windows));
        console += log;
      }
      fixture->expected[name] = {console, log};
    }
  }

  TempFolder temp_;
  std::string inf_;
};

TEST_P(WineNoisegauge, MeasuresEveryPnfInWalkOrder) {
  InfFixture fixture = MixedInf();
  ASSERT_NO_FATAL_FAILURE(ExpectOwnFiles(&fixture));
  Lay(fixture, inf_);
  // Sorted with case ignored, Wine's files among the fixtures.
  auto [console, log] = InWalkOrder(fixture, ListFolder(inf_));
  RunResult run = Run();
  Clear(fixture, inf_);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(NormaliseLineEnds(run.console), NormaliseLineEnds(console));
  EXPECT_EQ(LogText(), log);
}

TEST_P(WineNoisegauge, TakesTheDefaultLogWithoutArgument) {
  InfFixture fixture = OneReported("zz_all.pnf");
  ASSERT_NO_FATAL_FAILURE(ExpectOwnFiles(&fixture));
  Lay(fixture, inf_);
  auto [console, log] = InWalkOrder(fixture, ListFolder(inf_));
  RunResult run = Run({});
  Clear(fixture, inf_);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(NormaliseLineEnds(run.console),
            NormaliseLineEnds(kMissingArgumentNotice + console));
  EXPECT_EQ(LogText("zazovavadera_log.txt"), log);
}

INSTANTIATE_TEST_SUITE_P(Wine, WineNoisegauge,
                         testing::ValuesIn(WindowsBuilds()),
                         [](const auto& info) { return info.param.name; });

// The printed averages depend on the last bits of every window's entropy.
// The 32-bit programs compute them on the x87, the 64-bit ones with SSE2,
// both with the same runtime's logarithm: tens of thousands of windows must
// agree bit for bit. (The native build's logarithm is another library's,
// which may round a window's last bit otherwise.)
TEST(Wow64Arithmetic, WindowEntropiesAgreeWithThe64BitBuildToTheLastBit) {
  SKIP_OR_FAIL_WITHOUT(Win64Build());
  SKIP_OR_FAIL_WITHOUT(Win32Build());
  TempFolder temp;
  RunResult wide =
      RunWindows(Win64Build(), "entropy_bits", OptionsIn(temp.path(), {}));
  RunResult x87 =
      RunWindows(Win32Build(), "entropy_bits", OptionsIn(temp.path(), {}));
  ASSERT_EQ(wide.exit_code, 0);
  ASSERT_EQ(x87.exit_code, 0);
  std::istringstream expected(NormaliseLineEnds(wide.console));
  std::istringstream actual(NormaliseLineEnds(x87.console));
  std::string want, got;
  int line = 0, differing = 0;
  while (std::getline(expected, want)) {
    ++line;
    ASSERT_TRUE(std::getline(actual, got)) << "output ends at line " << line;
    if (got != want && differing++ < 5)
      ADD_FAILURE() << "window " << line << ": " << got << ", 64-bit " << want;
  }
  EXPECT_EQ(line, 40000);
  EXPECT_EQ(differing, 0) << "windows that differ";
  EXPECT_FALSE(std::getline(actual, got)) << "more lines than the 64-bit";
}

}  // namespace
