#include "kitreport/log_files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "common/platform.h"
#include "common/posix_errors.h"

namespace {

uint32_t ReadAll(int fd, std::string* bytes) {
  char buffer[65536];
  for (;;) {
    ssize_t count = read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return WindowsErrorFromErrno(errno);
    if (count == 0) return kErrorSuccess;
    bytes->append(buffer, static_cast<size_t>(count));
  }
}

}  // namespace

bool IsFolder(const WideString& path) {
  struct stat info;
  return stat(NativeFromWide(path).c_str(), &info) == 0 &&
         S_ISDIR(info.st_mode);
}

uint32_t ListFolderFiles(const WideString& folder,
                         std::vector<WideString>* paths) {
  std::string native = NativeFromWide(folder);
  DIR* stream = opendir(native.c_str());
  if (stream == nullptr) return WindowsErrorFromErrno(errno);
  if (native.empty() || native.back() != '/') native += '/';
  std::vector<std::string> names;
  while (dirent* entry = readdir(stream)) {
    struct stat info;
    if (stat((native + entry->d_name).c_str(), &info) == 0 &&
        S_ISREG(info.st_mode))
      names.push_back(entry->d_name);
  }
  closedir(stream);
  std::vector<WideString> found;
  for (const std::string& name : names)
    found.push_back(WideFromNative(native + name));
  std::sort(found.begin(), found.end());
  paths->insert(paths->end(), found.begin(), found.end());
  return kErrorSuccess;
}

uint32_t ReadWholeFile(const WideString& path, std::string* bytes) {
  if (path == u"-") return ReadAll(STDIN_FILENO, bytes);
  int fd = open(NativeFromWide(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return WindowsErrorFromErrno(errno);
  uint32_t error = ReadAll(fd, bytes);
  close(fd);
  return error;
}
