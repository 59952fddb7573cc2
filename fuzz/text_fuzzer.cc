// The conversions of names between native bytes and UTF-16. Any bytes, a
// name that is not UTF-8 included, come back unchanged from the wide form,
// so a file found is a file opened; a name's wide form holds no control
// character that could end a line of the log; well-formed UTF-16 without
// C0 controls and DEL (as every Windows name) comes back from the native
// form; whatever the wide text, its display form is valid UTF-8 holding no
// control but CR and LF; and valid UTF-8 without controls is shown exactly
// as it is.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/text.h"

namespace {

// Strict UTF-8: shortest forms only, no surrogates, nothing past U+10FFFF.
bool IsValidUtf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    unsigned char lead = text[i];
    size_t length;
    uint32_t code;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      code = lead & 0x07;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      unsigned char byte = text[i + k];
      if ((byte & 0xC0) != 0x80) return false;
      code = code << 6 | (byte & 0x3F);
    }
    const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length]) return false;
    if (code >= 0xD800 && code <= 0xDFFF) return false;
    if (code > 0x10FFFF) return false;
    i += length;
  }
  return true;
}

// No lone surrogate: every high one followed by a low one and every low one
// preceded by a high one.
bool IsWellFormedUtf16(const WideString& units) {
  for (size_t i = 0; i < units.size(); ++i) {
    char16_t unit = units[i];
    if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 == units.size()) return false;
      if (units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return false;
      ++i;
    }
  }
  return true;
}

bool IsC0OrDelete(uint32_t code) { return code < 0x20 || code == 0x7F; }
bool IsC1(uint32_t code) { return code >= 0x80 && code <= 0x9F; }

// True when some unit is a C0 control (CR and LF only if `with_line_ends`),
// DEL or, if `with_c1`, a C1 control.
bool HoldsControl(const WideString& units, bool with_line_ends, bool with_c1) {
  for (char16_t unit : units) {
    if (!with_line_ends && (unit == u'\r' || unit == u'\n')) continue;
    if (IsC0OrDelete(unit) || (with_c1 && IsC1(unit))) return true;
  }
  return false;
}

// The same for UTF-8 bytes: C1 controls are the sequences C2 80 to C2 9F.
bool HoldsControlBytes(const std::string& bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    unsigned char byte = bytes[i];
    if (IsC0OrDelete(byte)) return true;
    if (byte == 0xC2 && i + 1 < bytes.size() &&
        IsC1(static_cast<unsigned char>(bytes[i + 1])))
      return true;
  }
  return false;
}

void Check(bool ok, const char* what, const std::string& bytes) {
  if (ok) return;
  fprintf(stderr, "%s for the %zu bytes:", what, bytes.size());
  for (unsigned char byte : bytes) fprintf(stderr, " %02x", byte);
  fprintf(stderr, "\n");
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);

  // The input as a native name.
  WideString wide = WideFromNative(bytes);
  Check(NativeFromWide(wide) == bytes, "the round trip changes the name",
        bytes);
  Check(!HoldsControl(wide, true, false), "a name keeps a control", bytes);
  std::string shown = DisplayFromWide(wide.data(), wide.size());
  Check(IsValidUtf8(shown), "the display form is not UTF-8", bytes);
  if (IsValidUtf8(bytes) && !HoldsControlBytes(bytes))
    Check(shown == bytes, "valid UTF-8 is shown otherwise", bytes);

  // The input as arbitrary UTF-16, lone surrogates included.
  WideString units;
  for (size_t i = 0; i + 1 < size; i += 2)
    units.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  WideString showable = ShowableText(units.data(), units.size());
  Check(IsWellFormedUtf16(showable) && !HoldsControl(showable, false, true),
        "the showable form of UTF-16 units holds a control or a lone "
        "surrogate",
        bytes);
  Check(IsValidUtf8(DisplayFromWide(units.data(), units.size())),
        "the display form of UTF-16 units is not UTF-8", bytes);
  // A name as Windows gives it reaches the native form and comes back.
  if (IsWellFormedUtf16(units) && !HoldsControl(units, true, false))
    Check(WideFromNative(NativeFromWide(units)) == units,
          "well-formed UTF-16 does not come back", bytes);
  return 0;
}
