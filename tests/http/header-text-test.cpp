#include "http/header-text.h"

#include <gtest/gtest.h>

namespace korvath {
namespace {

TEST(HeaderText, NamesAreCapitalisedPieceByPiece) {
  EXPECT_EQ(NormalizeHeaderNames("user-agent: X\r\nx-REQUESTED-with: y\r\nno colon\r\n\r\n-lead-: z"),
            "User-Agent: X\r\nX-REQUESTED-With: y\r\n-Lead-: z");
  EXPECT_EQ(NormalizeHeaderNames("a: b-c: d"), "A: b-c: d");  // only the name changes
  EXPECT_EQ(NormalizeHeaderNames(""), "");
}

TEST(HeaderText, AgentFromTheHeaderTextOrTheDefault) {
  EXPECT_EQ(WinInetUserAgent(""), "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)");
  EXPECT_EQ(WinInetUserAgent("Accept: x\r\nUser-Agent:  Bot/1 \r\nB: c"), "Bot/1");
  // Found without case but read with it: the fallback is everything after
  // the first colon, cut at the line break so it cannot add lines.
  EXPECT_EQ(WinInetUserAgent("user-agent: lower"), "lower");
  EXPECT_EQ(WinInetUserAgent("Accept: x\r\nuser-agent: lower"), "x");
}

TEST(HeaderText, WinInetDefaultsDependOnCaseRule) {
  const std::string url = "http://h/p";
  EXPECT_EQ(CompleteWinInetHeaders("", url, 1, false),
            "Accept: */*\r\nReferer: http://h/p\r\nAccept-Language: zh-cn\r\n"
            "Content-Type: application/x-www-form-urlencoded");
  EXPECT_EQ(CompleteWinInetHeaders("accept: a\r\nreferer: r\r\naccept-language: l\r\ncontent-type: t", url, 1,
                                   true),
            "accept: a\r\nreferer: r\r\naccept-language: l\r\ncontent-type: t");
  EXPECT_EQ(CompleteWinInetHeaders("accept: a", url, 0, false),
            "accept: a\r\nAccept: */*\r\nReferer: http://h/p\r\nAccept-Language: zh-cn");
  EXPECT_EQ(AppendCookieLine("A: b", "x=1"), "A: b\r\nCookie: x=1");
  EXPECT_EQ(AppendCookieLine("A: b", "Cookie: x=1"), "A: b\r\nCookie: x=1");
  EXPECT_EQ(AppendCookieLine("A: b", ""), "A: b");
}

TEST(HeaderText, WinHttpBlockSearchesWithTheBlank) {
  const Text block = WinHttpHeaderBlock("User-Agent:X\r\naccept: y", 0, "c=1");
  EXPECT_EQ(
      block,
      "User-Agent:X\r\naccept: y\r\n"
      "User-Agent: Mozilla/5.0 (compatible; MSIE 9.0; Windows NT 6.1; WOW64; Trident/5.0)\r\n"
      "Accept-Encoding: gbk, GB2312\r\nAccept-Language: zh-cn\r\nCache-Control: no-cache\r\nCookie: c=1\r\n");
  EXPECT_EQ(WinHttpHeaderBlock("cookie: mine", 0, "c=1").find("c=1"), std::string::npos);
}

TEST(HeaderText, CookieLinesByRule) {
  const std::string raw =
      "HTTP/1.1 200 OK\r\nset-cookie: a=1; path=/\r\nSet-Cookie: b=2\r\nSet-Cookie:c=3;x\r\n"
      "X-Set-Cookie-Note: none\r\nSet-Cookie2: d=4; v=1\r\n\r\n";
  const Text normal = NormalizeSetCookie(raw);
  EXPECT_NE(normal.find("Set-Cookie: a=1; path=/"), std::string::npos);
  // "Set-Cookie" anywhere makes a cookie line; one without "Set-Cookie:" and
  // without ";" is taken whole, one with ";" but no "Set-Cookie:" yields nothing.
  EXPECT_EQ(CollectSetCookies(normal, CookieLineRule::kContainsSetCookie),
            "a=1; b=2; c=3; X-Set-Cookie-Note: none");
  EXPECT_EQ(CollectSetCookies(raw, CookieLineRule::kNameIsSetCookie), "b=2");
  EXPECT_EQ(CollectSetCookies("HTTP/1.1 200 OK\r\n\r\n", CookieLineRule::kContainsSetCookie), "");
}

TEST(HeaderText, Utf8ValuesDoNotSwallowSeparators) {
  // "中" in UTF-8 ends in a byte that a double-byte scan would pair with
  // the ";" or CR after it.
  const std::string zh = "\xE4\xB8\xAD";
  const std::string raw = "HTTP/1.1 302 Found\r\nSet-Cookie: n=" + zh + "; path=/\r\nLocation: /" + zh +
                          "\r\nSet-Cookie: k=v\r\n\r\n";
  EXPECT_EQ(CollectSetCookies(raw, CookieLineRule::kContainsSetCookie), Text("n=" + zh + "; k=v"));
  EXPECT_EQ(LastLocation(raw), Text("/" + zh));
  // Nor does a blank after such a value stay in it.
  EXPECT_EQ(CollectSetCookies("Set-Cookie: m=" + zh + " ; path=/\r\nSet-Cookie: k=" + zh + " \r\n",
                              CookieLineRule::kContainsSetCookie),
            Text("m=" + zh + "; k=" + zh));
}

TEST(HeaderText, LocationAndStatus) {
  const std::string raw = "HTTP/1.1 302 Found\r\nLocation: /a\r\nLOCATION: /b\r\nLocation:/c\r\n\r\n";
  EXPECT_EQ(LastLocation(raw), "/b");
  EXPECT_EQ(LastLocation("HTTP/1.1 200 OK\r\n\r\n"), std::nullopt);
  EXPECT_EQ(StatusTextOf(raw), "302 Found");
  EXPECT_EQ(StatusTextOf("HTTP/1.1 200 OK"), "200 OK");
  EXPECT_EQ(StatusTextOf("short"), "");
  EXPECT_EQ(HttpMethodName(7), std::string("CONNECT"));
  EXPECT_EQ(HttpMethodName(8), std::string("GET"));
  EXPECT_EQ(HttpMethodName(-1), std::string("GET"));
}

}  // namespace
}  // namespace korvath
