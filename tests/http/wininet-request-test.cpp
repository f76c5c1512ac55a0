#include "http/wininet-request.h"

#include <gtest/gtest.h>

#include <chrono>

#include "support/forward-proxy.h"
#include "support/recording-server.h"

namespace korvath {
namespace {

using testing::RecordedRequest;
using testing::RecordingServer;
using testing::Reply;

std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }
Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }

std::string HostLine(const RecordingServer& s) { return "Host: 127.0.0.1:" + std::to_string(s.Port()); }

constexpr const char* kAgent = "User-Agent: Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";

// A port nobody listens on: bound once, then released.
int ClosedPort() {
  RecordingServer probe;
  return probe.Port();
}

TEST(WinInetWire, PostWithoutExtraHeadersSendsExactlyTheDefaultLines) {
  RecordingServer server;
  const std::string url = server.Url("/jsonrpc?tm=1");
  WinInetResult r = HttpRequestWinInet({.url = Text(url), .method = 1, .post_data = Text("{\"a\":1}")});
  ASSERT_TRUE(r.opened);
  EXPECT_EQ(Str(r.body), "ok");
  RecordedRequest q = server.Request(0);
  EXPECT_EQ(q.request_line, "POST /jsonrpc?tm=1 HTTP/1.1");
  EXPECT_EQ(q.header_lines,
            (std::vector<std::string>{
                HostLine(server), "Accept: */*", "Referer: " + url, "Accept-Language: zh-cn",
                "Content-Type: application/x-www-form-urlencoded", kAgent, "Content-Length: 7"}));
  EXPECT_EQ(q.body, "{\"a\":1}");
}

TEST(WinInetWire, LargePostIsSentWithoutExpectContinue) {
  RecordingServer server;
  const std::string json(200'000, 'x');
  WinInetResult r = HttpRequestWinInet({.url = Text(server.Url("/")), .method = 1, .post_data = Text(json)});
  EXPECT_EQ(Str(r.body), "ok");
  RecordedRequest q = server.Request(0);
  EXPECT_TRUE(q.Values("Expect").empty());
  EXPECT_EQ(q.body.size(), json.size());
}

TEST(WinInetWire, ExGetSendsAcceptRefererLanguageAndNoContentType) {
  RecordingServer server;
  const std::string url = server.Url("/getpassword");
  WinInetResult r = HttpRequestWinInetEx({.url = Text(url)});
  ASSERT_TRUE(r.opened);
  RecordedRequest q = server.Request(0);
  EXPECT_EQ(q.request_line, "GET /getpassword HTTP/1.1");
  EXPECT_EQ(q.header_lines, (std::vector<std::string>{HostLine(server), "Accept: */*", "Referer: " + url,
                                                      "Accept-Language: zh-cn", kAgent}));
}

TEST(WinInetWire, LowerCaseAcceptIsOnlyHonouredByTheExVariant) {
  RecordingServer server;
  HttpRequestWinInet({.url = Text(server.Url("/a")), .extra_headers = "accept: text/html"});
  HttpRequestWinInetEx({.url = Text(server.Url("/b")), .extra_headers = "accept: text/html"});
  EXPECT_EQ(server.Request(0).Values("Accept"), (std::vector<std::string>{"text/html", "*/*"}));
  RecordedRequest ex = server.Request(1);
  EXPECT_EQ(ex.Values("Accept"), (std::vector<std::string>{"text/html"}));
  EXPECT_EQ(ex.Names()[1], "Accept");  // normalised name on the wire
}

TEST(WinInetWire, ExNormalisesNamesAndDropsLinesWithoutColonUnlessTold) {
  RecordingServer server;
  const std::string extra = "x-REQUESTED-with: y\r\nnot a header\r\nuser-agent: Bot/1";
  HttpRequestWinInetEx(
      {.url = Text(server.Url("/")), .extra_headers = Text(extra), .complete_headers = false});
  HttpRequestWinInetEx({.url = Text(server.Url("/")),
                        .extra_headers = Text(extra),
                        .complete_headers = false,
                        .normalize_headers = false});
  EXPECT_EQ(server.Request(0).header_lines,
            (std::vector<std::string>{HostLine(server), "X-REQUESTED-With: y", "User-Agent: Bot/1"}));
  // Unnormalised, the line without a colon cannot be sent and is left out;
  // the lower-case agent line is the one agent line.
  EXPECT_EQ(server.Request(1).header_lines,
            (std::vector<std::string>{HostLine(server), "x-REQUESTED-with: y", "user-agent: Bot/1"}));
}

TEST(WinInetWire, UserAgentLineIsSentOnceAndWinsOverTheDefault) {
  RecordingServer server;
  HttpRequestWinInet({.url = Text(server.Url("/")), .extra_headers = "User-Agent: Custom/2.0"});
  RecordedRequest q = server.Request(0);
  EXPECT_EQ(q.Values("User-Agent"), (std::vector<std::string>{"Custom/2.0"}));
  EXPECT_EQ(q.Names()[1], "User-Agent");
}

TEST(WinInetWire, MethodsOutOfRangeAreGetWithoutBodyAndOthersCarryTheBody) {
  RecordingServer server;
  HttpRequestWinInet({.url = Text(server.Url("/")), .method = 12, .post_data = "ignored"});
  HttpRequestWinInet({.url = Text(server.Url("/")), .method = -1, .post_data = "ignored"});
  HttpRequestWinInet({.url = Text(server.Url("/")), .method = 3, .post_data = "put-body"});
  HttpRequestWinInet({.url = Text(server.Url("/")), .method = 5});
  RecordedRequest get = server.Request(0);
  EXPECT_EQ(get.Method(), "GET");
  EXPECT_TRUE(get.body.empty());
  EXPECT_TRUE(get.Values("Content-Length").empty());
  EXPECT_TRUE(get.Values("Content-Type").empty());
  EXPECT_EQ(server.Request(1).Method(), "GET");
  RecordedRequest put = server.Request(2);
  EXPECT_EQ(put.Method(), "PUT");
  EXPECT_EQ(put.body, "put-body");
  EXPECT_TRUE(put.Values("Content-Type").empty());  // only a POST gets the default type
  RecordedRequest del = server.Request(3);
  EXPECT_EQ(del.Method(), "DELETE");
  EXPECT_EQ(del.Values("Content-Length"), (std::vector<std::string>{"0"}));
}

TEST(WinInetWire, PostBytesWinOverPostDataAndKeepZeroBytes) {
  RecordingServer server;
  const Bytes bytes = {'a', 0, 'b', 0xFF};
  HttpRequestWinInet({.url = Text(server.Url("/")), .method = 1, .post_data = "text", .post_bytes = bytes});
  EXPECT_EQ(server.Request(0).body, std::string("a\0b\xFF", 4));
}

TEST(WinInetWire, HostIsLoweredAndPortAndObjectNameComeFromTheUrl) {
  RecordingServer server;
  const std::string url = "HTTP://LocalHost:" + std::to_string(server.Port()) + "/A/b?X=1";
  WinInetResult r = HttpRequestWinInet({.url = Text(url)});
  ASSERT_TRUE(r.opened);
  RecordedRequest q = server.Request(0);
  EXPECT_EQ(q.request_line, "GET /A/b?X=1 HTTP/1.1");
  EXPECT_EQ(q.header_lines[0], "Host: localhost:" + std::to_string(server.Port()));
  EXPECT_EQ(q.Values("Referer"), (std::vector<std::string>{url}));
}

TEST(WinInetWire, ObjectNameBytesArriveEscapedButUnchanged) {
  RecordingServer server;
  HttpRequestWinInet({.url = Text(server.Url("/\xD6\xD0 \xCE\xC4?q=a b"))});
  // The system-text bytes themselves (no conversion), percent-escaped.
  EXPECT_EQ(server.Request(0).request_line, "GET /%d6%d0%20%ce%c4?q=a%20b HTTP/1.1");
}

TEST(WinInetCookies, SuppliedCookiesAreSentAsOneLine) {
  RecordingServer server;
  HttpRequestWinInet({.url = Text(server.Url("/")), .send_cookies = "a=1; b=2"});
  HttpRequestWinInet({.url = Text(server.Url("/")), .send_cookies = "Cookie: z=9"});
  HttpRequestWinInet({.url = Text(server.Url("/")), .send_cookies = ""});
  EXPECT_EQ(server.Request(0).Values("Cookie"), (std::vector<std::string>{"a=1; b=2"}));
  EXPECT_EQ(server.Request(1).Values("Cookie"), (std::vector<std::string>{"z=9"}));
  EXPECT_TRUE(server.Request(2).Values("Cookie").empty());
}

TEST(WinInetCookies, SetCookieInAnyCaseCountsOnlyForThePlainVariant) {
  RecordingServer server;
  server.SetDefault(
      Reply::Ok("x", {"set-cookie: a=1; path=/", "SET-COOKIE: b=2", "Set-Cookie: c=3; HttpOnly"}));
  WinInetResult plain = HttpRequestWinInet({.url = Text(server.Url("/"))});
  WinInetResult ex = HttpRequestWinInetEx({.url = Text(server.Url("/"))});
  EXPECT_EQ(plain.returned_cookies, "a=1; b=2; c=3");
  EXPECT_NE(plain.returned_headers.find("Set-Cookie: a=1; path=/\r\n"), std::string::npos);
  EXPECT_EQ(ex.returned_cookies, "c=3");
  EXPECT_NE(ex.returned_headers.find("set-cookie: a=1"), std::string::npos);
  EXPECT_EQ(plain.returned_headers.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
}

TEST(WinInetCookies, SuppliedCookiesAreMergedWithTheReturnedOnes) {
  RecordingServer server;
  server.SetDefault(Reply::Ok("x", {"Set-Cookie: b=3; path=/", "Set-Cookie: gone=deleted"}));
  EXPECT_EQ(
      HttpRequestWinInet({.url = Text(server.Url("/")), .send_cookies = "a=1; b=2; gone=1"}).returned_cookies,
      "b=3; a=1");
  EXPECT_EQ(HttpRequestWinInetEx({.url = Text(server.Url("/")), .send_cookies = "a=1;b=2"}).returned_cookies,
            "b=3; a=1;b=2");
  // Supplied even when empty: the merge still runs (and drops the deletion).
  EXPECT_EQ(HttpRequestWinInet({.url = Text(server.Url("/")), .send_cookies = ""}).returned_cookies, "b=3");
  EXPECT_EQ(HttpRequestWinInet({.url = Text(server.Url("/"))}).returned_cookies, "b=3; gone=deleted");
  EXPECT_EQ(
      HttpRequestWinInet({.url = Text(server.Url("/")), .send_cookies = "a=1", .auto_merge_cookies = false})
          .returned_cookies,
      "b=3; gone=deleted");
}

TEST(WinInetResponse, HeaderBlockOf5000BytesOrMoreIsDroppedButTheBodyStays) {
  RecordingServer server;
  server.Push(Reply::Ok("body", {"Set-Cookie: a=1", "X-Pad: " + std::string(5000, 'p')}));
  WinInetResult r = HttpRequestWinInet({.url = Text(server.Url("/"))});
  EXPECT_EQ(Str(r.body), "body");
  EXPECT_EQ(r.returned_headers, "");
  EXPECT_EQ(r.returned_cookies, "");
}

TEST(WinInetResponse, BodyKeepsZeroBytesAndErrorStatusesAreNoFailure) {
  RecordingServer server;
  server.Push(Reply::Ok(std::string("a\0b\0", 4), {}, "500 Internal Server Error"));
  WinInetResult r = HttpRequestWinInet({.url = Text(server.Url("/"))});
  EXPECT_EQ(r.body, (Bytes{'a', 0, 'b', 0}));
  EXPECT_EQ(r.returned_headers.rfind("HTTP/1.1 500", 0), 0u);
}

TEST(WinInetResponse, RedirectsAreFollowedUnlessTurnedOff) {
  RecordingServer server;
  server.SetResponder([](const RecordedRequest& q) {
    if (q.Target() == "/start")
      return Reply::Ok("moved", {"Location: /next", "Set-Cookie: hop=1"}, "302 Found");
    return Reply::Ok("arrived:" + (q.Values("Cookie").empty() ? std::string("-") : q.Values("Cookie")[0]));
  });
  WinInetResult followed = HttpRequestWinInet({.url = Text(server.Url("/start"))});
  EXPECT_EQ(Str(followed.body), "arrived:hop=1");  // own cookie handling within the call
  EXPECT_EQ(followed.returned_headers.rfind("HTTP/1.1 200 OK", 0), 0u);
  WinInetResult supplied = HttpRequestWinInet({.url = Text(server.Url("/start")), .send_cookies = ""});
  EXPECT_EQ(Str(supplied.body), "arrived:-");
  WinInetResult stopped = HttpRequestWinInet({.url = Text(server.Url("/start")), .no_redirect = true});
  EXPECT_EQ(Str(stopped.body), "moved");
  EXPECT_NE(stopped.returned_headers.find("Location: /next"), std::string::npos);
  EXPECT_EQ(stopped.returned_cookies, "hop=1");
}

TEST(WinInetTransport, HttpsUrlSpeaksTlsAndTheExVariantToo) {
  RecordingServer server;
  const std::string url = "https://127.0.0.1:" + std::to_string(server.Port()) + "/x";
  WinInetResult plain = HttpRequestWinInet({.url = Text(url)});
  WinInetResult ex = HttpRequestWinInetEx({.url = Text(url)});
  EXPECT_TRUE(plain.opened);
  EXPECT_TRUE(plain.body.empty());
  EXPECT_TRUE(ex.body.empty());
  ASSERT_EQ(server.Count(), 2u);
  for (const RecordedRequest& q : server.Requests()) {
    ASSERT_FALSE(q.raw.empty());
    EXPECT_EQ(static_cast<unsigned char>(q.raw[0]), 0x16);  // TLS handshake record
    EXPECT_TRUE(q.request_line.empty());
  }
}

TEST(WinInetTransport, ProxyCarriesPlainRequestsAndTunnelsSecureOnes) {
  RecordingServer origin;
  origin.SetDefault(Reply::Ok("from origin", {"Set-Cookie: o=1"}));
  RecordingServer proxy;
  testing::MakeForwardProxy(proxy);
  const std::string via = "127.0.0.1:" + std::to_string(proxy.Port());
  WinInetResult r = HttpRequestWinInet(
      {.url = Text(origin.Url("/p?q=1")), .method = 1, .post_data = "d", .proxy = Text(via)});
  EXPECT_EQ(Str(r.body), "from origin");
  EXPECT_EQ(r.returned_cookies, "o=1");
  RecordedRequest at_proxy = proxy.Request(0);
  EXPECT_EQ(at_proxy.request_line, "POST " + origin.Url("/p?q=1") + " HTTP/1.1");
  EXPECT_TRUE(at_proxy.Values("Proxy-Connection").empty());
  EXPECT_EQ(origin.Request(0).request_line, "POST /p?q=1 HTTP/1.1");
  EXPECT_EQ(origin.Request(0).body, "d");

  WinInetResult secure = HttpRequestWinInetEx(
      {.url = Text("https://127.0.0.1:" + std::to_string(origin.Port()) + "/s"), .proxy = Text(via)});
  EXPECT_TRUE(secure.body.empty());
  EXPECT_EQ(proxy.Request(1).request_line,
            "CONNECT 127.0.0.1:" + std::to_string(origin.Port()) + " HTTP/1.1");
}

TEST(WinInetFailures, RefusedClosedOrUnusableEndEmptyAndQuickly) {
  const auto start = std::chrono::steady_clock::now();
  WinInetResult refused = HttpRequestWinInet(
      {.url = Text("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/"), .send_cookies = "a=1"});
  EXPECT_TRUE(refused.opened);
  EXPECT_TRUE(refused.body.empty());
  EXPECT_EQ(refused.returned_headers, "");
  EXPECT_EQ(refused.returned_cookies, "a=1");  // the merge of step "cookies" still runs

  RecordingServer server;
  server.Push(Reply::Close());
  WinInetResult closed = HttpRequestWinInet({.url = Text(server.Url("/"))});
  EXPECT_TRUE(closed.opened);
  EXPECT_TRUE(closed.body.empty());
  EXPECT_EQ(closed.returned_headers, "");

  // A host that cannot name a server: no connection, nothing produced.
  EXPECT_FALSE(HttpRequestWinInet({.url = "http://h?x=1"}).opened);
  EXPECT_FALSE(HttpRequestWinInet({.url = "http:///nohost"}).opened);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(WinInetFailures, AnExchangeIsLimitedToThirtySecondsUnlessTheCallerSaysOtherwise) {
  EXPECT_EQ(WinInetParams{}.timeout_ms, 30'000);
}

TEST(WinInetFailures, ServerThatStallsMidBodyIsCutOffAtTheLimitKeepingWhatArrived) {
  RecordingServer server;
  Reply stall;
  stall.raw = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\npartial";
  server.Push(stall);
  server.Push(Reply::Close(60'000));  // never reached: the client gives up first
  const auto start = std::chrono::steady_clock::now();
  WinInetResult r = HttpRequestWinInet({.url = Text(server.Url("/")), .timeout_ms = 800});
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(Str(r.body), "partial");
  EXPECT_NE(r.returned_headers.find("Content-Length: 100"), std::string::npos);
  EXPECT_GE(took, std::chrono::milliseconds(750));
  EXPECT_LT(took, std::chrono::milliseconds(3000));
}

TEST(WinInetFailures, AServerAnsweringWithinTheLimitIsNotCut) {
  RecordingServer server;
  Reply late = Reply::Ok("late but in time");
  late.delay_ms = 400;
  server.Push(late);
  WinInetResult r = HttpRequestWinInet({.url = Text(server.Url("/")), .timeout_ms = 2000});
  EXPECT_EQ(Str(r.body), "late but in time");
}

TEST(WinInetFailures, CallerLimitCutsASilentServerShort) {
  RecordingServer server;
  server.Push(Reply::Close(10'000));
  const auto start = std::chrono::steady_clock::now();
  WinInetResult r = HttpRequestWinInetEx({.url = Text(server.Url("/")), .timeout_ms = 700});
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(r.opened);
  EXPECT_TRUE(r.body.empty());
  EXPECT_GE(took, std::chrono::milliseconds(650));
  EXPECT_LT(took, std::chrono::milliseconds(3000));
}

TEST(Utf8BytesToTextTest, DecodesUtf8IntoSystemText) {
  EXPECT_EQ(Utf8BytesToText(B("\xE4\xB8\xAD\xE6\x96\x87")), "\xD6\xD0\xCE\xC4");
  EXPECT_EQ(Utf8BytesToText({}), "");
  EXPECT_EQ(Utf8BytesToText(B("[gg]hi[/gg]")), "[gg]hi[/gg]");
}

}  // namespace
}  // namespace korvath
