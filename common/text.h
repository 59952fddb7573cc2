// Wide strings of the kit and their conversion to and from native bytes.
#ifndef COMMON_TEXT_H_
#define COMMON_TEXT_H_

#include <cstddef>
#include <string>

// A string of UTF-16 code units: every path, name and message of the kit.
using WideString = std::u16string;

// Decodes UTF-8 bytes (a POSIX file name or argument) to UTF-16. A byte that
// is not part of a valid sequence, and a C0 control or DEL (which no Windows
// name holds), becomes the lone unit 0xDC00 + byte, so that NativeFromWide
// gives back the very same bytes while no name can end a line of the log.
WideString WideFromNative(const std::string& bytes);

// Decodes UTF-8 text as it stands, its line ends and other controls
// included; a byte that is not part of a valid sequence becomes the unit
// 0xDC00 + byte, as in WideFromNative.
WideString WideFromUtf8(const std::string& bytes);

// Encodes UTF-16 as UTF-8 for the POSIX file system; units that stand for
// bytes become those bytes again.
std::string NativeFromWide(const WideString& wide);

// A file or folder name as the messages carry it: a C0 control or DEL, which
// no name made through Windows holds but one written to the volume otherwise
// may, becomes the unit 0xDC00 + its value, as WideFromNative carries it, so
// that no name can end a line of the log. Names are still opened as they
// are; on POSIX, where WideFromNative carried them already, nothing changes.
WideString NameForMessages(const WideString& name);

// The text as a console may show it: units that stand for bytes and any
// other lone surrogate, and every control character but CR and LF (the
// other C0 controls, DEL and the C1 controls U+0080 to U+009F), become
// U+FFFD, so that nothing a name holds can drive a terminal.
WideString ShowableText(const char16_t* text, size_t length);

// Encodes ShowableText as valid UTF-8.
std::string DisplayFromWide(const char16_t* text, size_t length);

// Appends the UTF-8 encoding of the scalar value `code`.
void AppendUtf8(char32_t code, std::string* out);

inline bool IsHighSurrogate(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
inline bool IsLowSurrogate(char16_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Appends `length` units of UTF-16 to `out` as UTF-8, a surrogate pair as
// one character. Each lone surrogate goes to `lone(unit, out)`, which
// appends whatever stands for it there.
template <typename LoneSurrogate>
void AppendUtf8Of(const char16_t* text, size_t length, std::string* out,
                  LoneSurrogate lone) {
  for (size_t i = 0; i < length; ++i) {
    char16_t unit = text[i];
    if (IsHighSurrogate(unit) && i + 1 < length &&
        IsLowSurrogate(text[i + 1])) {
      AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00),
                 out);
      ++i;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      lone(unit, out);
    } else {
      AppendUtf8(unit, out);
    }
  }
}

// Widens ASCII text unit by unit.
WideString WidenAscii(const char* ascii);

#endif  // COMMON_TEXT_H_
