// Runs the kit's programs as a user would, on fixture trees in temporary
// folders, natively or the Windows build under Wine, and captures their
// console output and exit code for byte-exact comparison.
#ifndef TESTS_E2E_HARNESS_H_
#define TESTS_E2E_HARNESS_H_

#include <sys/types.h>

#include <map>
#include <ostream>
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

// Replaces every `from` in `text` with `to`.
std::string Replaced(std::string text, const std::string& from,
                     const std::string& to);

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
  // Standard descriptors (0 to 2) the program starts without; with 1 among
  // them nothing is captured.
  std::vector<int> closed_descriptors;
  // The program's output is a pipe that nobody reads: its reading end is
  // closed before the program starts, and nothing is captured.
  bool output_unread = false;
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

// A Windows build of the programs, run under Wine in one fresh prefix made
// once per test run: the 64-bit programs as on 64-bit Windows, and the 32-bit
// ones, the operators' programs, through Wine's WoW64 with qemu-i386.
struct WindowsBuild {
  std::string name;  // "win64" or "win32", also the name of a test's case
  std::string bin;   // the folder of its programs
  // The folder below C:\windows that the programs take for the system
  // folder: a 32-bit program on 64-bit Windows is redirected to syswow64.
  std::string system_folder;
  bool wow64;  // a 32-bit program on 64-bit Windows: drvscan warns first
};
// Names the build in a test's parameters.
inline void PrintTo(const WindowsBuild& build, std::ostream* out) {
  *out << build.name;
}
const WindowsBuild& Win64Build();
const WindowsBuild& Win32Build();
// Both builds, for tests instantiated once per build.
std::vector<WindowsBuild> WindowsBuilds();

// False, with the reason, when Wine, the build's programs or, for the
// 32-bit build, the i386 runner is missing; tests skip then, except under
// CI, where they fail.
bool WindowsBuildAvailable(const WindowsBuild& build, std::string* why);
RunResult RunWindows(const WindowsBuild& build, const std::string& tool,
                     const RunOptions& options);

// Runs a command of the Windows in the prefix (cmd.exe, a program by its
// Windows path) under Wine, as RunWindows runs the kit's programs.
RunResult RunWineCommand(const std::vector<std::string>& args,
                         const RunOptions& options);
// The Windows path under which Wine shows a Linux path: Z:\ and backslashes.
std::string WinePath(const std::string& linux_path);

// Runs any Linux program, `argv[0]` by its path, as RunNative does.
RunResult RunCommand(const std::vector<std::string>& argv,
                     const RunOptions& options);

// The 64-bit build: WindowsBuildAvailable and RunWindows with Win64Build().
bool WineAvailable(std::string* why);
RunResult RunWine(const std::string& tool, const RunOptions& options);
const std::string& WinePrefix();
// C:\windows in the prefix, as a Linux path.
std::string WineWindowsFolder();
// The build's system folder in the prefix, as a Linux path.
std::string WineSystemFolder(const WindowsBuild& build);
// Any Windows program under Wine in that prefix, such as a test helper of
// a build (WineTestHelper("hold_file")), which lies in its tests/ folder.
RunResult RunWineProgram(const std::string& program, const RunOptions& options);
std::string WineTestHelper(const std::string& name,
                           const WindowsBuild& build = Win64Build());

// A file that another process holds open for writing under Wine, as
// tests/e2e/hold_file.exe of the win64 build holds it: readers allowed,
// writers not. Held from construction until destruction.
class HeldFile {
 public:
  // `windows_path` names an existing file of the Wine prefix
  // ("C:\windows\...").
  explicit HeldFile(const std::string& windows_path);
  ~HeldFile();
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  // True once the holder has opened the file; otherwise what it said.
  bool held() const { return held_; }
  const std::string& said() const { return said_; }

 private:
  int pid_ = -1;
  int input_ = -1;
  bool held_ = false;
  std::string said_;
};

// Entries of a folder, sorted as the kit walks them (ASCII case ignored).
std::vector<std::string> ListFolder(const std::string& path);

// Removes from `console` every line "INFO: Checking file <name>\n" (with
// either line end) whose name is in `names`: under Wine, the prefix's own
// driver and inf files are walked beside the fixtures.
std::string WithoutCheckingLines(const std::string& console,
                                 const std::vector<std::string>& names);

// A native program run with a pseudo-terminal as its standard input and
// output, in raw mode, killed with its group when the object goes.
class TerminalRun {
 public:
  TerminalRun();
  ~TerminalRun();
  TerminalRun(const TerminalRun&) = delete;
  TerminalRun& operator=(const TerminalRun&) = delete;

  // The terminal's device, which a program may also open as its log.
  const std::string& path() const { return path_; }
  bool Start(const std::string& tool, const RunOptions& options);
  // Reads what the program shows until it holds `text`; false when
  // `timeout_seconds` pass first.
  bool ReadUntil(const std::string& text, int timeout_seconds);
  // True while the program has not ended.
  bool Running();
  // Reads until the program ends, killing it after `timeout_seconds`;
  // `console` is all it showed.
  RunResult Finish(int timeout_seconds);
  const std::string& shown() const { return shown_; }

 private:
  // Takes what the terminal holds within `milliseconds`; false if nothing.
  bool ReadFor(int milliseconds);

  int terminal_ = -1;      // the side the harness reads
  int program_side_ = -1;  // the side the program writes
  std::string path_;
  pid_t pid_ = -1;
  std::string shown_;
};

#define SKIP_OR_FAIL_WITHOUT(build)                       \
  do {                                                    \
    std::string why;                                      \
    if (!WindowsBuildAvailable(build, &why)) {            \
      const char* ci = getenv("CI");                      \
      if (ci && std::string(ci) == "true") FAIL() << why; \
      GTEST_SKIP() << why;                                \
    }                                                     \
  } while (0)

#define SKIP_OR_FAIL_WITHOUT_WINE() SKIP_OR_FAIL_WITHOUT(Win64Build())

#endif  // TESTS_E2E_HARNESS_H_
