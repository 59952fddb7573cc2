#include "common/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

WideString W(const std::string& native) { return WideFromNative(native); }

void WriteFile(const std::string& path, const std::string& content) {
  FILE* out = fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, out) << path;
  fwrite(content.data(), 1, content.size(), out);
  fclose(out);
}

std::string ReadNativeFile(const std::string& path) {
  std::string content;
  FILE* in = fopen(path.c_str(), "rb");
  if (in == nullptr) return "<missing>";
  char buffer[256];
  size_t count;
  while ((count = fread(buffer, 1, sizeof(buffer), in)) > 0)
    content.append(buffer, count);
  fclose(in);
  return content;
}

// Reads what is left of an open file, up to 256 bytes.
std::string ReadRest(const PlatformFile& file) {
  char buffer[256];
  uint32_t count = 99;
  EXPECT_EQ(kErrorSuccess, ReadFromFile(file, buffer, sizeof(buffer), &count));
  return std::string(buffer, count);
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

// A fresh folder, removed with all it holds at the end of the test.
class TempFolder {
 public:
  TempFolder() {
    const char* base = getenv("TMPDIR");
    std::string pattern =
        std::string(base && *base ? base : "/tmp") + "/kit-platform-XXXXXX";
    if (mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
  }
  ~TempFolder() {
    if (!path_.empty())
      nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // The native path of `name` inside the folder.
  std::string operator/(const std::string& name) const {
    return path_ + "/" + name;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Runs `probe` in a child process without root's rights (as "nobody" when
// the tests run as root, where permission bits would not hold) and returns
// its result; false when the rights cannot be given up.
bool RunUnprivileged(const std::function<uint32_t()>& probe, uint32_t* result) {
  int channel[2];
  if (pipe(channel) != 0) return false;
  pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(1);
    uint32_t value = probe();
    _exit(write(channel[1], &value, sizeof(value)) == sizeof(value) ? 0 : 1);
  }
  close(channel[1]);
  int status = 0;
  bool read_it =
      child > 0 && read(channel[0], result, sizeof(*result)) == sizeof(*result);
  close(channel[0]);
  if (child > 0) waitpid(child, &status, 0);
  return read_it && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(PlatformPathTest, ResolvesComponentsIgnoringAsciiCase) {
  TempFolder root;
  ASSERT_EQ(0, mkdir((root / "WINDOWS").c_str(), 0755));
  ASSERT_EQ(0, mkdir((root / "WINDOWS/system32").c_str(), 0755));
  ASSERT_EQ(0, mkdir((root / "WINDOWS/system32/drivers").c_str(), 0755));
  WriteFile(root / "WINDOWS/system32/drivers/oem7.inf", "seven");

  WideString path = W(root.path()) + u"\\Windows\\System32\\Drivers\\OEM7.INF";
  PlatformFile file;
  ASSERT_EQ(kErrorSuccess, OpenForReading(path, &file));
  EXPECT_EQ("seven", ReadRest(file));
  EXPECT_TRUE(EntryExists(path));
  EXPECT_FALSE(EntryExists(W(root.path()) + u"\\Windows\\System32\\OEM7.INF"));
  EXPECT_EQ(kErrorFileNotFound,
            OpenForReading(W(root.path()) + u"\\windows\\OEM8.INF", &file));
}

TEST(PlatformPathTest, ExactNameComesBeforeOtherSpellings) {
  TempFolder root;
  WriteFile(root / "a.inf", "lower");
  WriteFile(root / "A.INF", "upper");
  const struct {
    const char16_t* name;
    const char* content;
  } kCases[] = {
      {u"a.inf", "lower"},
      {u"A.INF", "upper"},
      // Neither is exact: the first in name order is taken.
      {u"a.Inf", "upper"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(
        DisplayFromWide(c.name, std::char_traits<char16_t>::length(c.name)));
    PlatformFile file;
    ASSERT_EQ(kErrorSuccess, OpenForReading(W(root / "") + c.name, &file));
    EXPECT_EQ(c.content, ReadRest(file));
  }
}

TEST(PlatformPathTest, ProbeTakesWildcardsLiterally) {
  TempFolder root;
  WriteFile(root / "a*b.inf", "");
  ASSERT_EQ(0, symlink("no-such-target", (root / "gone.inf").c_str()));
  const struct {
    const char16_t* name;
    bool exists;
  } kCases[] = {
      {u"a*b.inf", true},
      {u"A*B.INF", true},
      {u"a?b.inf", false},
      {u"a*", false},
      {u"*", false},
      {u"gone.inf", true},
      {u"GONE.INF", true},
      {u"missing.inf", false},
      {u"nope\\a*b.inf", false},
      {u"a*b.inf\\x", false},
  };
  for (const auto& c : kCases) {
    WideString path = W(root.path()) + u"\\" + c.name;
    EXPECT_EQ(c.exists, EntryExists(path))
        << DisplayFromWide(path.data(), path.size());
  }
}

TEST(PlatformOpenTest, OpensRegularFilesThroughLinks) {
  TempFolder root;
  WriteFile(root / "real.sys", "content");
  ASSERT_EQ(0, symlink("real.sys", (root / "alias.sys").c_str()));
  PlatformFile file;
  ASSERT_EQ(kErrorSuccess, OpenForReading(W(root / "alias.sys"), &file));
  EXPECT_EQ("content", ReadRest(file));
  // Reads block as usual again once the file is open.
  EXPECT_EQ(0, fcntl(static_cast<int>(file.handle()), F_GETFL) & O_NONBLOCK);
}

TEST(PlatformOpenTest, FailsWithWindowsCodes) {
  TempFolder root;
  WriteFile(root / "file.sys", "x");
  ASSERT_EQ(0, mkdir((root / "folder.sys").c_str(), 0755));
  ASSERT_EQ(0, mkfifo((root / "fifo.sys").c_str(), 0644));
  ASSERT_EQ(0, symlink("/dev/zero", (root / "zero.sys").c_str()));
  ASSERT_EQ(0, symlink("no-such-target", (root / "dangling.sys").c_str()));
  ASSERT_EQ(0, symlink("loop.sys", (root / "loop.sys").c_str()));
  int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::string socket_path = root / "socket.sys";
  ASSERT_LT(socket_path.size(), sizeof(address.sun_path));
  socket_path.copy(address.sun_path, socket_path.size());
  ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&address),
                    sizeof(address)));

  const struct {
    std::string name;
    uint32_t error;
  } kCases[] = {
      {"folder.sys", kErrorAccessDenied},
      {"fifo.sys", kErrorAccessDenied},
      {"zero.sys", kErrorAccessDenied},
      {"socket.sys", kErrorAccessDenied},
      {"dangling.sys", kErrorFileNotFound},
      {"loop.sys", kErrorCantResolveFilename},
      {"missing.sys", kErrorFileNotFound},
      {"missing\\x.sys", kErrorPathNotFound},
      {"file.sys\\x.sys", kErrorPathNotFound},
      {std::string(300, 'x'), kErrorFilenameTooLong},
  };
  // An open that blocks (on the FIFO) ends the test run here.
  alarm(20);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    PlatformFile file;
    EXPECT_EQ(c.error,
              OpenForReading(W(root.path()) + u"\\" + W(c.name), &file));
    EXPECT_FALSE(file.is_open());
  }
  alarm(0);
  close(listener);
}

TEST(PlatformOpenTest, WorksWithoutRootsRights) {
  TempFolder root;
  ASSERT_EQ(0, chmod(root.path().c_str(), 0755));
  WriteFile(root / "secret.sys", "x");
  ASSERT_EQ(0, chmod((root / "secret.sys").c_str(), 0));
  uint32_t error = 0;
  ASSERT_TRUE(RunUnprivileged(
      [&] {
        PlatformFile file;
        return OpenForReading(W(root / "secret.sys"), &file);
      },
      &error));
  EXPECT_EQ(kErrorAccessDenied, error);

  // Only the owner may keep the access time; everyone else still reads.
  struct stat info;
  ASSERT_EQ(0, stat("/etc/passwd", &info));
  if (geteuid() != 0 && info.st_uid == geteuid())
    GTEST_SKIP() << "no readable file of another owner";
  ASSERT_TRUE(RunUnprivileged(
      [] {
        PlatformFile file;
        return OpenForReading(u"/etc/passwd", &file);
      },
      &error));
  EXPECT_EQ(kErrorSuccess, error);
}

TEST(PlatformFileTest, ReadsAndStepsBack) {
  TempFolder root;
  WriteFile(root / "ten.pnf", "0123456789");
  PlatformFile file;
  ASSERT_EQ(kErrorSuccess, OpenForReading(W(root / "ten.pnf"), &file));
  uint64_t size = 0;
  EXPECT_EQ(kErrorSuccess, GetFileSize(file, &size));
  EXPECT_EQ(10u, size);

  char buffer[4];
  uint32_t count = 0;
  auto read4 = [&] {
    count = 99;
    EXPECT_EQ(kErrorSuccess, ReadFromFile(file, buffer, 4, &count));
    return std::string(buffer, count);
  };
  EXPECT_EQ("0123", read4());
  EXPECT_EQ(kErrorSuccess, StepBack(file, 3));
  EXPECT_EQ("1234", read4());
  // Below the start: refused, and the position stays where it was.
  EXPECT_EQ(kErrorNegativeSeek, StepBack(file, 128));
  EXPECT_EQ("5678", read4());
  EXPECT_EQ("9", read4());
  EXPECT_EQ("", read4());
  EXPECT_EQ(kErrorSuccess, StepBack(file, 10));
  EXPECT_EQ("0123", read4());
}

TEST(PlatformFileTest, ReadCarriesOnAfterShortReads) {
  int channel[2];
  ASSERT_EQ(0, pipe(channel));
  PlatformFile reader(channel[0]);
  std::thread writer([&] {
    EXPECT_EQ(3, write(channel[1], "abc", 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(3, write(channel[1], "def", 3));
    close(channel[1]);
  });
  char buffer[10];
  uint32_t count = 0;
  EXPECT_EQ(kErrorSuccess,
            ReadFromFile(reader, buffer, sizeof(buffer), &count));
  writer.join();
  EXPECT_EQ("abcdef", std::string(buffer, count));
}

TEST(PlatformFileTest, MoveAssignClosesTheHeldFile) {
  TempFolder root;
  WriteFile(root / "a", "a");
  WriteFile(root / "b", "b");
  PlatformFile a, b;
  ASSERT_EQ(kErrorSuccess, OpenForReading(W(root / "a"), &a));
  ASSERT_EQ(kErrorSuccess, OpenForReading(W(root / "b"), &b));
  int old = static_cast<int>(a.handle());
  a = std::move(b);
  EXPECT_EQ(-1, fcntl(old, F_GETFD));
  EXPECT_FALSE(b.is_open());
  EXPECT_EQ("b", ReadRest(a));
}

TEST(PlatformFolderTest, ListsMatchesInNameOrder) {
  TempFolder root;
  ASSERT_EQ(0, mkdir((root / "drv").c_str(), 0755));
  for (const char* name : {"b.sys", "A.SYS", "_x.sys", ".hidden.sys", "c.txt",
                           "e.sysx", "\xC3\xA9.sys", "\xEF\xBC\xA1.sys",
                           "\xF0\x9F\x98\x80.sys", "\xFF.sys"}) {
    WriteFile(root / "drv/" + name, "");
  }
  ASSERT_EQ(0, mkdir((root / "drv/D.sys").c_str(), 0755));

  // Upper-cased code units: '.' < 'A' < 'B' < 'D' < '_', then U+00E9 <
  // surrogates (U+1F600, then the escaped byte 0xFF) < U+FF21.
  const std::vector<WideString> kAllSys = {
      u".hidden.sys", u"A.SYS",          u"b.sys",      u"D.sys",     u"_x.sys",
      u"\u00E9.sys",  u"\U0001F600.sys", u"\xDCFF.sys", u"\uFF21.sys"};
  const struct {
    const char16_t* pattern;
    std::vector<WideString> names;
  } kCases[] = {
      {u"\\drv\\*.sys", kAllSys},
      {u"\\DRV\\*.SYS", kAllSys},
      {u"/drv/*.sys", kAllSys},
      {u"\\drv\\*x*", {u"c.txt", u"e.sysx", u"_x.sys"}},
      {u"\\drv\\?.t?t", {u"c.txt"}},
      {u"\\drv\\.*", {u".hidden.sys"}},
      {u"\\drv\\B.SYS", {u"b.sys"}},
      {u"\\drv\\*",
       {u".hidden.sys", u"A.SYS", u"b.sys", u"c.txt", u"D.sys", u"e.sysx",
        u"_x.sys", u"\u00E9.sys", u"\U0001F600.sys", u"\xDCFF.sys",
        u"\uFF21.sys"}},
  };
  for (const auto& c : kCases) {
    WideString pattern = W(root.path()) + c.pattern;
    SCOPED_TRACE(DisplayFromWide(pattern.data(), pattern.size()));
    FolderEntries entries;
    std::vector<WideString> names(1);
    ASSERT_EQ(kErrorSuccess, entries.Start(pattern, &names[0]));
    WideString name;
    while (entries.Next(&name)) names.push_back(name);
    EXPECT_EQ(c.names, names);
  }
}

TEST(PlatformFolderTest, StartFailsWithWindowsCodes) {
  TempFolder root;
  ASSERT_EQ(0, chmod(root.path().c_str(), 0755));
  WriteFile(root / "a.sys", "");
  const struct {
    const char16_t* pattern;
    uint32_t error;
  } kCases[] = {
      {u"\\missing\\*.sys", kErrorPathNotFound},
      {u"\\a.sys\\*.sys", kErrorPathNotFound},
      {u"\\*.pnf", kErrorFileNotFound},
  };
  for (const auto& c : kCases) {
    FolderEntries entries;
    WideString name = u"unchanged";
    EXPECT_EQ(c.error, entries.Start(W(root.path()) + c.pattern, &name));
    EXPECT_FALSE(entries.Next(&name));
  }

  ASSERT_EQ(0, mkdir((root / "locked").c_str(), 0));
  uint32_t error = 0;
  ASSERT_TRUE(RunUnprivileged(
      [&] {
        FolderEntries entries;
        WideString name;
        return entries.Start(W(root / "locked\\*"), &name);
      },
      &error));
  EXPECT_EQ(kErrorAccessDenied, error);
}

TEST(PlatformLogTest, CreatesAndAppends) {
  TempFolder root;
  std::string log = root / "run.log";
  for (const char* text : {"first", "second"}) {
    PlatformFile file;
    ASSERT_EQ(kErrorSuccess, OpenLogForAppend(W(log), &file));
    ASSERT_EQ(kErrorSuccess, AppendToFile(file, text, strlen(text)));
  }
  EXPECT_EQ("firstsecond", ReadNativeFile(log));
}

TEST(PlatformLogTest, OneOpenerAtATime) {
  TempFolder root;
  std::string log = root / "run.log";
  PlatformFile first;
  ASSERT_EQ(kErrorSuccess, OpenLogForAppend(W(log), &first));
  PlatformFile second;
  EXPECT_EQ(kErrorSharingViolation, OpenLogForAppend(W(log), &second));
  EXPECT_FALSE(second.is_open());
  first.Close();
  EXPECT_EQ(kErrorSuccess, OpenLogForAppend(W(log), &second));
}

TEST(PlatformLogTest, UsesThePathAsGiven) {
  TempFolder root;
  ASSERT_EQ(0, mkdir((root / "sub").c_str(), 0755));
  WriteFile(root / "LOG.TXT", "keep");
  for (const char* name : {"log.txt", "Sub\\run.log"}) {
    PlatformFile file;
    ASSERT_EQ(kErrorSuccess, OpenLogForAppend(W(root / name), &file));
    ASSERT_EQ(kErrorSuccess, AppendToFile(file, "new", 3));
    EXPECT_EQ("new", ReadNativeFile(root / name)) << name;
  }
  EXPECT_EQ("keep", ReadNativeFile(root / "LOG.TXT"));
  EXPECT_EQ("<missing>", ReadNativeFile(root / "sub/run.log"));
}

TEST(PlatformLogTest, FailsWithWindowsCodes) {
  TempFolder root;
  ASSERT_EQ(0, mkdir((root / "folder").c_str(), 0755));
  const struct {
    std::string path;
    uint32_t error;
  } kCases[] = {
      {root / "folder", kErrorAccessDenied},
      {root / "missing/run.log", kErrorPathNotFound},
  };
  for (const auto& c : kCases) {
    PlatformFile file;
    EXPECT_EQ(c.error, OpenLogForAppend(W(c.path), &file)) << c.path;
    EXPECT_FALSE(file.is_open());
  }
}

TEST(PlatformLogTest, FullDeviceReportsDiskFull) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  PlatformFile file;
  ASSERT_EQ(kErrorSuccess, OpenLogForAppend(u"/dev/full", &file));
  EXPECT_EQ(kErrorDiskFull, AppendToFile(file, "x", 1));
}

// Sets SystemRoot for one test and restores it afterwards.
class SystemRootTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* value = getenv("SystemRoot");
    had_value_ = value != nullptr;
    if (had_value_) saved_ = value;
  }
  void TearDown() override {
    if (had_value_)
      setenv("SystemRoot", saved_.c_str(), 1);
    else
      unsetenv("SystemRoot");
  }

 private:
  bool had_value_ = false;
  std::string saved_;
};

TEST_F(SystemRootTest, NamesTheWindowsFolder) {
  char current[4096];
  ASSERT_NE(nullptr, getcwd(current, sizeof(current)));
  std::string cwd = current;
  if (cwd != "/") cwd += "/";
  const struct {
    const char* value;  // nullptr: unset.
    uint32_t error;
    std::string windows;
  } kCases[] = {
      {nullptr, kErrorEnvVarNotFound, "unchanged"},
      {"", kErrorEnvVarNotFound, "unchanged"},
      {"/mnt/evidence/Windows", kErrorSuccess, "/mnt/evidence/Windows"},
      {"/mnt/evidence/Windows//", kErrorSuccess, "/mnt/evidence/Windows"},
      {"case/Windows/", kErrorSuccess, cwd + "case/Windows"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.value ? c.value : "(unset)");
    if (c.value)
      setenv("SystemRoot", c.value, 1);
    else
      unsetenv("SystemRoot");
    WideString windows = u"unchanged", system = u"unchanged";
    EXPECT_EQ(c.error, GetWindowsFolder(&windows));
    EXPECT_EQ(c.error, GetSystemFolder(&system));
    EXPECT_EQ(W(c.windows), windows);
    EXPECT_EQ(c.error ? WideString(u"unchanged") : W(c.windows) + u"\\system32",
              system);
  }
}

TEST(PlatformClockTest, GivesTheCalendarTimeInUtc) {
  time_t before = time(nullptr);
  UtcTime now = CurrentUtcTime();
  time_t after = time(nullptr);
  struct tm expected;
  gmtime_r(&before, &expected);
  if (before / 60 != after / 60)
    GTEST_SKIP() << "the minute turned during the test";
  EXPECT_EQ(expected.tm_year + 1900, now.year);
  EXPECT_EQ(expected.tm_mon + 1, now.month);
  EXPECT_EQ(expected.tm_mday, now.day);
  EXPECT_EQ(expected.tm_hour, now.hour);
  EXPECT_EQ(expected.tm_min, now.minute);
}

// What `write` puts on descriptor `fd` (standard output or error), caught
// in a file.
template <typename Write>
std::string Captured(int fd, Write write) {
  TempFolder root;
  std::string captured = root / "stream";
  fflush(stdout);
  fflush(stderr);
  int saved = dup(fd);
  int target = open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (target < 0) return "<no file to catch the output>";
  dup2(target, fd);
  close(target);
  write();
  dup2(saved, fd);
  close(saved);
  return ReadNativeFile(captured);
}

TEST(PlatformConsoleTest, WritesValidUtf8ToStandardOutput) {
  WideString text = u"a\xDCFF\U0001F600\r\n";
  EXPECT_EQ("a\xEF\xBF\xBD\xF0\x9F\x98\x80\r\n", Captured(STDOUT_FILENO, [&] {
              WriteConsoleText(text.data(), text.size());
            }));
}

// Output that other programs read reaches a file byte for byte, whatever
// it holds.
TEST(PlatformConsoleTest, WritesStandardStreamsExactly) {
  const std::string bytes = "x,\"y\"\r\n\x1B\xC2\x9B\xFF\n";
  EXPECT_EQ(bytes, Captured(STDOUT_FILENO, [&] {
              WriteToStandardStream(StandardStream::kOutput, bytes);
            }));
  EXPECT_EQ(bytes, Captured(STDERR_FILENO, [&] {
              WriteToStandardStream(StandardStream::kError, bytes);
            }));
}

}  // namespace
