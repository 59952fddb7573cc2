// ScanBuffer against a plain search written here: for every signature in
// table order, every start offset in turn, byte by byte. The console text
// and the log lines must be exactly those the plain search predicts, so the
// same signatures are reported, in the same order, with the same words.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "common/console.h"
#include "common/run_log.h"
#include "drvscan/signatures.h"

namespace {

const char16_t kFileName[] = u"fuzz.sys";

std::string log_path;
std::string console;

// The names in the table and the file name are ASCII.
std::string Narrow(const char16_t* text) {
  std::string out;
  for (; *text; ++text) out.push_back(static_cast<char>(*text));
  return out;
}

std::string Utf16Le(const std::string& ascii) {
  std::string out;
  for (char c : ascii) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

// The first offset at which `record` occurs in `data`, or -1.
long FirstOccurrence(const uint8_t* data, size_t size,
                     const SignatureRecord& record) {
  for (size_t start = 0; start + record.length <= size; ++start) {
    size_t matched = 0;
    while (matched < record.length &&
           data[start + matched] == record.pattern[matched])
      ++matched;
    if (matched == record.length) return static_cast<long>(start);
  }
  return -1;
}

void Expect(const uint8_t* data, size_t size, std::string* console_text,
            std::string* log_text) {
  for (const SignatureRecord& record : SignatureTable()) {
    std::string name = Narrow(record.name);
    if (size < record.length) {
      *console_text += "\nINFO: Skipping current pattern \"" + name +
                       "\" [buffer length < pattern length]\n";
      continue;
    }
    if (FirstOccurrence(data, size, record) < 0) continue;
    *console_text += "SUSPICIOUS: Pattern " + name + " is matching: ";
    for (uint32_t i = 0; i < record.length; ++i) {
      char hex[8];
      snprintf(hex, sizeof hex, "%s%02x ", i % 8 == 0 ? "\n" : "",
               record.pattern[i]);
      *console_text += hex;
    }
    *console_text += "\n";
    *log_text += Utf16Le("SUSPICIOUS: File " + Narrow(kFileName) +
                         " matches pattern called " + name + "\r\n");
  }
}

// Shows UTF-16LE text of ASCII characters, or console text, readably.
std::string Printable(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c != '\0') out.push_back(c);
  return out;
}

void Fail(const char* what, const std::string& expected,
          const std::string& actual) {
  fprintf(stderr, "%s differs.\nexpected (%zu bytes):\n%s\nactual (%zu):\n%s\n",
          what, expected.size(), Printable(expected).c_str(), actual.size(),
          Printable(actual).c_str());
  abort();
}

void RemoveLog() { unlink(log_path.c_str()); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // In memory where the system offers it: the log is cut and read back on
  // every input.
  std::string name = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  name += "/buffer_scan_fuzzer-XXXXXX";
  int fd = mkstemp(name.data());
  if (fd < 0) abort();
  close(fd);
  log_path = name;
  atexit(RemoveLog);

  WideString wide_path = WideFromNative(log_path);
  std::u16string program = u"buffer_scan_fuzzer";
  char16_t* argv[] = {program.data(), wide_path.data()};
  if (!OpenRunLog(2, argv)) abort();
  SetConsoleSinkForTesting(&console);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;  // The walk never scans an empty file.

  // The log is opened for appending, so after the cut the scan's lines are
  // all that it holds.
  if (truncate(log_path.c_str(), 0) != 0) abort();
  console.clear();

  ScanBuffer(kFileName, data, size);
  ConsoleFlush();

  std::ifstream in(log_path, std::ios::binary);
  std::stringstream log;
  log << in.rdbuf();

  std::string expected_console, expected_log;
  Expect(data, size, &expected_console, &expected_log);
  if (console != expected_console) Fail("console", expected_console, console);
  if (log.str() != expected_log) Fail("log", expected_log, log.str());
  return 0;
}
