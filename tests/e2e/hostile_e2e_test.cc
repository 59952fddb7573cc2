// The three programs on trees an attacker may have prepared: FIFOs, links to
// devices and to themselves, names that are not UTF-8, paths too long for the
// system, a sparse file beyond 4 GiB, and logs that cannot be written. Every
// run must end by itself, report each bad entry and go on, and leave the tree
// exactly as it found it.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/e2e/messages.h"

namespace {

// U+FFFD, as the console shows an undecodable byte.
const char kReplacement[] = "\xef\xbf\xbd";
// The lone UTF-16 units that stand in the log for the byte 0xFE and for a
// backslash within a name (0xDCFE, 0xDC5C), written the way Utf16Le() turns
// them into those units.
const char kUnitFE[] = "\xed\xb3\xbe";
const char kUnit5C[] = "\xed\xb1\x9c";

// A name of 250 bytes, the largest most file systems allow being 255.
std::string LongName(const std::string& extension) {
  return "long" + std::string(242, 'n') + extension;
}

std::string OpenError(const char* code) {
  return std::string(
             "ERROR: Could not read the specified file. Error code: 0x") +
         code + "\n";
}

std::string PnfOpenError(const std::string& name, const char* code) {
  return "ERROR: " + name +
         " - Could not open PNF file for reading. Error code: 0x" + code +
         "\r\n";
}

void Link(const std::string& target, const std::string& path) {
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
}

void Fifo(const std::string& path) {
  ASSERT_EQ(mkfifo(path.c_str(), 0644), 0) << path;
}

std::string Time(const timespec& t) {
  return std::to_string(t.tv_sec) + "." + std::to_string(t.tv_nsec);
}

// Reads a file without touching its access time.
std::string ReadQuietly(int folder, const std::string& name) {
  std::string bytes;
  int fd = openat(folder, name.c_str(), O_RDONLY | O_NOATIME | O_NONBLOCK);
  if (fd < 0) return "<unreadable>";
  char buffer[65536];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) bytes.append(buffer, n);
  close(fd);
  return bytes;
}

// Everything the tools could change about each entry below a folder, by path
// relative to it: kind and mode, inode, links, size and blocks, the three
// times, and a hash of the content (of files up to 1 MiB) or the link's
// target. Made
// through folder descriptors, so paths longer than the system takes are
// fine, and without touching any access time.
using Snapshot = std::map<std::string, std::string>;

void SnapshotInto(int folder, const std::string& prefix, Snapshot* out) {
  int fd = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_NOATIME);
  DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
  if (dir == nullptr) {
    (*out)[prefix] = "<unlistable>";
    return;
  }
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat info;
    if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      (*out)[prefix + name] = "<gone>";
      continue;
    }
    std::string line = "mode=" + std::to_string(info.st_mode) +
                       " ino=" + std::to_string(info.st_ino) +
                       " nlink=" + std::to_string(info.st_nlink) +
                       " size=" + std::to_string(info.st_size) +
                       " blocks=" + std::to_string(info.st_blocks) +
                       " mtime=" + Time(info.st_mtim) +
                       " ctime=" + Time(info.st_ctim);
    // Following a link sets its access time, and nothing lets a program
    // avoid that; every other access time must stay.
    if (!S_ISLNK(info.st_mode)) line += " atime=" + Time(info.st_atim);
    if (S_ISLNK(info.st_mode)) {
      char target[4096];
      ssize_t n = readlinkat(folder, name.c_str(), target, sizeof target);
      line += " target=" + std::string(target, n > 0 ? n : 0);
    } else if (S_ISREG(info.st_mode) && info.st_size <= (1 << 20)) {
      line +=
          " content#" +
          std::to_string(std::hash<std::string>()(ReadQuietly(folder, name)));
    }
    (*out)[prefix + name] = line;
    if (S_ISDIR(info.st_mode)) {
      int child = openat(folder, name.c_str(),
                         O_RDONLY | O_DIRECTORY | O_NOATIME | O_NOFOLLOW);
      SnapshotInto(child, prefix + name + "/", out);
      close(child);
    }
  }
  closedir(dir);
}

// The entries that differ between two snapshots, one line each.
std::string Changes(const Snapshot& before, const Snapshot& after) {
  std::string out;
  for (const auto& [path, line] : before) {
    auto found = after.find(path);
    if (found == after.end())
      out += path + ": gone\n";
    else if (found->second != line)
      out += path + ":\n  " + line + "\n  " + found->second + "\n";
  }
  for (const auto& [path, line] : after)
    if (before.count(path) == 0) out += path + ": new\n";
  return out;
}

Snapshot TakeSnapshot(const std::string& root) {
  Snapshot out;
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOATIME);
  SnapshotInto(fd, "", &out);
  close(fd);
  return out;
}

// Sets the access time of every folder, file and FIFO below `folder` (and of
// the folder itself) to 2001 and the modification time to 2002: a read or a
// listing that does not ask to leave the access time alone then moves it,
// even on a file system mounted with relatime.
void AgeTimes(int folder) {
  const timespec kTimes[2] = {{978307200, 0}, {1009843200, 0}};
  int fd = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_NOATIME);
  DIR* dir = fdopendir(fd);
  ASSERT_NE(dir, nullptr);
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat info;
    ASSERT_EQ(fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW), 0);
    if (S_ISLNK(info.st_mode)) continue;
    if (S_ISDIR(info.st_mode)) {
      int child = openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY);
      AgeTimes(child);
      close(child);
    }
    ASSERT_EQ(utimensat(folder, name.c_str(), kTimes, AT_SYMLINK_NOFOLLOW), 0);
  }
  closedir(dir);
  ASSERT_EQ(futimens(folder, kTimes), 0);
}

void AgeTimes(const std::string& root) {
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  AgeTimes(fd);
  close(fd);
}

// The tools' runs on one tree: each tool with its own log, each run given
// 30 seconds, far more than these small trees take unless a run hangs.
class HostileRuns : public testing::Test {
 protected:
  std::string windows() const { return temp_.path() + "/Windows"; }
  std::string drivers() const { return windows() + "/system32/drivers"; }
  std::string inf() const { return windows() + "/inf"; }

  RunResult Run(const std::string& tool, const std::string& system_root,
                int timeout_seconds = 30) {
    RunOptions options;
    options.args = {tool + ".log"};
    options.cwd = temp_.path();
    options.env["SystemRoot"] = system_root;
    options.timeout_seconds = timeout_seconds;
    return RunNative(tool, options);
  }

  // The tool's log after its start line, as UTF-16LE bytes.
  std::string LogOf(const std::string& tool) {
    return AfterStartLine(ReadFileBytes(temp_.path() + "/" + tool + ".log"),
                          NativeProgram(tool));
  }

  TempFolder temp_;
};

// In both folders: a FIFO, links to /dev/zero, to /proc/self/mem, to
// themselves and to nowhere, names that are not UTF-8, a 250-byte name and
// a name with a backslash beside a folder and file that the name, read as a
// path, would lead to. The inf folder's companions of the odd entries are
// just as odd.
class NativeHostileTree : public HostileRuns {
 protected:
  void SetUp() override {
    MakeFolders(drivers());
    MakeFolders(inf());
    for (const std::string& folder : {drivers(), inf()}) {
      std::string ext = folder == drivers() ? ".sys" : ".pnf";
      Fifo(folder + "/fifo" + ext);
      Link("/dev/zero", folder + "/zero" + ext);
      Link("/proc/self/mem", folder + "/mem" + ext);
      Link("loop" + ext, folder + "/loop" + ext);
      Link("nowhere", folder + "/dangling" + ext);
    }
    WriteFileBytes(drivers() + "/back\\slash.sys", WithSignature(kRow5));
    WriteFileBytes(drivers() + "/back/slash.sys", std::string(100, '\0'));
    WriteFileBytes(drivers() + "/bad\xfe.sys", WithSignature(kRow1));
    WriteFileBytes(drivers() + "/" + LongName(".sys"), WithSignature(kRow5));
    WriteFileBytes(drivers() + "/odd\xff.sys", std::string(100, '\0'));

    WriteFileBytes(inf() + "/back\\slash.pnf", EveryByte());
    WriteFileBytes(inf() + "/back/slash.pnf", std::string(100, '\0'));
    WriteFileBytes(inf() + "/back/slash.inf", "");
    WriteFileBytes(inf() + "/bad\xfe.pnf", EveryByte());
    WriteFileBytes(inf() + "/" + LongName(".pnf"), EveryByte());
    WriteFileBytes(inf() + "/odd\xff.pnf", std::string(4096, '\0'));
    WriteFileBytes(inf() + "/odd\xff.inf", "");
    Fifo(inf() + "/fifo.inf");
    Link("/dev/zero", inf() + "/zero.inf");
    Link("/proc/self/mem", inf() + "/mem.inf");
    Link("loop.inf", inf() + "/loop.inf");

    AgeTimes(windows());
    before_ = TakeSnapshot(windows());
  }

  // Every run ends by itself with code 0 and leaves the tree as it was.
  void ExpectCleanRun(const RunResult& run) {
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(Changes(before_, TakeSnapshot(windows())), "");
  }

  Snapshot before_;
};

TEST_F(NativeHostileTree, Drvscan) {
  RunResult run = Run("drvscan", windows());
  ExpectCleanRun(run);
  // Opening /proc/self/mem works; reading its first page fails with EIO.
  const std::string kMemReadError =
      "ERROR: Could not open file for reading. Error code: 0x45d\r\n";
  const std::string back = std::string("back") + kReplacement + "slash.sys";
  const std::string bad = std::string("bad") + kReplacement + ".sys";
  const std::string odd = std::string("odd") + kReplacement + ".sys";
  EXPECT_EQ(run.console, Checking(back) + kHit5 + Checking(bad) + kHit1 +
                             OpenError("2") + OpenError("5") +
                             Checking(LongName(".sys")) + kHit5 +
                             OpenError("781") + Checking("mem.sys") +
                             kMemReadError + Checking(odd) + OpenError("5"));
  EXPECT_EQ(
      LogOf("drvscan"),
      Utf16Le(Logged(std::string("back") + kUnit5C + "slash.sys", "C6 2A xor") +
              Logged(std::string("bad") + kUnitFE + ".sys", "decrypt magic1") +
              Logged(LongName(".sys"), "C6 2A xor") + kMemReadError));
}

TEST_F(NativeHostileTree, Noisegauge) {
  RunResult run = Run("noisegauge", windows());
  ExpectCleanRun(run);
  const std::string kMemReadError =
      "ERROR: mem.pnf - Could not read the specified file. Error code: "
      "0x45d\r\n";
  const std::string back = std::string("back") + kReplacement + "slash.pnf";
  const std::string bad = std::string("bad") + kReplacement + ".pnf";
  const std::string odd = std::string("odd") + kReplacement + ".pnf";
  EXPECT_EQ(run.console,
            Checking(back) + AboveThreshold(back) + Checking(bad) +
                AboveThreshold(bad) + Checking("dangling.pnf") +
                PnfOpenError("dangling.pnf", "2") + Checking("fifo.pnf") +
                PnfOpenError("fifo.pnf", "5") + Checking(LongName(".pnf")) +
                AboveThreshold(LongName(".pnf")) + Checking("loop.pnf") +
                PnfOpenError("loop.pnf", "781") + Checking("mem.pnf") +
                kMemReadError + Checking(odd) + Checking("zero.pnf") +
                PnfOpenError("zero.pnf", "5"));
  EXPECT_EQ(
      LogOf("noisegauge"),
      Utf16Le(AboveThreshold(std::string("back") + kUnit5C + "slash.pnf") +
              AboveThreshold(std::string("bad") + kUnitFE + ".pnf") +
              PnfOpenError("dangling.pnf", "2") +
              PnfOpenError("fifo.pnf", "5") + AboveThreshold(LongName(".pnf")) +
              PnfOpenError("loop.pnf", "781") + kMemReadError +
              PnfOpenError("zero.pnf", "5")));
}

TEST_F(NativeHostileTree, Pairscan) {
  RunResult run = Run("pairscan", windows());
  ExpectCleanRun(run);
  // The companions that are a FIFO or a link of any kind exist: the probe
  // must neither open nor follow them. odd\xff.inf is found under its own
  // bytes; bad\xfe.pnf has no companion and is reported by its stem, and so
  // is back\slash.pnf, whatever back/slash.inf there is.
  const std::string folder = windows() + "\\inf\\";
  const std::string back = folder + "back" + kReplacement + "slash";
  const std::string bad = folder + "bad" + kReplacement;
  const std::string long_stem = folder + LongName("");
  EXPECT_EQ(
      run.console,
      Orphan(back) + Checking(back) + Orphan(bad) + Checking(bad) +
          Orphan(folder + "dangling") + Checking(folder + "dangling") +
          Checking(folder + "fifo") + Orphan(long_stem) + Checking(long_stem) +
          Checking(folder + "loop") + Checking(folder + "mem") +
          Checking(folder + "odd" + kReplacement) + Checking(folder + "zero"));
  EXPECT_EQ(LogOf("pairscan"),
            Utf16Le(Orphan(folder + "back" + kUnit5C + "slash") +
                    Orphan(folder + "bad" + kUnitFE) +
                    Orphan(folder + "dangling") + Orphan(long_stem)));
}

// Removes `name` in `folder` and everything below it, through folder
// descriptors, so that paths longer than the system takes are no obstacle.
void RemoveAt(int folder, const std::string& name) {
  struct stat info;
  if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (!S_ISDIR(info.st_mode)) {
    unlinkat(folder, name.c_str(), 0);
    return;
  }
  int fd = openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (DIR* dir = fdopendir(fd)) {
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
      std::string child = entry->d_name;
      if (child != "." && child != "..") names.push_back(child);
    }
    for (const std::string& child : names) RemoveAt(fd, child);
    closedir(dir);
  }
  unlinkat(folder, name.c_str(), AT_REMOVEDIR);
}

// Makes the folders of `path` below the open folder `base`, one at a time,
// and returns the last one open.
int MakeFoldersAt(int base, const std::string& path) {
  int fd = dup(base);
  size_t start = 0;
  while (start < path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    std::string name = path.substr(start, slash - start);
    mkdirat(fd, name.c_str(), 0755);
    int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
    start = slash + 1;
  }
  return fd;
}

void WriteAt(int folder, const std::string& name, const std::string& bytes) {
  int fd = openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << name;
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()),
            static_cast<ssize_t>(bytes.size()));
  close(fd);
}

// A Windows folder 3960 characters deep: its folders and short names fit in
// a system path (4095 bytes on Linux), the 250-byte names do not, and they
// are past 4191 characters as well. pairscan's lines name whole paths, so
// they pass 511 characters. A second Windows folder below it is too deep
// for its drivers and inf folders to be reached at all.
class NativeHostileDeepTree : public HostileRuns {
 protected:
  static constexpr size_t kDeepLength = 3960;

  void SetUp() override {
    int top = open(temp_.path().c_str(), O_RDONLY | O_DIRECTORY);
    // Folders of 200 characters, and one shorter one to end at kDeepLength.
    std::string chain;
    size_t length = temp_.path().size() + 1 + std::string("Windows").size();
    while (length + 201 < kDeepLength) {
      chain += std::string(200, 'd') + "/";
      length += 201;
    }
    chain += std::string(kDeepLength - length - 1, 'e') + "/Windows";
    deep_windows_ = temp_.path() + "/" + chain;
    ASSERT_EQ(deep_windows_.size(), kDeepLength);
    too_deep_windows_ = deep_windows_ + "/" + std::string(200, 'f');

    int windows = MakeFoldersAt(top, chain);
    int too_deep = MakeFoldersAt(windows, std::string(200, 'f'));
    for (int folder : {windows, too_deep}) {
      int drivers = MakeFoldersAt(folder, "system32/drivers");
      WriteAt(drivers, LongName(".sys"), WithSignature(kRow1));
      WriteAt(drivers, "z.sys", WithSignature(kRow5));
      close(drivers);
      int inf = MakeFoldersAt(folder, "inf");
      WriteAt(inf, LongName(".pnf"), EveryByte());
      WriteAt(inf, LongName(".inf"), "");
      WriteAt(inf, "y.pnf", EveryByte());
      WriteAt(inf, "z.pnf", EveryByte());
      WriteAt(inf, "z.inf", "");
      close(inf);
    }
    close(too_deep);
    close(windows);
    close(top);
    AgeTimes(temp_.path() + "/" + std::string(200, 'd'));
    before_ = TakeSnapshot(temp_.path() + "/" + std::string(200, 'd'));
  }

  void TearDown() override {
    int top = open(temp_.path().c_str(), O_RDONLY | O_DIRECTORY);
    RemoveAt(top, std::string(200, 'd'));
    close(top);
  }

  void ExpectCleanRun(const RunResult& run) {
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(Changes(before_,
                      TakeSnapshot(temp_.path() + "/" + std::string(200, 'd'))),
              "");
  }

  std::string deep_windows_;
  std::string too_deep_windows_;
  Snapshot before_;
};

TEST_F(NativeHostileDeepTree, PathsTooLongFailAndTheWalkGoesOn) {
  // ENAMETOOLONG, that is 0xce, for each entry whose path is too long; the
  // next entry is read as usual.
  RunResult drvscan = Run("drvscan", deep_windows_);
  ExpectCleanRun(drvscan);
  EXPECT_EQ(drvscan.console, OpenError("ce") + Checking("z.sys") + kHit5);
  EXPECT_EQ(LogOf("drvscan"), Utf16Le(Logged("z.sys", "C6 2A xor")));

  RunResult noisegauge = Run("noisegauge", deep_windows_);
  ExpectCleanRun(noisegauge);
  const std::string long_pnf = LongName(".pnf");
  EXPECT_EQ(noisegauge.console,
            Checking(long_pnf) + PnfOpenError(long_pnf, "ce") +
                Checking("y.pnf") + AboveThreshold("y.pnf") +
                Checking("z.pnf") + AboveThreshold("z.pnf"));
  EXPECT_EQ(LogOf("noisegauge"),
            Utf16Le(PnfOpenError(long_pnf, "ce") + AboveThreshold("y.pnf") +
                    AboveThreshold("z.pnf")));

  // Every line names a path of about 4000 characters, written whole. The
  // long entry's companion exists, but a probe too long for the system
  // fails, and pairscan reports whatever probe fails.
  RunResult pairscan = Run("pairscan", deep_windows_);
  ExpectCleanRun(pairscan);
  const std::string folder = deep_windows_ + "\\inf\\";
  const std::string long_stem = folder + LongName("");
  ASSERT_GT(long_stem.size(), 4191u);
  EXPECT_EQ(pairscan.console,
            Orphan(long_stem) + Checking(long_stem) + Orphan(folder + "y") +
                Checking(folder + "y") + Checking(folder + "z"));
  EXPECT_EQ(LogOf("pairscan"),
            Utf16Le(Orphan(long_stem) + Orphan(folder + "y")));
}

TEST_F(NativeHostileDeepTree, AWindowsFolderTooLongCannotBeWalked) {
  const struct {
    const char* tool;
    const char* message;
  } cases[] = {
      {"drvscan",
       "ERROR: Could not find the specified file. Error code: 0xce\r\n"},
      {"noisegauge",
       "ERROR: Could not get directory entry. Error code: 0xce\r\n"},
      {"pairscan", "ERROR: Could not get directory list. Error code: 0xce\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tool);
    RunResult run = Run(c.tool, too_deep_windows_);
    ExpectCleanRun(run);
    EXPECT_EQ(run.console, c.message);
    EXPECT_EQ(LogOf(c.tool), Utf16Le(c.message));
  }
}

// A sparse driver file of 4 GiB and 100 bytes whose last 16 bytes are a
// signature: a length kept in 32 bits would wrap to 100 and miss it. drvscan
// reads all 4 GiB of zeros (from the page cache: the file has no data
// blocks but its last one) and holds them in memory.
class NativeHostileSparse : public HostileRuns {};

TEST_F(NativeHostileSparse, FoundInTheLastBytes) {
  MakeFolders(drivers());
  const std::string path = drivers() + "/big.sys";
  const off_t kSize = (off_t{4} << 30) + 100;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, kRow11.data(), kRow11.size(), kSize - 16), 16);
  close(fd);
  AgeTimes(windows());
  Snapshot before = TakeSnapshot(windows());

  auto start = std::chrono::steady_clock::now();
  RunResult run = Run("drvscan", windows(), 900);
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                     std::chrono::steady_clock::now() - start)
                     .count();
  RecordProperty("seconds", static_cast<int>(seconds));
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.console, Checking("big.sys") + kHit11);
  EXPECT_EQ(LogOf("drvscan"), Utf16Le(Logged("big.sys", "79 F4 8B")));
  EXPECT_EQ(Changes(before, TakeSnapshot(windows())), "");
}

// Logs that cannot be written or opened, for each tool, on a tree with one
// finding for each.
class NativeHostileLog : public HostileRuns {
 protected:
  void SetUp() override {
    WriteFileBytes(drivers() + "/c.sys", WithSignature(kRow5));
    WriteFileBytes(inf() + "/x.pnf", EveryByte());
  }

  RunResult RunWithLog(const std::string& tool, const std::string& log) {
    RunOptions options;
    options.args = {log};
    options.cwd = temp_.path();
    options.env["SystemRoot"] = windows();
    options.timeout_seconds = 30;
    return RunNative(tool, options);
  }
};

TEST_F(NativeHostileLog, EveryWriteFailing) {
  // Each write fails, the start line's first; each echoed message still
  // reaches the console, before or after its write error as its route says.
  const std::string kWriteError =
      "ERROR: Could not write into log file. Error code: 0x70\n";
  const std::string stem = windows() + "\\inf\\x";
  const struct {
    const char* tool;
    std::string console;
  } cases[] = {
      {"drvscan", kWriteError + Checking("c.sys") + kHit5 + kWriteError},
      {"noisegauge",
       kWriteError + Checking("x.pnf") + kWriteError + AboveThreshold("x.pnf")},
      {"pairscan", kWriteError + Orphan(stem) + kWriteError + Checking(stem)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tool);
    RunResult run = RunWithLog(c.tool, "/dev/full");
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.console, c.console);
  }
}

TEST_F(NativeHostileLog, ADeviceAsTheLogIsNotLocked) {
  // Everyone may write to /dev/null: a run must neither be shut out by
  // another holder nor shut others out.
  int held = open("/dev/null", O_WRONLY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  const std::string stem = windows() + "\\inf\\x";
  const struct {
    const char* tool;
    std::string console;
  } cases[] = {
      {"drvscan", Checking("c.sys") + kHit5},
      {"noisegauge", Checking("x.pnf") + AboveThreshold("x.pnf")},
      {"pairscan", Orphan(stem) + Checking(stem)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tool);
    RunResult run = RunWithLog(c.tool, "/dev/null");
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.console, c.console);
  }
  close(held);
}

TEST_F(NativeHostileLog, UnopenableLogEndsEveryToolWithCode1) {
  MakeFolders(temp_.path() + "/folder.log");
  // A FIFO that nobody reads must not hold the run.
  Fifo(temp_.path() + "/fifo.log");
  const struct {
    const char* log;
    const char* code;
  } cases[] = {
      {"folder.log", "5"},
      {"missing/x.log", "3"},
      {"fifo.log", "1f"},
  };
  for (const char* tool : {"drvscan", "noisegauge", "pairscan"}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(tool) + " " + c.log);
      RunResult run = RunWithLog(tool, c.log);
      EXPECT_FALSE(run.timed_out);
      EXPECT_EQ(run.exit_code, 1);
      EXPECT_EQ(
          run.console,
          std::string("ERROR: Could not create log file. Error code: 0x") +
              c.code + "\n");
    }
  }
  EXPECT_EQ(ListFolder(temp_.path() + "/folder.log"),
            std::vector<std::string>{});
  EXPECT_NE(access((temp_.path() + "/missing").c_str(), F_OK), 0);
}

// A program started with its output going to a pipe that is not read: once
// the pipe is full the program waits in its console writes, in the middle of
// its walk, with its log open.
struct HeldRun {
  pid_t pid = -1;
  int output = -1;
};

HeldRun StartHeld(const std::string& tool, const std::string& log,
                  const std::string& cwd, const std::string& system_root) {
  HeldRun run;
  int out[2];
  if (pipe(out) != 0) return run;
  // The smallest pipe the system gives, one page: the walk's console output
  // is many times that.
  fcntl(out[1], F_SETPIPE_SZ, 4096);
  std::string program = NativeProgram(tool);
  std::string env_root = "SystemRoot=" + system_root;
  char* argv[] = {const_cast<char*>(program.c_str()),
                  const_cast<char*>(log.c_str()), nullptr};
  char* envp[] = {const_cast<char*>(env_root.c_str()),
                  const_cast<char*>("PATH=/usr/bin:/bin"), nullptr};
  run.pid = fork();
  if (run.pid == 0) {
    setpgid(0, 0);
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    execve(argv[0], argv, envp);
    _exit(127);
  }
  close(out[1]);
  run.output = out[0];
  return run;
}

// Reads the held program's output to its end and waits for it; kills it
// when it takes longer than `timeout_seconds`.
RunResult FinishHeld(const HeldRun& held, int timeout_seconds) {
  RunResult result;
  time_t deadline = time(nullptr) + timeout_seconds;
  char buffer[65536];
  for (;;) {
    int left = static_cast<int>(deadline - time(nullptr));
    if (left <= 0) {
      result.timed_out = true;
      kill(-held.pid, SIGKILL);
      break;
    }
    pollfd p = {held.output, POLLIN, 0};
    if (poll(&p, 1, left * 1000) <= 0) continue;
    ssize_t n = read(held.output, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.console.append(buffer, n);
  }
  close(held.output);
  int status = 0;
  waitpid(held.pid, &status, 0);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

TEST_F(NativeHostileLog, HeldByARunningTool) {
  // c.sys holds a finding, then come 300 files of 4 bytes, each printing its
  // name and eleven skipping notices, far more than the pipe holds, and
  // zzz.sys holds the last finding.
  std::string expected = Checking("c.sys") + kHit5;
  for (int i = 0; i < 300; ++i) {
    std::string name = "t" + std::to_string(1000 + i) + ".sys";
    WriteFileBytes(drivers() + "/" + name, "abcd");
    expected += Checking(name);
    for (const char* pattern :
         {"decrypt magic1", "decrypt magic2", "unknown magic", "imul magic1",
          "C6 2A xor", "30 76 60", "89 74 24", "FF 8D 74", "83 FE 07",
          "1D C4 33", "79 F4 8B"})
      expected += std::string("\nINFO: Skipping current pattern \"") + pattern +
                  "\" [buffer length < pattern length]\n";
  }
  WriteFileBytes(drivers() + "/zzz.sys", WithSignature(kRow5));
  expected += Checking("zzz.sys") + kHit5;

  const std::string log = temp_.path() + "/held.log";
  HeldRun held = StartHeld("drvscan", log, temp_.path(), windows());
  ASSERT_GT(held.pid, 0);
  // The start line shows that the log is open; it stays open until the walk
  // ends, and the walk cannot end before its output is read.
  for (int i = 0; i < 2000 && ReadFileBytes(log).empty(); ++i) usleep(10000);
  ASSERT_FALSE(ReadFileBytes(log).empty());

  for (const char* tool : {"drvscan", "noisegauge", "pairscan"}) {
    SCOPED_TRACE(tool);
    RunResult second = RunWithLog(tool, log);
    EXPECT_FALSE(second.timed_out);
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_EQ(second.console,
              "ERROR: Could not create log file. Error code: 0x20\n");
  }

  RunResult first = FinishHeld(held, 60);
  EXPECT_FALSE(first.timed_out);
  EXPECT_EQ(first.exit_code, 0);
  EXPECT_EQ(first.console, expected);
  EXPECT_EQ(
      AfterStartLine(ReadFileBytes(log), NativeProgram("drvscan")),
      Utf16Le(Logged("c.sys", "C6 2A xor") + Logged("zzz.sys", "C6 2A xor")));
}

}  // namespace
