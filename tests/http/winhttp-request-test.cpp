#include "http/winhttp-request.h"

#include <gtest/gtest.h>

#include <chrono>

#include "support/forward-proxy.h"
#include "support/recording-server.h"

namespace korvath {
namespace {

using testing::RecordedRequest;
using testing::RecordingServer;
using testing::Reply;

using Lines = std::vector<std::string>;

std::string HostLine(const RecordingServer& s) { return "Host: 127.0.0.1:" + std::to_string(s.Port()); }

const std::string kUa = "User-Agent: Mozilla/5.0 (compatible; MSIE 9.0; Windows NT 6.1; WOW64; Trident/5.0)";
const std::string kAccept = "Accept: text/html, application/xhtml+xml, */*";
const std::string kEncoding = "Accept-Encoding: gbk, GB2312";
const std::string kLanguage = "Accept-Language: zh-cn";
const std::string kCache = "Cache-Control: no-cache";

int ClosedPort() {
  RecordingServer probe;
  return probe.Port();
}

TEST(WinHttpWire, GetAndPostCarryTheDefaultBlockInOrder) {
  RecordingServer server;
  WinHttpResult get = HttpRequestWinHttp({.url = Text(server.Url("/a?b=1"))});
  WinHttpResult post = HttpRequestWinHttp({.url = Text(server.Url("/rpc")), .method = 1, .post_data = "{}"});
  EXPECT_EQ(get.text, "ok");
  EXPECT_EQ(post.text, "ok");
  RecordedRequest g = server.Request(0);
  EXPECT_EQ(g.request_line, "GET /a?b=1 HTTP/1.1");
  EXPECT_EQ(g.header_lines, (Lines{HostLine(server), kUa, kAccept, kEncoding, kLanguage, kCache}));
  RecordedRequest p = server.Request(1);
  EXPECT_EQ(p.request_line, "POST /rpc HTTP/1.1");
  EXPECT_EQ(p.header_lines,
            (Lines{HostLine(server), kUa, kAccept, kEncoding, kLanguage,
                   "Content-Type: application/x-www-form-urlencoded", kCache, "Content-Length: 2"}));
  EXPECT_EQ(p.body, "{}");
}

TEST(WinHttpWire, CallerLinesComeFirstAndSuppressDefaultsOnlyWithTheBlank) {
  RecordingServer server;
  HttpRequestWinHttp(
      {.url = Text(server.Url("/")), .extra_headers = "user-agent: X\r\naccept-encoding: identity"});
  HttpRequestWinHttp({.url = Text(server.Url("/")), .extra_headers = "User-Agent:X"});
  HttpRequestWinHttp(
      {.url = Text(server.Url("/")), .method = 1, .extra_headers = "content-type: text/plain"});
  HttpRequestWinHttp({.url = Text(server.Url("/")), .extra_headers = "Content-Type: text/plain"});
  EXPECT_EQ(server.Request(0).header_lines, (Lines{HostLine(server), "user-agent: X",
                                                   "accept-encoding: identity", kAccept, kLanguage, kCache}));
  EXPECT_EQ(server.Request(1).Values("User-Agent"),
            (Lines{"X", "Mozilla/5.0 (compatible; MSIE 9.0; Windows NT 6.1; WOW64; Trident/5.0)"}));
  EXPECT_EQ(server.Request(2).Values("Content-Type"),
            (Lines{"text/plain", "application/x-www-form-urlencoded"}));
  EXPECT_EQ(server.Request(3).Values("Content-Type"), (Lines{"text/plain"}));  // a GET gets no default
}

TEST(WinHttpWire, CookieLineFromCookiesUnlessTheCallerWroteOne) {
  RecordingServer server;
  HttpRequestWinHttp({.url = Text(server.Url("/")), .send_cookies = "a=1"});
  HttpRequestWinHttp(
      {.url = Text(server.Url("/")), .send_cookies = "a=1", .extra_headers = "Cookie: mine=2"});
  HttpRequestWinHttp({.url = Text(server.Url("/")), .send_cookies = ""});
  EXPECT_EQ(server.Request(0).Values("Cookie"), (Lines{"a=1"}));
  EXPECT_EQ(server.Request(1).Values("Cookie"), (Lines{"mine=2"}));
  EXPECT_TRUE(server.Request(2).Values("Cookie").empty());
}

TEST(WinHttpWire, MethodsBodiesAndOutOfRangeNumbers) {
  RecordingServer server;
  HttpRequestWinHttp({.url = Text(server.Url("/")), .method = 9});
  HttpRequestWinHttp({.url = Text(server.Url("/")), .method = 3, .post_data = Text(std::string("x\0y", 3))});
  HttpRequestWinHttp({.url = Text(server.Url("/")), .method = 4});
  RecordedRequest nine = server.Request(0);
  EXPECT_EQ(nine.Method(), "GET");
  EXPECT_TRUE(nine.Values("Content-Length").empty());
  RecordedRequest put = server.Request(1);
  EXPECT_EQ(put.Method(), "PUT");
  EXPECT_EQ(put.body, std::string("x\0y", 3));
  EXPECT_TRUE(put.Values("Content-Type").empty());
  EXPECT_EQ(server.Request(2).Method(), "OPTIONS");
}

TEST(WinHttpWire, EmptyPathRequestsRootAndDropsTheQuery) {
  RecordingServer server;
  HttpRequestWinHttp({.url = Text("http://127.0.0.1:" + std::to_string(server.Port()) + "?q=1")});
  HttpRequestWinHttp(
      {.url = Text("http://user:pw@127.0.0.1:" + std::to_string(server.Port()) + "/p/?q=1#frag")});
  EXPECT_EQ(server.Request(0).request_line, "GET / HTTP/1.1");
  RecordedRequest q = server.Request(1);
  EXPECT_EQ(q.request_line, "GET /p/?q=1 HTTP/1.1");
  EXPECT_TRUE(q.Values("Authorization").empty());  // credentials in the URL are not used
}

TEST(WinHttpWire, SystemTextInTheUrlTravelsAsEscapedUtf8) {
  RecordingServer server;
  HttpRequestWinHttp({.url = Text(server.Url("/\xD6\xD0 x?q=\xCE\xC4"))});  // 中 and 文 in system text
  EXPECT_EQ(server.Request(0).request_line, "GET /%E4%B8%AD%20x?q=%E6%96%87 HTTP/1.1");
}

TEST(WinHttpWire, CredentialsNeedBothHalves) {
  RecordingServer server;
  HttpRequestWinHttp({.url = Text(server.Url("/")), .user_name = "u", .password = "p"});
  HttpRequestWinHttp({.url = Text(server.Url("/")), .user_name = "u"});
  EXPECT_EQ(server.Request(0).Values("Authorization"), (Lines{"Basic dTpw"}));
  EXPECT_TRUE(server.Request(1).Values("Authorization").empty());
}

TEST(WinHttpResponse, StatusCookiesLocationAndHeaders) {
  RecordingServer server;
  server.Push(Reply::Ok("gone",
                        {"set-cookie: sid=9; Path=/", "Set-Cookie: k=v", "Location: /one", "location: /two"},
                        "404 Not Found"));
  WinHttpResult r = HttpRequestWinHttp({.url = Text(server.Url("/")), .no_redirect = true});
  EXPECT_EQ(r.text, "gone");
  EXPECT_EQ(r.status, "404 Not Found");
  EXPECT_EQ(r.returned_cookies, "sid=9; k=v");
  EXPECT_EQ(r.location, "/two");
  ASSERT_TRUE(r.returned_headers);
  EXPECT_EQ(r.returned_headers->rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
  EXPECT_NE(r.returned_headers->find("Set-Cookie: sid=9; Path=/"), std::string::npos);

  WinHttpResult plain = HttpRequestWinHttp({.url = Text(server.Url("/"))});
  EXPECT_EQ(plain.returned_cookies, "");  // engaged and empty: the caller's old value is replaced
  EXPECT_FALSE(plain.location);           // untouched

  // A server that ends its header lines with a bare LF is read line by line all the same.
  server.Push(
      Reply{"HTTP/1.1 302 Found\nSet-Cookie: a=1; path=/\nSet-Cookie: b=2; path=/\n"
            "Location: /next\nContent-Length: 2\n\nok"});
  WinHttpResult bare_lf = HttpRequestWinHttp({.url = Text(server.Url("/")), .no_redirect = true});
  EXPECT_EQ(bare_lf.status, "302 Found");
  EXPECT_EQ(bare_lf.returned_cookies, "a=1; b=2");
  EXPECT_EQ(bare_lf.location, "/next");
  EXPECT_EQ(bare_lf.returned_headers,
            "HTTP/1.1 302 Found\r\nSet-Cookie: a=1; path=/\r\nSet-Cookie: b=2; path=/\r\n"
            "Location: /next\r\nContent-Length: 2\r\n\r\n");
  EXPECT_EQ(bare_lf.text, "ok");
}

TEST(WinHttpResponse, SuppliedCookiesAreMerged) {
  RecordingServer server;
  server.SetDefault(Reply::Ok("", {"Set-Cookie: b=3; path=/"}));
  EXPECT_EQ(HttpRequestWinHttp({.url = Text(server.Url("/")), .send_cookies = "a=1; b=2"}).returned_cookies,
            "b=3; a=1");
  EXPECT_EQ(
      HttpRequestWinHttp({.url = Text(server.Url("/")), .send_cookies = "a=1", .auto_merge_cookies = false})
          .returned_cookies,
      "b=3");
}

TEST(WinHttpResponse, RedirectsFollowedOrReportedWithTheirLocation) {
  RecordingServer server;
  server.SetResponder([](const RecordedRequest& q) {
    if (q.Target() == "/old") return Reply::Ok("", {"Location: /new"}, "301 Moved Permanently");
    return Reply::Ok("new page");
  });
  WinHttpResult followed = HttpRequestWinHttp({.url = Text(server.Url("/old"))});
  EXPECT_EQ(followed.text, "new page");
  EXPECT_EQ(followed.status, "200 OK");
  EXPECT_FALSE(followed.location);
  WinHttpResult stopped = HttpRequestWinHttp({.url = Text(server.Url("/old")), .no_redirect = true});
  EXPECT_EQ(stopped.status, "301 Moved Permanently");
  EXPECT_EQ(stopped.location, "/new");
}

TEST(WinHttpResponse, ZeroByteCutsTheTextButNotTheBytes) {
  RecordingServer server;
  server.Push(Reply::Ok(std::string("abc\0def", 7)));
  WinHttpResult r = HttpRequestWinHttp({.url = Text(server.Url("/"))});
  EXPECT_EQ(r.text, "abc");
  EXPECT_EQ(r.response_bytes, (Bytes{'a', 'b', 'c', 0, 'd', 'e', 'f'}));
}

TEST(WinHttpCharset, DeclaredCharsetDecidesTheDecoding) {
  RecordingServer server;
  const std::string utf8_zh = "\xE4\xB8\xAD\xE6\x96\x87";  // 中文
  const std::string gbk_zh = "\xD6\xD0\xCE\xC4";
  auto fetch = [&server](std::string body) {
    server.Push(Reply::Ok(std::move(body)));
    return std::string(HttpRequestWinHttp({.url = Text(server.Url("/"))}).text);
  };
  EXPECT_EQ(fetch("<html><meta charset=\"utf-8\">" + utf8_zh), "<html><meta charset=\"utf-8\">" + gbk_zh);
  EXPECT_EQ(fetch("<META http-equiv=x content=\"text/html; charset=UTF-8\">" + utf8_zh),
            "<META http-equiv=x content=\"text/html; charset=UTF-8\">" + gbk_zh);
  // Declared GBK in lower case is taken as it stands, bytes invalid in GBK included.
  EXPECT_EQ(fetch("<meta charset=gbk>" + gbk_zh + "\xFF"), "<meta charset=gbk>" + gbk_zh + "\xFF");
  EXPECT_EQ(fetch("<meta charset=gb2312>\xFF"), "<meta charset=gb2312>\xFF");
  // In upper case it goes through the decoder, which cannot keep a stray byte.
  EXPECT_EQ(fetch("<meta charset=GBK>" + gbk_zh + "\xFF"), "<meta charset=GBK>" + gbk_zh + "?");
  // GB2312 pages are GBK in practice: a character only GBK has (們) survives.
  EXPECT_EQ(fetch("<meta charset=GB2312>\x82\xC7" + gbk_zh), "<meta charset=GB2312>\x82\xC7" + gbk_zh);
  // No declaration, a tag broken over two lines, or one past 1,024 bytes: raw.
  EXPECT_EQ(fetch("plain " + utf8_zh), "plain " + utf8_zh);
  EXPECT_EQ(fetch("<meta\ncharset=utf-8>" + utf8_zh), "<meta\ncharset=utf-8>" + utf8_zh);
  const std::string late = std::string(1100, ' ') + "<meta charset=utf-8>" + utf8_zh;
  EXPECT_EQ(fetch(late), late);
  // An unknown charset leaves the text as received.
  EXPECT_EQ(fetch("<meta charset=no-such-set>" + utf8_zh), "<meta charset=no-such-set>" + utf8_zh);
}

TEST(WinHttpCharset, Utf8BodyWithZeroByteIsCutAfterDecoding) {
  RecordingServer server;
  server.Push(Reply::Ok(std::string("<meta charset=utf-8>\xE4\xB8\xAD\0tail", 27)));
  WinHttpResult r = HttpRequestWinHttp({.url = Text(server.Url("/"))});
  EXPECT_EQ(r.text, "<meta charset=utf-8>\xD6\xD0");
  EXPECT_EQ(r.response_bytes->size(), 27u);
}

TEST(WinHttpTransport, HttpsUrlOpensTlsOnItsPort) {
  RecordingServer server;
  WinHttpResult r =
      HttpRequestWinHttp({.url = Text("https://127.0.0.1:" + std::to_string(server.Port()) + "/path?q=1")});
  EXPECT_EQ(r.status, Gbk(u8"711 发送请求失败!"));  // our server hangs up on the hello
  ASSERT_EQ(server.Count(), 1u);
  EXPECT_EQ(static_cast<unsigned char>(server.Request(0).raw[0]), 0x16);
  EXPECT_EQ(r.text, "");
  EXPECT_FALSE(r.response_bytes);
}

TEST(WinHttpTransport, ProxyFormsAndProxyCredentials) {
  RecordingServer origin;
  origin.SetDefault(Reply::Ok("via proxy"));
  RecordingServer proxy;
  testing::MakeForwardProxy(proxy);
  const std::string via = "127.0.0.1:" + std::to_string(proxy.Port());
  WinHttpResult r = HttpRequestWinHttp(
      {.url = Text(origin.Url("/x")), .proxy = Text(via), .proxy_user = "pu", .proxy_password = "pp"});
  EXPECT_EQ(r.text, "via proxy");
  RecordedRequest at_proxy = proxy.Request(0);
  EXPECT_EQ(at_proxy.request_line, "GET " + origin.Url("/x") + " HTTP/1.1");
  EXPECT_EQ(at_proxy.Values("Proxy-Authorization"), (Lines{"Basic cHU6cHA="}));
  EXPECT_TRUE(origin.Request(0).Values("Proxy-Authorization").empty());

  WinHttpResult secure = HttpRequestWinHttp(
      {.url = Text("https://127.0.0.1:" + std::to_string(origin.Port()) + "/"), .proxy = Text(via)});
  EXPECT_EQ(proxy.Request(1).Method(), "CONNECT");
  EXPECT_TRUE(secure.text.empty());
}

void ExpectUntouched(const WinHttpResult& r) {
  EXPECT_EQ(r.text, "");
  EXPECT_FALSE(r.response_bytes);
  EXPECT_FALSE(r.returned_headers);
  EXPECT_FALSE(r.returned_cookies);
  EXPECT_FALSE(r.location);
}

TEST(WinHttpFailures, NumberedMessagesLeaveOtherOutputsUntouched) {
  const auto start = std::chrono::steady_clock::now();
  WinHttpResult bad_url = HttpRequestWinHttp({.url = "not a url"});
  EXPECT_EQ(bad_url.status, Gbk(u8"701 解析URL地址失败!"));
  ExpectUntouched(bad_url);
  EXPECT_EQ(HttpRequestWinHttp({.url = "ftp://127.0.0.1/x"}).status, Gbk(u8"701 解析URL地址失败!"));

  RecordingServer server;
  WinHttpResult bad_header =
      HttpRequestWinHttp({.url = Text(server.Url("/")), .extra_headers = "no colon here"});
  EXPECT_EQ(bad_header.status, Gbk(u8"710 设置协议头失败!"));
  ExpectUntouched(bad_header);
  EXPECT_EQ(server.Count(), 0u);

  WinHttpResult refused = HttpRequestWinHttp(
      {.url = Text("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/"), .send_cookies = "a=1"});
  EXPECT_EQ(refused.status, Gbk(u8"711 发送请求失败!"));
  ExpectUntouched(refused);

  server.Push(Reply::Close());
  WinHttpResult closed = HttpRequestWinHttp({.url = Text(server.Url("/"))});
  EXPECT_EQ(closed.status, Gbk(u8"712 服务器未响应!"));
  ExpectUntouched(closed);

  server.Push(Reply{"garbage that is no status line\r\n\r\n"});
  EXPECT_EQ(HttpRequestWinHttp({.url = Text(server.Url("/"))}).status, Gbk(u8"712 服务器未响应!"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(WinHttpFailures, TimeOutAppliesWhileWaitingForTheAnswer) {
  RecordingServer server;
  Reply slow = Reply::Ok("late");
  slow.delay_ms = 4000;
  server.Push(slow);
  const auto start = std::chrono::steady_clock::now();
  WinHttpResult r = HttpRequestWinHttp({.url = Text(server.Url("/")), .timeout_seconds = 1});
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.status, Gbk(u8"712 服务器未响应!"));
  ExpectUntouched(r);
  EXPECT_GE(took, std::chrono::milliseconds(900));
  EXPECT_LT(took, std::chrono::milliseconds(3500));
}

TEST(WinHttpFailures, BodyCutShortKeepsWhatArrivedAndTheStatusLine) {
  RecordingServer server;
  Reply stall;
  stall.raw = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\npartial";
  stall.close_after = true;
  server.Push(stall);
  WinHttpResult r = HttpRequestWinHttp({.url = Text(server.Url("/")), .timeout_seconds = 1});
  EXPECT_EQ(r.status, "200 OK");  // the status line replaces the read failure
  EXPECT_EQ(r.text, "partial");
  EXPECT_EQ(r.response_bytes->size(), 7u);
}

TEST(WinHttpFailures, NoTimeOutGivenMeansThirtySeconds) {
  RecordingServer server;
  Reply slow = Reply::Ok("late but in time");
  slow.delay_ms = 2000;
  server.Push(slow);
  server.Push(slow);
  EXPECT_EQ(HttpRequestWinHttp({.url = Text(server.Url("/")), .timeout_seconds = 0}).text,
            "late but in time");
  EXPECT_EQ(HttpRequestWinHttp({.url = Text(server.Url("/")), .timeout_seconds = -3}).text,
            "late but in time");
}

TEST(WinHttpPumping, PendingEventsRunPerHeaderLineAndOnTheWayOut) {
  RecordingServer server;
  server.Push(Reply::Ok("x", {"A: 1", "B: 2"}));
  int pumps = 0;
  HttpRequestWinHttp({.url = Text(server.Url("/")), .pump_messages = [&pumps] { ++pumps; }});
  // status line, A, B, Content-Length, and the closing blank line; then the way out
  EXPECT_GE(pumps, 5);
}

}  // namespace
}  // namespace korvath
