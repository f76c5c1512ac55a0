// The RPC client against an aria2 stand-in on port 6800 that misbehaves: the
// user sees the message for that case, memory stays bounded, never a crash.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "engine/download-task.h"
#include "engine/engine-fixture.h"
#include "engine/rpc-client.h"
#include "http/wininet-request.h"
#include "support/hostile-server.h"

namespace korvath {
namespace {

using testing::Hostile;
using testing::HostileServer;
using testing::RecordingDesktop;

class HostileRpc : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lock.locked()) << "another test run kept aria2's port for minutes";
    testing::WaitFor([] { return !testing::PortListening(6800); }, std::chrono::seconds(15));
    ASSERT_FALSE(testing::PortListening(6800)) << "something else holds port 6800";
  }

  // Runs CreateDownloadTask against a stand-in of `kind` on port 6800.
  bool CreateAgainst(Hostile kind) {
    HostileServer server(kind, 6800);
    EXPECT_TRUE(server.Listening());
    testing::ResetPeakResident();
    const std::int64_t before = testing::ResidentKiB();
    const auto start = std::chrono::steady_clock::now();
    const bool created = CreateDownloadTask(desktop, state, task);
    took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    peak_growth_kib = testing::PeakResidentKiB() - before;
    return created;
  }

  testing::Aria2MachineLock lock;
  RecordingDesktop desktop;
  EngineState state{.cookie_header = "Cookie: Zorbit",
                    .rpc_port = "6800",
                    .rpc_secret = "0123456789abcdef0123456789abcdef"};
  DownloadTask task{.name = "a.bin", .link = "http://127.0.0.1:1/a.bin?bkt=1", .dir = "ZorbitDravenet"};
  std::chrono::milliseconds took{};
  std::int64_t peak_growth_kib = 0;
};

const Text kNotWorking = Gbk(u8"aria2的RPC服务不工作，请检查您电脑的防火墙设置。");
const Text kRawData = Gbk(u8"无法创建下载任务，原始数据：");

TEST_F(HostileRpc, GarbageInsteadOfHttpIsNoReply) {
  EXPECT_FALSE(CreateAgainst(Hostile::kGarbage));
  EXPECT_LT(took, std::chrono::seconds(5));
  ASSERT_EQ(desktop.boxes.size(), 1u);
  EXPECT_EQ(desktop.boxes[0].text, kNotWorking);
}

TEST_F(HostileRpc, AGarbageBodyIsShownAsTheRawReply) {
  EXPECT_FALSE(CreateAgainst(Hostile::kGarbageBody));
  ASSERT_EQ(desktop.boxes.size(), 1u);
  EXPECT_EQ(desktop.boxes[0].text.rfind(kRawData, 0), 0u);
}

TEST_F(HostileRpc, HalfAReplyIsShownAsTheRawReplyItGot) {
  EXPECT_FALSE(CreateAgainst(Hostile::kHalfReply));
  ASSERT_EQ(desktop.boxes.size(), 1u);
  const Text& shown = desktop.boxes[0].text;
  std::printf("half reply: box of %zu bytes\n", shown.size());
  // Either nothing usable arrived or the part that did is quoted; no task.
  EXPECT_TRUE(shown == kNotWorking || shown.rfind(kRawData + R"({"id":1)", 0) == 0) << shown.substr(0, 200);
}

TEST_F(HostileRpc, AFiftyMegabyteReplyIsReadWithinTheCapAndQuotedShort) {
  EXPECT_FALSE(CreateAgainst(Hostile::kLargeReply));
  std::printf("50 MB reply: %lld ms, peak +%lld KiB\n", static_cast<long long>(took.count()),
              static_cast<long long>(peak_growth_kib));
  ASSERT_EQ(desktop.boxes.size(), 1u);
  const Text& shown = desktop.boxes[0].text;
  EXPECT_EQ(shown.rfind(kRawData + "xxxx", 0), 0u);
  // A box is read by a person: megabytes in a label only freeze the window.
  EXPECT_LT(shown.size(), 16u * 1024);
  EXPECT_LT(peak_growth_kib, testing::kPeakBoundKiB);
}

TEST_F(HostileRpc, GlobalOptionsQuoteAGarbageReplyShort) {
  HostileServer server(Hostile::kLargeReply, 6800);
  ASSERT_TRUE(server.Listening());
  EXPECT_FALSE(SetGlobalOptions(desktop, state));
  ASSERT_EQ(desktop.boxes.size(), 1u);
  const Text& shown = desktop.boxes[0].text;
  EXPECT_EQ(shown.rfind(Gbk(u8"aria2在修改配置时发生错误，详细信息：") + "xxxx", 0), 0u);
  EXPECT_LT(shown.size(), 16u * 1024);
}

TEST(QuotedReply, ALongReplyIsCutOnACharacterBoundary) {
  const Text han = Gbk(u8"中");
  const Text even = RepeatText(3000, han);
  EXPECT_EQ(QuotedReply(even), even.substr(0, kMaxQuotedReply) + Gbk(u8"……"));
  const Text odd = "a" + even;
  EXPECT_EQ(QuotedReply(odd), odd.substr(0, kMaxQuotedReply - 1) + Gbk(u8"……"));
  const Text four = "ab" + RepeatText(2000, Text("\x81\x30\x81\x30"));  // GB18030 four-byte characters
  EXPECT_EQ(QuotedReply(four), four.substr(0, kMaxQuotedReply - 2) + Gbk(u8"……"));
  EXPECT_EQ(QuotedReply(even.substr(0, kMaxQuotedReply)), even.substr(0, kMaxQuotedReply));
}

TEST(QuotedReply, ALongAria2ReplyIsCutAsTheWholeReplyInSystemTextWouldBe) {
  // UTF-8 Chinese (three bytes, two in system text), a stray continuation
  // byte and a cut-off character: each converts to fewer bytes than it takes.
  const std::string han = reinterpret_cast<const char*>(u8"中");
  for (const std::string& reply :
       {std::string(RepeatText(20000, han)), "a" + std::string(RepeatText(20000, "\x80" + han)),
        std::string(RepeatText(20000, "\xe4\xb8"))}) {
    EXPECT_EQ(QuotedAria2Reply(reply), QuotedReply(Utf8ToGbk(reply)));
  }
  EXPECT_EQ(QuotedAria2Reply(han), Gbk(u8"中"));
}

// Costs one call limit (5 s) by design: an aria2 that accepts and never
// answers is told apart from a slow one only by waiting.
TEST_F(HostileRpc, AStandInThatNeverAnswersIsNoReplyAfterTheCallLimit) {
  EXPECT_FALSE(CreateAgainst(Hostile::kSilent));
  std::printf("silent aria2: %lld ms\n", static_cast<long long>(took.count()));
  ASSERT_EQ(desktop.boxes.size(), 1u);
  EXPECT_EQ(desktop.boxes[0].text, kNotWorking);
  EXPECT_LT(took, std::chrono::milliseconds(kLocalCallLimitMs + 3000));
}

// Shut-down's calls share one deadline: a call is cut to what is left of it,
// and once it has passed nothing more is sent.
TEST_F(HostileRpc, CallsEndByTheDeadlineAndNoneIsSentAfterIt) {
  HostileServer server(Hostile::kSilent, 6800);
  ASSERT_TRUE(server.Listening());
  const auto start = std::chrono::steady_clock::now();
  {
    RpcDeadline deadline(MonotonicMs() + 1000);
    EXPECT_FALSE(PauseAll(desktop, state));
    EXPECT_TRUE(RpcDeadline::Passed());
    EXPECT_FALSE(PauseAll(desktop, state));
  }
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::milliseconds(kLocalCallLimitMs));
  EXPECT_EQ(server.Connections(), 1);
  EXPECT_FALSE(RpcDeadline::Passed());
}

}  // namespace
}  // namespace korvath
