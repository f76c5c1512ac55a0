#include "http/curl-exchange.h"

#include <gtest/gtest.h>

#include "support/recording-server.h"

namespace korvath::http_internal {
namespace {

using korvath::testing::RecordingServer;
using korvath::testing::Reply;

TEST(WireLines, BlankValuesSurviveAndUnsendableLinesAreRefused) {
  std::vector<std::string> lines;
  EXPECT_TRUE(HeaderLinesForWire("A: 1\r\n\r\nX-Empty:\r\nY-Blank:   \r\nZ: a:b", lines));
  EXPECT_EQ(lines, (std::vector<std::string>{"A: 1", "X-Empty;", "Y-Blank;", "Z: a:b"}));
  for (const char* bad : {"no colon", ": no name", "Bad Name: x", "Split: a\nInjected: b", "Cr: a\rb"}) {
    SCOPED_TRACE(bad);
    std::vector<std::string> out;
    EXPECT_FALSE(HeaderLinesForWire(std::string("Good: 1\r\n") + bad, out));
    EXPECT_EQ(out, (std::vector<std::string>{"Good: 1"}));
  }
}

TEST(WireLines, EmptyValuedLineArrivesAsSuch) {
  RecordingServer server;
  Exchange x;
  x.url = server.Url("/");
  HeaderLinesForWire("X-Empty:", x.header_lines);
  ExchangeOutcome out = PerformExchange(x, 1024);
  EXPECT_EQ(out.stage, Stage::kDone);
  EXPECT_EQ(server.Request(0).Values("X-Empty"), (std::vector<std::string>{""}));
}

TEST(ExchangeLimits, BodyPastTheCapIsCutAndReportedAsAShortRead) {
  RecordingServer server;
  server.Push(Reply::Ok(std::string(100'000, 'b')));
  Exchange x;
  x.url = server.Url("/");
  ExchangeOutcome out = PerformExchange(x, 1000);
  EXPECT_EQ(out.stage, Stage::kRead);
  EXPECT_EQ(out.body.size(), 1000u);
  EXPECT_TRUE(out.headers_complete);
}

TEST(ExchangeLimits, OversizedHeaderBlockFailsTheResponse) {
  RecordingServer server;
  std::vector<std::string> many;
  for (int i = 0; i < 200; ++i) many.push_back("X-" + std::to_string(i) + ": " + std::string(8000, 'h'));
  server.Push(Reply::Ok("x", many));
  Exchange x;
  x.url = server.Url("/");
  ExchangeOutcome out = PerformExchange(x, 1024);
  EXPECT_EQ(out.stage, Stage::kResponse);
  EXPECT_EQ(out.headers, "");
}

TEST(ExchangeLimits, InterimAnswersAreNotTheReportedBlock) {
  RecordingServer server;
  server.Push(Reply{"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok"});
  Exchange x;
  x.url = server.Url("/");
  ExchangeOutcome out = PerformExchange(x, 1024);
  EXPECT_EQ(out.headers, "HTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\n");
  EXPECT_EQ(std::string(out.body.begin(), out.body.end()), "ok");

  // Trailers after a chunked body are not part of the header block either.
  server.Push(
      Reply{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
            "2\r\nok\r\n0\r\nSet-Cookie: t=1\r\n\r\n"});
  out = PerformExchange(x, 1024);
  EXPECT_EQ(out.stage, Stage::kDone);
  EXPECT_EQ(out.headers, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
  EXPECT_EQ(std::string(out.body.begin(), out.body.end()), "ok");
}

TEST(UrlBytes, OnlyWhatCurlRefusesIsEscaped) {
  EXPECT_EQ(EscapeUrlBytes("/a b\x01\x7F?x=%41", false), "/a%20b%01%7F?x=%41");
  EXPECT_EQ(EscapeUrlBytes("/\xD6\xD0", false), "/\xD6\xD0");
  EXPECT_EQ(EscapeUrlBytes("/\xD6\xD0", true), "/%D6%D0");
  EXPECT_TRUE(UsableHost("a-b_c.example"));
  EXPECT_FALSE(UsableHost(""));
  EXPECT_FALSE(UsableHost("h?x=1"));
  EXPECT_FALSE(UsableHost("user@h"));
}

}  // namespace
}  // namespace korvath::http_internal
