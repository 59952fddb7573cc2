// kitreport: the records of kit logs, one per start line and per finding,
// warning, error or notice, on standard output as JSON Lines or CSV.
#include <string>
#include <vector>

#include "common/console.h"
#include "common/entry.h"
#include "common/format.h"
#include "common/platform.h"
#include "common/text.h"
#include "common/usage.h"
#include "kitreport/log_files.h"
#include "kitreport/log_records.h"
#include "kitreport/report_writer.h"

namespace {

const char kUsage[] =
    "Usage: kitreport [--format jsonl|csv] [--help] [--version] LOG...\n"
    "\n"
    "Turns the logs of drvscan, noisegauge and pairscan into records on\n"
    "standard output: one for the start line of each run and one for every\n"
    "SUSPICIOUS:, WARNING:, ERROR: and INFO: line.\n"
    "\n"
    "  --format jsonl  JSON Lines, one object per record (the default)\n"
    "  --format csv    CSV (RFC 4180) in UTF-8, with a header row\n"
    "  LOG             a kit log (UTF-16LE); a folder stands for every file\n"
    "                  directly in it, in name order; - is standard input\n"
    "\n"
    "Fields: log, run, program, started (UTC), kind (start, signature,\n"
    "entropy, orphan, hidden, masked, warning, error or info), file, detail,\n"
    "text, shadow_copy (the UTC creation time of the shadow copy whose walk\n"
    "holds the line; null, in CSV empty, elsewhere).\n"
    "\n"
    "Exit codes: 0 no finding, 1 at least one SUSPICIOUS line, 2 a log could\n"
    "not be read or is not a kit log (the others are still reported).\n";

enum class ReportFormat { kJsonLines, kCsv };

// Names `log` on standard error with `format`, which takes the log's name
// and then `code`.
void Complain(const char16_t* format, const WideString& log,
              uint32_t code = 0) {
  WideString message = FormatText(format, {log, code});
  WriteToStandardStream(StandardStream::kError,
                        DisplayFromWide(message.data(), message.size()));
}

void ComplainOfUsage(const char16_t* format, const WideString& argument) {
  Complain(format, argument);
  WriteToStandardStream(StandardStream::kError, "Try 'kitreport --help'.\n");
}

// The whole run: which logs, in which format, and what was found.
class Report {
 public:
  explicit Report(ReportFormat format) : format_(format) {}

  // Reports the log at `path`, or every file of the folder it names.
  void Add(const WideString& path) {
    if (path == u"-" || !IsFolder(path)) {
      AddLog(path);
      return;
    }
    std::vector<WideString> files;
    uint32_t error = ListFolderFiles(path, &files);
    if (error != 0) {
      Complain(u"kitreport: %s: could not list the folder. Error code: 0x%x\n",
               path, error);
      failed_ = true;
    }
    for (const WideString& file : files) AddLog(file);
  }

  int ExitCode() const { return failed_ ? 2 : found_ ? 1 : 0; }

 private:
  void AddLog(const WideString& path) {
    std::string bytes;
    uint32_t error = ReadWholeFile(path, &bytes);
    if (error != 0) {
      Complain(u"kitreport: %s: could not read the log. Error code: 0x%x\n",
               path, error);
      failed_ = true;
      return;
    }
    std::vector<LogRecord> records;
    if (!ReadLogRecords(bytes, &records)) {
      Complain(
          u"kitreport: %s: not a kit log (no line that a tool of the kit "
          u"writes, in UTF-16LE)\n",
          path);
      failed_ = true;
      return;
    }
    std::string out;
    for (const LogRecord& record : records) {
      out += format_ == ReportFormat::kCsv ? CsvRow(path, record)
                                           : JsonLine(path, record);
      found_ = found_ || IsFinding(record);
    }
    WriteToStandardStream(StandardStream::kOutput, out);
  }

  ReportFormat format_;
  bool failed_ = false;
  bool found_ = false;
};

}  // namespace

int WideMain(int argc, char16_t** argv) {
  ReportFormat format = ReportFormat::kJsonLines;
  std::vector<WideString> logs;
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    WideString argument = argv[i];
    bool option = !options_ended && argument.size() > 1 &&
                  (argument[0] == u'-' || argument == u"/?");
    if (!option) {
      logs.push_back(argument);
    } else if (argument == u"--") {
      options_ended = true;
    } else if (argument == u"--help" || argument == u"-h" ||
               argument == u"/?") {
      ConsolePrintBytes(kUsage);
      return 0;
    } else if (argument == u"--version") {
      PrintVersion("kitreport");
      return 0;
    } else if (argument == u"--format" ||
               argument.compare(0, 9, u"--format=") == 0) {
      WideString value;
      if (argument.size() > 8) {
        value = argument.substr(9);
      } else if (i + 1 < argc) {
        value = argv[++i];
      }
      if (value == u"jsonl") {
        format = ReportFormat::kJsonLines;
      } else if (value == u"csv") {
        format = ReportFormat::kCsv;
      } else {
        ComplainOfUsage(
            u"kitreport: unknown format '%s': expected jsonl or csv\n", value);
        return 2;
      }
    } else {
      ComplainOfUsage(u"kitreport: unknown option '%s'\n", argument);
      return 2;
    }
  }
  if (logs.empty()) {
    WriteToStandardStream(StandardStream::kError,
                          "kitreport: no log given\nTry 'kitreport --help'.\n");
    return 2;
  }

  if (format == ReportFormat::kCsv)
    WriteToStandardStream(StandardStream::kOutput, CsvHeader());
  Report report(format);
  for (const WideString& log : logs) report.Add(log);
  return report.ExitCode();
}
