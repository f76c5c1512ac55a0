// The record kept current while Korvath runs: written when the unfinished set
// changes, never more than once a second, untouched while aria2 is silent;
// and, with the real aria2 killed mid-download, everything comes back and
// finishes from the bytes on disk.
#include "engine/session-keeper.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <iostream>
#include <mutex>

#include "engine/aria2-bootstrap.h"
#include "engine/download-task.h"
#include "engine/engine-fixture.h"
#include "engine/rpc-client.h"
#include "engine/session-record.h"
#include "support/recording-server.h"
#include "support/throttled-server.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// aria2's three lists, answered from `tasks` (gid -> status); silent while
// `silent` is set.
class FakeLists {
 public:
  FakeLists() {
    server.SetResponder([this](const testing::RecordedRequest& request) {
      std::lock_guard lock(mutex);
      if (silent) return testing::Reply::Close();
      json reply = {{"jsonrpc", "2.0"}, {"id", 1}, {"result", json::array()}};
      const std::string method = json::parse(request.body, nullptr, false).value("method", "");
      for (const auto& [gid, status] : tasks) {
        const bool stopped = status == "error" || status == "complete";
        const bool wanted = method == "aria2.tellActive"    ? status == "active"
                            : method == "aria2.tellWaiting" ? status == "waiting" || status == "paused"
                                                            : stopped;
        if (!wanted) continue;
        reply["result"].push_back(
            {{"gid", gid},
             {"status", status},
             {"dir", "/d"},
             {"files", json::array({{{"path", "/d/" + gid}, {"uris", {{{"uri", "http://h/" + gid}}}}}})}});
      }
      return testing::Reply::Ok(reply.dump(), {"Content-Type: application/json"});
    });
  }
  void Set(const std::string& gid, const std::string& status) {
    std::lock_guard lock(mutex);
    tasks[gid] = status;
  }
  std::mutex mutex;
  std::map<std::string, std::string> tasks;
  bool silent = false;
  testing::RecordingServer server;
};

TEST(SessionKeeper, WritesEachChangeOfTheUnfinishedSetAtMostOnceASecond) {
  FakeLists aria2;
  EngineState state{.rpc_port = std::to_string(aria2.server.Port())};
  testing::LoggingDesktop desktop(testing::MakeTempDir("korvath-keeper-log") / "events.jsonl");
  const fs::path dir = testing::MakeTempDir("korvath-keeper");
  const std::string record = (dir / "korvath" / "session.json").string();
  auto recorded = [&] {
    std::map<std::string, std::string> states;
    for (const SessionTask& task :
         ParseSessionRecord(testing::ReadFile(record)).value_or(ParsedSessionRecord{}).tasks) {
      states[std::string(task.out)] = std::string(task.state);
    }
    return states;
  };
  SessionKeeper keeper(record, "/");

  aria2.Set("aaaa", "active");
  aria2.Set("done", "complete");
  EXPECT_TRUE(keeper.Look(desktop, state, 10'000));
  EXPECT_EQ(recorded(), (std::map<std::string, std::string>{{"aaaa", "active"}}));

  // Paused and a new task, but within the second: caught by the next look.
  aria2.Set("aaaa", "paused");
  aria2.Set("bbbb", "waiting");
  EXPECT_FALSE(keeper.Look(desktop, state, 10'999));
  EXPECT_EQ(recorded(), (std::map<std::string, std::string>{{"aaaa", "active"}}));
  EXPECT_TRUE(keeper.Look(desktop, state, 11'000));
  EXPECT_EQ(recorded(), (std::map<std::string, std::string>{{"aaaa", "paused"}, {"bbbb", "waiting"}}));

  // Nothing changed: nothing written.
  const auto modified = fs::last_write_time(record);
  EXPECT_FALSE(keeper.Look(desktop, state, 13'000));
  EXPECT_EQ(fs::last_write_time(record), modified);

  // Failed and finished tasks: the finished one leaves the record.
  aria2.Set("aaaa", "error");
  aria2.Set("bbbb", "complete");
  EXPECT_TRUE(keeper.Look(desktop, state, 14'000));
  EXPECT_EQ(recorded(), (std::map<std::string, std::string>{{"aaaa", "error"}}));

  // aria2 silent (killed): the record stays as it was; told once.
  aria2.silent = true;
  EXPECT_FALSE(keeper.Look(desktop, state, 16'000));
  EXPECT_FALSE(keeper.Look(desktop, state, 17'000));
  EXPECT_EQ(recorded(), (std::map<std::string, std::string>{{"aaaa", "error"}}));
  EXPECT_EQ(desktop.Events("session_not_saved").size(), 1u);
  EXPECT_EQ(desktop.Events("session_saved").size(), 3u);
  EXPECT_EQ(desktop.Events("session_saved").back()["reason"], "change");

  // A new keeper (the next start) takes what is on disk as written.
  aria2.silent = false;
  SessionKeeper next(record, "/");
  EXPECT_FALSE(next.Look(desktop, state, 0));
  fs::remove_all(dir);
}

// A keeper over FakeLists, with a folder of its own for the record.
class KeeperOverFakeLists : public ::testing::Test {
 protected:
  ~KeeperOverFakeLists() override { fs::remove_all(dir); }
  FakeLists aria2;
  EngineState state{.rpc_port = std::to_string(aria2.server.Port())};
  testing::LoggingDesktop desktop{testing::MakeTempDir("korvath-keeper-log") / "events.jsonl"};
  const fs::path dir = testing::MakeTempDir("korvath-keeper");
};

// aria2 may end a moment after it took a task, before any look saw it; and a
// look whose lists were asked for before the task existed must not drop it.
TEST_F(KeeperOverFakeLists, AHandedOverTaskIsWrittenAtOnceAndKeptUntilALaterLookSaysOtherwise) {
  const std::string record = (dir / "session.json").string();
  auto recorded = [&] {
    std::map<std::string, std::string> states;
    for (const SessionTask& task :
         ParseSessionRecord(testing::ReadFile(record)).value_or(ParsedSessionRecord{}).tasks)
      states[std::string(task.out)] = std::string(task.state);
    return states;
  };
  SessionKeeper keeper(record, "/");
  aria2.Set("aaaa", "active");
  const SessionTask clicked{.uris = {"http://h/new"}, .dir = "/d", .out = "new", .state = "waiting"};
  bool handed_over = false;
  desktop.on_aside = [&] {
    if (handed_over) return;
    handed_over = true;
    // Written at once, although a look began this very second.
    EXPECT_TRUE(keeper.Record(desktop, clicked, 10'000));
    EXPECT_EQ(recorded(), (std::map<std::string, std::string>{{"new", "waiting"}}));
  };
  EXPECT_TRUE(keeper.Look(desktop, state, 10'000));
  ASSERT_TRUE(handed_over);
  EXPECT_EQ(recorded(), (std::map<std::string, std::string>{{"aaaa", "active"}, {"new", "waiting"}}));

  aria2.Set("new", "active");
  EXPECT_TRUE(keeper.Look(desktop, state, 11'000));
  EXPECT_EQ(recorded(), (std::map<std::string, std::string>{{"aaaa", "active"}, {"new", "active"}}));
  // Told complete: marked by the gid aria2 gave, before any look; within a
  // second of the last write, at the next second.
  EXPECT_FALSE(keeper.MarkComplete(desktop, "new", 11'100));
  EXPECT_FALSE(keeper.MarkComplete(desktop, "unknown", 11'200));
  EXPECT_FALSE(keeper.WritePending(desktop, 11'900));
  EXPECT_TRUE(keeper.WritePending(desktop, 12'000));
  EXPECT_EQ(recorded(), (std::map<std::string, std::string>{{"aaaa", "active"}, {"new", "complete"}}));
  // Removed in the manager: a look after the hand-over is the authority.
  aria2.tasks.erase("new");
  EXPECT_TRUE(keeper.Look(desktop, state, 13'000));
  EXPECT_EQ(recorded(), (std::map<std::string, std::string>{{"aaaa", "active"}}));
}

TEST_F(KeeperOverFakeLists, ATaskAria2RefusedAtStartUpIsWrittenWithItsReasonUntilItIsAddedAgain) {
  const std::string record = (dir / "session.json").string();
  auto recorded = [&] {
    return ParseSessionRecord(testing::ReadFile(record)).value_or(ParsedSessionRecord{}).tasks;
  };
  SessionKeeper keeper(record, "/",
                       {{.uris = {"http://"},
                         .dir = "/d",
                         .out = "held",
                         .state = "paused",
                         .refused = "No URI to download."}});

  aria2.Set("aaaa", "active");
  EXPECT_TRUE(keeper.Look(desktop, state, 10'000));
  auto tasks = recorded();
  ASSERT_EQ(tasks.size(), 2u);
  EXPECT_EQ(tasks[0].out, "aaaa");
  EXPECT_EQ(tasks[1].out, "held");
  EXPECT_EQ(tasks[1].refused, "No URI to download.");
  EXPECT_EQ(keeper.held().size(), 1u);

  // The user adds the same file again: aria2's task replaces the held one,
  // which stays gone once that task finishes.
  aria2.Set("held", "paused");
  EXPECT_TRUE(keeper.Look(desktop, state, 11'000));
  tasks = recorded();
  ASSERT_EQ(tasks.size(), 2u);
  EXPECT_EQ(tasks[1].out, "held");
  EXPECT_EQ(tasks[1].refused, "");
  EXPECT_TRUE(keeper.held().empty());
  aria2.Set("held", "complete");
  EXPECT_TRUE(keeper.Look(desktop, state, 12'000));
  ASSERT_EQ(recorded().size(), 1u);
}

TEST_F(KeeperOverFakeLists, ARecordThatCannotBeWrittenIsToldOnceWithItsFolder) {
  // A file where the state folder should be: no write gets through, not
  // even as root.
  const fs::path folder = dir / "korvath";
  testing::WriteFile(folder, "");
  const std::string record = (folder / "session.json").string();
  SessionKeeper keeper(record, "/");

  std::int64_t now = 10'000;
  for (const char* status : {"active", "paused", "error"}) {
    aria2.Set("aaaa", status);
    EXPECT_FALSE(keeper.Look(desktop, state, now += 1000));
  }
  ASSERT_EQ(desktop.boxes.size(), 1u);
  EXPECT_EQ(desktop.boxes[0].flags, kMbIconError);
  EXPECT_EQ(GbkToUtf8(desktop.boxes[0].text),
            reinterpret_cast<const char*>(u8"无法保存下载记录：") + folder.string() +
                reinterpret_cast<const char*>(
                    u8"\n未完成的下载在下次启动时将无法恢复。请腾出这个文件夹所在磁盘的空间，"
                    u8"或检查这个文件夹的权限，让当前用户可以写入；本程序会自动再试。"));
  EXPECT_EQ(desktop.Events("session_not_saved").size(), 1u);

  // Once the folder can be written, the next look writes.
  fs::remove(folder);
  EXPECT_TRUE(keeper.Look(desktop, state, now += 1000));
  EXPECT_TRUE(fs::exists(record));
  EXPECT_EQ(desktop.boxes.size(), 1u);
}

// Looks at tasks as a task store holds them: nothing is asked of aria2
// (the fixture's lists stay empty), so only the given tasks count.
Aria2Task Held(const std::string& name, const char* status) {
  return {.gid = Text(name),
          .status = status,
          .dir = "/d",
          .path = Text("/d/" + name),
          .uris = {Text("http://h/" + name)}};
}

TEST_F(KeeperOverFakeLists, AHandedOverTaskStaysUntilAListingAskedAfterItLacksIt) {
  const std::string record = (dir / "session.json").string();
  auto recorded = [&] {
    std::vector<std::string> outs;
    for (const SessionTask& task :
         ParseSessionRecord(testing::ReadFile(record)).value_or(ParsedSessionRecord{}).tasks)
      outs.push_back(std::string(task.out));
    return outs;
  };
  SessionKeeper keeper(record, "/");
  EXPECT_TRUE(keeper.Record(
      desktop, {.uris = {"http://h/new"}, .dir = "/d", .out = "new", .state = "waiting"}, 10'000));
  // Listed before the hand-over: the task is not in the lists yet, and stays.
  EXPECT_TRUE(keeper.Look(desktop, state, {Held("old", "active")}, 9'900, 11'000));
  EXPECT_EQ(recorded(), (std::vector<std::string>{"old", "new"}));
  // Listed after it without the task: removed meanwhile.
  EXPECT_TRUE(keeper.Look(desktop, state, {Held("old", "active")}, 10'100, 12'000));
  EXPECT_EQ(recorded(), (std::vector<std::string>{"old"}));
  EXPECT_TRUE(aria2.server.Requests().empty()) << "the tasks were given, not asked for";
}

// A disk that hangs holds the window's thread no longer than the limit; the
// write that hangs is reported like a failed one, and no second write runs
// beside it.
TEST_F(KeeperOverFakeLists, AWriteThatHangsIsReportedOnceAndTheNextWaitsForIt) {
  const std::string record = (dir / "session.json").string();
  SessionKeeper keeper(record, "/");
  std::mutex mutex;
  std::condition_variable released;
  bool release = false;
  std::atomic<int> writes{0};
  keeper.SetWriter(
      [&](const std::string& path, const std::string& text) {
        ++writes;
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return release; });
        return WriteFileAtomically(path, text);
      },
      100);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(keeper.Look(desktop, state, {Held("a", "active")}, 0, 10'000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_TRUE(keeper.failing());
  EXPECT_FALSE(keeper.Look(desktop, state, {Held("a", "paused")}, 0, 11'000));
  EXPECT_FALSE(keeper.WritePending(desktop, 12'000));
  EXPECT_EQ(writes, 1);
  ASSERT_EQ(desktop.Events("session_not_saved").size(), 1u);
  EXPECT_EQ(desktop.Events("session_not_saved")[0]["reason"], "write_timeout");
  ASSERT_EQ(desktop.boxes.size(), 1u);
  EXPECT_EQ(desktop.boxes[0].flags, kMbIconError);
  EXPECT_TRUE(
      GbkToUtf8(desktop.boxes[0].text).starts_with(reinterpret_cast<const char*>(u8"保存下载记录超时：")));
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  released.notify_all();
  for (int i = 0; i < 200 && keeper.WriteUnderway(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  // The newest state is written once the hung write has ended.
  EXPECT_TRUE(keeper.WritePending(desktop, 13'000));
  EXPECT_EQ(writes, 2);
  const auto tasks = ParseSessionRecord(testing::ReadFile(record)).value_or(ParsedSessionRecord{}).tasks;
  ASSERT_EQ(tasks.size(), 1u);
  EXPECT_EQ(tasks[0].state, "paused");
  EXPECT_FALSE(keeper.failing());
}

class KilledMidDownload : public testing::Aria2Test {
 protected:
  ::testing::AssertionResult StartEngine() {
    if (StartAria2(*desktop, state, {.cookie = "Zorbit", .program_dir = program_dir.string()}) &&
        SetGlobalOptions(*desktop, state)) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << desktop->BoxTexts();
  }
  json Status(const std::string& gid) {
    return testing::Aria2Call(state, "aria2.tellStatus", {gid})["result"];
  }
};

TEST_F(KilledMidDownload, EverythingComesBackAndFinishesByteIdenticalFromTheBytesOnDisk) {
  constexpr size_t kSize = 6u << 20;
  testing::ThrottledServer server(kSize, 2u << 20);
  const std::string record = (log_dir / "state" / "session.json").string();
  ASSERT_TRUE(StartEngine());
  SessionKeeper keeper(record, work_dir.string());
  ASSERT_TRUE(CreateDownloadTask(
      *desktop, state, {.name = "big.bin", .link = Text(server.Url("/big")), .dir = "ZorbitDravenet"}));
  const std::string gid = desktop->Events("task_created").back()["gid"];
  // The shell looks once a second; so does this loop.
  std::int64_t now = 0;
  ASSERT_TRUE(testing::WaitFor(
      [&] {
        keeper.Look(*desktop, state, now += 1000);
        return std::stoull(Status(gid).value("completedLength", "0")) >= kSize / 3;
      },
      std::chrono::seconds(20)));
  ASSERT_EQ(::kill(state.aria2_pid, SIGKILL), 0);
  testing::EndProcess(state.aria2_pid);
  state.aria2_pid = 0;
  const size_t served_before = server.Served();
  const size_t requests_before = server.Ranges().size();
  auto parsed = ParseSessionRecord(testing::ReadFile(record));
  ASSERT_TRUE(parsed && parsed->tasks.size() == 1u) << testing::ReadFile(record);
  EXPECT_EQ(parsed->tasks[0].out, "big.bin");
  EXPECT_EQ(parsed->tasks[0].state, "active");

  ASSERT_TRUE(testing::WaitFor([] { return !testing::PortListening(6800); }, std::chrono::seconds(10)));
  ASSERT_TRUE(StartEngine());
  EXPECT_EQ(RestoreSessionRecord(*desktop, state, record).restored, 1);
  // It was running when aria2 died, so it runs again by itself.
  json listed = testing::Aria2Call(state, "aria2.tellActive", json::array())["result"];
  const json waiting = testing::Aria2Call(state, "aria2.tellWaiting", {0, 10});
  for (const json& t : waiting["result"]) listed.push_back(t);
  ASSERT_EQ(listed.size(), 1u);
  const std::string again = listed[0]["gid"];
  ASSERT_TRUE(
      testing::WaitFor([&] { return Status(again)["status"] == "complete"; }, std::chrono::seconds(20)))
      << Status(again).dump();
  EXPECT_TRUE(testing::ReadFile(work_dir / "ZorbitDravenet" / "big.bin") == server.Big());
  EXPECT_FALSE(fs::exists(work_dir / "ZorbitDravenet" / "big.bin.1"));
  auto ranges = server.Ranges();
  ASSERT_GT(ranges.size(), requests_before);
  for (size_t i = requests_before; i < ranges.size(); ++i) {
    // aria2 asks for whole pieces from 0 when it starts afresh.
    if (ranges[i].starts_with("bytes=")) {
      EXPECT_NE(std::stoull(ranges[i].substr(6)), 0u) << ranges[i];
    }
  }
  const size_t fetched_after = server.Served() - served_before;
  std::cout << "[ figures ] " << kSize << " bytes, " << served_before << " served before the kill, "
            << fetched_after << " fetched after it\n";
  // At most the last second before the kill is fetched again.
  EXPECT_LT(fetched_after, kSize - served_before / 2);
}

}  // namespace
}  // namespace korvath
