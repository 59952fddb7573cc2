// kitreport's reading of a log, for any bytes: one record for each line that
// holds text, in order, whose text is that line exactly (split here at every
// "\r\n", a line feed missing at the end, a stray odd byte left out), whose
// file and detail are found within it, and whose run counts the start lines
// before it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kitreport/log_records.h"

namespace {

void Check(bool ok, const char* what) {
  if (ok) return;
  fprintf(stderr, "ReadLogRecords: %s\n", what);
  abort();
}

// The lines of the log that hold text, without their line ends.
std::vector<WideString> LinesOf(const uint8_t* data, size_t size) {
  WideString units;
  for (size_t i = 0; i + 1 < size; i += 2)
    units.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  std::vector<WideString> lines;
  WideString line;
  for (size_t i = 0; i < units.size(); ++i) {
    if (units[i] == u'\r' && i + 1 < units.size() && units[i + 1] == u'\n') {
      if (!line.empty()) lines.push_back(line);
      line.clear();
      ++i;
    } else {
      line.push_back(units[i]);
    }
  }
  if (!line.empty() && line.back() == u'\r') line.pop_back();
  if (!line.empty()) lines.push_back(line);
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<LogRecord> records;
  bool kit_log = ReadLogRecords(
      std::string(reinterpret_cast<const char*>(data), size), &records);
  std::vector<WideString> lines = LinesOf(data, size);
  Check(records.size() == lines.size(), "not one record a line");
  int starts = 0;
  bool any_known = false;
  for (size_t i = 0; i < records.size(); ++i) {
    const LogRecord& record = records[i];
    Check(record.text == lines[i], "a record's text is not its line");
    Check(record.text.find(record.file) != WideString::npos,
          "the file is not within the line");
    Check(record.text.find(record.detail) != WideString::npos,
          "the detail is not within the line");
    if (record.kind == RecordKind::kStart) {
      ++starts;
      Check(record.text.compare(0, record.program.size(), record.program) == 0,
            "the program is not the start of its start line");
    }
    Check(record.run == starts, "the run does not count the start lines");
    Check(record.program.empty() || record.run > 0,
          "a program before the first start line");
    any_known = any_known || record.kind != RecordKind::kUnknown;
  }
  Check(kit_log == any_known, "a kit log without a kit line, or the reverse");
  return 0;
}
