#include "common/format.h"

#include <gtest/gtest.h>

namespace {

struct FormatCase {
  const char16_t* format;
  std::initializer_list<FormatArg> args;
  const char16_t* expected;
};

TEST(FormatTextTest, Conversions) {
  const FormatCase cases[] = {
      {u"plain\r\n", {}, u"plain\r\n"},
      {u"%s and %ls", {u"one", u"two"}, u"one and two"},
      {u"Error code: 0x%x\r\n", {0x20u}, u"Error code: 0x20\r\n"},
      {u"0x%x", {0xdeadbeefu}, u"0xdeadbeef"},
      {u"0x%x", {0u}, u"0x0"},
      {u"%02d/%02d/%d %02d:%02d", {3, 4, 2026, 9, 5}, u"03/04/2026 09:05"},
      {u"%02d", {123}, u"123"},
      {u"%d", {-7}, u"-7"},
      {u"%f", {0.9375}, u"0.937500"},
      {u"%f", {0.0}, u"0.000000"},
      {u"%f", {1.0 / 3.0}, u"0.333333"},
      {u"%f", {0.9999996}, u"1.000000"},
      {u"100%% sure", {}, u"100% sure"},
      {u"%s", {u"50% off %x"}, u"50% off %x"},
      {u"missing %s here", {}, u"missing %s here"},
      {u"odd %q", {1}, u"odd %q"},
      {u"trailing %", {}, u"trailing %"},
  };
  for (const FormatCase& c : cases)
    EXPECT_EQ(FormatText(c.format, c.args), WideString(c.expected));
}

TEST(FormatTextTest, NeverCutsShort) {
  const WideString name(5000, u'a');
  WideString message = FormatText(u"INFO: %ls - done\r\n", {name});
  EXPECT_EQ(message.size(), 5000u + 15u);
  EXPECT_EQ(message.substr(message.size() - 9), u" - done\r\n");
}

}  // namespace
