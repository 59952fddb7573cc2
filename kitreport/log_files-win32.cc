#include "kitreport/log_files.h"

#include <windows.h>

#include <algorithm>

#include "common/platform.h"

namespace {

const wchar_t* AsWide(const WideString& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

// Reads to the end. A pipe whose writer has gone reports a broken pipe at
// its end, which is the end of the input and no failure.
uint32_t ReadAll(HANDLE handle, std::string* bytes) {
  char buffer[65536];
  for (;;) {
    DWORD count = 0;
    if (!ReadFile(handle, buffer, sizeof buffer, &count, nullptr)) {
      DWORD error = GetLastError();
      if (error == ERROR_BROKEN_PIPE) return kErrorSuccess;
      return error;
    }
    if (count == 0) return kErrorSuccess;
    bytes->append(buffer, count);
  }
}

}  // namespace

bool IsFolder(const WideString& path) {
  DWORD attributes = GetFileAttributesW(AsWide(path));
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

uint32_t ListFolderFiles(const WideString& folder,
                         std::vector<WideString>* paths) {
  WideString prefix = folder;
  if (!prefix.empty() && prefix.back() != u'\\' && prefix.back() != u'/' &&
      prefix.back() != u':')
    prefix += u'\\';
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(AsWide(prefix + u"*"), &data);
  if (find == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    // A folder with nothing in it at all (a drive's root) has no files.
    if (error == ERROR_FILE_NOT_FOUND) return kErrorSuccess;
    return error;
  }
  std::vector<WideString> found;
  do {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
      found.push_back(prefix +
                      reinterpret_cast<const char16_t*>(data.cFileName));
  } while (FindNextFileW(find, &data));
  DWORD error = GetLastError();
  FindClose(find);
  if (error != ERROR_NO_MORE_FILES) return error;
  std::sort(found.begin(), found.end());
  paths->insert(paths->end(), found.begin(), found.end());
  return kErrorSuccess;
}

uint32_t ReadWholeFile(const WideString& path, std::string* bytes) {
  if (path == u"-") return ReadAll(GetStdHandle(STD_INPUT_HANDLE), bytes);
  // Shared for writing too: a log that a tool holds open is refused by the
  // tool's own sharing, and one that another reader holds is read.
  HANDLE handle = CreateFileW(AsWide(path), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return GetLastError();
  uint32_t error = ReadAll(handle, bytes);
  CloseHandle(handle);
  return error;
}
