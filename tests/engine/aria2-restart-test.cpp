// An aria2 of ours that ended by itself: when it may be started again, how
// its end is told, and which restored downloads go on at once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include "engine/aria2-bootstrap.h"
#include "engine/aria2-restart-policy.h"
#include "engine/engine-fixture.h"
#include "engine/interrupted-downloads.h"
#include "engine/rpc-client.h"
#include "engine/session-record.h"
#include "support/throttled-server.h"

namespace korvath {
namespace {

TEST(Aria2RestartPolicy, TheThirdEndWithinAMinuteIsTheLastAndEndsFurtherApartAreNot) {
  Aria2RestartPolicy spread;
  for (std::int64_t at : {0, 35000, 70000, 105000, 140000}) EXPECT_TRUE(spread.MayRestart(at)) << at;

  Aria2RestartPolicy bursts;
  EXPECT_TRUE(bursts.MayRestart(1000));
  EXPECT_TRUE(bursts.MayRestart(30000));
  EXPECT_FALSE(bursts.MayRestart(60999));
  // Given up is given up: the next end, however late, starts nothing.
  EXPECT_FALSE(bursts.MayRestart(600000));
}

TEST(Aria2RestartPolicy, AnEndIsToldByItsExitCodeOrItsSignal) {
  EXPECT_EQ(GbkToUtf8(ChildEndText(DescribeChildEnd(W_EXITCODE(3, 0)))),
            reinterpret_cast<const char*>(u8"退出码3"));
  const ChildEnd killed = DescribeChildEnd(W_EXITCODE(0, SIGKILL));
  EXPECT_TRUE(killed.signalled);
  EXPECT_EQ(GbkToUtf8(ChildEndText(killed)), reinterpret_cast<const char*>(u8"被信号9（SIGKILL）终止"));
}

using InterruptedDownloadsTest = testing::Aria2Test;

// The record says one download ran and one was paused by the user: after
// the restore only the one that ran goes on.
TEST_F(InterruptedDownloadsTest, OnlyTheDownloadsThatWereRunningGoOn) {
  testing::ThrottledServer server(8u << 20, 256u << 10);
  ASSERT_TRUE(StartAria2(*desktop, state, {.cookie = "Zorbit", .program_dir = program_dir.string()}));
  const std::string dir = (work_dir / "ZorbitDravenet").string();
  const std::string record = (log_dir / "session.json").string();
  const std::vector<SessionTask> recorded{
      {.uris = {Text(server.Url("/big?running"))}, .dir = Text(dir), .out = "running.bin", .state = "active"},
      {.uris = {Text(server.Url("/big?paused"))}, .dir = Text(dir), .out = "paused.bin", .state = "paused"},
      {.uris = {Text(server.Url("/big?queued"))}, .dir = Text(dir), .out = "queued.bin", .state = "waiting"}};
  testing::WriteFile(record, SessionRecordText(recorded));
  ASSERT_EQ(RestoreSessionRecord(*desktop, state, record).restored, 3);

  // The record already brings them back running: nothing is left to unpause,
  // and the one the user paused is not touched.
  EXPECT_EQ(ContinueInterruptedDownloads(*desktop, state, InterruptedTasks(recorded), work_dir.string()), 0);
  nlohmann::json listed = testing::Aria2Call(state, "aria2.tellActive")["result"];
  const nlohmann::json waiting = testing::Aria2Call(state, "aria2.tellWaiting", {0, 10});
  for (const nlohmann::json& task : waiting["result"]) listed.push_back(task);
  std::map<std::string, std::string> status;
  for (const nlohmann::json& task : listed)
    status[task["files"][0]["uris"][0]["uri"].get<std::string>()] = task["status"].get<std::string>();
  ASSERT_EQ(status.size(), 3u) << listed.dump();
  EXPECT_NE(status[server.Url("/big?running")], "paused");
  EXPECT_NE(status[server.Url("/big?queued")], "paused");
  EXPECT_EQ(status[server.Url("/big?paused")], "paused");
  EXPECT_EQ(desktop->Events("download_continued").size(), 0u);
}

}  // namespace
}  // namespace korvath
