// Unfinished downloads kept across a restart: what the record holds, that the
// real aria2 continues a re-added task from its partial file, and that a bad
// or failed record never costs the previous one.
#include "engine/session-record.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <fstream>
#include <functional>
#include <iostream>

#include "engine/aria2-bootstrap.h"
#include "engine/download-task.h"
#include "engine/engine-fixture.h"
#include "engine/processes.h"
#include "engine/rpc-client.h"
#include "engine/session-keeper.h"
#include "engine/session-metadata.h"
#include "engine/session-restore-report.h"
#include "support/recording-server.h"
#include "support/throttled-server.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using testing::ThrottledServer;

class SessionRecordTest : public testing::Aria2Test {
 protected:
  void SetUp() override {
    testing::Aria2Test::SetUp();
    record = (log_dir / "state" / "korvath" / "session.json").string();
  }
  ::testing::AssertionResult StartEngine() {
    if (StartAria2(*desktop, state, {.cookie = "Zorbit", .program_dir = program_dir.string()}) &&
        SetGlobalOptions(*desktop, state)) {
      return ::testing::AssertionSuccess();
    }
    auto failure = ::testing::AssertionFailure();
    for (const auto& box : desktop->boxes) failure << GbkToUtf8(box.text) << "\n";
    return failure;
  }
  void StopEngine() {
    ASSERT_TRUE(TerminateProcessById(state.aria2_pid));
    testing::EndProcess(state.aria2_pid);
    state.aria2_pid = 0;
    testing::WaitFor([] { return !testing::PortListening(6800); }, std::chrono::seconds(10));
  }
  std::string Create(const Text& name, const std::string& url) {
    if (!CreateDownloadTask(*desktop, state, {.name = name, .link = Text(url), .dir = "ZorbitDravenet"}))
      return {};
    return desktop->Events("task_created").back()["gid"].get<std::string>();
  }
  json Status(const std::string& gid) {
    return testing::Aria2Call(state, "aria2.tellStatus", {gid})["result"];
  }

  std::string record;
};

TEST_F(SessionRecordTest, UnfinishedDownloadsComeBackPausedAndFinishByteIdentical) {
  constexpr size_t kSize = 50u << 20;
  ThrottledServer server(kSize, 12u << 20);
  ASSERT_TRUE(StartEngine());
  const Text big_name = Gbk(u8"大文件 \"一\".bin");
  // The finished and failed tasks settle before the big one starts: the server's
  // rate is shared, and the big file must still be partial when it is paused.
  std::string done = Create("done.bin", server.Url("/small"));
  std::string broken = Create("broken.bin", server.Url("/missing"));
  std::string removed = Create("removed.bin", server.Url("/big?removed"));
  ASSERT_FALSE(done.empty() || broken.empty() || removed.empty());
  ASSERT_FALSE(testing::Aria2Call(state, "aria2.forceRemove", {removed})["result"].is_null());
  ASSERT_TRUE(
      testing::WaitFor([&] { return Status(done)["status"] == "complete"; }, std::chrono::seconds(10)));
  ASSERT_TRUE(
      testing::WaitFor([&] { return Status(broken)["status"] == "error"; }, std::chrono::seconds(10)));
  std::string big = Create(big_name, server.Url("/big"));
  ASSERT_FALSE(big.empty());
  ASSERT_TRUE(testing::WaitFor(
      [&] { return std::stoull(Status(big).value("completedLength", "0")) >= kSize * 2 / 5; },
      std::chrono::seconds(20)));

  // Shut-down order: list, pause everything, record, end aria2.
  std::optional<std::vector<SessionTask>> before = ListUnfinishedTasks(*desktop, state, work_dir.string());
  ASSERT_TRUE(before.has_value());
  PauseAll(*desktop, state);
  SessionSaveResult saved =
      SaveSessionRecord(*desktop, state, record, work_dir.string(), {.keep_finished = 5, .before = before});
  size_t had = std::stoull(Status(big).value("completedLength", "0"));
  StopEngine();
  ASSERT_TRUE(saved.saved);
  EXPECT_EQ(saved.count, 2);
  ASSERT_EQ(desktop->Events("session_saved").size(), 1u);
  EXPECT_EQ(desktop->Events("session_saved")[0]["count"], 2);

  const std::string text = testing::ReadFile(record);
  EXPECT_EQ(text.find(state.rpc_secret), std::string::npos);
  EXPECT_EQ(text.find(state.cookie_header), std::string::npos) << text;
  EXPECT_EQ(text.find("header"), std::string::npos) << text;
  json written = json::parse(text);
  ASSERT_EQ(written["tasks"].size(), 2u);
  const std::string dir = (work_dir / "ZorbitDravenet").string();
  EXPECT_EQ(written["tasks"][0]["uris"], json::array({server.Url("/big")}));
  EXPECT_EQ(written["tasks"][0]["out"], reinterpret_cast<const char*>(u8"大文件 \"一\".bin"));
  EXPECT_EQ(written["tasks"][0]["dir"], dir);
  // The state before our own pause: it runs again at the next start.
  EXPECT_EQ(written["tasks"][0]["state"], "active");
  EXPECT_EQ(written["tasks"][0]["length"], kSize);
  EXPECT_EQ(written["tasks"][1]["uris"], json::array({server.Url("/missing")}));
  EXPECT_EQ(written["tasks"][1]["state"], "error");

  // The finished one is kept to be listed, not to be fetched again.
  ASSERT_EQ(written["finished"].size(), 1u);
  EXPECT_EQ(written["finished"][0]["out"], "done.bin");
  EXPECT_EQ(written["finished"][0]["state"], "complete");

  // Next run: a new secret, the running one runs again with this run's
  // cookie, the failed one stays paused.
  const size_t served_before = server.Served();
  const size_t requests_before = server.Ranges().size();
  const std::string old_secret = state.rpc_secret;
  ASSERT_TRUE(StartEngine());
  ASSERT_NE(state.rpc_secret, old_secret);
  SessionRestoreResult restored = RestoreSessionRecord(*desktop, state, record);
  EXPECT_EQ(restored.restored, 2);
  EXPECT_EQ(restored.failed, 0);
  EXPECT_TRUE(desktop->boxes.empty());
  ASSERT_EQ(restored.kept_finished.size(), 1u);
  json active = testing::Aria2Call(state, "aria2.tellActive")["result"];
  json waiting = testing::Aria2Call(state, "aria2.tellWaiting", {0, 10})["result"];
  ASSERT_EQ(waiting.size(), 1u);
  EXPECT_EQ(waiting[0]["status"], "paused");
  EXPECT_EQ(waiting[0]["files"][0]["uris"][0]["uri"], server.Url("/missing"));
  ASSERT_EQ(active.size(), 1u);
  waiting = active;
  const std::string big_again = waiting[0]["gid"];
  // What the page shows before aria2 has read the control file.
  ASSERT_EQ(restored.sizes.size(), 1u);
  EXPECT_EQ(std::string(restored.sizes[0].first), big_again);
  EXPECT_EQ(restored.sizes[0].second.total, static_cast<std::int64_t>(kSize));
  EXPECT_GT(restored.sizes[0].second.completed, 0);
  EXPECT_LE(restored.sizes[0].second.completed, static_cast<std::int64_t>(had));
  EXPECT_EQ(waiting[0]["files"][0]["path"], dir + "/" + reinterpret_cast<const char*>(u8"大文件 \"一\".bin"));

  ASSERT_TRUE(
      testing::WaitFor([&] { return Status(big_again)["status"] == "complete"; }, std::chrono::seconds(30)))
      << Status(big_again).dump();
  EXPECT_TRUE(testing::ReadFile(waiting[0]["files"][0]["path"].get<std::string>()) == server.Big());

  auto ranges = server.Ranges();
  auto cookies = server.Cookies();
  ASSERT_GT(ranges.size(), requests_before);
  for (size_t i = requests_before; i < ranges.size(); ++i) {
    EXPECT_EQ(cookies[i], "Zorbit");
    // aria2 asks for whole pieces from 0 when it starts afresh.
    if (ranges[i].starts_with("bytes=")) {
      EXPECT_NE(std::stoull(ranges[i].substr(6)), 0u) << ranges[i];
    }
  }
  const size_t fetched_after = server.Served() - served_before;
  const size_t fetched_again = fetched_after - std::min(fetched_after, kSize - had);
  std::cout << "[ figures ] file " << kSize << " bytes, " << had << " done before the restart, "
            << fetched_after << " fetched after it, " << fetched_again << " of them fetched again\n";
  EXPECT_LT(fetched_after, kSize - had / 2);
}

TEST_F(SessionRecordTest, EachDamagedRecordIsKeptUnderANameOfItsOwnAndTold) {
  // No aria2 here: a record is judged before anything is sent.
  state.rpc_port = std::to_string(testing::UnusedPort());
  const std::vector<std::string> damaged = {
      "",
      "{\"version\":1,\"tasks\":[{\"uris\":[\"http://x/\"],\"dir\":\"/d\"",  // cut short by a crash
      "{\"version\":2,\"tasks\":[]}",
      "\xff\xfe garbage",
  };
  fs::create_directories(fs::path(record).parent_path());
  SessionRestoreResult result;
  for (size_t i = 0; i < damaged.size(); ++i) {
    SCOPED_TRACE(damaged[i]);
    testing::WriteFile(record, damaged[i]);
    result = RestoreSessionRecord(*desktop, state, record);
    EXPECT_TRUE(result.bad_record);
    EXPECT_EQ(result.restored + result.failed, 0);
    EXPECT_FALSE(fs::exists(record));
    EXPECT_EQ(result.kept_aside, record + (i == 0 ? ".bad" : ".bad-" + std::to_string(i + 1)));
  }
  // Every damaged record is still there as it was.
  for (size_t i = 0; i < damaged.size(); ++i) {
    EXPECT_EQ(testing::ReadFile(record + (i == 0 ? ".bad" : ".bad-" + std::to_string(i + 1))), damaged[i]);
  }
  EXPECT_EQ(desktop->Events("session_record_bad").size(), damaged.size());
  EXPECT_TRUE(desktop->boxes.empty());
  EXPECT_TRUE(desktop->Events("rpc").empty());

  EXPECT_EQ(TellRestoreOutcome(*desktop, result), RefusedChoice::kKeep);
  ASSERT_EQ(desktop->boxes.size(), 1u);
  const std::string told = GbkToUtf8(desktop->boxes[0].text);
  EXPECT_TRUE(told.starts_with(reinterpret_cast<const char*>(u8"下载记录已损坏"))) << told;
  EXPECT_NE(told.find(record + ".bad-4"), std::string::npos) << told;
}

TEST_F(SessionRecordTest, MalformedEntriesCostOnlyThemselvesAndTheRecordIsKeptAsItWas) {
  testing::RecordingServer files;  // asked for nothing: the tasks come back paused
  ASSERT_TRUE(StartEngine());
  const std::string dir = (work_dir / "ZorbitDravenet").string();
  auto entry = [&](const std::string& out) {
    return json{{"uris", {files.Url("/" + out)}}, {"dir", dir}, {"out", out}, {"state", "paused"}};
  };
  json no_uris = entry("c.bin");
  no_uris["uris"] = json::array();
  json number_dir = entry("d.bin");
  number_dir["dir"] = 7;
  const std::string text =
      json{{"version", 1}, {"tasks", {entry("a.bin"), no_uris, entry("b.bin"), number_dir}}}.dump();
  fs::create_directories(fs::path(record).parent_path());
  testing::WriteFile(record, text);
  testing::WriteFile(record + ".bad", "an earlier damaged record");

  SessionRestoreResult result = RestoreSessionRecord(*desktop, state, record);
  EXPECT_FALSE(result.bad_record);
  EXPECT_EQ(result.restored, 2);
  EXPECT_EQ(result.failed, 0);
  EXPECT_EQ(result.bad_entries, 2);
  EXPECT_EQ(result.kept_aside, record + ".bad-2");
  EXPECT_EQ(testing::ReadFile(record + ".bad-2"), text);
  EXPECT_EQ(testing::ReadFile(record + ".bad"), "an earlier damaged record");
  json waiting = testing::Aria2Call(state, "aria2.tellWaiting", {0, 10})["result"];
  ASSERT_EQ(waiting.size(), 2u);
  EXPECT_EQ(waiting[0]["files"][0]["path"], dir + "/a.bin");
  EXPECT_EQ(waiting[1]["files"][0]["path"], dir + "/b.bin");

  TellRestoreOutcome(*desktop, result);
  ASSERT_EQ(desktop->boxes.size(), 1u);
  const std::string told = GbkToUtf8(desktop->boxes[0].text);
  EXPECT_NE(told.find(reinterpret_cast<const char*>(u8"下载记录里有 2 条已损坏")), std::string::npos) << told;
  EXPECT_NE(told.find(record + ".bad-2"), std::string::npos) << told;

  // The next write holds the good entries only; the kept copy stays whole.
  SessionKeeper keeper(record, work_dir.string());
  EXPECT_TRUE(keeper.Look(*desktop, state, 0));
  auto again = ParseSessionRecord(testing::ReadFile(record));
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->bad_entries, 0);
  EXPECT_EQ(again->tasks.size(), 2u);
  EXPECT_EQ(testing::ReadFile(record + ".bad-2"), text);
  EXPECT_EQ(files.Count(), 0u);
}

// With "continue" on, aria2 takes a preallocated file without its control
// file as finished, and trusts a control file over a file that was cut.
TEST_F(SessionRecordTest, APartialFileThatLostItsControlFileOrItsBytesIsSetAsideAndFetchedFromByteZero) {
  constexpr size_t kSize = 6u << 20;
  const fs::path file = work_dir / "ZorbitDravenet" / "big.bin";
  const fs::path control = file.string() + ".aria2";
  struct Case {
    const char* what;
    std::function<void(size_t had)> damage;
  };
  const Case cases[] = {
      {"control file deleted", [&](size_t) { fs::remove(control); }},
      {"partial file cut", [&](size_t had) { fs::resize_file(file, had / 2); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ThrottledServer server(kSize, 2u << 20);
    ASSERT_TRUE(StartEngine());
    const std::string gid = Create("big.bin", server.Url("/big"));
    ASSERT_FALSE(gid.empty());
    ASSERT_TRUE(
        testing::WaitFor([&] { return std::stoull(Status(gid).value("completedLength", "0")) >= kSize / 3; },
                         std::chrono::seconds(20)));
    PauseAll(*desktop, state);
    ASSERT_TRUE(
        testing::WaitFor([&] { return Status(gid)["status"] == "paused"; }, std::chrono::seconds(10)));
    const size_t had = std::stoull(Status(gid).value("completedLength", "0"));
    ASSERT_TRUE(SaveSessionRecord(*desktop, state, record, work_dir.string()).saved);
    StopEngine();
    ASSERT_TRUE(fs::exists(control));
    c.damage(had);
    const std::string old = testing::ReadFile(file);

    const size_t requests_before = server.Ranges().size();
    const size_t served_before = server.Served();
    ASSERT_TRUE(StartEngine());
    SessionRestoreResult result = RestoreSessionRecord(*desktop, state, record);
    EXPECT_EQ(result.restored, 1);
    ASSERT_EQ(result.set_aside.size(), 1u);
    EXPECT_EQ(result.set_aside[0].path, file.string());
    const std::string kept = (work_dir / "ZorbitDravenet" / "big (2).bin").string();
    EXPECT_EQ(result.set_aside[0].kept_as, kept);
    EXPECT_TRUE(testing::ReadFile(kept) == old);
    EXPECT_FALSE(fs::exists(control));

    json waiting = testing::Aria2Call(state, "aria2.tellWaiting", {0, 10})["result"];
    ASSERT_EQ(waiting.size(), 1u);
    const std::string again = waiting[0]["gid"];
    testing::Aria2Call(state, "aria2.unpauseAll");
    ASSERT_TRUE(
        testing::WaitFor([&] { return Status(again)["status"] == "complete"; }, std::chrono::seconds(20)))
        << Status(again).dump();
    EXPECT_TRUE(testing::ReadFile(file) == server.Big());
    EXPECT_TRUE(testing::ReadFile(kept) == old);
    auto ranges = server.Ranges();
    ASSERT_GT(ranges.size(), requests_before);
    EXPECT_TRUE(ranges[requests_before].empty() || ranges[requests_before].starts_with("bytes=0-"))
        << ranges[requests_before];
    EXPECT_GE(server.Served() - served_before, kSize);

    TellRestoreOutcome(*desktop, result);
    ASSERT_FALSE(desktop->boxes.empty());
    const std::string told = GbkToUtf8(desktop->boxes.back().text);
    EXPECT_NE(told.find(file.string()), std::string::npos) << told;
    EXPECT_NE(told.find(kept), std::string::npos) << told;
    StopEngine();
    fs::remove_all(work_dir / "ZorbitDravenet");
    fs::remove(record);
  }
}

// aria2 told a download complete and ended a moment later, before any look:
// its file is finished, not a partial file to set aside and fetch again. A
// file of the same whole length that aria2 never told complete may be a
// preallocated partial file that lost its control file: it is set aside.
TEST_F(SessionRecordTest, AFileAria2ToldCompleteBeforeItEndedIsFinishedAndNotFetchedAgain) {
  const fs::path folder = work_dir / "ZorbitDravenet";
  fs::create_directories(folder);
  const std::string whole(70000, 'w');
  std::ofstream(folder / "done.bin", std::ios::binary) << whole;
  std::ofstream(folder / "prealloc.bin", std::ios::binary) << std::string(70000, '\0');
  const Text dir = Text(folder.string());
  const std::vector<SessionTask> tasks = {{.uris = {"http://127.0.0.1:9/done"},
                                           .dir = dir,
                                           .out = "done.bin",
                                           .state = "complete",
                                           .length = 70000},
                                          {.uris = {"http://127.0.0.1:9/p"},
                                           .dir = dir,
                                           .out = "prealloc.bin",
                                           .state = "paused",
                                           .length = 70000}};
  fs::create_directories(fs::path(record).parent_path());
  std::ofstream(record) << SessionRecordText(tasks);

  ASSERT_TRUE(StartEngine());
  const SessionRestoreResult result = RestoreSessionRecord(*desktop, state, record);
  ASSERT_EQ(result.finished.size(), 1u);
  EXPECT_EQ(result.finished[0].out, "done.bin");
  EXPECT_EQ(result.restored, 1);
  ASSERT_EQ(result.set_aside.size(), 1u);
  EXPECT_EQ(result.set_aside[0].path, (folder / "prealloc.bin").string());
  EXPECT_TRUE(testing::ReadFile(folder / "done.bin") == whole);
  const json waiting = testing::Aria2Call(state, "aria2.tellWaiting", {0, 10})["result"];
  ASSERT_EQ(waiting.size(), 1u);
  EXPECT_EQ(waiting[0]["files"][0]["path"], (folder / "prealloc.bin").string());
  StopEngine();
}

TEST_F(SessionRecordTest, AFailedSaveKeepsThePreviousRecord) {
  const std::string previous =
      SessionRecordText({{.uris = {"http://127.0.0.1/a"}, .dir = "/d", .out = "a", .state = "paused"}});
  ASSERT_TRUE(WriteFileAtomically(record, previous));
  EXPECT_EQ(fs::status(fs::path(record).parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);

  // aria2 gone: nothing is known, so nothing is written.
  state.rpc_port = std::to_string(testing::UnusedPort());
  EXPECT_FALSE(SaveSessionRecord(*desktop, state, record, work_dir.string()).saved);
  EXPECT_EQ(testing::ReadFile(record), previous);
  ASSERT_EQ(desktop->Events("session_not_saved").size(), 1u);

  // The disk refuses the new record part-way (file size limit as a full disk).
  struct rlimit old_limit {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old_limit;
  small.rlim_cur = 100;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  bool written = WriteFileAtomically(record, std::string(4096, 'x'));
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  ::signal(SIGXFSZ, old_handler);
  EXPECT_FALSE(written);
  EXPECT_EQ(testing::ReadFile(record), previous);
  size_t files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(fs::path(record).parent_path())) ++files;
  EXPECT_EQ(files, 1u) << "the temporary file was left behind";

  ASSERT_TRUE(ParseSessionRecord(previous).has_value());
  EXPECT_EQ(ParseSessionRecord(previous)->tasks.at(0).uris, std::vector<Text>{"http://127.0.0.1/a"});
}

// pauseAll returns before every task has stopped: a task read as active may
// be read again as paused from the waiting list a moment later.
TEST(SaveSessionRecord, ATaskListedActiveAndThenPausedIsRecordedOnce) {
  testing::RecordingServer aria2;
  aria2.SetResponder([](const testing::RecordedRequest& r) {
    auto task = [](const char* gid, const char* status) {
      return json{{"gid", gid},
                  {"status", status},
                  {"dir", "/d"},
                  {"files",
                   json::array({{{"path", std::string("/d/") + gid}, {"uris", {{{"uri", "http://h/x"}}}}}})}};
    };
    json reply = {{"jsonrpc", "2.0"}, {"id", 1}, {"result", json::array()}};
    const std::string method = json::parse(r.body, nullptr, false).value("method", "");
    if (method == "aria2.tellActive") reply["result"] = {task("aaaa", "active")};
    if (method == "aria2.tellWaiting") reply["result"] = {task("aaaa", "paused"), task("bbbb", "paused")};
    return testing::Reply::Ok(reply.dump(), {"Content-Type: application/json"});
  });
  EngineState state{.rpc_port = std::to_string(aria2.Port())};
  testing::RecordingDesktop desktop;
  const fs::path dir = testing::MakeTempDir("korvath-record");
  const std::string record = (dir / "session.json").string();

  SessionSaveResult saved = SaveSessionRecord(desktop, state, record, "/");
  EXPECT_TRUE(saved.saved);
  EXPECT_EQ(saved.count, 2);
  auto parsed = ParseSessionRecord(testing::ReadFile(record));
  ASSERT_TRUE(parsed.has_value());
  ASSERT_EQ(parsed->tasks.size(), 2u);
  EXPECT_EQ(parsed->tasks[0].out, "aaaa");
  EXPECT_EQ(parsed->tasks[1].out, "bbbb");
  fs::remove_all(dir);
}

TEST(RestoreTaskBody, EveryValueIsEscapedAndTheTaskArrivesPaused) {
  EngineState state{.cookie_header = "Cookie: a=\"b\"", .rpc_port = "6800", .rpc_secret = "s3cr\\et"};
  SessionTask task{.uris = {"http://h/x?\"y\"", "http://mirror/x"},
                   .dir = Gbk(u8"/home/u/下载"),
                   .out = Gbk(u8"../名字\".bin"),
                   .state = "error"};
  json body = json::parse(RestoreTaskBody(state, task), nullptr, false);
  ASSERT_FALSE(body.is_discarded());
  EXPECT_EQ(body["method"], "aria2.addUri");
  EXPECT_EQ(body["params"][0], "token:s3cr\\et");
  EXPECT_EQ(body["params"][1], json::array({"http://h/x?\"y\"", "http://mirror/x"}));
  const json& options = body["params"][2];
  EXPECT_EQ(options["dir"], reinterpret_cast<const char*>(u8"/home/u/下载"));
  EXPECT_EQ(options["out"], reinterpret_cast<const char*>(u8".._名字\".bin"));
  EXPECT_EQ(options["header"], "Cookie: a=\"b\"");
  EXPECT_EQ(options["pause"], "true");
  EXPECT_EQ(options["continue"], "true");
  // A download that never wrote a byte refuses whatever turns up under its
  // name before it starts.
  const json fresh = json::parse(RestoreTaskBody(state, task, {}, /*nothing_on_disk=*/true))["params"][2];
  EXPECT_EQ(fresh["pause"], "true");
  for (const char* option : {"continue", "allow-overwrite", "auto-file-renaming"}) {
    EXPECT_EQ(fresh[option], "false") << option;
  }

  // The record keeps the same values through a write and a read.
  task.refused = "No URI to download.";
  auto back = ParseSessionRecord(SessionRecordText({task}));
  ASSERT_TRUE(back.has_value());
  ASSERT_EQ(back->tasks.size(), 1u);
  EXPECT_EQ(back->tasks[0].uris, task.uris);
  EXPECT_EQ(back->tasks[0].dir, task.dir);
  EXPECT_EQ(back->tasks[0].out, task.out);
  EXPECT_EQ(back->tasks[0].state, task.state);
  EXPECT_EQ(back->tasks[0].refused, task.refused);
}

TEST(SessionRecordPath, FollowsXdgStateHomeAndFallsBackToHome) {
  std::string old_state = std::getenv("XDG_STATE_HOME") ? std::getenv("XDG_STATE_HOME") : "";
  std::string old_home = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("HOME", "/home/u", 1);
  ::setenv("XDG_STATE_HOME", "/x/state", 1);
  EXPECT_EQ(SessionRecordPath(), "/x/state/korvath/session.json");
  // Each remote aria2 has a record of its own, never the local one's.
  const std::string nas = SessionRecordPath("https://nas:6800/jsonrpc");
  EXPECT_TRUE(nas.starts_with("/x/state/korvath/session-") && nas.ends_with(".json")) << nas;
  EXPECT_EQ(nas, SessionRecordPath("https://nas:6800/jsonrpc"));
  EXPECT_NE(nas, SessionRecordPath("https://nas:6801/jsonrpc"));
  ::setenv("XDG_STATE_HOME", "relative/state", 1);  // not absolute: ignored
  EXPECT_EQ(SessionRecordPath(), "/home/u/.local/state/korvath/session.json");
  ::unsetenv("XDG_STATE_HOME");
  EXPECT_EQ(SessionRecordPath(), "/home/u/.local/state/korvath/session.json");
  old_state.empty() ? ::unsetenv("XDG_STATE_HOME") : ::setenv("XDG_STATE_HOME", old_state.c_str(), 1);
  ::setenv("HOME", old_home.c_str(), 1);
}

}  // namespace
}  // namespace korvath

namespace korvath {
namespace {

// A two-file torrent with no tracker; its piece hashes need not match, as
// only what the task is matters here, not its bytes.
std::string TwoFileTorrent() {
  const std::string pieces(20 * 2, '\0');
  return "d4:infod5:filesld6:lengthi16384e4:pathl5:a.bineed6:lengthi16384e4:pathl5:b.bineee"
         "4:name4:data12:piece lengthi16384e6:pieces40:" +
         pieces + "ee";
}

TEST_F(SessionRecordTest, TorrentsAndMagnetsComeBackAsWhatTheyWereWithTheirChosenFiles) {
  ::setenv("XDG_STATE_HOME", (log_dir / "state").c_str(), 1);
  ASSERT_TRUE(StartEngine());
  const std::string dir = (work_dir / "bt").string();
  const std::string magnet = "magnet:?xt=urn:btih:0123456789abcdef0123456789abcdef01234567&dn=x";
  fs::create_directories(dir);
  json added = testing::Aria2Call(
      state, "aria2.addTorrent",
      {Base64(TwoFileTorrent()), json::array(), {{"dir", dir}, {"select-file", "2"}, {"pause", "true"}}});
  ASSERT_TRUE(added["result"].is_string()) << added.dump();
  json magnet_added =
      testing::Aria2Call(state, "aria2.addUri", {json::array({magnet}), {{"dir", dir}, {"pause", "true"}}});
  ASSERT_TRUE(magnet_added["result"].is_string()) << magnet_added.dump();
  const std::string info_hash = Status(added["result"])["infoHash"];

  std::optional<std::vector<SessionTask>> before = ListUnfinishedTasks(*desktop, state, work_dir.string());
  PauseAll(*desktop, state);
  ASSERT_TRUE(SaveSessionRecord(*desktop, state, record, work_dir.string(), {.before = before}).saved);
  // aria2's session setting is as it was.
  EXPECT_EQ(testing::Aria2Call(state, "aria2.getGlobalOption")["result"].value("save-session", ""), "");
  StopEngine();
  // The copy is Korvath's own: the one aria2 kept in the download folder may go.
  fs::remove_all(dir);

  ASSERT_TRUE(StartEngine());
  SessionRestoreResult restored = RestoreSessionRecord(*desktop, state, record);
  EXPECT_EQ(restored.restored, 2) << desktop->RawLog() << testing::ReadFile(record);
  json all = testing::Aria2Call(state, "aria2.tellWaiting", {0, 10})["result"];
  ASSERT_EQ(all.size(), 2u) << all.dump();
  int torrents = 0, magnets = 0;
  for (const json& t : all) {
    ASSERT_TRUE(t.contains("bittorrent")) << t.dump();
    if (t["infoHash"] == info_hash) {
      ++torrents;
      // Only the chosen file.
      EXPECT_EQ(t["status"], "paused");
      EXPECT_EQ(t["dir"], dir);
      ASSERT_EQ(t["files"].size(), 2u);
      EXPECT_EQ(t["files"][0]["selected"], "false");
      EXPECT_EQ(t["files"][1]["selected"], "true");
    } else if (t["infoHash"] == "0123456789abcdef0123456789abcdef01234567") {
      ++magnets;
      EXPECT_EQ(t["status"], "paused");
    }
  }
  EXPECT_EQ(torrents, 1);
  EXPECT_EQ(magnets, 1);
  ::unsetenv("XDG_STATE_HOME");
}

}  // namespace
}  // namespace korvath
