#include "common/console.h"

#include "common/platform.h"

namespace {

// Text printed but not yet handed to the platform. Output is collected and
// written in large pieces, unless it goes to a terminal; the walks flush
// after every file.
WideString pending;
std::string* sink_for_testing = nullptr;
bool at_terminal = false;

constexpr size_t kFlushThreshold = 64 * 1024;

void Append(const char16_t* text, size_t length) {
  pending.append(text, length);
  if (at_terminal || pending.size() >= kFlushThreshold) ConsoleFlush();
}

}  // namespace

void ConsolePrintText(const WideString& text) {
  Append(text.data(), text.size());
}

void ConsolePrint(const char16_t* format,
                  std::initializer_list<FormatArg> args) {
  ConsolePrintText(FormatText(format, args));
}

void ConsolePrintBytes(const char* text) { ConsolePrintText(WidenAscii(text)); }

void ConsoleFlush() {
  if (pending.empty()) return;
  // Made showable here rather than by each platform's writer, so that no
  // route to the console (a Windows console takes UTF-16 as it is) escapes it.
  WideString shown = ShowableText(pending.data(), pending.size());
  pending.clear();
  if (sink_for_testing)
    sink_for_testing->append(DisplayFromWide(shown.data(), shown.size()));
  else
    WriteConsoleText(shown.data(), shown.size());
}

void SetConsoleAtTerminal(bool is_terminal) { at_terminal = is_terminal; }

void SetConsoleSinkForTesting(std::string* sink) {
  ConsoleFlush();
  sink_for_testing = sink;
}
