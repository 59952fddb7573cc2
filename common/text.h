// Wide strings of the kit and their conversion to and from native bytes.
#ifndef COMMON_TEXT_H_
#define COMMON_TEXT_H_

#include <cstddef>
#include <string>

// A string of UTF-16 code units: every path, name and message of the kit.
using WideString = std::u16string;

// Decodes UTF-8 bytes (a POSIX file name or argument) to UTF-16. A byte that
// is not part of a valid sequence becomes the lone unit 0xDC00 + byte, so
// that NativeFromWide gives back the very same bytes.
WideString WideFromNative(const std::string& bytes);

// Encodes UTF-16 as UTF-8 for the POSIX file system; units that stand for
// undecodable bytes become those bytes again.
std::string NativeFromWide(const WideString& wide);

// Encodes UTF-16 as valid UTF-8 for showing it: units that stand for
// undecodable bytes, and any other lone surrogate, become U+FFFD.
std::string DisplayFromWide(const char16_t* text, size_t length);

// Widens ASCII text unit by unit.
WideString WidenAscii(const char* ascii);

#endif  // COMMON_TEXT_H_
