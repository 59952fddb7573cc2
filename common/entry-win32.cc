// The program's entry point on Windows: the arguments arrive as UTF-16
// (the programs are linked with -municode).
#include <windows.h>

#include "common/console.h"
#include "common/entry.h"

extern "C" int wmain(int argc, wchar_t** argv) {
  // A console shows each line as it is printed; a file or a pipe gets the
  // text in large writes.
  DWORD mode = 0;
  SetConsoleAtTerminal(GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) !=
                       0);
  // wchar_t and char16_t are both UTF-16 code units on Windows.
  int result = WideMain(argc, reinterpret_cast<char16_t**>(argv));
  ConsoleFlush();
  return result;
}
