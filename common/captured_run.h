// For unit tests of code that reports: a run log opened on a temporary file
// as a tool's start-up opens it, and the console captured, both released
// when the object goes out of scope.
#ifndef COMMON_CAPTURED_RUN_H_
#define COMMON_CAPTURED_RUN_H_

#include <string>

#include "common/text.h"

// The code units of a UTF-16LE file, as the run log holds them.
WideString ReadUtf16LeFile(const std::string& path);

class CapturedRun {
 public:
  CapturedRun();
  ~CapturedRun();
  CapturedRun(const CapturedRun&) = delete;
  CapturedRun& operator=(const CapturedRun&) = delete;

  // Everything printed since the start (or the last ClearConsole), as UTF-8.
  std::string Console();
  void ClearConsole();

  // The log's code units, read back from its UTF-16LE bytes.
  WideString Log() const;
  // The log as UTF-8 text.
  std::string LogText() const;
  size_t LogSize() const;

  const std::string& log_path() const { return log_path_; }

 private:
  std::string folder_;
  std::string log_path_;
  std::string console_;
};

#endif  // COMMON_CAPTURED_RUN_H_
