#include "common/text.h"

namespace {

// A byte that is not decoded stands for itself as the unit 0xDC00 + byte: an
// undecodable byte (0x80 or above), or a C0 control or DEL.
const char16_t kEscapeBase = 0xDC00;
const char32_t kReplacement = 0xFFFD;

bool IsAsciiControl(char32_t code) { return code < 0x20 || code == 0x7F; }

bool IsControl(char32_t code) {
  return IsAsciiControl(code) || (code >= 0x80 && code <= 0x9F);
}

// True for the units that WideFromNative makes of single bytes.
bool IsEscape(char16_t unit) {
  return unit >= kEscapeBase && unit <= kEscapeBase + 0xFF &&
         (unit >= kEscapeBase + 0x80 || IsAsciiControl(unit - kEscapeBase));
}

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Decodes the sequence at `bytes[i]` when it is valid UTF-8 in its shortest
// form and names a scalar value (no surrogate, at most U+10FFFF). Returns its
// length, or 0 when it is not valid.
size_t DecodeSequence(const std::string& bytes, size_t i, char32_t* code) {
  unsigned char lead = bytes[i];
  size_t length;
  unsigned char second_min = 0x80, second_max = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) second_min = 0xA0;  // Shorter forms are overlong.
    if (lead == 0xED) second_max = 0x9F;  // Above lie the surrogates.
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) second_min = 0x90;  // Shorter forms are overlong.
    if (lead == 0xF4) second_max = 0x8F;  // Above lies 0x110000 and beyond.
  } else {
    return 0;
  }
  if (bytes.size() - i < length) return 0;
  unsigned char second = bytes[i + 1];
  if (second < second_min || second > second_max) return 0;
  char32_t value = lead & (0x7F >> length);
  for (size_t k = 1; k < length; ++k) {
    unsigned char byte = bytes[i + k];
    if (!IsContinuation(byte)) return 0;
    value = (value << 6) | (byte & 0x3F);
  }
  *code = value;
  return length;
}

// Encodes UTF-16 as UTF-8. An escape unit becomes its raw byte when
// `restore_bytes` is set; every other lone surrogate becomes U+FFFD.
std::string EncodeUtf8(const char16_t* text, size_t length,
                       bool restore_bytes) {
  std::string out;
  out.reserve(length);
  AppendUtf8Of(text, length, &out,
               [restore_bytes](char16_t unit, std::string* out) {
                 if (restore_bytes && IsEscape(unit))
                   out->push_back(static_cast<char>(unit - kEscapeBase));
                 else
                   AppendUtf8(kReplacement, out);
               });
  return out;
}

}  // namespace

void AppendUtf8(char32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

namespace {

// Decodes UTF-8; a byte that is not part of a valid sequence, and with
// `carry_controls` a C0 control or DEL, becomes its escape unit.
WideString DecodeUtf8(const std::string& bytes, bool carry_controls) {
  WideString wide;
  wide.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    unsigned char byte = bytes[i];
    if (byte < 0x80) {
      wide.push_back(static_cast<char16_t>(
          carry_controls && IsAsciiControl(byte) ? kEscapeBase + byte : byte));
      ++i;
      continue;
    }
    char32_t code;
    size_t length = DecodeSequence(bytes, i, &code);
    if (length == 0) {
      // Only this byte is escaped; the ones after it are decoded afresh.
      wide.push_back(static_cast<char16_t>(kEscapeBase + byte));
      ++i;
      continue;
    }
    if (code < 0x10000) {
      wide.push_back(static_cast<char16_t>(code));
    } else {
      code -= 0x10000;
      wide.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      wide.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    }
    i += length;
  }
  return wide;
}

}  // namespace

WideString WideFromNative(const std::string& bytes) {
  return DecodeUtf8(bytes, true);
}

WideString WideFromUtf8(const std::string& bytes) {
  return DecodeUtf8(bytes, false);
}

std::string NativeFromWide(const WideString& wide) {
  return EncodeUtf8(wide.data(), wide.size(), true);
}

WideString ShowableText(const char16_t* text, size_t length) {
  WideString shown(text, length);
  for (size_t i = 0; i < length; ++i) {
    char16_t unit = text[i];
    if (IsHighSurrogate(unit) && i + 1 < length &&
        IsLowSurrogate(text[i + 1])) {
      ++i;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit) ||
               (IsControl(unit) && unit != u'\r' && unit != u'\n')) {
      shown[i] = kReplacement;
    }
  }
  return shown;
}

std::string DisplayFromWide(const char16_t* text, size_t length) {
  WideString shown = ShowableText(text, length);
  return EncodeUtf8(shown.data(), shown.size(), false);
}

WideString NameForMessages(const WideString& name) {
  WideString carried = name;
  for (char16_t& unit : carried)
    if (IsAsciiControl(unit)) unit = kEscapeBase + unit;
  return carried;
}

WideString WidenAscii(const char* ascii) {
  WideString wide;
  for (; *ascii; ++ascii) wide.push_back(static_cast<unsigned char>(*ascii));
  return wide;
}
