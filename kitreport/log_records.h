// The lines of one kit log read back as records: which run each belongs to,
// what kind of line it is and the file and detail it names.
#ifndef KITREPORT_LOG_RECORDS_H_
#define KITREPORT_LOG_RECORDS_H_

#include <string>
#include <vector>

#include "common/text.h"

enum class RecordKind {
  kUnknown,  // text that no tool writes, or a last line cut off too early
  kStart,
  kSignature,
  kEntropy,
  kOrphan,
  kHidden,  // a file that the system's folder listing hides
  kMasked,  // a file the system reads otherwise than the volume holds it
  kWarning,
  kError,
  kInfo,
};

// The name of a kind in the reports ("start", "signature", ...); "" for
// kUnknown.
const char* KindName(RecordKind kind);

// What one line says, read on its own.
struct LineFields {
  RecordKind kind = RecordKind::kUnknown;
  WideString program;   // start lines: the program path
  std::string started;  // start lines: "YYYY-MM-DDThh:mmZ"
  WideString file;      // the file, stem or folder the line names, if any
  WideString detail;    // pattern name, entropy value or "0x.." error code
  // True for a line that begins the walk of a volume's shadow copy or says
  // that a copy, or the catalog of them, cannot be read.
  bool shadow_copy_line = false;
  // The line that begins a shadow copy's walk: the copy's creation time,
  // "YYYY-MM-DDThh:mm:ssZ".
  std::string shadow_copy;
};

// Reads one line of a log, `text` without its line end. A start line is
// always written after an empty line, so only a line `after_empty_line` is
// taken for one. Any other line that is not `complete` (the log ends inside
// it) gets only the kind its opening words show: its file, detail and
// shadow copy time could be cut anywhere, so they stay empty.
LineFields ReadLogLine(const WideString& text, bool after_empty_line,
                       bool complete);

// One record of a log: a start line or a line of one run.
struct LogRecord {
  int run = 0;          // 1-based count of start lines; 0 before the first
  WideString program;   // of the run's start line; empty in run 0
  std::string started;  // of the run's start line; empty in run 0
  // The creation time of the shadow copy whose walk the line belongs to,
  // "YYYY-MM-DDThh:mm:ssZ"; empty outside a copy's walk.
  std::string shadow_copy;
  RecordKind kind = RecordKind::kUnknown;
  WideString file;
  WideString detail;
  WideString text;  // the whole line without its "\r\n"
};

// Splits a log's bytes (UTF-16LE) into lines at "\r\n" and reads each line
// that holds text. A shadow copy's walk runs from the line that begins it to
// the next line that begins or refuses a copy, or the next start line. A stray
// odd byte at the end is left out. Returns false when no line is one that a
// tool writes: the bytes are not a kit log.
bool ReadLogRecords(const std::string& bytes, std::vector<LogRecord>* records);

// True when the record is a finding: its line begins with "SUSPICIOUS:".
bool IsFinding(const LogRecord& record);

#endif  // KITREPORT_LOG_RECORDS_H_
