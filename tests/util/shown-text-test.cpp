// Outside text as a notice or a box shows it: one line, a readable length,
// nothing invisible that reorders the rest.
#include "util/shown-text.h"

#include <gtest/gtest.h>

namespace korvath {
namespace {

std::string U8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

TEST(OneLine, BreaksAndControlsBecomeOneSpaceAndHiddenFormatCharactersGo) {
  EXPECT_EQ(OneLineUtf8("a\r\n\r\nb\tc\x1b[31m\n"), "a b c [31m");
  EXPECT_EQ(OneLineUtf8(U8(u8"\n甲\u2028乙\u0085丙")), U8(u8"甲 乙 丙"));
  EXPECT_EQ(OneLineUtf8(U8(u8"invoice\u202Efdp.exe\u200B\uFEFF\u2066x\u2069")), "invoicefdp.exex");
  // Bytes that are no UTF-8 become U+FFFD: kept, "\xE2" and "\x80\x8B"
  // around a removed character would join into a zero-width space.
  EXPECT_EQ(OneLineUtf8("a\xc2\n\xe2"), U8(u8"a\uFFFD \uFFFD"));
  EXPECT_EQ(WithoutHiddenFormatChars("\xE2\xE2\x80\x8B\x80\x8B"), U8(u8"\uFFFD\uFFFD\uFFFD"));
  EXPECT_EQ(GbkToUtf8(OneLineText(Gbk(u8"第一行\n第二行"))), U8(u8"第一行 第二行"));
}

TEST(OneLine, ALongTextIsCutOnACharacterAfterItsLimit) {
  std::string han;
  for (int i = 0; i < 1000; ++i) han += U8(u8"中");
  EXPECT_EQ(OneLineUtf8(han, 3), U8(u8"中中中……"));
  EXPECT_EQ(OneLineUtf8(han).size(), kShownTextChars * 3 + U8(u8"……").size());
  EXPECT_EQ(OneLineUtf8("abc", 3), "abc");
  EXPECT_EQ(OneLineUtf8("ab\ncd", 3), U8(u8"ab……"));
}

}  // namespace
}  // namespace korvath
