// Test helper for the end-to-end runs under Wine: drives one service of the
// Windows platform layer on one path, as the tools would, and prints what
// it gave.
//
//   platform_probe.exe open PATH     "0x0 SIZE" or "0xERROR"
//   platform_probe.exe exists PATH   "yes" or "no"
//   platform_probe.exe list PATTERN  each name on a line, or "0xERROR"
#include <cstdio>
#include <string>

#include "common/platform.h"

namespace {

std::string Display(const WideString& text) {
  return DisplayFromWide(text.data(), text.size());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  const std::u16string command = reinterpret_cast<const char16_t*>(argv[1]);
  const WideString path = reinterpret_cast<const char16_t*>(argv[2]);
  if (command == u"open") {
    PlatformFile file;
    uint32_t error = OpenForReading(path, &file);
    uint64_t size = 0;
    if (error == kErrorSuccess) error = GetFileSize(file, &size);
    if (error != kErrorSuccess) {
      printf("0x%x\n", static_cast<unsigned>(error));
    } else {
      printf("0x0 %llu\n", static_cast<unsigned long long>(size));
    }
  } else if (command == u"exists") {
    printf("%s\n", EntryExists(path) ? "yes" : "no");
  } else if (command == u"list") {
    FolderEntries entries;
    WideString name;
    uint32_t error = entries.Start(path, &name);
    if (error != kErrorSuccess) {
      printf("0x%x\n", static_cast<unsigned>(error));
    } else {
      do printf("%s\n", Display(name).c_str());
      while (entries.Next(&name));
    }
  } else {
    return 2;
  }
  return 0;
}
