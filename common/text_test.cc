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
      // No Windows name holds C0 controls or DEL, and none may end a line of
      // the log: they are carried as bytes. C1 controls are valid in names.
      {"line ends", "a\r\nb",
       u"a\xDC0D\xDC0A"
       u"b"},
      {"escape, bell and tab", "\x1B]0;t\x07\t", u"\xDC1B]0;t\xDC07\xDC09"},
      {"first control and delete", "\x01\x7F", u"\xDC01\xDC7F"},
      {"space and tilde", " ~", u" ~"},
      {"C1 control",
       "\xC2\x9B"
       "1m",
       u"\u009B"
       u"1m"},
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
// console; other lone surrogates become U+FFFD in both. C1 controls are kept
// in names, but not shown.
TEST(TextTest, EncodeLoneSurrogates) {
  const EncodeCase kCases[] = {
      {"pair", u"\U0001F600", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"escape", u"a\xDCFFz", "a\xFFz", "a\xEF\xBF\xBDz"},
      {"escape low end", u"\xDC80", "\x80", "\xEF\xBF\xBD"},
      {"escaped line feed", u"a\xDC0A", "a\n", "a\xEF\xBF\xBD"},
      {"escaped delete", u"\xDC7F", "\x7F", "\xEF\xBF\xBD"},
      {"low surrogate between escapes", u"\xDC20", "\xEF\xBF\xBD",
       "\xEF\xBF\xBD"},
      {"low surrogate above escapes", u"\xDD00", "\xEF\xBF\xBD",
       "\xEF\xBF\xBD"},
      {"C1 control", u"\u009B", "\xC2\x9B", "\xEF\xBF\xBD"},
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
  EXPECT_EQ(
      "ab\xEF\xBF\xBD"
      "c",
      DisplayFromWide(text.data(), 4));
}

// A console shows no control character but the line ends of the messages,
// whatever the names they hold, and no lone surrogate.
TEST(TextTest, ShowableText) {
  const struct {
    const char* what;
    WideString text;
    WideString shown;
  } kCases[] = {
      {"line ends", u"a\r\nb\n", u"a\r\nb\n"},
      {"C0 controls", u"\x1B[2J\x07\t", u"\uFFFD[2J\uFFFD\uFFFD"},
      {"nul and unit separator", WideString(u"\0\x1F", 2), u"\uFFFD\uFFFD"},
      {"delete", u"~\x7F", u"~\uFFFD"},
      {"C1 controls", u"\u0080\u009B\u009F", u"\uFFFD\uFFFD\uFFFD"},
      {"next to the controls", u" \u00A0\u00E9", u" \u00A0\u00E9"},
      {"escaped byte",
       u"a\xDC0A"
       u"b",
       u"a\uFFFDb"},
      {"lone high", u"\xD83Dz", u"\uFFFDz"},
      {"pair", u"\U0001F600", u"\U0001F600"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.shown, ShowableText(c.text.data(), c.text.size()));
  }
}

// Text that a program writes, as opposed to a name, keeps its controls and
// line ends; only what is not UTF-8 is escaped, as in a name.
TEST(TextTest, WideFromUtf8KeepsControls) {
  EXPECT_EQ(WideFromUtf8("a,\"b\"\r\n\t\x1B\xC3\xA9\xFF"),
            u"a,\"b\"\r\n\t\x1B\u00E9\xDCFF");
  EXPECT_EQ(WideFromNative("\r\n"), u"\xDC0D\xDC0A");
}

// A name may hold any control on a volume not written through Windows: in
// messages each becomes its escape unit, and nothing else changes.
TEST(TextTest, NameForMessages) {
  const struct {
    const char* what;
    WideString name;
    WideString carried;
  } kCases[] = {
      {"line ends", u"a\r\nb.sys",
       u"a\xDC0D\xDC0A"
       u"b.sys"},
      {"escape, bell, nul, delete", WideString(u"\x1B\x07\0\x7F", 4),
       u"\xDC1B\xDC07\xDC00\xDC7F"},
      {"what Windows allows", u" ~\u0080\u009F\u00E9\U0001F600.PNF",
       u" ~\u0080\u009F\u00E9\U0001F600.PNF"},
      {"units carried already", u"\xDC0A\xDCFF", u"\xDC0A\xDCFF"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.carried, NameForMessages(c.name));
  }
}

}  // namespace
