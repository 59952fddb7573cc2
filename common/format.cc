#include "common/format.h"

#include <cstdio>

int64_t FormatArg::as_signed() const {
  return kind_ == Kind::kUnsigned ? static_cast<int64_t>(unsigned_) : signed_;
}

uint64_t FormatArg::as_unsigned() const {
  return kind_ == Kind::kSigned ? static_cast<uint64_t>(signed_) : unsigned_;
}

namespace {

// Appends `digits` (ASCII) padded on the left to `width` with `pad`. Zeros
// go after a minus sign, as printf puts them: -0005, not 000-5.
void AppendPadded(WideString* out, const std::string& digits, size_t width,
                  char pad) {
  size_t start = 0;
  if (pad == '0' && !digits.empty() && digits[0] == '-') {
    out->push_back(u'-');
    start = 1;
  }
  for (size_t i = digits.size(); i < width; ++i) out->push_back(pad);
  for (size_t i = start; i < digits.size(); ++i)
    out->push_back(static_cast<char16_t>(digits[i]));
}

std::string DecimalDigits(int64_t value) {
  char buffer[32];
  snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(value));
  return buffer;
}

std::string HexDigits(uint64_t value) {
  char buffer[32];
  snprintf(buffer, sizeof buffer, "%llx",
           static_cast<unsigned long long>(value));
  return buffer;
}

// Six decimals with a decimal point: the kit never sets a locale, so the C
// library formats in the "C" locale on every platform.
std::string FixedDigits(double value) {
  char buffer[512];
  snprintf(buffer, sizeof buffer, "%.6f", value);
  return buffer;
}

}  // namespace

WideString FormatText(const char16_t* format,
                      std::initializer_list<FormatArg> args) {
  WideString out;
  const FormatArg* next = args.begin();
  const char16_t* p = format;
  while (*p) {
    if (*p != u'%') {
      out.push_back(*p++);
      continue;
    }
    const char16_t* start = p++;
    if (*p == u'%') {
      out.push_back(u'%');
      ++p;
      continue;
    }
    char pad = ' ';
    if (*p == u'0') {
      pad = '0';
      ++p;
    }
    size_t width = 0;
    while (*p >= u'0' && *p <= u'9') width = width * 10 + (*p++ - u'0');
    while (*p == u'l') ++p;
    char16_t conversion = *p;
    bool known = conversion == u's' || conversion == u'd' ||
                 conversion == u'x' || conversion == u'f';
    if (!known || next == args.end()) {
      out.append(start, p + (conversion ? 1 : 0));
      if (conversion) ++p;
      continue;
    }
    ++p;
    const FormatArg& arg = *next++;
    switch (conversion) {
      case u's':
        if (arg.kind() == FormatArg::Kind::kText && arg.text())
          out.append(arg.text());
        break;
      case u'd':
        AppendPadded(&out, DecimalDigits(arg.as_signed()), width, pad);
        break;
      case u'x':
        AppendPadded(&out, HexDigits(arg.as_unsigned()), width, pad);
        break;
      case u'f':
        AppendPadded(&out, FixedDigits(arg.as_double()), width, pad);
        break;
    }
  }
  return out;
}
