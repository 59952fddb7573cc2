// The platform services on POSIX systems, where the kit examines a Windows
// folder mounted somewhere and named by the SystemRoot environment variable,
// or the Windows folder inside an evidence image named by VORLKIT_IMAGE.
// Windows names ignore the case of ASCII letters, so paths are resolved the
// same way here; failures are reported with the Windows error codes.
#include "common/platform.h"
#include "common/posix_errors.h"
#include "volume/image_volume.h"
#include "volume/qcow_image.h"
#include "volume/raw_image.h"
#include "volume/wildcard.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A backslash separates the components of the kit's paths, but on POSIX it
// may be part of a name. A folder walk hands it on as the lone unit 0xDC5C,
// the way undecodable bytes are carried (0xDC00 + byte), so that such a name
// is never taken for a path into another folder; NativePath turns it back.
constexpr char16_t kEscapedBackslash = 0xDC5C;

// The evidence image whose volume stands in for the machine's files, once
// UseImageSource has chosen it; null while the machine's files are examined.
ImageVolumePtr examined_image;
ImageVolumeInfo examined_volume;

// The walk through the shadow copies of the image's volume, newest first:
// their creation times, oldest first, and the number of the copy in use (0
// while the volume itself is examined).
struct ShadowCopyWalk {
  bool started = false;
  std::vector<uint64_t> created;
  size_t in_use = 0;
  size_t next = 0;  // the copy to examine next; 0 when none is left
};
ShadowCopyWalk shadow_copies;

// The searches that the walks made of the volume itself, which a shadow
// copy answers with what is new in it.
std::vector<WideString> volume_searches;

// Closes a folder stream when it goes out of scope.
struct FolderCloser {
  void operator()(DIR* folder) const { closedir(folder); }
};
using FolderStream = std::unique_ptr<DIR, FolderCloser>;

// Opens a folder for listing ("" for the current one), leaving its access
// time as it was where the system allows it. errno tells why it failed.
FolderStream OpenFolder(const std::string& path) {
  const char* name = path.empty() ? "." : path.c_str();
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  int fd = -1;
#ifdef O_NOATIME
  fd = open(name, flags | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = open(name, flags);
#else
  fd = open(name, flags);
#endif
  if (fd < 0) return nullptr;
  DIR* folder = fdopendir(fd);
  if (folder == nullptr) {
    int error = errno;
    close(fd);
    errno = error;
  }
  return FolderStream(folder);
}

// Files open inside the examined image have handles that count down from
// here, below PlatformFile::kInvalid, so that they never meet a descriptor.
constexpr PlatformFile::Handle kFirstImageFileHandle = -2;

bool IsImageFileHandle(PlatformFile::Handle handle) {
  return handle <= kFirstImageFileHandle;
}

size_t ImageFileOf(const PlatformFile& file) {
  return static_cast<size_t>(kFirstImageFileHandle - file.handle());
}

int FileDescriptor(const PlatformFile& file) {
  return static_cast<int>(file.handle());
}

char16_t UpperAscii(char16_t unit) {
  return unit >= u'a' && unit <= u'z' ? unit - (u'a' - u'A') : unit;
}

// The order of names in a folder: code unit by code unit with ASCII letters
// upper-cased, as NTFS sorts them. Names equal in that order fall back to
// their plain code units, so the order is total and runs are reproducible.
bool NameBefore(const WideString& a, const WideString& b) {
  size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    char16_t x = UpperAscii(a[i]), y = UpperAscii(b[i]);
    if (x != y) return x < y;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

bool EqualIgnoringAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (UpperAscii(static_cast<unsigned char>(a[i])) !=
        UpperAscii(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// Finds in `folder` ("" for the current one) the entry whose name equals
// `name` ignoring ASCII case, the first in name order when there are several.
bool FindIgnoringCase(const std::string& folder, const std::string& name,
                      std::string* found) {
  FolderStream stream = OpenFolder(folder);
  if (!stream) return false;
  bool any = false;
  WideString best;
  while (dirent* entry = readdir(stream.get())) {
    if (!EqualIgnoringAsciiCase(entry->d_name, name)) continue;
    WideString wide = WideFromNative(entry->d_name);
    if (!any || NameBefore(wide, best)) {
      any = true;
      best = wide;
      *found = entry->d_name;
    }
  }
  return any;
}

// Turns a Windows-style path into the native one: backslashes become '/',
// escaped ones the backslashes of names again, and a component that does not
// exist under its own name is replaced by the entry of its folder that equals
// it ignoring ASCII case, if there is one.
std::string NativePath(const WideString& path) {
  WideString separated = path;
  std::replace(separated.begin(), separated.end(), u'\\', u'/');
  std::replace(separated.begin(), separated.end(), kEscapedBackslash, u'\\');
  std::string native = NativeFromWide(separated);
  std::string resolved;
  bool look_up = true;
  std::string::size_type start = 0;
  for (;;) {
    std::string::size_type slash = native.find('/', start);
    std::string component = native.substr(
        start, slash == std::string::npos ? std::string::npos : slash - start);
    if (look_up && !component.empty() && component != "." &&
        component != "..") {
      struct stat info;
      if (lstat((resolved + component).c_str(), &info) != 0) {
        // Once a component is missing under every spelling, so is the rest.
        look_up = errno == ENOENT &&
                  FindIgnoringCase(resolved, component, &component);
      }
    }
    resolved += component;
    if (slash == std::string::npos) break;
    resolved += '/';
    start = slash + 1;
  }
  return resolved;
}

// Reads a byte offset written in decimal digits alone.
bool ParseByteOffset(const char* text, uint64_t* offset) {
  uint64_t value = 0;
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
    unsigned digit = static_cast<unsigned>(*text - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *offset = value;
  return true;
}

}  // namespace

void PlatformFile::Close() {
  if (IsImageFileHandle(handle_))
    CloseImageFile(examined_image.get(), ImageFileOf(*this));
  else if (handle_ != kInvalid)
    close(static_cast<int>(handle_));
  handle_ = kInvalid;
}

uint32_t OpenLogForAppend(const WideString& path, PlatformFile* file) {
  std::string native = NativeFromWide(path);
  // Non-blocking, so that a FIFO without a reader fails at once instead of
  // holding the run forever; the writes block again as usual.
  int fd = open(native.c_str(),
                O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) return WindowsErrorFromErrno(errno, native);
  PlatformFile opened(fd);
  // Started with a standard descriptor closed, the log could take its
  // number, and console text would then be written into it.
  if (fd <= STDERR_FILENO) {
    fd = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (fd < 0) return WindowsErrorFromErrno(errno, native);
    opened = PlatformFile(fd);
  }
  int status = fcntl(fd, F_GETFL);
  if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0)
    return WindowsErrorFromErrno(errno, native);
  // flock locks belong to the open file description, so any second open of
  // the log, in this process or another, is refused while this one holds it.
  // Devices such as /dev/null belong to everyone and are not locked: one run
  // writing to one must not shut out every other process on the machine.
  struct stat info;
  if (fstat(fd, &info) != 0) return WindowsErrorFromErrno(errno, native);
  if (S_ISREG(info.st_mode) && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    return errno == EWOULDBLOCK ? kErrorSharingViolation
                                : WindowsErrorFromErrno(errno, native);
  }
  *file = std::move(opened);
  return kErrorSuccess;
}

uint32_t AppendToFile(const PlatformFile& file, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  size_t written = 0;
  while (written < size) {
    ssize_t count =
        write(FileDescriptor(file), bytes + written, size - written);
    if (count < 0) {
      if (errno == EINTR) continue;
      return WindowsErrorFromErrno(errno);
    }
    if (count == 0) return kErrorGenFailure;
    written += count;
  }
  return kErrorSuccess;
}

uint32_t OpenForReading(const WideString& path, PlatformFile* file) {
  if (examined_image) {
    size_t opened = 0;
    uint32_t error = OpenImageFile(examined_image.get(), path, &opened);
    if (error == kErrorSuccess)
      *file = PlatformFile(kFirstImageFileHandle -
                           static_cast<PlatformFile::Handle>(opened));
    return error;
  }
  std::string native = NativePath(path);
  // Checked before opening so that no device, FIFO or socket is ever opened.
  struct stat info;
  if (stat(native.c_str(), &info) != 0)
    return WindowsErrorFromErrno(errno, native);
  if (!S_ISREG(info.st_mode)) return kErrorAccessDenied;

  // Non-blocking, in case the name was replaced by a FIFO since the check.
  int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
  int fd = -1;
#ifdef O_NOATIME
  // Leaves the access time of the evidence as it was; only the file's owner
  // may ask for that.
  fd = open(native.c_str(), flags | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = open(native.c_str(), flags);
#else
  fd = open(native.c_str(), flags);
#endif
  if (fd < 0) return WindowsErrorFromErrno(errno, native);
  PlatformFile opened(fd);
  if (fstat(fd, &info) != 0) return WindowsErrorFromErrno(errno, native);
  if (!S_ISREG(info.st_mode)) return kErrorAccessDenied;
  int status = fcntl(fd, F_GETFL);
  if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0)
    return WindowsErrorFromErrno(errno, native);
  *file = std::move(opened);
  return kErrorSuccess;
}

uint32_t ReadFromFile(const PlatformFile& file, void* buffer, uint32_t size,
                      uint32_t* bytes_read) {
  if (IsImageFileHandle(file.handle()))
    return ReadImageFile(examined_image.get(), ImageFileOf(file), buffer, size,
                         bytes_read);
  *bytes_read = 0;
  char* bytes = static_cast<char*>(buffer);
  uint32_t total = 0;
  while (total < size) {
    ssize_t count = read(FileDescriptor(file), bytes + total, size - total);
    if (count < 0) {
      if (errno == EINTR) continue;
      int error = errno;
      // A failed read leaves the position where it was, as on Windows, so
      // that a caller may try again with a smaller read.
      lseek(FileDescriptor(file), -static_cast<off_t>(total), SEEK_CUR);
      return WindowsErrorFromErrno(error);
    }
    if (count == 0) break;
    total += static_cast<uint32_t>(count);
  }
  *bytes_read = total;
  return kErrorSuccess;
}

uint32_t StepBack(const PlatformFile& file, uint32_t distance) {
  if (IsImageFileHandle(file.handle()))
    return StepBackImageFile(examined_image.get(), ImageFileOf(file), distance);
  off_t position = lseek(FileDescriptor(file), 0, SEEK_CUR);
  if (position < 0) return WindowsErrorFromErrno(errno);
  if (static_cast<off_t>(distance) > position) return kErrorNegativeSeek;
  if (lseek(FileDescriptor(file), position - distance, SEEK_SET) < 0)
    return WindowsErrorFromErrno(errno);
  return kErrorSuccess;
}

uint32_t GetFileSize(const PlatformFile& file, uint64_t* size) {
  if (IsImageFileHandle(file.handle()))
    return ImageFileSize(examined_image.get(), ImageFileOf(file), size);
  struct stat info;
  if (fstat(FileDescriptor(file), &info) != 0)
    return WindowsErrorFromErrno(errno);
  *size = static_cast<uint64_t>(info.st_size);
  return kErrorSuccess;
}

uint32_t GetWindowsFolder(WideString* folder) {
  if (examined_image) {
    *folder = examined_volume.windows_folder;
    return kErrorSuccess;
  }
  if (GetWindowsFolderOverride(folder)) return kErrorSuccess;
  const char* value = getenv("SystemRoot");
  if (value == nullptr || *value == '\0') return kErrorEnvVarNotFound;
  std::string native = value;
  if (native[0] != '/') {
    std::string current(256, '\0');
    while (getcwd(&current[0], current.size()) == nullptr) {
      if (errno != ERANGE) return WindowsErrorFromErrno(errno);
      current.resize(current.size() * 2);
    }
    current.resize(current.find('\0'));
    if (current.empty() || current.back() != '/') current += '/';
    native = current + native;
  }
  while (!native.empty() && native.back() == '/') native.pop_back();
  *folder = WideFromNative(native);
  return kErrorSuccess;
}

uint32_t GetSystemFolder(WideString* folder) {
  if (examined_image) {
    *folder = examined_volume.system_folder;
    return kErrorSuccess;
  }
  WideString windows;
  uint32_t error = GetWindowsFolder(&windows);
  if (error != kErrorSuccess) return error;
  *folder = windows + u"\\system32";
  return kErrorSuccess;
}

bool GetWindowsFolderOverride(WideString* folder) {
  const char* value = getenv("VORLKIT_WINDOWS");
  if (value == nullptr || *value == '\0') return false;
  *folder = WideFromNative(value);
  return true;
}

bool GetImageOverride(WideString* image) {
  const char* value = getenv("VORLKIT_IMAGE");
  if (value == nullptr || *value == '\0') return false;
  *image = WideFromNative(value);
  return true;
}

uint32_t UseImageSource(const WideString& image, ImageVolumeInfo* info,
                        ImageProblem* problem) {
  if (!CanReadImages()) {
    *problem = ImageProblem::kNotSupported;
    return kErrorNotSupported;
  }
  ImageSelection selection;
  const char* windows = getenv("VORLKIT_WINDOWS");
  if (windows != nullptr) selection.windows_folder = WideFromNative(windows);
  const char* offset = getenv("VORLKIT_VOLUME");
  if (offset != nullptr && *offset != '\0') {
    if (!ParseByteOffset(offset, &selection.volume_offset)) {
      *problem = ImageProblem::kBadVolumeOffset;
      return kErrorInvalidParameter;
    }
    selection.has_volume_offset = true;
  }

  // Only a file or a block device is an image.
  std::string native = NativeFromWide(image);
  struct stat status;
  if (stat(native.c_str(), &status) != 0) {
    *problem = ImageProblem::kCannotOpen;
    return WindowsErrorFromErrno(errno, native);
  }
  if (S_ISDIR(status.st_mode)) {
    *problem = ImageProblem::kIsFolder;
    return kErrorAccessDenied;
  }
  if (!S_ISREG(status.st_mode) && !S_ISBLK(status.st_mode)) {
    *problem = ImageProblem::kCannotOpen;
    return kErrorAccessDenied;
  }

  // Raw and QCOW images are read by the kit itself, leaving their access
  // times as they were; only the other containers are left to the library
  // to open.
  ImageVolumePtr volume;
  uint32_t error = kErrorSuccess;
  if (IsContainerImage(native)) {
    error = OpenImageVolume(native, selection, &volume, info, problem);
  } else {
    ImageReader reader;
    *problem = ImageProblem::kCannotOpen;
    error = IsQcowImage(native) ? OpenQcowImage(native, &reader, problem)
                                : OpenRawImage(native, &reader);
    if (error != kErrorSuccess) return error;
    error = OpenImageVolumeThrough(reader, selection, &volume, info, problem);
  }
  if (error != kErrorSuccess) return error;
  examined_image = std::move(volume);
  examined_volume = *info;
  return kErrorSuccess;
}

bool UseNextShadowCopy(ShadowCopyStep* step) {
  *step = ShadowCopyStep();
  if (!examined_image) return false;
  if (!shadow_copies.started) {
    shadow_copies.started = true;
    const char* setting = getenv("VORLKIT_SHADOWS");
    if (setting != nullptr && strcmp(setting, "0") == 0) return false;
    step->error =
        OpenImageShadowCopies(examined_image.get(), &shadow_copies.created);
    if (step->error != kErrorSuccess) return true;
    shadow_copies.next = shadow_copies.created.size();
  }
  if (shadow_copies.next == 0) {
    shadow_copies.in_use = 0;
    UseImageShadowCopy(examined_image.get(), 0);
    return false;
  }
  size_t number = shadow_copies.next--;
  step->number = number;
  step->count = shadow_copies.created.size();
  step->created = shadow_copies.created[number - 1];
  step->error = UseImageShadowCopy(examined_image.get(), number);
  shadow_copies.in_use = step->error == kErrorSuccess ? number : 0;
  if (step->error != kErrorSuccess) return true;
  // A copy is walked where it holds what the volume does not, or lacks a
  // folder that the volume's walk looked in.
  for (const WideString& search : volume_searches) {
    std::vector<WideString> names;
    if (ListImageFolder(examined_image.get(), search, &names) !=
        kErrorFileNotFound)
      step->has_news = true;
  }
  return true;
}

bool RunsUnderWow64() { return false; }

UtcTime CurrentUtcTime() {
  time_t now = time(nullptr);
  struct tm parts;
  gmtime_r(&now, &parts);
  return UtcTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                 parts.tm_hour, parts.tm_min};
}

struct FolderEntries::State {
  std::vector<WideString> names;
  size_t next = 0;
};

FolderEntries::FolderEntries() = default;
FolderEntries::~FolderEntries() = default;

uint32_t FolderEntries::Start(const WideString& search_pattern,
                              WideString* first_name) {
  state_.reset();
  if (examined_image) {
    if (shadow_copies.in_use == 0 &&
        std::find(volume_searches.begin(), volume_searches.end(),
                  search_pattern) == volume_searches.end())
      volume_searches.push_back(search_pattern);
    std::unique_ptr<State> state(new State);
    uint32_t error =
        ListImageFolder(examined_image.get(), search_pattern, &state->names);
    if (error != kErrorSuccess) return error;
    *first_name = state->names[0];
    state->next = 1;
    state_ = std::move(state);
    return kErrorSuccess;
  }
  WideString::size_type split = search_pattern.find_last_of(u"\\/");
  WideString folder, pattern = search_pattern;
  if (split != WideString::npos) {
    folder = search_pattern.substr(0, split + 1);
    pattern = search_pattern.substr(split + 1);
  }
  std::string native = NativePath(folder);
  FolderStream stream = OpenFolder(native);
  if (!stream) {
    if (errno == ENOENT || errno == ENOTDIR) return kErrorPathNotFound;
    return WindowsErrorFromErrno(errno, native);
  }
  std::unique_ptr<State> state(new State);
  while (dirent* entry = readdir(stream.get())) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    WideString wide = WideFromNative(name);
    std::replace(wide.begin(), wide.end(), u'\\', kEscapedBackslash);
    if (WildcardMatch(pattern, wide, UpperAscii)) state->names.push_back(wide);
  }
  if (state->names.empty()) return kErrorFileNotFound;
  std::sort(state->names.begin(), state->names.end(), NameBefore);
  *first_name = state->names[0];
  state->next = 1;
  state_ = std::move(state);
  return kErrorSuccess;
}

bool FolderEntries::Next(WideString* name) {
  if (!state_ || state_->next >= state_->names.size()) return false;
  *name = state_->names[state_->next++];
  return true;
}

const FolderComparison& FolderEntries::comparison() const {
  // The volumes under a mounted folder or an image are not compared.
  static const FolderComparison kNotRun;
  return kNotRun;
}

bool FolderEntries::hidden() const { return false; }

uint32_t OpenOnVolume(const WideString&, PlatformFile*) {
  return kErrorNotSupported;
}

void RefreshVolumeViews() {}

bool EntryExists(const WideString& path) {
  if (examined_image) return ImageEntryExists(examined_image.get(), path);
  struct stat info;
  return lstat(NativePath(path).c_str(), &info) == 0;
}

void WriteConsoleText(const char16_t* text, size_t length) {
  WriteToStandardStream(StandardStream::kOutput, DisplayFromWide(text, length));
}

void WriteToStandardStream(StandardStream stream, const std::string& bytes) {
  int fd = stream == StandardStream::kOutput ? STDOUT_FILENO : STDERR_FILENO;
  size_t written = 0;
  while (written < bytes.size()) {
    ssize_t count = write(fd, bytes.data() + written, bytes.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return;  // Nowhere left to show it.
    written += count;
  }
}
