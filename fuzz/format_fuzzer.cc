// FormatText on formats built from the fuzzer's bytes: pieces of literal
// text, "%%", the kit's conversions and conversions it does not know, with
// four arguments however many conversions there are. Every piece's expected
// output is known as it is built (numbers as C's snprintf prints them), so
// the result must be exactly their concatenation: no crash, nothing cut
// short however long the text, literal text kept as it is, and conversions
// past the last argument copied unchanged.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "common/format.h"

namespace {

constexpr size_t kArgCount = 4;

// UTF-16 units from the fuzzer's bytes, with no terminator among them.
WideString Units(FuzzedDataProvider* input, size_t max_units) {
  std::string bytes = input->ConsumeRandomLengthString(max_units * 2);
  WideString units;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    char16_t unit = static_cast<unsigned char>(bytes[i]) |
                    static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (unit != 0) units.push_back(unit);
  }
  return units;
}

WideString Widen(const std::string& ascii) {
  return WideString(ascii.begin(), ascii.end());
}

std::string Printf(const char* format, ...)
    __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vector<char> buffer(512);
  vsnprintf(buffer.data(), buffer.size(), format, args);
  va_end(args);
  return buffer.data();
}

std::string Show(const WideString& text) {
  std::string out;
  for (char16_t unit : text) {
    if (unit >= 0x20 && unit < 0x7f)
      out.push_back(static_cast<char>(unit));
    else
      out += Printf("\\u%04x", unit);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  WideString format, expected;
  std::vector<FormatArg> args;
  std::deque<WideString> texts;  // the text arguments, kept in place

  while (input.remaining_bytes() > 0) {
    switch (input.ConsumeIntegralInRange(0, 7)) {
      case 0: {  // literal text, percent signs doubled
        WideString text = Units(&input, 2000);
        for (char16_t unit : text) {
          if (unit == u'%') format.push_back(u'%');
          format.push_back(unit);
        }
        expected += text;
        break;
      }
      case 1:
        format += u"%%";
        expected += u"%";
        break;
      case 2: {  // a conversion the formatter does not know, copied as is
        const WideString unknown = u"abceghijkmnopqrtuvz -+#.*!";
        WideString conversion = u"%";
        conversion.push_back(unknown[input.ConsumeIntegralInRange<size_t>(
            0, unknown.size() - 1)]);
        format += conversion;
        expected += conversion;
        break;
      }
      default: {  // one of the kit's conversions with its argument
        WideString conversion;
        WideString rendered;
        FormatArg arg = 0;
        switch (input.ConsumeIntegralInRange(0, 4)) {
          case 0: {
            conversion = input.ConsumeBool() ? u"%ls" : u"%s";
            texts.push_back(Units(&input, 5000));
            rendered = texts.back();
            arg = texts.back();
            break;
          }
          case 1: {
            int value = input.ConsumeIntegral<int>();
            conversion = u"%d";
            rendered = Widen(Printf("%d", value));
            arg = value;
            break;
          }
          case 2: {
            int value = input.ConsumeIntegral<int>();
            int width = input.ConsumeIntegralInRange(1, 12);
            conversion = Widen(Printf("%%0%dd", width));
            rendered = Widen(Printf("%0*d", width, value));
            arg = value;
            break;
          }
          case 3: {
            unsigned int value = input.ConsumeIntegral<unsigned int>();
            conversion = u"%x";
            rendered = Widen(Printf("%x", value));
            arg = value;
            break;
          }
          case 4: {
            double value = input.ConsumeFloatingPoint<double>();
            conversion = u"%f";
            rendered = Widen(Printf("%f", value));
            arg = value;
            break;
          }
        }
        format += conversion;
        if (args.size() < kArgCount) {
          args.push_back(arg);
          expected += rendered;
        } else {
          expected += conversion;  // no argument left for it
        }
        break;
      }
    }
  }
  while (args.size() < kArgCount) args.push_back(0);

  WideString actual =
      FormatText(format.c_str(), {args[0], args[1], args[2], args[3]});
  if (actual != expected) {
    fprintf(stderr, "format: %s\nexpected: %s\nactual:   %s\n",
            Show(format).c_str(), Show(expected).c_str(), Show(actual).c_str());
    abort();
  }
  return 0;
}
