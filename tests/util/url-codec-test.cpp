// Percent-encoding and decoding.
#include <gtest/gtest.h>

#include "util/text.h"

namespace korvath {
namespace {

TEST(UrlEncode, KeepSafeAndUtf8) {
  EXPECT_EQ(UrlEncode(Gbk(u8"a b/中"), true, true), "a%20b%2F%E4%B8%AD");
  EXPECT_EQ(UrlEncode(Gbk(u8"a b/中"), true, false), "a%20b%2F%D6%D0");
  EXPECT_EQ(UrlEncode("a"), "%61");  // without keep-safe every byte is encoded
  EXPECT_EQ(UrlEncode("-.09AZaz", true), "-.09AZaz");
  EXPECT_EQ(UrlEncode("_~*+", true), "%5F%7E%2A%2B");
  EXPECT_EQ(UrlEncode(""), "");
  EXPECT_EQ(UrlEncode("\xFF", true), "%FF");
}

TEST(UrlDecode, EscapesAndMalformedInput) {
  EXPECT_EQ(UrlDecode("%e4%b8%ad", true), Gbk(u8"中"));
  EXPECT_EQ(UrlDecode("%D6%D0"), Gbk(u8"中"));
  EXPECT_EQ(UrlDecode("100%"), "100");
  EXPECT_EQ(UrlDecode("a+b"), "a+b");   // '+' stays
  EXPECT_EQ(UrlDecode("a%00b"), "ab");  // a zero byte adds nothing
  EXPECT_EQ(UrlDecode("%4"), "@");      // the missing digit counts as 0: 0x40
  // A non-hexadecimal digit counts as -2: "%G1" is (-2*16 + 1) mod 256 = 0xE1.
  EXPECT_EQ(UrlDecode("%G1"), "\xE1");
  EXPECT_EQ(UrlDecode("%1G"), "\x0E");
  EXPECT_EQ(UrlDecode(""), "");
  EXPECT_EQ(UrlDecode("%FF", true), "?");  // not UTF-8: replaced
}

TEST(UrlCodec, RoundTripsAnyText) {
  const Text text = Gbk(u8"文件 (1)/名.pdf?x=1&y=한");
  EXPECT_EQ(UrlDecode(UrlEncode(text)), text);
  EXPECT_EQ(UrlDecode(UrlEncode(text, true)), text);
  EXPECT_EQ(UrlDecode(UrlEncode(text, true, true), true), text);
}

}  // namespace
}  // namespace korvath
