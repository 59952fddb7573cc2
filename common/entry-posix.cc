// The POSIX entry point: arguments arrive as bytes and are decoded to UTF-16
// (undecodable bytes kept, so a path given on the command line still opens).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <vector>

#include "common/console.h"
#include "common/entry.h"
#include "common/text.h"

namespace {

// Gives each standard descriptor the program was started without to
// /dev/null, so that no file the program opens takes its number: console
// text must never land in the log. open() takes the lowest free number,
// which is `fd` once the ones below are held; should it fail, the run log
// still keeps clear of the standard numbers.
void HoldStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
    if (fcntl(fd, F_GETFD) == -1) open("/dev/null", O_RDWR);
}

}  // namespace

int main(int argc, char** argv) {
  HoldStandardDescriptors();
  // A console that nobody reads any more fails its writes, as on Windows;
  // the walk goes on and the log still gets every finding.
  signal(SIGPIPE, SIG_IGN);
  SetConsoleAtTerminal(isatty(STDOUT_FILENO) == 1);

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
