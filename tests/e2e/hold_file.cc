// Test helper for the end-to-end runs under Wine: holds a file open for
// writing, as a program that keeps a driver open would, while the kit runs.
//
//   hold_file.exe PATH
//
// Opens the existing file PATH with write access, sharing it with readers
// but not with writers, prints "held" and keeps it open until its standard
// input ends, or at most two minutes. Exits with 1 when the file cannot be
// opened.
#include <windows.h>

#include <cstdio>

namespace {

DWORD WINAPI GiveUpLater(void*) {
  Sleep(120 * 1000);
  ExitProcess(2);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 1;
  HANDLE file = CreateFileW(argv[1], GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    printf("error 0x%lx\n", GetLastError());
    return 1;
  }
  CreateThread(nullptr, 0, GiveUpLater, nullptr, 0, nullptr);
  printf("held\n");
  fflush(stdout);
  char buffer[64];
  DWORD got = 0;
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  while (ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got > 0) {
  }
  CloseHandle(file);
  return 0;
}
