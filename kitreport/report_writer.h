// The records of kit logs as JSON Lines or as CSV (RFC 4180), both UTF-8,
// with the fields log, run, program, started, kind, file, detail, text and
// shadow_copy.
#ifndef KITREPORT_REPORT_WRITER_H_
#define KITREPORT_REPORT_WRITER_H_

#include <string>

#include "common/text.h"
#include "kitreport/log_records.h"

// The CSV header row, with its line end.
std::string CsvHeader();

// One record of the log at `log` as a CSV row ending in "\r\n". Fields that
// hold a comma, a quote or a line end are quoted. A lone surrogate becomes
// U+FFFD; a shadow_copy that is null is empty.
std::string CsvRow(const WideString& log, const LogRecord& record);

// One record as a JSON object on one line ending in "\n". Every UTF-16 unit
// is kept: a lone surrogate is written as its \uXXXX escape. A record
// outside a shadow copy's walk has the shadow_copy null.
std::string JsonLine(const WideString& log, const LogRecord& record);

#endif  // KITREPORT_REPORT_WRITER_H_
