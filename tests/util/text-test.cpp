// Cutting, blanks, case, characters and comparison.
#include "util/text.h"

#include <gtest/gtest.h>

namespace korvath {
namespace {

TEST(TextCutting, ClipsToTheTextAndCountsBytes) {
  EXPECT_EQ(TextLength(Gbk(u8"中a")), 3);
  EXPECT_EQ(TextLeft("abc", 2), "ab");
  EXPECT_EQ(TextLeft("abc", 9), "abc");
  EXPECT_EQ(TextLeft("abc", 0), "");
  EXPECT_EQ(TextLeft("abc", -1), "");
  EXPECT_EQ(TextRight("abc", 2), "bc");
  EXPECT_EQ(TextRight("abc", 9), "abc");
  EXPECT_EQ(TextRight("abc", -2), "");
  EXPECT_EQ(TextMid("abcde", 2, 3), "bcd");
  EXPECT_EQ(TextMid("abcde", 4, 9), "de");
  EXPECT_EQ(TextMid("abcde", 0, 2), "");
  EXPECT_EQ(TextMid("abcde", 6, 1), "");
  EXPECT_EQ(TextMid("abcde", 1, 0), "");
  EXPECT_EQ(TextLeft(Gbk(u8"中"), 1), "\xD6");  // cuts a character in two, by design
}

TEST(Blanks, OnlySpaceAndFullWidthSpaceAreBlanks) {
  EXPECT_EQ(TrimBlanks("\t x \r\n"), "\t x \r\n");
  EXPECT_EQ(TrimBlanks(Gbk(u8"　x ")), "x");
  EXPECT_EQ(TrimBlanks(Gbk(u8" 　a b　 ")), "a b");
  EXPECT_EQ(TrimBlanks("   "), "");
  EXPECT_EQ(TrimBlanks(""), "");
  // B0 A1 is one character ending in A1; with another A1 after it the text
  // ends in "A1 A1" bytes that are not a full-width space.
  EXPECT_EQ(TrimBlanks("x\xB0\xA1\xA1"), "x\xB0\xA1\xA1");
  EXPECT_EQ(RemoveBlanks(Gbk(u8" a　b c ")), "abc");
  EXPECT_EQ(RemoveBlanks("\xB0\xA1\xA1\xA1"), "\xB0\xA1");
  EXPECT_EQ(RemoveBlanks("\x81 "), "\x81 ");  // a space as trail byte is part of a character
}

TEST(Case, LettersOutsideCharactersOnly) {
  EXPECT_EQ(ToUpper("abc-XYZ"), "ABC-XYZ");
  EXPECT_EQ(ToLower("abc-XYZ"), "abc-xyz");
  // 0x81 0x61 and 0x81 0x41 are characters whose trail bytes are letters.
  EXPECT_EQ(ToUpper("\x81\x61\x61"), "\x81\x61\x41");
  EXPECT_EQ(ToLower("\x81\x41\x41"), "\x81\x41\x61");
}

TEST(Characters, CodesAndRepeats) {
  EXPECT_EQ(CharText(65), "A");
  EXPECT_EQ(CharText(0), "");
  EXPECT_EQ(CharText(256 + 66), "B");
  EXPECT_EQ(CharCode("A"), 65);
  EXPECT_LT(CharCode(Gbk(u8"中")), 0);
  EXPECT_EQ(CharCode(Gbk(u8"中")), -42);  // 0xD6
  EXPECT_EQ(CharCode("ab", 2), 98);
  EXPECT_EQ(CharCode("ab", 3), 0);
  EXPECT_EQ(CharCode("", 1), 0);
  EXPECT_EQ(SpaceText(3), "   ");
  EXPECT_EQ(SpaceText(0), "");
  EXPECT_EQ(RepeatText(3, "ab"), "ababab");
  EXPECT_EQ(RepeatText(-1, "ab"), "");
}

TEST(CompareText, OrdersBytesUnsignedAndCharactersAsUnits) {
  EXPECT_EQ(CompareText("abc", "abc"), 0);
  EXPECT_LT(CompareText("ab", "abc"), 0);
  EXPECT_GT(CompareText("b", "abc"), 0);
  EXPECT_GT(CompareText(Gbk(u8"中"), "z"), 0);  // bytes compare unsigned
  EXPECT_LT(CompareText("ABC", "abc"), 0);
  EXPECT_EQ(CompareText("ABC", "abc", false), 0);
  // Trail bytes are never folded: 81 41 and 81 61 stay different.
  EXPECT_NE(CompareText("\x81\x41", "\x81\x61", false), 0);
  EXPECT_EQ(CompareText("", ""), 0);
  EXPECT_LT(CompareText("", "a"), 0);
}

}  // namespace
}  // namespace korvath
