// Platform services through kernel32, for the programs that run on Windows.

#include "common/platform.h"
#include "volume/raw_view.h"

#include <windows.h>

#include <string>
#include <utility>

namespace {

// Files read from a raw volume have handles that count down from here, far
// from every handle that Windows gives out.
constexpr PlatformFile::Handle kFirstVolumeFileHandle = -0x10000;

bool IsVolumeFileHandle(PlatformFile::Handle handle) {
  return handle <= kFirstVolumeFileHandle;
}

size_t VolumeFileOf(const PlatformFile& file) {
  return static_cast<size_t>(kFirstVolumeFileHandle - file.handle());
}

// Opens a file of a compared folder from the raw volume.
uint32_t OpenVolumeFile(const WideString& path, bool for_comparison,
                        PlatformFile* file) {
  size_t opened = 0;
  uint32_t error = OpenFromVolume(path, for_comparison, &opened);
  if (error == kErrorSuccess)
    *file = PlatformFile(kFirstVolumeFileHandle -
                         static_cast<PlatformFile::Handle>(opened));
  return error;
}

HANDLE AsHandle(PlatformFile::Handle handle) {
  return reinterpret_cast<HANDLE>(handle);
}

const wchar_t* AsWide(const WideString& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

// The size of the buffers that receive folder names; grown when a name does
// not fit.
constexpr UINT kFolderBufferSize = 4192;

// Calls one of the folder-name functions of kernel32, which return the
// length on success, the size needed when the buffer is too small and 0 on
// failure.
uint32_t GetFolder(UINT(WINAPI* get)(LPWSTR, UINT), WideString* folder) {
  std::u16string buffer(kFolderBufferSize, u'\0');
  for (;;) {
    UINT size = static_cast<UINT>(buffer.size());
    UINT length = get(reinterpret_cast<wchar_t*>(&buffer[0]), size);
    if (length == 0) return GetLastError();
    if (length < size) {
      buffer.resize(length);
      break;
    }
    buffer.resize(length);
  }
  // Only a folder at the root of a drive ("C:\") comes with a backslash.
  if (!buffer.empty() && buffer.back() == u'\\') buffer.pop_back();
  *folder = buffer;
  return kErrorSuccess;
}

// The absolute form of `folder`, by GetFullPathNameW, which also settles a
// relative or drive-relative folder, "." and "..".
uint32_t FullFolderPath(const std::u16string& folder, std::u16string* full) {
  std::u16string buffer(kFolderBufferSize, u'\0');
  for (;;) {
    DWORD size = static_cast<DWORD>(buffer.size());
    DWORD length = GetFullPathNameW(
        AsWide(folder), size, reinterpret_cast<wchar_t*>(&buffer[0]), nullptr);
    if (length == 0) return GetLastError();
    buffer.resize(length);
    if (length < size) break;
  }
  *full = buffer;
  return kErrorSuccess;
}

bool StartsWith(const std::u16string& text, const char16_t* prefix) {
  return text.compare(0, std::char_traits<char16_t>::length(prefix), prefix) ==
         0;
}

// The verbatim form of a path ("\\?\C:\Windows\...",
// "\\?\UNC\server\share\..."), which Windows hands to the file system as it is.
// Without it, Win32 path parsing takes a last name such as "nul.sys" or
// "com1.sys" for a device and drops the trailing dots and spaces of "x.sys."
// and "x.sys ", so that such a file could not be opened. Only the folder part
// is made absolute; the last name, which whoever made the file chose, is kept
// exactly. A path already in verbatim or device form is kept as it is.
uint32_t VerbatimPath(const WideString& path, std::u16string* verbatim) {
  if (StartsWith(path, u"\\\\?\\") || StartsWith(path, u"\\\\.\\")) {
    *verbatim = path;
    return kErrorSuccess;
  }
  size_t separator = path.find_last_of(u"\\/");
  std::u16string folder, name;
  if (separator != std::u16string::npos) {
    folder = path.substr(0, separator + 1);
    name = path.substr(separator + 1);
  } else if (path.size() >= 2 && path[1] == u':') {
    folder = path.substr(0, 2);  // "C:name": the drive's current folder
    name = path.substr(2);
  } else {
    folder = u".";
    name = path;
  }
  std::u16string full;
  uint32_t error = FullFolderPath(folder, &full);
  if (error != kErrorSuccess) return error;
  if (full.empty() || full.back() != u'\\') full += u'\\';
  if (StartsWith(full, u"\\\\?\\") || StartsWith(full, u"\\\\.\\"))
    *verbatim = full + name;
  else if (StartsWith(full, u"\\\\"))
    *verbatim = u"\\\\?\\UNC\\" + full.substr(2) + name;
  else
    *verbatim = u"\\\\?\\" + full + name;
  return kErrorSuccess;
}

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != 0;
}

// A console takes UTF-16 text itself, in pieces small enough for every
// Windows version; a piece never ends inside a surrogate pair.
void WriteToConsole(HANDLE console, const char16_t* text, size_t length) {
  const size_t kChunk = 8192;
  while (length > 0) {
    size_t count = length < kChunk ? length : kChunk;
    if (count < length && IsHighSurrogate(text[count - 1])) --count;
    DWORD written = 0;
    if (!WriteConsoleW(console, text, static_cast<DWORD>(count), &written,
                       nullptr) ||
        written == 0)
      return;
    text += written;
    length -= written;
  }
}

// Writes all bytes to a file or a pipe, as far as it takes them.
void WriteBytes(HANDLE handle, const char* data, size_t size) {
  while (size > 0) {
    DWORD count = size < 0x40000000 ? static_cast<DWORD>(size) : 0x40000000;
    DWORD written = 0;
    if (!WriteFile(handle, data, count, &written, nullptr) || written == 0)
      return;
    data += written;
    size -= written;
  }
}

// True for a character that no Windows file name may hold but that the
// folder search reads as a wildcard.
bool IsWildcard(char16_t c) {
  return c == u'*' || c == u'?' || c == u'<' || c == u'>' || c == u'"';
}

}  // namespace

void PlatformFile::Close() {
  if (IsVolumeFileHandle(handle_)) {
    CloseVolumeFile(VolumeFileOf(*this));
    Release();
  } else if (is_open())
    CloseHandle(AsHandle(Release()));
}

uint32_t OpenLogForAppend(const WideString& path, PlatformFile* file) {
  HANDLE handle = CreateFileW(AsWide(path), FILE_APPEND_DATA, 0, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return GetLastError();
  *file = PlatformFile(reinterpret_cast<PlatformFile::Handle>(handle));
  return kErrorSuccess;
}

uint32_t AppendToFile(const PlatformFile& file, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(AsHandle(file.handle()), bytes, chunk, &written, nullptr))
      return GetLastError();
    if (written == 0) return kErrorDiskFull;
    bytes += written;
    size -= written;
  }
  return kErrorSuccess;
}

uint32_t OpenForReading(const WideString& path, PlatformFile* file) {
  // What the listing hides, the system does not open either.
  if (IsHiddenOnVolume(path)) return OpenVolumeFile(path, false, file);
  std::u16string verbatim;
  uint32_t error = VerbatimPath(path, &verbatim);
  if (error != kErrorSuccess) return error;
  // Sharing everything keeps out no one, and lets in a file that another
  // process holds open for writing or deleting.
  HANDLE handle =
      CreateFileW(AsWide(verbatim), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return GetLastError();
  PlatformFile opened(reinterpret_cast<PlatformFile::Handle>(handle));
  // A device name such as CON opens as well, and reading it could block.
  if (GetFileType(handle) != FILE_TYPE_DISK) return kErrorAccessDenied;
  *file = std::move(opened);
  return kErrorSuccess;
}

uint32_t ReadFromFile(const PlatformFile& file, void* buffer, uint32_t size,
                      uint32_t* bytes_read) {
  if (IsVolumeFileHandle(file.handle()))
    return ReadVolumeFile(VolumeFileOf(file), buffer, size, bytes_read);
  char* bytes = static_cast<char*>(buffer);
  uint32_t total = 0;
  while (total < size) {
    DWORD got = 0;
    if (!ReadFile(AsHandle(file.handle()), bytes + total, size - total, &got,
                  nullptr)) {
      DWORD error = GetLastError();
      // A failed read leaves the position where it was before the call.
      if (total > 0) {
        LONG high = -1;
        SetFilePointer(AsHandle(file.handle()),
                       static_cast<LONG>(-static_cast<int64_t>(total)), &high,
                       FILE_CURRENT);
      }
      *bytes_read = 0;
      return error;
    }
    if (got == 0) break;
    total += got;
  }
  *bytes_read = total;
  return kErrorSuccess;
}

uint32_t StepBack(const PlatformFile& file, uint32_t distance) {
  if (IsVolumeFileHandle(file.handle()))
    return StepBackVolumeFile(VolumeFileOf(file), distance);
  // The high part keeps the move right in files beyond 4 GiB. Windows
  // refuses a move below the start with ERROR_NEGATIVE_SEEK.
  int64_t move = -static_cast<int64_t>(distance);
  LONG high = static_cast<LONG>(move >> 32);
  SetLastError(NO_ERROR);
  DWORD low =
      SetFilePointer(AsHandle(file.handle()),
                     static_cast<LONG>(move & 0xffffffff), &high, FILE_CURRENT);
  if (low == INVALID_SET_FILE_POINTER) {
    DWORD error = GetLastError();
    if (error != NO_ERROR) return error;
  }
  return kErrorSuccess;
}

uint32_t GetFileSize(const PlatformFile& file, uint64_t* size) {
  if (IsVolumeFileHandle(file.handle()))
    return VolumeFileSize(VolumeFileOf(file), size);
  LARGE_INTEGER value;
  if (!GetFileSizeEx(AsHandle(file.handle()), &value)) return GetLastError();
  *size = static_cast<uint64_t>(value.QuadPart);
  return kErrorSuccess;
}

uint32_t GetWindowsFolder(WideString* folder) {
  if (GetWindowsFolderOverride(folder)) return kErrorSuccess;
  return GetFolder(GetWindowsDirectoryW, folder);
}

uint32_t GetSystemFolder(WideString* folder) {
  WideString windows;
  if (GetWindowsFolderOverride(&windows)) {
    *folder = windows + u"\\system32";
    return kErrorSuccess;
  }
  return GetFolder(GetSystemDirectoryW, folder);
}

namespace {

// The value of an environment variable; false when it is unset or empty.
bool EnvironmentValue(const wchar_t* name, WideString* value) {
  std::u16string buffer(kFolderBufferSize, u'\0');
  for (;;) {
    DWORD size = static_cast<DWORD>(buffer.size());
    DWORD length = GetEnvironmentVariableW(
        name, reinterpret_cast<wchar_t*>(&buffer[0]), size);
    if (length == 0) return false;  // unset or empty
    if (length < size) {
      buffer.resize(length);
      break;
    }
    buffer.resize(length);
  }
  *value = buffer;
  return true;
}

// VORLKIT_RAW: 0 turns the comparison with the raw volume off, 1 requires
// it.
RawMode RawModeOf() {
  WideString value;
  if (!EnvironmentValue(L"VORLKIT_RAW", &value)) return RawMode::kWhereItCan;
  if (value == u"0") return RawMode::kOff;
  if (value == u"1") return RawMode::kRequired;
  return RawMode::kWhereItCan;
}

}  // namespace

bool GetWindowsFolderOverride(WideString* folder) {
  return EnvironmentValue(L"VORLKIT_WINDOWS", folder);
}

bool GetImageOverride(WideString* image) {
  return EnvironmentValue(L"VORLKIT_IMAGE", image);
}

// The Windows programs read no evidence images; they examine a mounted one
// through VORLKIT_WINDOWS.
uint32_t UseImageSource(const WideString&, ImageVolumeInfo*,
                        ImageProblem* problem) {
  *problem = ImageProblem::kNotSupported;
  return kErrorNotSupported;
}

// The live system's shadow copies are not examined: an image of the volume
// holds them.
bool UseNextShadowCopy(ShadowCopyStep*) { return false; }

bool RunsUnderWow64() {
  // Looked up at run time: kernel32 of Windows XP before SP2 lacks it, and
  // an import would keep the program from starting there.
  using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
  HMODULE kernel32 = GetModuleHandleW(L"kernel32");
  if (!kernel32) return false;
  FARPROC address = GetProcAddress(kernel32, "IsWow64Process");
  if (!address) return false;
  auto is_wow64_process = reinterpret_cast<IsWow64ProcessFunction>(
      reinterpret_cast<void (*)()>(address));
  BOOL wow64 = FALSE;
  if (!is_wow64_process(GetCurrentProcess(), &wow64)) return false;
  return wow64 != FALSE;
}

UtcTime CurrentUtcTime() {
  SYSTEMTIME now;
  GetSystemTime(&now);
  return UtcTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute};
}

namespace {

// The system's listing of a folder search, whole.
uint32_t ListWithSystem(const WideString& search_pattern,
                        std::vector<ListedEntry>* listed) {
  listed->clear();
  std::u16string verbatim;
  uint32_t error = VerbatimPath(search_pattern, &verbatim);
  if (error != kErrorSuccess) return error;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(AsWide(verbatim), &data);
  if (find == INVALID_HANDLE_VALUE) return GetLastError();
  do {
    ListedEntry entry;
    entry.name = reinterpret_cast<const char16_t*>(data.cFileName);
    entry.short_name =
        reinterpret_cast<const char16_t*>(data.cAlternateFileName);
    listed->push_back(entry);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return kErrorSuccess;
}

// True when the system finds an entry of that name.
bool SystemEntryExists(const WideString& path) {
  // The folder search would read these characters as wildcards and match
  // other names; no entry can have them in its name, so none exists.
  // A "\\?\" prefix is no part of a name.
  size_t start = path.compare(0, 4, u"\\\\?\\") == 0 ? 4 : 0;
  for (size_t i = start; i < path.size(); ++i) {
    if (IsWildcard(path[i])) return false;
  }
  std::u16string verbatim;
  if (VerbatimPath(path, &verbatim) != kErrorSuccess) return false;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(AsWide(verbatim), &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  FindClose(find);
  return true;
}

}  // namespace

// The walk is listed whole at its start, so that it can be compared with
// the volume.
struct FolderEntries::State {
  std::vector<WalkEntry> walk;
  size_t next = 0;
  FolderComparison comparison;
};

FolderEntries::FolderEntries() : state_(new State) {}

FolderEntries::~FolderEntries() = default;

uint32_t FolderEntries::Start(const WideString& search_pattern,
                              WideString* first_name) {
  state_.reset(new State);
  size_t split = search_pattern.find_last_of(u"\\/");
  WideString folder = split == WideString::npos
                          ? WideString(u".")
                          : search_pattern.substr(0, split);
  WideString pattern = split == WideString::npos
                           ? search_pattern
                           : search_pattern.substr(split + 1);
  RawViewRequest request;
  request.folder = folder;
  request.pattern = pattern;
  request.mode = RawModeOf();
  request.under_wow64 = RunsUnderWow64();
  request.full_path = FullFolderPath;
  uint32_t list_error = kErrorSuccess;
  state_->walk = CompareWithVolume(request, ListWithSystem, SystemEntryExists,
                                   &state_->comparison, &list_error);
  if (state_->walk.empty())
    return list_error != kErrorSuccess ? list_error : kErrorFileNotFound;
  *first_name = state_->walk[0].name;
  state_->next = 1;
  return kErrorSuccess;
}

bool FolderEntries::Next(WideString* name) {
  if (state_->next >= state_->walk.size()) return false;
  *name = state_->walk[state_->next++].name;
  return true;
}

const FolderComparison& FolderEntries::comparison() const {
  return state_->comparison;
}

bool FolderEntries::hidden() const {
  return state_->next > 0 && state_->next <= state_->walk.size() &&
         state_->walk[state_->next - 1].hidden;
}

uint32_t OpenOnVolume(const WideString& path, PlatformFile* file) {
  return OpenVolumeFile(path, true, file);
}

void RefreshVolumeViews() { RefreshRawVolumes(); }

bool EntryExists(const WideString& path) {
  return SystemEntryExists(path) || ExistsOnVolume(path);
}

void WriteConsoleText(const char16_t* text, size_t length) {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE) return;
  if (IsConsole(output)) {
    WriteToConsole(output, text, length);
  } else {
    // Redirected to a file or a pipe: UTF-8 bytes.
    std::string bytes = DisplayFromWide(text, length);
    WriteBytes(output, bytes.data(), bytes.size());
  }
}

void WriteToStandardStream(StandardStream stream, const std::string& bytes) {
  HANDLE handle = GetStdHandle(
      stream == StandardStream::kOutput ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  if (IsConsole(handle)) {
    WideString text = WideFromUtf8(bytes);
    WideString shown = ShowableText(text.data(), text.size());
    WriteToConsole(handle, shown.data(), shown.size());
  } else {
    WriteBytes(handle, bytes.data(), bytes.size());
  }
}
