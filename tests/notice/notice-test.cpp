// The start-up announcement against a loopback notice server.
#include "notice/notice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/loopback-ports.h"
#include "support/recording-desktop.h"
#include "support/recording-server.h"

namespace korvath {
namespace {

using testing::RecordingDesktop;
using testing::RecordingServer;
using testing::Reply;

class FetchNoticeTest : public ::testing::Test {
 protected:
  // Serves `body` as the notice reply and runs FetchNotice against it.
  void FetchWithReply(const std::string& body) {
    server.Push(Reply::Ok(body, {"Content-Type: text/plain; charset=utf-8"}));
    FetchNotice(desktop, server.Url("/getpassword"));
  }

  RecordingServer server;
  RecordingDesktop desktop;
};

TEST_F(FetchNoticeTest, AnnouncementIsShownAsAnInformationBoxWithLineBreaks) {
  FetchWithReply(reinterpret_cast<const char*>(u8"before [gg]第一行/n第二行/nthird /N stays[/gg] after"));
  ASSERT_EQ(desktop.boxes.size(), 1u);
  EXPECT_EQ(desktop.boxes[0].text, Gbk(u8"第一行\r\n第二行\r\nthird /N stays"));
  EXPECT_EQ(desktop.boxes[0].flags, 64);
  EXPECT_EQ(RecordingDesktop::CaptionOf(desktop.boxes[0]), Gbk(u8"信息："));
  EXPECT_FALSE(desktop.boxes[0].owned);

  const auto request = server.Request(0);
  EXPECT_EQ(request.request_line, "GET /getpassword HTTP/1.1");
  EXPECT_TRUE(request.body.empty());
}

TEST_F(FetchNoticeTest, OnlyTheFirstOfTwoAnnouncementsIsShown) {
  FetchWithReply("[gg]one[/gg][gg]two[/gg]");
  ASSERT_EQ(desktop.boxes.size(), 1u);
  EXPECT_EQ(desktop.boxes[0].text, "one");
}

TEST_F(FetchNoticeTest, EmptyOrUnclosedOrAbsentAnnouncementShowsNothing) {
  for (const char* body : {"[gg][/gg]", "[gg]no end marker", "[/gg]end before start[gg]", "plain text", ""}) {
    FetchWithReply(body);
    EXPECT_TRUE(desktop.boxes.empty()) << body;
  }
  EXPECT_EQ(server.Count(), 5u);
}

TEST_F(FetchNoticeTest, CharactersOutsideTheSystemCodePageSurvive) {
  FetchWithReply(reinterpret_cast<const char*>(u8"[gg]한국어 공지 🎉[/gg]"));
  ASSERT_EQ(desktop.boxes.size(), 1u);
  EXPECT_EQ(GbkToUtf8(desktop.boxes[0].text), reinterpret_cast<const char*>(u8"한국어 공지 🎉"));
}

TEST_F(FetchNoticeTest, ServerThatNeverAnswersDelaysStartUpBoundedly) {
  server.Push(Reply::Close(60000));  // accepts, then says nothing
  constexpr long kLimitMs = 600;
  const auto started = std::chrono::steady_clock::now();
  FetchNotice(desktop, server.Url("/getpassword"), kLimitMs);
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_TRUE(desktop.boxes.empty());
  EXPECT_GE(waited, std::chrono::milliseconds(kLimitMs - 50));
  EXPECT_LT(waited, std::chrono::milliseconds(kLimitMs + 2500));
}

TEST_F(FetchNoticeTest, AnAnnouncementArrivingWithinTheLimitIsShown) {
  Reply late = Reply::Ok("[gg]late but in time[/gg]");
  late.delay_ms = 300;
  server.Push(late);
  FetchNotice(desktop, server.Url("/getpassword"), 2000);
  ASSERT_EQ(desktop.boxes.size(), 1u);
  EXPECT_EQ(desktop.boxes[0].text, "late but in time");
}

TEST_F(FetchNoticeTest, NoServerShowsNothingAndReturnsAtOnce) {
  const int port = testing::UnusedPort();
  const auto started = std::chrono::steady_clock::now();
  FetchNotice(desktop, "http://127.0.0.1:" + std::to_string(port) + "/getpassword");
  EXPECT_TRUE(desktop.boxes.empty());
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

}  // namespace
}  // namespace korvath
