// The program's entry point on Windows: the arguments arrive as UTF-16
// (the programs are linked with -municode).
#include <windows.h>

#include <float.h>

#include "common/console.h"
#include "common/entry.h"

extern "C" int wmain(int argc, wchar_t** argv) {
#if defined(__i386__)
  // The 32-bit programs compute doubles on the x87, which rounds to 64-bit
  // mantissas unless told otherwise; rounded to 53 bits, as the SSE2 unit
  // of every other build rounds, the entropies agree to the last bit.
  _controlfp(_PC_53, _MCW_PC);
#endif
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
