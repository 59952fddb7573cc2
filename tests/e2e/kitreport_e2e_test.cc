// kitreport run as an operator runs it: on logs that the real tools wrote on
// a fixture tree, and the Windows build under Wine on the same logs.
#include <gtest/gtest.h>

#include <regex>

#include "tests/e2e/harness.h"

namespace {

// A driver whose name holds a comma, a quote, the signature line's marker
// with a pattern name, and a byte that is not UTF-8; it holds the pattern
// "imul magic1". The log keeps the byte as the unit 0xDCFF.
const char kHostileDriver[] =
    "a,\"b\" matches pattern called decrypt magic1\xff.sys";
const char kHostileJson[] =
    "a,\\\"b\\\" matches pattern called decrypt magic1\\udcff.sys";

// A Windows folder with a finding of every kind the tools write here, and a
// log of the three tools run on it one after the other.
class NativeKitreport : public testing::Test {
 protected:
  void SetUp() override {
    const std::string windows = temp_.path() + "/Windows";
    const std::string drivers = windows + "/System32/drivers/";
    WriteFileBytes(drivers + "clean.sys", "nothing to see");
    WriteFileBytes(drivers + "hit.sys", "\x01\xb8\x5c\x17\xe9\x42\x02");
    WriteFileBytes(drivers + kHostileDriver, "\x69\xc0\xd5\x0b\x8e\x61");
    std::string every_byte;
    for (int b = 0; b < 256; ++b) every_byte.push_back(static_cast<char>(b));
    WriteFileBytes(windows + "/inf/noisy.pnf", every_byte);
    WriteFileBytes(windows + "/inf/noisy.inf", "");
    WriteFileBytes(windows + "/inf/lone.pnf", std::string(4096, '\0'));
    MakeFolders(windows + "/inf/locked.pnf");
    stems_ = windows + "\\\\inf\\\\";  // as JSON writes the backslashes
    MakeFolders(path("logs"));

    for (const char* tool : {"drvscan", "noisegauge", "pairscan"})
      RunNative(tool, OptionsIn(temp_.path(), {"logs/host1.log"}, windows));
    log_ = ReadFileBytes(path("logs/host1.log"));
    // Started each by the path of the program.
    static const std::regex kStart(
        " is started at (\\d\\d)/(\\d\\d)/(\\d{4}) (\\d\\d):(\\d\\d)\r\n");
    std::string text = FromUtf16Le(log_);
    for (std::sregex_iterator it(text.begin(), text.end(), kStart), end;
         it != end; ++it) {
      const std::smatch& m = *it;
      started_.push_back(m[3].str() + "-" + m[1].str() + "-" + m[2].str() +
                         "T" + m[4].str() + ":" + m[5].str() + "Z");
    }
    ASSERT_EQ(started_.size(), 3u) << text;
  }

  std::string path(const std::string& name) const {
    return temp_.path() + "/" + name;
  }

  RunResult Report(std::vector<std::string> args,
                   const std::string& input_path = "") {
    RunOptions options = OptionsIn(temp_.path(), std::move(args));
    options.input_path = input_path;
    options.errors_path = path("errors.txt");
    return RunNative("kitreport", options);
  }

  std::string Errors() { return ReadFileBytes(path("errors.txt")); }

  // One JSON line of run 1 to 3 (the tools in turn), fields already escaped.
  std::string Json(const std::string& log, int run, const std::string& kind,
                   const std::string& file, const std::string& detail,
                   const std::string& text) const {
    const char* tools[] = {"drvscan", "noisegauge", "pairscan"};
    return "{\"log\":\"" + log + "\",\"run\":" + std::to_string(run) +
           ",\"program\":\"" + NativeProgram(tools[run - 1]) +
           "\",\"started\":\"" + started_[run - 1] + "\",\"kind\":\"" + kind +
           "\",\"file\":\"" + file + "\",\"detail\":\"" + detail +
           "\",\"text\":\"" + text + "\",\"shadow_copy\":null}\n";
  }

  // The records of host1.log under the name `log`.
  std::string Host1(const std::string& log) const {
    const std::string start = " is started at ";
    auto start_text = [&](int run) {
      const char* tools[] = {"drvscan", "noisegauge", "pairscan"};
      const std::string& iso = started_[run - 1];
      return NativeProgram(tools[run - 1]) + start + iso.substr(5, 2) + "/" +
             iso.substr(8, 2) + "/" + iso.substr(0, 4) + " " +
             iso.substr(11, 5);
    };
    const std::string orphan =
        "SUSPICIOUS: There is no corresponding inf file for ";
    return Json(log, 1, "start", "", "", start_text(1)) +
           Json(log, 1, "signature", kHostileJson, "imul magic1",
                std::string("SUSPICIOUS: File ") + kHostileJson +
                    " matches pattern called imul magic1") +
           Json(log, 1, "signature", "hit.sys", "decrypt magic1",
                "SUSPICIOUS: File hit.sys matches pattern called decrypt "
                "magic1") +
           Json(log, 2, "start", "", "", start_text(2)) +
           Json(log, 2, "error", "locked.pnf", "0x5",
                "ERROR: locked.pnf - Could not open PNF file for reading. "
                "Error code: 0x5") +
           Json(log, 2, "entropy", "noisy.pnf", "0.937500",
                "SUSPICIOUS: The entropy of noisy.pnf is above threshold: "
                "0.937500") +
           Json(log, 3, "start", "", "", start_text(3)) +
           Json(log, 3, "orphan", stems_ + "locked", "",
                orphan + stems_ + "locked") +
           Json(log, 3, "orphan", stems_ + "lone", "",
                orphan + stems_ + "lone");
  }

  TempFolder temp_;
  std::string log_;
  std::vector<std::string> started_;
  std::string stems_;
};

TEST_F(NativeKitreport, EveryLineOfEveryRunBecomesARecord) {
  RunResult run = Report({"logs/host1.log"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.console, Host1("logs/host1.log"));
  EXPECT_EQ(Errors(), "");
}

// The lines no tool writes on this machine (the warning of a 32-bit run on
// 64-bit Windows, the folder named by VORLKIT_WINDOWS) as Windows writes
// them, after a run that found nothing.
TEST_F(NativeKitreport, WarningsAndNoticesWithoutFindings) {
  const std::string warning =
      "WARNING: 64-bit system is detected. Some drivers may remain unchecked. "
      "Note that Vorl currently does not use 64-bit kernel drivers!";
  const std::string info =
      "INFO: Examining the Windows folder E:\\Windows (VORLKIT_WINDOWS)";
  WriteFileBytes(path("quiet.log"),
                 Utf16Le("\r\nC:\\kit\\drvscan.exe is started at 12/10/2026 "
                         "02:46\r\n" +
                         info + "\r\n" + warning + "\r\n"));
  RunResult run = Report({"quiet.log"});
  const std::string common =
      "{\"log\":\"quiet.log\",\"run\":1,\"program\":\"C:\\\\kit\\\\drvscan."
      "exe\",\"started\":\"2026-12-10T02:46Z\",\"kind\":";
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.console,
            common +
                "\"start\",\"file\":\"\",\"detail\":\"\",\"text\":\"C:\\\\kit\\"
                "\\drvscan.exe is started at 12/10/2026 02:46\","
                "\"shadow_copy\":null}\n" +
                common +
                "\"info\",\"file\":\"E:\\\\Windows\",\"detail\":\"\","
                "\"text\":\"INFO: Examining the Windows folder E:\\\\Windows "
                "(VORLKIT_WINDOWS)\",\"shadow_copy\":null}\n" +
                common +
                "\"warning\",\"file\":\"\",\"detail\":\"\",\"text\":\"" +
                warning + "\",\"shadow_copy\":null}\n");
}

TEST_F(NativeKitreport, ACutLogIsReportedAsFarAsItGoes) {
  // The last line loses its line end, its last two characters and half of
  // the one before.
  WriteFileBytes(path("cut.log"), log_.substr(0, log_.size() - 9));
  RunResult run = Report({"cut.log"});
  std::string expected = Host1("cut.log");
  size_t last = expected.rfind("{");
  expected = expected.substr(0, last) +
             Json("cut.log", 3, "orphan", "", "",
                  "SUSPICIOUS: There is no corresponding inf file for " +
                      stems_ + "l");
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.console, expected);
  EXPECT_EQ(Errors(), "");
}

// A folder stands for its files in name order; a bad log is named on
// standard error and the others are still reported.
TEST_F(NativeKitreport, FoldersStandardInputAndBadLogs) {
  WriteFileBytes(path("logs/b-host2.log"), log_);
  WriteFileBytes(path("logs/sub/ignored.log"), log_);
  WriteFileBytes(path("notes.txt"), "INFO: UTF-8, not a kit log\n");
  struct Case {
    std::vector<std::string> args;
    std::string input;
    int exit_code;
    std::string output;
    std::string errors;
  } cases[] = {
      {{"logs"},
       "",
       1,
       Host1("logs/b-host2.log") + Host1("logs/host1.log"),
       ""},
      {{"-"}, "logs/host1.log", 1, Host1("-"), ""},
      {{"notes.txt", "logs/host1.log", "missing.log"},
       "",
       2,
       Host1("logs/host1.log"),
       "kitreport: notes.txt: not a kit log (no line that a tool of the kit "
       "writes, in UTF-16LE)\n"
       "kitreport: missing.log: could not read the log. Error code: 0x2\n"},
  };
  for (const Case& c : cases) {
    RunResult run = Report(c.args, c.input.empty() ? "" : path(c.input));
    EXPECT_EQ(run.exit_code, c.exit_code) << c.args[0];
    EXPECT_EQ(run.console, c.output) << c.args[0];
    EXPECT_EQ(Errors(), c.errors) << c.args[0];
  }
}

TEST_F(NativeKitreport, CommandLine) {
  WriteFileBytes(path("--help"), log_);
  struct Case {
    std::vector<std::string> args;
    int exit_code;
    std::string output_start;
    std::string errors;
  } cases[] = {
      {{"--help"}, 0, "Usage: kitreport [--format jsonl|csv]", ""},
      {{"logs/host1.log", "/?"},
       0,
       "Usage: kitreport [--format jsonl|csv]",
       ""},
      {{"--version"}, 0, "kitreport (vorlkit) " KIT_VERSION "\n", ""},
      {{"--", "--help"}, 1, "{\"log\":\"--help\",\"run\":1,", ""},
      {{"--format=csv", "logs/host1.log"}, 1, "log,run,", ""},
      {{}, 2, "", "kitreport: no log given\nTry 'kitreport --help'.\n"},
      {{"--format", "xml", "logs/host1.log"},
       2,
       "",
       "kitreport: unknown format 'xml': expected jsonl or csv\n"
       "Try 'kitreport --help'.\n"},
      {{"-x", "logs/host1.log"},
       2,
       "",
       "kitreport: unknown option '-x'\nTry 'kitreport --help'.\n"},
  };
  for (const Case& c : cases) {
    RunResult run = Report(c.args);
    std::string what = c.args.empty() ? "" : c.args[0];
    EXPECT_EQ(run.exit_code, c.exit_code) << what;
    EXPECT_EQ(run.console.substr(0, c.output_start.size()), c.output_start)
        << what;
    if (c.output_start.empty()) {
      EXPECT_EQ(run.console, "") << what;
    }
    EXPECT_EQ(Errors(), c.errors) << what;
  }
}

TEST_F(NativeKitreport, CsvOfTheSameLog) {
  RunResult run = Report({"--format", "csv", "logs/host1.log"});
  EXPECT_EQ(run.exit_code, 1);
  const std::string header =
      "log,run,program,started,kind,file,detail,text,shadow_copy\r\n";
  ASSERT_EQ(run.console.compare(0, header.size(), header), 0) << run.console;
  // The hostile name quoted, its quotes doubled, its odd byte U+FFFD.
  const std::string name =
      "\"a,\"\"b\"\" matches pattern called decrypt magic1\xef\xbf\xbd.sys\"";
  EXPECT_NE(run.console.find("logs/host1.log,1," + NativeProgram("drvscan") +
                             "," + started_[0] + ",signature," + name +
                             ",imul magic1,\"SUSPICIOUS: File a,\"\"b\"\""),
            std::string::npos)
      << run.console;
}

class WineKitreport : public NativeKitreport,
                      public testing::WithParamInterface<WindowsBuild> {};

// Each Windows program gives the same bytes as the native one: no line end
// is translated on the way out.
TEST_P(WineKitreport, GivesTheSameRecordsAsTheNativeProgram) {
  SKIP_OR_FAIL_WITHOUT(GetParam());
  WriteFileBytes(path("host1.log"), log_);
  for (const char* format : {"jsonl", "csv"}) {
    RunOptions options =
        OptionsIn(temp_.path(), {"--format", format, "host1.log"});
    RunResult native = RunNative("kitreport", options);
    RunResult wine = RunWindows(GetParam(), "kitreport", options);
    EXPECT_EQ(wine.exit_code, 1) << format;
    EXPECT_EQ(wine.console, native.console) << format;
  }
}

INSTANTIATE_TEST_SUITE_P(Wine, WineKitreport,
                         testing::ValuesIn(WindowsBuilds()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
