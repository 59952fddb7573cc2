// The POSIX entry point: arguments arrive as bytes and are decoded to UTF-16
// (undecodable bytes kept, so a path given on the command line still opens).
#include <vector>

#include "common/console.h"
#include "common/entry.h"
#include "common/text.h"

int main(int argc, char** argv) {
  std::vector<WideString> arguments;
  arguments.reserve(argc);
  for (int i = 0; i < argc; ++i) arguments.push_back(WideFromNative(argv[i]));
  std::vector<char16_t*> pointers;
  pointers.reserve(argc + 1);
  for (WideString& argument : arguments) pointers.push_back(&argument[0]);
  pointers.push_back(nullptr);
  int result = WideMain(argc, pointers.data());
  ConsoleFlush();
  return result;
}
