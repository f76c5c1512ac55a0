// The start-up announcement against notice servers that misbehave: start-up
// must go on within its limit, with bounded memory, and the user sees at most
// one announcement box, never a crash.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "http/wininet-request.h"
#include "notice/notice.h"
#include "support/hostile-server.h"
#include "support/recording-desktop.h"

namespace korvath {
namespace {

using testing::Hostile;
using testing::HostileServer;
using testing::RecordingDesktop;

// The notice may hold start-up this long at most, whatever the server does.
constexpr auto kStartupShare = std::chrono::seconds(10);

struct Outcome {
  std::chrono::milliseconds took;
  std::int64_t peak_growth_kib;
};

// A server that holds the reply out is cut off at the limit; the tests that
// wait for it give a short one rather than sit out the real five seconds.
constexpr long kShortLimitMs = 700;

Outcome FetchFrom(HostileServer& server, RecordingDesktop& desktop, long limit_ms = kNoticeTimeoutMs) {
  testing::ResetPeakResident();
  const std::int64_t before = testing::ResidentKiB();
  const auto start = std::chrono::steady_clock::now();
  FetchNotice(desktop, server.Url("/getpassword"), limit_ms);
  const auto took =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  return {took, testing::PeakResidentKiB() - before};
}

TEST(HostileNotice, AGibibyteReplyIsCutAtTheBodyCapAndShowsNothing) {
  HostileServer server(Hostile::kHugeBody);
  ASSERT_TRUE(server.Listening());
  RecordingDesktop desktop;
  const Outcome outcome = FetchFrom(server, desktop);
  std::printf("1 GiB notice: %lld ms, peak +%lld KiB, %llu bytes sent\n",
              static_cast<long long>(outcome.took.count()), static_cast<long long>(outcome.peak_growth_kib),
              static_cast<unsigned long long>(server.BytesSent()));
  EXPECT_TRUE(desktop.boxes.empty());
  EXPECT_LT(outcome.took, kStartupShare);
  // Far below the gibibyte on offer.
  EXPECT_LT(outcome.peak_growth_kib, testing::kPeakBoundKiB);
  EXPECT_LT(server.BytesSent(), 1ull << 30);
}

TEST(HostileNotice, ADrippingServerIsGivenUpAfterTheNoticeTimeout) {
  HostileServer server(Hostile::kDrip);
  ASSERT_TRUE(server.Listening());
  RecordingDesktop desktop;
  const Outcome outcome = FetchFrom(server, desktop, kShortLimitMs);
  std::printf("drip notice: %lld ms, %llu bytes taken\n", static_cast<long long>(outcome.took.count()),
              static_cast<unsigned long long>(server.BytesSent()));
  EXPECT_TRUE(desktop.boxes.empty());
  EXPECT_GE(outcome.took, std::chrono::milliseconds(kShortLimitMs - 50));
  EXPECT_LT(outcome.took, std::chrono::milliseconds(kShortLimitMs + 2500));
}

TEST(HostileNotice, AHundredThousandHeaderLinesExceedTheHeaderCapAndShowNothing) {
  HostileServer server(Hostile::kManyHeaders);
  ASSERT_TRUE(server.Listening());
  RecordingDesktop desktop;
  const Outcome outcome = FetchFrom(server, desktop);
  std::printf("100,000 header lines: %lld ms, peak +%lld KiB\n", static_cast<long long>(outcome.took.count()),
              static_cast<long long>(outcome.peak_growth_kib));
  EXPECT_TRUE(desktop.boxes.empty());
  EXPECT_LT(outcome.took, kStartupShare);
  EXPECT_LT(outcome.peak_growth_kib, 64 * 1024);
}

TEST(HostileNotice, InvalidUtf8IsShownWithReplacementsAroundTheReadableParts) {
  HostileServer server(Hostile::kInvalidUtf8);
  ASSERT_TRUE(server.Listening());
  RecordingDesktop desktop;
  const Outcome outcome = FetchFrom(server, desktop);
  EXPECT_LT(outcome.took, kStartupShare);
  ASSERT_EQ(desktop.boxes.size(), 1u);
  const Text& shown = desktop.boxes[0].text;
  EXPECT_EQ(shown.rfind("bad ", 0), 0u) << shown;
  EXPECT_NE(shown.find(" bytes "), Text::npos) << shown;
  EXPECT_NE(shown.find("\r\nnext line"), Text::npos) << shown;
  EXPECT_EQ(desktop.boxes[0].flags, kMbIconInformation);
  // What is shown is well-formed system text: it survives the round trip.
  EXPECT_EQ(Utf8ToGbk(GbkToUtf8(shown)), shown);
}

TEST(HostileNotice, AReplyOfOnlyMarkersShowsNothing) {
  HostileServer server(Hostile::kOnlyMarkers);
  ASSERT_TRUE(server.Listening());
  RecordingDesktop desktop;
  const Outcome outcome = FetchFrom(server, desktop);
  EXPECT_TRUE(desktop.boxes.empty());
  EXPECT_LT(outcome.took, kStartupShare);
}

TEST(HostileNotice, GarbageInsteadOfHttpAndASilentServerShowNothing) {
  for (Hostile kind : {Hostile::kGarbage, Hostile::kSilent}) {
    HostileServer server(kind);
    ASSERT_TRUE(server.Listening());
    RecordingDesktop desktop;
    const Outcome outcome = FetchFrom(server, desktop, kShortLimitMs);
    EXPECT_TRUE(desktop.boxes.empty());
    EXPECT_LT(outcome.took, std::chrono::milliseconds(kShortLimitMs + 2500));
    EXPECT_EQ(server.Connections(), 1);
  }
}

}  // namespace
}  // namespace korvath
