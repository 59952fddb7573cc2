#include "common/console.h"

#include "common/platform.h"

namespace {

// Text printed but not yet handed to the platform. Output is collected and
// written in large pieces; the walks flush after every file.
WideString pending;
std::string* sink_for_testing = nullptr;

constexpr size_t kFlushThreshold = 64 * 1024;

void Append(const char16_t* text, size_t length) {
  pending.append(text, length);
  if (pending.size() >= kFlushThreshold) ConsoleFlush();
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
  if (sink_for_testing)
    sink_for_testing->append(DisplayFromWide(pending.data(), pending.size()));
  else
    WriteConsoleText(pending.data(), pending.size());
  pending.clear();
}

void SetConsoleSinkForTesting(std::string* sink) {
  ConsoleFlush();
  sink_for_testing = sink;
}
