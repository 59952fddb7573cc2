// The one writer of console text. Wide messages and the few byte-oriented
// texts go through it, so they come out in the order they were printed, and
// all of it is shown as ShowableText (common/text.h) makes it.
#ifndef COMMON_CONSOLE_H_
#define COMMON_CONSOLE_H_

#include <string>

#include "common/format.h"
#include "common/text.h"

// Prints `text` literally: a percent sign in it is printed as such.
void ConsolePrintText(const WideString& text);

// Formats as FormatText does and prints the result.
void ConsolePrint(const char16_t* format,
                  std::initializer_list<FormatArg> args = {});

// Prints byte-oriented ASCII text.
void ConsolePrintBytes(const char* text);

// Hands all pending console text to the platform.
void ConsoleFlush();

// While set, each print is handed to the platform at once, so that a
// terminal shows every line as the walk reaches it and in its order with
// the log's writes; otherwise text is collected into large writes. Off at
// the start.
void SetConsoleAtTerminal(bool is_terminal);

// While `sink` is set, flushed console text is appended to it as UTF-8
// instead of reaching the process's output; nullptr restores the output.
void SetConsoleSinkForTesting(std::string* sink);

#endif  // COMMON_CONSOLE_H_
