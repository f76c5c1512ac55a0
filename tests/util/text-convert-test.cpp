// Numbers, byte sets and code-page conversions.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "util/text.h"

namespace korvath {
namespace {

TEST(ToText, NumbersInTheirFixedFormats) {
  EXPECT_EQ(ToText(42), "42");
  EXPECT_EQ(ToText(-7), "-7");
  EXPECT_EQ(ToText(std::int64_t{1733480000123}), "1733480000123");
  EXPECT_EQ(ToText(std::uint8_t{200}), "200");
  EXPECT_EQ(ToText(1733480000.0), "1733480000");
  EXPECT_EQ(ToText(0.1), "0.1");
  EXPECT_EQ(ToText(1.5), "1.5");
  EXPECT_EQ(ToText(9999999999999.0), "9999999999999");  // 13 digits: no exponent
  EXPECT_EQ(ToText(12345678901234.0), "1.234567890123e+013");
  EXPECT_EQ(ToText(1e-5), "1e-005");
  EXPECT_EQ(ToText(1e100), "1e+100");
  EXPECT_EQ(ToText(-2.5e300), "-2.5e+300");
  EXPECT_EQ(ToText(0.0), "0");
  EXPECT_EQ(ToText(1.0f / 3.0f), "0.333333");
  EXPECT_EQ(ToText(true), Gbk(u8"真"));
  EXPECT_EQ(ToText(false), Gbk(u8"假"));
  EXPECT_EQ(ToText("abc"), "abc");  // a literal is text, not a boolean
}

TEST(ToText, BytesUpToTheFirstZero) {
  EXPECT_EQ(ToText(Bytes{'a', 'b', 0, 'c'}), "ab");
  EXPECT_EQ(ToText(Bytes{'a', 'b'}), "ab");
  EXPECT_EQ(ToText(Bytes{}), "");
}

TEST(ToBytes, LittleEndianForms) {
  EXPECT_EQ(ToBytes("ab"), (Bytes{'a', 'b'}));
  EXPECT_EQ(ToBytes(std::string_view()), Bytes{});
  EXPECT_EQ(ToBytes(0x01020304), (Bytes{4, 3, 2, 1}));
  EXPECT_EQ(ToBytes(-1), (Bytes{255, 255, 255, 255}));
  EXPECT_EQ(ToBytes(std::int64_t{1}), (Bytes{1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(ToBytes(1.0), (Bytes{0, 0, 0, 0, 0, 0, 0xF0, 0x3F}));
}

TEST(ToInt, LeadingIntegerAfterHalfWidthing) {
  EXPECT_EQ(ToInt("123abc"), 123);
  EXPECT_EQ(ToInt("  -45"), -45);
  EXPECT_EQ(ToInt("+7"), 7);
  EXPECT_EQ(ToInt("abc"), 0);
  EXPECT_EQ(ToInt(""), 0);
  EXPECT_EQ(ToInt("- 5"), 0);
  EXPECT_EQ(ToInt(Gbk(u8"１２３")), 123);
  EXPECT_EQ(ToInt(Gbk(u8"　－８")), -8);
  EXPECT_EQ(ToInt("99999999999999999999"), INT64_MAX);
  EXPECT_EQ(ToInt("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(ToInt(2.9), 2);
  EXPECT_EQ(ToInt(-2.9), -2);
  EXPECT_EQ(ToHalfWidth(Gbk(u8"ＡＢ　中")), "AB " + Gbk(u8"中"));
}

TEST(HexText, UpperCaseThirtyTwoBit) {
  EXPECT_EQ(HexText(255), "FF");
  EXPECT_EQ(HexText(0), "0");
  EXPECT_EQ(HexText(-1), "FFFFFFFF");
  EXPECT_EQ(HexText(0x1ABCDEF), "1ABCDEF");
}

TEST(ByteSets, ClippingAndConcatenation) {
  const Bytes b{1, 2, 3, 4};
  EXPECT_EQ(BytesLength(b), 4);
  EXPECT_EQ(BytesLength({}), 0);
  EXPECT_EQ(BytesLeft(b, 2), (Bytes{1, 2}));
  EXPECT_EQ(BytesLeft(b, 9), b);
  EXPECT_EQ(BytesLeft(b, -1), Bytes{});
  EXPECT_EQ(BytesMid(b, 2, 2), (Bytes{2, 3}));
  EXPECT_EQ(BytesMid(b, 0, 2), (Bytes{1, 2}));  // start < 1 counts as 1
  EXPECT_EQ(BytesMid(b, 3, 9), (Bytes{3, 4}));
  EXPECT_EQ(BytesMid(b, 5, 1), Bytes{});
  EXPECT_EQ(BytesMid(b, 1, 0), Bytes{});
  EXPECT_EQ(BlankBytes(3), (Bytes{0, 0, 0}));
  EXPECT_EQ(BlankBytes(-3), Bytes{});
  EXPECT_EQ(b + Bytes{5}, (Bytes{1, 2, 3, 4, 5}));
  EXPECT_EQ(Bytes{} + Bytes{}, Bytes{});
}

TEST(ReadBytesValue, ReadsEachTypeAndPadsShortSets) {
  const Bytes data = ToBytes(-2) + ToBytes(2.5) + ToBytes("hi") + Bytes{0, 'x'};
  EXPECT_EQ(ReadBytesValue(data, 3, 1).integer, -2);
  EXPECT_EQ(ReadBytesValue(data, 1, 1).integer, 0xFE);
  EXPECT_EQ(ReadBytesValue(data, 2, 1).integer, -2);
  EXPECT_DOUBLE_EQ(ReadBytesValue(data, 6, 5).number, 2.5);
  EXPECT_EQ(ReadBytesValue(data, 10, 13).text, "hi");
  EXPECT_EQ(ReadBytesValue(data, 10, 16).text, "x");
  EXPECT_EQ(ReadBytesValue(data, 7, 1).integer, 1);
  EXPECT_EQ(ReadBytesValue(ToBytes(std::int64_t{-5}), 4, 1).integer, -5);
  EXPECT_FLOAT_EQ(static_cast<float>(ReadBytesValue(Bytes{0, 0, 0xC0, 0x3F}, 5, 1).number), 1.5f);
  // Too short: zero padding, never a read past the end.
  EXPECT_EQ(ReadBytesValue(Bytes{0x34, 0x12}, 3, 1).integer, 0x1234);
  EXPECT_EQ(ReadBytesValue(Bytes{0x34, 0x12}, 6, 9).number, 0);
  EXPECT_EQ(ReadBytesValue(Bytes{}, 10, 1).text, "");
  const BytesValue bad = ReadBytesValue(data, 11, 1);
  EXPECT_FALSE(bad.ok);
  EXPECT_EQ(bad.error, Gbk(u8"“欲取出数据的类型”参数值无效"));
  EXPECT_TRUE(ReadBytesValue(data, 1, 1).ok);
}

TEST(CodePages, GbkAndUtf8) {
  EXPECT_EQ(Gbk(u8"中文"), "\xD6\xD0\xCE\xC4");
  EXPECT_EQ(&Gbk(u8"中文"), &Gbk(u8"中文"));  // cached: one conversion, a stable reference
  EXPECT_EQ(GbkToUtf8("\xD6\xD0"), "\xE4\xB8\xAD");
  EXPECT_EQ(Utf8ToGbk("\xE4\xB8\xAD"), "\xD6\xD0");
  EXPECT_EQ(Utf8ToGbk(""), "");
  // Characters GBK lacks survive: Korean and emoji.
  EXPECT_EQ(GbkToUtf8(Utf8ToGbk("\xED\x95\x9C \xF0\x9F\x98\x80")), "\xED\x95\x9C \xF0\x9F\x98\x80");
}

TEST(CodePages, InvalidInputIsReplaced) {
  EXPECT_EQ(Utf8ToGbk("a\xFF\x62"), "a?b");
  EXPECT_EQ(Utf8ToGbk("a\xE4\xB8"), "a?");     // truncated sequence at the end
  EXPECT_EQ(Utf8ToGbk("\xE4\xB8\x61"), "?a");  // one replacement per broken sequence
  EXPECT_EQ(Utf8ToGbk("\xED\xA0\x80"), "?");   // an encoded surrogate is not UTF-8
  EXPECT_EQ(GbkToUtf8("a\x81"), "a?");
  EXPECT_EQ(GbkToUtf8("\x80z"), "?z");
  const Bytes lone_surrogate{'a', 0, 0x00, 0xD8, 'b', 0, 0, 0};
  EXPECT_EQ(WideToText(lone_surrogate), "a?b");
}

TEST(CodePages, WideFormsEndInAZeroCharacter) {
  EXPECT_EQ(TextToWide("ab"), (Bytes{'a', 0, 'b', 0, 0, 0}));
  EXPECT_EQ(TextToWide(""), (Bytes{0, 0}));
  EXPECT_EQ(TextToWide("\xD6\xD0", kCodePageSystem), (Bytes{0x2D, 0x4E, 0, 0}));
  EXPECT_EQ(WideToText(Bytes{0x2D, 0x4E, 0, 0, 'x', 0}), "\xD6\xD0");  // stops at the zero
  EXPECT_EQ(WideToText(Bytes{0x2D, 0x4E}, kCodePageUtf8), "\xE4\xB8\xAD");
  EXPECT_EQ(WideToText(Bytes{'a'}), "");  // an odd byte is no character
}

// glibc's table has no code for these; they still come back unchanged, and
// the standard characters that took over their old codes keep theirs.
TEST(CodePages, PrivateUseCharactersSurvive) {
  for (char32_t cp = 0xE000; cp <= 0xF8FF; ++cp) {
    const std::string utf8{static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                           static_cast<char>(0x80 | (cp & 0x3F))};
    const Text text = Utf8ToGbk(utf8);
    ASSERT_NE(text, "?") << std::hex << static_cast<unsigned>(cp);
    ASSERT_EQ(GbkToUtf8(text), utf8) << std::hex << static_cast<unsigned>(cp);
    ASSERT_EQ(std::string(WideToText(TextToWide(text, kCodePageSystem), kCodePageUtf8)), utf8);
  }
  EXPECT_EQ(Utf8ToGbk("\xEE\x9E\x8D"), "\x84\x31\x82\x36");  // U+E78D
  EXPECT_EQ(Utf8ToGbk("\xEF\xB8\x90"), "\xA6\xD9");          // U+FE10
  EXPECT_EQ(GbkToUtf8("\xA6\xD9"), "\xEF\xB8\x90");
  EXPECT_EQ(GbkToUtf8("\xFE\x51"), "\xF0\xA0\x82\x87");  // U+20087
  EXPECT_EQ(Utf8ToGbk("\xF0\xA0\x82\x87"), "\xFE\x51");
}

// Random valid UTF-8 from every plane, weighted toward the characters GBK
// lacks, must come back byte for byte through the system text.
TEST(CodePages, Utf8RoundTripIsLossless) {
  std::mt19937 rng(936);
  const std::pair<char32_t, char32_t> ranges[] = {
      {0x20, 0x7E},        {0x80, 0x7FF},    {0x800, 0xD7FF},    {0xE000, 0xFFFD},
      {0xAC00, 0xD7A3},    {0x3400, 0x4DBF}, {0x1F300, 0x1FAFF}, {0x20000, 0x2FFFF},
      {0x10000, 0x10FFFF}, {0xFE10, 0xFE19}, {0xE5E5, 0xE5E5},   {0x4E00, 0x9FFF},
  };
  const auto encode = [](char32_t c, std::string& out) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  };
  for (int round = 0; round < 3000; ++round) {
    std::string utf8;
    const int n = 1 + static_cast<int>(rng() % 12);
    for (int i = 0; i < n; ++i) {
      const auto& [lo, hi] = ranges[rng() % std::size(ranges)];
      encode(static_cast<char32_t>(lo + rng() % (hi - lo + 1)), utf8);
    }
    const Text text = Utf8ToGbk(utf8);
    ASSERT_EQ(std::count(text.begin(), text.end(), '?'), std::count(utf8.begin(), utf8.end(), '?'));
    ASSERT_EQ(GbkToUtf8(text), utf8) << testing::PrintToString(utf8);
    ASSERT_EQ(std::string(WideToText(TextToWide(text, kCodePageSystem), kCodePageUtf8)), utf8);
  }
}

}  // namespace
}  // namespace korvath
