#include "common/text.h"

#include <gtest/gtest.h>

namespace {

struct DecodeCase {
  const char* what;
  std::string bytes;
  WideString wide;
};

// Every byte string decodes as shown and encodes back to the same bytes.
TEST(TextTest, NativeRoundTrip) {
  const DecodeCase kCases[] = {
      {"empty", "", u""},
      {"ascii", "oem7.inf", u"oem7.inf"},
      {"two bytes", "\xC3\xA9.sys", u"\u00E9.sys"},
      {"three bytes", "\xE2\x82\xAC", u"\u20AC"},
      {"last before surrogates", "\xED\x9F\xBF", u"\uD7FF"},
      {"first after surrogates", "\xEE\x80\x80", u"\uE000"},
      {"four bytes", "a\xF0\x9F\x98\x80z", u"a\U0001F600z"},
      {"highest scalar", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
      {"lone continuation", "a\x80z", u"a\xDC80z"},
      {"byte 0xFF", "\xFF", u"\xDCFF"},
      {"cut at the end", "x\xE2\x82", u"x\xDCE2\xDC82"},
      {"lead then ascii",
       "\xC3"
       "a",
       u"\xDCC3"
       u"a"},
      {"overlong slash", "\xC0\xAF", u"\xDCC0\xDCAF"},
      {"overlong three bytes", "\xE0\x80\xAF", u"\xDCE0\xDC80\xDCAF"},
      {"overlong four bytes", "\xF0\x80\x80\xAF", u"\xDCF0\xDC80\xDC80\xDCAF"},
      {"encoded surrogate", "\xED\xA0\x80", u"\xDCED\xDCA0\xDC80"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", u"\xDCF4\xDC90\xDC80\xDC80"},
      {"lead 0xF5", "\xF5\x80\x80\x80", u"\xDCF5\xDC80\xDC80\xDC80"},
      {"valid after invalid", "\xFF\xC3\xA9", u"\xDCFF\u00E9"},
  };
  for (const DecodeCase& c : kCases) {
    SCOPED_TRACE(c.what);
    WideString wide = WideFromNative(c.bytes);
    EXPECT_EQ(c.wide, wide);
    EXPECT_EQ(c.bytes, NativeFromWide(wide));
  }
}

struct EncodeCase {
  const char* what;
  WideString wide;
  std::string native;
  std::string display;
};

// Escaped bytes come back raw for the file system but never reach the
// console; other lone surrogates become U+FFFD in both.
TEST(TextTest, EncodeLoneSurrogates) {
  const EncodeCase kCases[] = {
      {"pair", u"\U0001F600", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"escape", u"a\xDCFFz", "a\xFFz", "a\xEF\xBF\xBDz"},
      {"escape low end", u"\xDC80", "\x80", "\xEF\xBF\xBD"},
      {"low surrogate below escapes", u"\xDC7F", "\xEF\xBF\xBD",
       "\xEF\xBF\xBD"},
      {"lone high", u"\xD83Dz", "\xEF\xBF\xBDz", "\xEF\xBF\xBDz"},
      {"high at the end", u"z\xD83D", "z\xEF\xBF\xBD", "z\xEF\xBF\xBD"},
      {"two highs then low", u"\xD83D\xD83D\xDE00",
       "\xEF\xBF\xBD\xF0\x9F\x98\x80", "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
  };
  for (const EncodeCase& c : kCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.native, NativeFromWide(c.wide));
    EXPECT_EQ(c.display, DisplayFromWide(c.wide.data(), c.wide.size()));
  }
}

TEST(TextTest, DisplayStopsAtGivenLength) {
  WideString text(u"ab\0cd", 5);
  EXPECT_EQ(std::string("ab\0c", 4), DisplayFromWide(text.data(), 4));
}

}  // namespace
