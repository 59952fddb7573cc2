// Runs the kit's programs as a user would, on fixture trees in temporary
// folders, natively or the Windows build under Wine, and captures their
// console output and exit code for byte-exact comparison.
#ifndef TESTS_E2E_HARNESS_H_
#define TESTS_E2E_HARNESS_H_

#include <map>
#include <string>
#include <vector>

// What one run of a program left behind.
struct RunResult {
  int exit_code = -1;
  std::string console;  // standard output, as bytes
  bool timed_out = false;
};

// A temporary folder, removed with everything below it on destruction.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Writes `bytes` to `path`, creating the folders on the way.
void WriteFileBytes(const std::string& path, const std::string& bytes);
std::string ReadFileBytes(const std::string& path);
void MakeFolders(const std::string& path);
void RemoveTree(const std::string& path);

// UTF-16LE bytes of UTF-8 text, as the log holds them.
std::string Utf16Le(const std::string& utf8);
// UTF-8 text of UTF-16LE bytes (ASCII and BMP text only, for messages).
std::string FromUtf16Le(const std::string& bytes);

// Replaces every "\r\n" with "\n": the console of a Windows program compared
// with the native one.
std::string NormaliseLineEnds(const std::string& text);

// Checks that `log` (UTF-16LE bytes) begins with a start line for a program
// path ending in `program`, and returns the bytes after it; on mismatch
// returns "<no start line>" followed by the log as text.
std::string AfterStartLine(const std::string& log, const std::string& program);

// The notice printed when no single log path is given.
extern const char kMissingArgumentNotice[];

// How a program is run.
struct RunOptions {
  std::vector<std::string> args;  // after the program path
  std::string cwd;
  // Environment beyond PATH and HOME; a missing SystemRoot stays unset.
  std::map<std::string, std::string> env;
  int timeout_seconds = 60;
  std::string input_path;   // standard input; empty when none is named
  std::string errors_path;  // receives standard error; dropped when empty
};

// A run in `cwd` with `args`, its Windows folder named by SystemRoot, which
// stays unset when `windows` is empty.
RunOptions OptionsIn(const std::string& cwd, std::vector<std::string> args,
                     const std::string& windows = "");

// The text of the log at `path` after its start line for `program`.
std::string LogTextAfterStart(const std::string& path,
                              const std::string& program);

// Runs build/native/bin/<tool> (or the test build's own bin folder).
RunResult RunNative(const std::string& tool, const RunOptions& options);
std::string NativeProgram(const std::string& tool);

// The Windows build under Wine: a fresh prefix made once per test run.
// WineAvailable() is false when Wine or the win64 programs are missing;
// tests skip then, except under CI, where they fail.
bool WineAvailable(std::string* why);
const std::string& WinePrefix();
// C:\windows in the prefix, as a Linux path.
std::string WineWindowsFolder();
RunResult RunWine(const std::string& tool, const RunOptions& options);

// Entries of a folder, sorted as the kit walks them (ASCII case ignored).
std::vector<std::string> ListFolder(const std::string& path);

// Removes from `console` every line "INFO: Checking file <name>\n" (with
// either line end) whose name is in `names`: under Wine, the prefix's own
// driver and inf files are walked beside the fixtures.
std::string WithoutCheckingLines(const std::string& console,
                                 const std::vector<std::string>& names);

#define SKIP_OR_FAIL_WITHOUT_WINE()                       \
  do {                                                    \
    std::string why;                                      \
    if (!WineAvailable(&why)) {                           \
      const char* ci = getenv("CI");                      \
      if (ci && std::string(ci) == "true") FAIL() << why; \
      GTEST_SKIP() << why;                                \
    }                                                     \
  } while (0)

#endif  // TESTS_E2E_HARNESS_H_
