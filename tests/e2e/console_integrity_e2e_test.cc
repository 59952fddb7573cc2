// The console and the log in ordinary shell use: a console that nobody reads,
// standard descriptors closed at the start, names that hold control
// characters, and a terminal. Whatever becomes of the console, the log holds
// every finding and nothing but the kit's own lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/e2e/messages.h"

namespace {

bool IsControl(unsigned char byte) { return byte < 0x20 || byte == 0x7f; }

// A name (UTF-8 bytes) as the console shows it: each C0 control, DEL and
// C1 control (U+0080 to U+009F) as U+FFFD.
std::string Shown(const std::string& name) {
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    unsigned char byte = name[i];
    bool c1 = byte == 0xc2 && i + 1 < name.size() &&
              static_cast<unsigned char>(name[i + 1]) <= 0x9f;
    if (IsControl(byte) || c1) {
      out += "\xef\xbf\xbd";
      if (c1) ++i;
    } else {
      out += name[i];
    }
  }
  return out;
}

// A name as the log carries it, written for Utf16Le(): each C0 control and
// DEL as the lone unit 0xDC00 + byte, everything else as it is.
std::string Carried(const std::string& name) {
  std::string out;
  for (unsigned char byte : name) {
    if (IsControl(byte)) {
      out += '\xed';
      out += static_cast<char>(0xb0 | byte >> 6);
      out += static_cast<char>(0x80 | (byte & 0x3f));
    } else {
      out += static_cast<char>(byte);
    }
  }
  return out;
}

class NativeConsoleIntegrity : public testing::Test {
 protected:
  std::string windows() const { return temp_.path() + "/Windows"; }
  std::string drivers() const { return windows() + "/system32/drivers"; }
  std::string inf() const { return windows() + "/inf"; }

  RunOptions Options(const std::string& tool) const {
    RunOptions options = OptionsIn(temp_.path(), {tool + ".log"}, windows());
    options.timeout_seconds = 60;
    return options;
  }

  // The tool's log after its start line, as UTF-16LE bytes.
  std::string LogOf(const std::string& tool) const {
    return AfterStartLine(ReadFileBytes(temp_.path() + "/" + tool + ".log"),
                          NativeProgram(tool));
  }

  TempFolder temp_;
};

// 1000 files in each folder, each one a finding for its tool: far more
// console text than the console writer collects before it writes.
class NativeManyFindings : public NativeConsoleIntegrity {
 protected:
  static constexpr int kFiles = 1000;

  void SetUp() override {
    MakeFolders(drivers());
    MakeFolders(inf());
    for (int i = 0; i < kFiles; ++i) {
      std::string name = std::to_string(10000 + i);
      WriteFileBytes(drivers() + "/d" + name + ".sys", WithSignature(kRow5));
      WriteFileBytes(inf() + "/p" + name + ".pnf", EveryByte());
    }
  }

  // Every finding of `tool`, in walk order, as UTF-8.
  std::string Findings(const std::string& tool) const {
    std::string out;
    for (int i = 0; i < kFiles; ++i) {
      std::string name = std::to_string(10000 + i);
      if (tool == "drvscan")
        out += Logged("d" + name + ".sys", "C6 2A xor");
      else if (tool == "noisegauge")
        out += AboveThreshold("p" + name + ".pnf");
      else
        out += Orphan(windows() + "\\inf\\p" + name);
    }
    return out;
  }
};

TEST_F(NativeManyFindings, AConsoleNobodyReadsLosesNoFinding) {
  for (const char* tool : {"drvscan", "noisegauge", "pairscan"}) {
    SCOPED_TRACE(tool);
    RunOptions options = Options(tool);
    options.output_unread = true;
    RunResult run = RunNative(tool, options);
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(LogOf(tool), Utf16Le(Findings(tool)));
  }
}

TEST_F(NativeManyFindings, ClosedStandardDescriptorsKeepTheLogClean) {
  const std::vector<int> kClosed[] = {{1}, {1, 2}, {0, 1, 2}};
  for (const char* tool : {"drvscan", "noisegauge", "pairscan"}) {
    for (const std::vector<int>& closed : kClosed) {
      SCOPED_TRACE(testing::Message()
                   << tool << " without " << testing::PrintToString(closed));
      RemoveTree(temp_.path() + "/" + tool + ".log");
      RunOptions options = Options(tool);
      options.closed_descriptors = closed;
      RunResult run = RunNative(tool, options);
      EXPECT_FALSE(run.timed_out);
      EXPECT_EQ(run.exit_code, 0);
      EXPECT_EQ(LogOf(tool), Utf16Le(Findings(tool)));
    }
  }
}

// Names that would forge a log line, clear the screen, retitle the window
// or start a C1 control sequence. Each is still opened and reported, under
// its name with U+FFFD for every control on the console, and with the
// controls carried as units in the log, one line per finding.
class NativeControlNames : public NativeConsoleIntegrity {
 protected:
  const std::string kForgedLine =
      "a\r\nSUSPICIOUS: There is no corresponding inf file for forged\r\n";
  const std::string kScreen = "b\x1b[2J\x1b]0;owned\x07";
  const std::string kOthers =
      "c\xc2\x9b"
      "31m\x7f\t";

  void SetUp() override {
    MakeFolders(drivers());
    MakeFolders(inf());
    WriteFileBytes(drivers() + "/" + kForgedLine + ".sys",
                   WithSignature(kRow5));
    WriteFileBytes(drivers() + "/" + kScreen + ".sys", WithSignature(kRow1));
    WriteFileBytes(drivers() + "/" + kOthers + ".sys", WithSignature(kRow5));
    for (const std::string& stem : {kForgedLine, kScreen, kOthers})
      WriteFileBytes(inf() + "/" + stem + ".pnf", EveryByte());
    // Found under its own bytes: the last stem is paired.
    WriteFileBytes(inf() + "/" + kOthers + ".inf", "");
  }
};

TEST_F(NativeControlNames, AreShownReplacedAndLoggedAsUnits) {
  const std::string folder = windows() + "\\inf\\";
  const struct {
    const char* tool;
    std::string console;
    std::string log;
  } cases[] = {
      {"drvscan",
       Checking(Shown(kForgedLine + ".sys")) + kHit5 +
           Checking(Shown(kScreen + ".sys")) + kHit1 +
           Checking(Shown(kOthers + ".sys")) + kHit5,
       Logged(Carried(kForgedLine + ".sys"), "C6 2A xor") +
           Logged(Carried(kScreen + ".sys"), "decrypt magic1") +
           Logged(Carried(kOthers + ".sys"), "C6 2A xor")},
      {"noisegauge",
       Checking(Shown(kForgedLine + ".pnf")) +
           AboveThreshold(Shown(kForgedLine + ".pnf")) +
           Checking(Shown(kScreen + ".pnf")) +
           AboveThreshold(Shown(kScreen + ".pnf")) +
           Checking(Shown(kOthers + ".pnf")) +
           AboveThreshold(Shown(kOthers + ".pnf")),
       AboveThreshold(Carried(kForgedLine + ".pnf")) +
           AboveThreshold(Carried(kScreen + ".pnf")) +
           AboveThreshold(Carried(kOthers + ".pnf"))},
      {"pairscan",
       Orphan(folder + Shown(kForgedLine)) +
           Checking(folder + Shown(kForgedLine)) +
           Orphan(folder + Shown(kScreen)) + Checking(folder + Shown(kScreen)) +
           Checking(folder + Shown(kOthers)),
       Orphan(folder + Carried(kForgedLine)) +
           Orphan(folder + Carried(kScreen))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tool);
    RunResult run = RunNative(c.tool, Options(c.tool));
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.console, c.console);
    EXPECT_EQ(LogOf(c.tool), Utf16Le(c.log));
  }
}

// At a terminal each file's lines appear as the walk reaches the file: the
// small file's finding shows while a sparse file of 1 TiB, which takes many
// minutes to read, is still being measured.
TEST_F(NativeConsoleIntegrity, ATerminalShowsEachFileAsItIsReached) {
  WriteFileBytes(inf() + "/a.pnf", EveryByte());
  int fd = open((inf() + "/b.pnf").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, off_t{1} << 40), 0);
  close(fd);

  TerminalRun terminal;
  ASSERT_TRUE(terminal.Start("noisegauge", Options("noisegauge")));
  const std::string expected =
      Checking("a.pnf") + AboveThreshold("a.pnf") + Checking("b.pnf");
  EXPECT_TRUE(terminal.ReadUntil(expected, 60)) << terminal.shown();
  EXPECT_TRUE(terminal.Running());
  EXPECT_EQ(terminal.shown(), expected);
}

// EchoThenLog prints before it logs, also when the log is the terminal the
// console shows on: the console's UTF-8 line comes before the log's UTF-16LE
// one, for each orphan.
TEST_F(NativeConsoleIntegrity, ATerminalAsConsoleAndLogKeepsTheirOrder) {
  for (const char* stem : {"x", "y"}) {
    WriteFileBytes(inf() + "/" + stem + ".pnf", "");
  }
  TerminalRun terminal;
  RunOptions options = OptionsIn(temp_.path(), {terminal.path()}, windows());
  ASSERT_TRUE(terminal.Start("pairscan", options));
  RunResult run = terminal.Finish(60);
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_code, 0);
  std::string expected;
  for (const char* stem : {"x", "y"}) {
    std::string orphan = Orphan(windows() + "\\inf\\" + stem);
    expected +=
        orphan + Utf16Le(orphan) + Checking(windows() + "\\inf\\" + stem);
  }
  EXPECT_EQ(AfterStartLine(run.console, NativeProgram("pairscan")), expected);
}

}  // namespace
