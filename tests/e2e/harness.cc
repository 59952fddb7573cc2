#include "tests/e2e/harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

const char kMissingArgumentNotice[] =
    "\nINFO: First argument [logfile] is missing, taking default values. \n\n";

namespace {

const char kWineLoader[] = "/usr/lib/wine/wine64";
const char kWineServer[] = "/usr/lib/wine/wineserver";
// Wine's 32-bit loader, from wine32:i386, and the binfmt_misc entry that
// hands i386 programs to qemu-i386.
const char kWine32Loader[] = "/usr/lib/wine/wine";
const char kI386Runner[] = "/proc/sys/fs/binfmt_misc/qemu-i386";

std::string EnvOr(const char* name, const char* fallback) {
  const char* value = getenv(name);
  return value && *value ? value : fallback;
}

// Waits for `pid` until `deadline`, then kills its group; returns the exit
// code, or -1 when it ended by a signal or was killed.
int WaitUntil(pid_t pid, time_t deadline, bool* timed_out) {
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return -1;
    if (time(nullptr) >= deadline) {
      *timed_out = true;
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    usleep(10000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs argv[0] with `env` only, in `cwd`, and collects its standard output.
// Standard input is empty and standard error dropped (the tools use
// neither; Wine writes to the latter) unless `options` names files for
// them. The descriptors it lists as closed are closed before the program
// starts; with `output_unread` its output is a pipe whose reading end is
// closed. `options.args` are not used: they are in `argv` already.
RunResult Spawn(const std::vector<std::string>& argv,
                const std::map<std::string, std::string>& env,
                const RunOptions& options) {
  const std::string& cwd = options.cwd;
  const std::string& input_path = options.input_path;
  const std::string& errors_path = options.errors_path;
  const std::vector<int>& closed = options.closed_descriptors;
  const bool output_unread = options.output_unread;
  RunResult result;
  int out[2];
  if (pipe(out) != 0) return result;
  if (output_unread) {
    close(out[0]);
    out[0] = -1;
  }
  std::vector<std::string> env_lines;
  for (const auto& [name, value] : env) env_lines.push_back(name + "=" + value);
  std::vector<char*> c_argv, c_env;
  for (const std::string& a : argv)
    c_argv.push_back(const_cast<char*>(a.c_str()));
  for (const std::string& e : env_lines)
    c_env.push_back(const_cast<char*>(e.c_str()));
  c_argv.push_back(nullptr);
  c_env.push_back(nullptr);

  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    int null_in =
        open(input_path.empty() ? "/dev/null" : input_path.c_str(), O_RDONLY);
    int null_out =
        errors_path.empty()
            ? open("/dev/null", O_WRONLY)
            : open(errors_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(null_in, 0);
    dup2(out[1], 1);
    dup2(null_out, 2);
    if (null_in > 2) close(null_in);
    if (null_out > 2) close(null_out);
    if (out[0] >= 0) close(out[0]);
    close(out[1]);
    for (int fd : closed) close(fd);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execve(c_argv[0], c_argv.data(), c_env.data());
    _exit(127);
  }
  close(out[1]);
  time_t deadline = time(nullptr) + options.timeout_seconds;
  char buffer[65536];
  while (out[0] >= 0) {
    int left = static_cast<int>(deadline - time(nullptr));
    if (left <= 0) break;
    pollfd p = {out[0], POLLIN, 0};
    int ready = poll(&p, 1, left * 1000);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.console.append(buffer, n);
  }
  if (out[0] >= 0) close(out[0]);
  result.exit_code = WaitUntil(pid, deadline, &result.timed_out);
  return result;
}

std::map<std::string, std::string> BaseEnvironment(
    const std::map<std::string, std::string>& extra) {
  std::map<std::string, std::string> env = {
      {"PATH", "/usr/local/bin:/usr/bin:/bin"},
      {"HOME", EnvOr("HOME", "/root")},
  };
  for (const auto& [name, value] : extra) env[name] = value;
  return env;
}

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

bool IsExecutable(const std::string& path) {
  return access(path.c_str(), X_OK) == 0;
}

// The Wine prefix of this test run, made on first use and removed at exit.
std::string wine_prefix;

void RemoveWinePrefix() {
  if (wine_prefix.empty()) return;
  RunOptions options;
  options.timeout_seconds = 30;
  Spawn({kWineServer, "-k"}, BaseEnvironment({{"WINEPREFIX", wine_prefix}}),
        options);
  RemoveTree(wine_prefix);
}

}  // namespace

TempFolder::TempFolder() {
  char pattern[] = "/tmp/kit-e2e.XXXXXX";
  path_ = mkdtemp(pattern);
}

TempFolder::~TempFolder() { RemoveTree(path_); }

void MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1))
    mkdir(path.substr(0, slash).c_str(), 0755);
  mkdir(path.c_str(), 0755);
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  MakeFolders(path.substr(0, path.rfind('/')));
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void RemoveTree(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return;
  if (S_ISDIR(info.st_mode)) {
    chmod(path.c_str(), 0700);
    if (DIR* dir = opendir(path.c_str())) {
      while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") RemoveTree(path + "/" + name);
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

std::string Utf16Le(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    unsigned char c = utf8[i];
    uint32_t code = c;
    int extra = c >= 0xf0 ? 3 : c >= 0xe0 ? 2 : c >= 0xc0 ? 1 : 0;
    if (extra) code = c & (0x3f >> extra);
    for (int k = 1; k <= extra && i + k < utf8.size(); ++k)
      code = code << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3f);
    i += 1 + extra;
    auto unit = [&out](uint32_t u) {
      out.push_back(static_cast<char>(u & 0xff));
      out.push_back(static_cast<char>(u >> 8));
    };
    if (code >= 0x10000) {
      code -= 0x10000;
      unit(0xd800 | (code >> 10));
      unit(0xdc00 | (code & 0x3ff));
    } else {
      unit(code);
    }
  }
  return out;
}

std::string FromUtf16Le(const std::string& bytes) {
  std::string out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint32_t unit = static_cast<unsigned char>(bytes[i]) |
                    static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (unit < 0x80) {
      out.push_back(static_cast<char>(unit));
    } else if (unit < 0x800) {
      out.push_back(static_cast<char>(0xc0 | unit >> 6));
      out.push_back(static_cast<char>(0x80 | (unit & 0x3f)));
    } else {
      out.push_back(static_cast<char>(0xe0 | unit >> 12));
      out.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3f)));
      out.push_back(static_cast<char>(0x80 | (unit & 0x3f)));
    }
  }
  return out;
}

std::string Replaced(std::string text, const std::string& from,
                     const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::string NormaliseLineEnds(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
      out.push_back(text[i]);
  return out;
}

std::string AfterStartLine(const std::string& log, const std::string& program) {
  std::string text = FromUtf16Le(log);
  static const std::regex kStartLine(
      "\r\n(.*) is started at "
      "(0[1-9]|1[0-2])/(0[1-9]|[12][0-9]|3[01])/20[0-9][0-9] "
      "([01][0-9]|2[0-3]):[0-5][0-9]\r\n");
  std::smatch match;
  if (!std::regex_search(text, match, kStartLine,
                         std::regex_constants::match_continuous) ||
      match[1].str().size() < program.size() ||
      match[1].str().compare(match[1].str().size() - program.size(),
                             program.size(), program) != 0)
    return "<no start line>" + text;
  return log.substr(match[0].length() * 2);
}

RunOptions OptionsIn(const std::string& cwd, std::vector<std::string> args,
                     const std::string& windows) {
  RunOptions options;
  options.args = std::move(args);
  options.cwd = cwd;
  if (!windows.empty()) options.env["SystemRoot"] = windows;
  return options;
}

std::string LogTextAfterStart(const std::string& path,
                              const std::string& program) {
  return FromUtf16Le(AfterStartLine(ReadFileBytes(path), program));
}

std::string NativeProgram(const std::string& tool) {
  return std::string(KIT_NATIVE_BIN) + "/" + tool;
}

RunResult RunNative(const std::string& tool, const RunOptions& options) {
  return RunCommand({NativeProgram(tool)}, options);
}

const WindowsBuild& Win64Build() {
  static const WindowsBuild build = {"win64", KIT_WIN64_BIN, "system32", false};
  return build;
}

const WindowsBuild& Win32Build() {
  static const WindowsBuild build = {"win32", KIT_WIN32_BIN, "syswow64", true};
  return build;
}

std::vector<WindowsBuild> WindowsBuilds() {
  return {Win64Build(), Win32Build()};
}

bool WindowsBuildAvailable(const WindowsBuild& build, std::string* why) {
  if (!IsExecutable(kWineLoader)) {
    *why = std::string("Wine is missing: ") + kWineLoader;
    return false;
  }
  std::string program = build.bin + "/drvscan.exe";
  if (access(program.c_str(), R_OK) != 0) {
    *why = "The " + build.name + " build is missing: " + program;
    return false;
  }
  if (build.wow64) {
    // The kernel runs no i386 program by itself: Wine's 32-bit half needs
    // qemu-i386 registered in binfmt_misc (scripts/ensure-wow64.sh).
    if (!IsExecutable(kWine32Loader) ||
        ReadFileBytes(kI386Runner).compare(0, 7, "enabled") != 0) {
      *why =
          "Wine's WoW64 set-up is missing (run scripts/ensure-wow64.sh "
          "as root): no " +
          std::string(kWine32Loader) + " or no " + kI386Runner;
      return false;
    }
  }
  if (WinePrefix().empty()) {
    *why = "Could not make a Wine prefix";
    return false;
  }
  if (build.wow64 &&
      access((WineWindowsFolder() + "/syswow64").c_str(), F_OK) != 0) {
    *why = "The Wine prefix has no syswow64: Wine's 32-bit half is missing";
    return false;
  }
  return true;
}

bool WineAvailable(std::string* why) {
  return WindowsBuildAvailable(Win64Build(), why);
}

const std::string& WinePrefix() {
  static bool tried = false;
  if (tried) return wine_prefix;
  tried = true;
  char pattern[] = "/tmp/kit-wine.XXXXXX";
  std::string prefix = mkdtemp(pattern);
  RunOptions options;
  options.timeout_seconds = 300;
  RunResult boot =
      Spawn({kWineLoader, "wineboot", "--init"},
            BaseEnvironment({{"WINEPREFIX", prefix},
                             {"WINEDEBUG", "-all"},
                             {"WINEDLLOVERRIDES", "mscoree,mshtml="}}),
            options);
  if (boot.exit_code != 0 ||
      access((prefix + "/drive_c/windows/system32/drivers").c_str(), F_OK)) {
    RemoveTree(prefix);
    return wine_prefix;
  }
  wine_prefix = prefix;
  atexit(RemoveWinePrefix);
  return wine_prefix;
}

std::string WineWindowsFolder() { return WinePrefix() + "/drive_c/windows"; }

std::string WineSystemFolder(const WindowsBuild& build) {
  return WineWindowsFolder() + "/" + build.system_folder;
}

RunResult RunWindows(const WindowsBuild& build, const std::string& tool,
                     const RunOptions& options) {
  // wine64 starts a 32-bit program in the same prefix through WoW64.
  return RunWineCommand({build.bin + "/" + tool + ".exe"}, options);
}

std::string WinePath(const std::string& linux_path) {
  std::string path = "Z:" + linux_path;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

RunResult RunCommand(const std::vector<std::string>& argv,
                     const RunOptions& options) {
  std::vector<std::string> all = argv;
  all.insert(all.end(), options.args.begin(), options.args.end());
  return Spawn(all, BaseEnvironment(options.env), options);
}

RunResult RunWineCommand(const std::vector<std::string>& args,
                         const RunOptions& options) {
  std::vector<std::string> argv = {kWineLoader};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.insert(argv.end(), options.args.begin(), options.args.end());
  std::map<std::string, std::string> env = options.env;
  env["WINEPREFIX"] = WinePrefix();
  env["WINEDEBUG"] = "-all";
  env["WINEDLLOVERRIDES"] = "mscoree,mshtml=";
  RunOptions under_wine = options;
  under_wine.timeout_seconds = std::max(options.timeout_seconds, 120);
  return Spawn(argv, BaseEnvironment(env), under_wine);
}

RunResult RunWine(const std::string& tool, const RunOptions& options) {
  return RunWindows(Win64Build(), tool, options);
}

RunResult RunWineProgram(const std::string& program,
                         const RunOptions& options) {
  return RunWineCommand({program}, options);
}

std::string WineTestHelper(const std::string& name, const WindowsBuild& build) {
  return build.bin + "/../tests/" + name + ".exe";
}

HeldFile::HeldFile(const std::string& windows_path) {
  int in[2], out[2];
  if (pipe(in) != 0) return;
  if (pipe(out) != 0) {
    close(in[0]);
    close(in[1]);
    return;
  }
  std::vector<std::string> env_lines;
  for (const auto& [name, value] :
       BaseEnvironment({{"WINEPREFIX", WinePrefix()},
                        {"WINEDEBUG", "-all"},
                        {"WINEDLLOVERRIDES", "mscoree,mshtml="}}))
    env_lines.push_back(name + "=" + value);
  std::vector<char*> c_env;
  for (std::string& line : env_lines) c_env.push_back(&line[0]);
  c_env.push_back(nullptr);
  std::string program = WineTestHelper("hold_file");
  std::vector<char*> argv = {const_cast<char*>(kWineLoader), &program[0],
                             const_cast<char*>(windows_path.c_str()), nullptr};
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    int null_out = open("/dev/null", O_WRONLY);
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(null_out, 2);
    close(in[1]);
    close(out[0]);
    execve(argv[0], argv.data(), c_env.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  pid_ = pid;
  input_ = in[1];
  // Waits for the first line, which says whether the file is held.
  time_t deadline = time(nullptr) + 120;
  while (said_.find('\n') == std::string::npos && time(nullptr) < deadline) {
    pollfd p = {out[0], POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) continue;
    char buffer[256];
    ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    said_.append(buffer, n);
  }
  close(out[0]);
  held_ = said_.compare(0, 4, "held") == 0;
}

HeldFile::~HeldFile() {
  if (pid_ < 0) return;
  close(input_);
  for (int tries = 0; tries < 300; ++tries) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    usleep(100 * 1000);
  }
  kill(-pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

std::vector<std::string> ListFolder(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) {
              return Upper(a) < Upper(b);
            });
  return names;
}

std::string WithoutCheckingLines(const std::string& console,
                                 const std::vector<std::string>& names) {
  std::string out;
  std::istringstream lines(console);
  std::string line;
  while (std::getline(lines, line)) {
    bool had_newline = !lines.eof();
    std::string bare = line;
    if (!bare.empty() && bare.back() == '\r') bare.pop_back();
    const std::string kPrefix = "INFO: Checking file ";
    if (bare.compare(0, kPrefix.size(), kPrefix) == 0) {
      std::string name = bare.substr(kPrefix.size());
      size_t slash = name.find_last_of('\\');
      std::string bare_name =
          slash == std::string::npos ? name : name.substr(slash + 1);
      auto own = [&](const std::string& n) {
        return n == name || n == bare_name ||
               n.substr(0, n.rfind('.')) == bare_name;
      };
      if (std::any_of(names.begin(), names.end(), own)) continue;
    }
    out += line;
    if (had_newline) out += "\n";
  }
  return out;
}

TerminalRun::TerminalRun() {
  terminal_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (terminal_ < 0 || grantpt(terminal_) != 0 || unlockpt(terminal_) != 0)
    return;
  path_ = ptsname(terminal_);
  // Held open here too, so that the terminal stays up whatever the program
  // does; raw, so that its bytes arrive as they were written.
  program_side_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios modes;
  if (program_side_ >= 0 && tcgetattr(program_side_, &modes) == 0) {
    cfmakeraw(&modes);
    tcsetattr(program_side_, TCSANOW, &modes);
  }
}

TerminalRun::~TerminalRun() {
  if (pid_ > 0) {
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (program_side_ >= 0) close(program_side_);
  if (terminal_ >= 0) close(terminal_);
}

bool TerminalRun::Start(const std::string& tool, const RunOptions& options) {
  if (program_side_ < 0) return false;
  std::vector<std::string> args = {NativeProgram(tool)};
  args.insert(args.end(), options.args.begin(), options.args.end());
  std::vector<std::string> env_lines;
  for (const auto& [name, value] : BaseEnvironment(options.env))
    env_lines.push_back(name + "=" + value);
  std::vector<char*> c_argv, c_env;
  for (const std::string& a : args)
    c_argv.push_back(const_cast<char*>(a.c_str()));
  for (const std::string& e : env_lines)
    c_env.push_back(const_cast<char*>(e.c_str()));
  c_argv.push_back(nullptr);
  c_env.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    setpgid(0, 0);
    dup2(program_side_, 0);
    dup2(program_side_, 1);
    int null_out = open("/dev/null", O_WRONLY);
    dup2(null_out, 2);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    execve(c_argv[0], c_argv.data(), c_env.data());
    _exit(127);
  }
  return pid_ > 0;
}

bool TerminalRun::ReadFor(int milliseconds) {
  pollfd p = {terminal_, POLLIN, 0};
  if (poll(&p, 1, milliseconds) <= 0) return false;
  char buffer[65536];
  ssize_t n = read(terminal_, buffer, sizeof buffer);
  if (n <= 0) return false;
  shown_.append(buffer, n);
  return true;
}

bool TerminalRun::ReadUntil(const std::string& text, int timeout_seconds) {
  time_t deadline = time(nullptr) + timeout_seconds;
  while (shown_.find(text) == std::string::npos) {
    if (time(nullptr) >= deadline) return false;
    ReadFor(100);
  }
  return true;
}

bool TerminalRun::Running() {
  return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0;
}

RunResult TerminalRun::Finish(int timeout_seconds) {
  RunResult result;
  time_t deadline = time(nullptr) + timeout_seconds;
  int status = 0;
  for (;;) {
    ReadFor(10);
    if (waitpid(pid_, &status, WNOHANG) == pid_) break;
    if (time(nullptr) >= deadline) {
      result.timed_out = true;
      kill(-pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
  }
  pid_ = -1;
  while (ReadFor(0)) {
  }
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.console = shown_;
  return result;
}
