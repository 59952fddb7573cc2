#include "kitreport/report_writer.h"

#include <cstdio>
#include <nlohmann/json.hpp>

namespace {

// A JSON string. nlohmann/json escapes the text; its strings are UTF-8 and
// cannot hold a lone surrogate, so each one is written here as the escape
// that JSON has for it, between the runs that nlohmann/json writes.
std::string JsonString(const WideString& text) {
  std::string json = "\"";
  std::string run;
  auto flush_run = [&json, &run] {
    std::string quoted = nlohmann::json(run).dump();
    json.append(quoted, 1, quoted.size() - 2);
    run.clear();
  };
  AppendUtf8Of(
      text.data(), text.size(), &run, [&](char16_t unit, std::string*) {
        flush_run();
        char escape[8];
        snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(unit));
        json += escape;
      });
  flush_run();
  return json + "\"";
}

// A CSV field, quoted when it holds a separator, a quote or a line end.
std::string CsvQuote(const std::string& utf8) {
  if (utf8.find_first_of(",\"\r\n") == std::string::npos) return utf8;
  std::string quoted = "\"";
  for (char c : utf8) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string CsvField(const WideString& text) {
  std::string utf8;
  AppendUtf8Of(text.data(), text.size(), &utf8,
               [](char16_t, std::string* out) { AppendUtf8(0xFFFD, out); });
  return CsvQuote(utf8);
}

}  // namespace

std::string CsvHeader() {
  return "log,run,program,started,kind,file,detail,text,shadow_copy\r\n";
}

std::string CsvRow(const WideString& log, const LogRecord& record) {
  return CsvField(log) + "," + std::to_string(record.run) + "," +
         CsvField(record.program) + "," + record.started + "," +
         KindName(record.kind) + "," + CsvField(record.file) + "," +
         CsvField(record.detail) + "," + CsvField(record.text) + "," +
         record.shadow_copy + "\r\n";
}

std::string JsonLine(const WideString& log, const LogRecord& record) {
  return "{\"log\":" + JsonString(log) +
         ",\"run\":" + std::to_string(record.run) +
         ",\"program\":" + JsonString(record.program) + ",\"started\":\"" +
         record.started + "\",\"kind\":\"" + KindName(record.kind) +
         "\",\"file\":" + JsonString(record.file) +
         ",\"detail\":" + JsonString(record.detail) +
         ",\"text\":" + JsonString(record.text) + ",\"shadow_copy\":" +
         (record.shadow_copy.empty() ? "null"
                                     : "\"" + record.shadow_copy + "\"") +
         "}\n";
}
