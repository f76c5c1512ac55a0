// The real program and the record of downloads: start-up adds the recorded
// tasks back (a running one runs again by itself, a paused one stays paused),
// shut-down writes them again between pausing and ending aria2 with the states
// they had before that pause, finished ones stay listed, and a damaged record
// never stops start-up. The resumed bytes themselves are checked by the
// engine tests.
#include <gtest/gtest.h>
#include <sys/stat.h>

// Before X11's headers (the harness brings them), whose macros clash with
// httplib's names; the comment line below keeps include sorting from moving it.
#include "support/throttled-server.h"
// The harness, and X11's headers with it.
#include "harness/korvath-harness.h"
#include "support/loopback-ports.h"
#include "support/recording-server.h"

namespace korvath::testing {
namespace {

struct Programs {
  // Other test runs on this machine start aria2 on the same port and end
  // each other's "aria2c.exe"; first in, last out.
  Aria2MachineLock lock;
  std::unique_ptr<RecordingServer> notice = std::make_unique<RecordingServer>();
  std::unique_ptr<RecordingServer> app = std::make_unique<RecordingServer>();
  std::string state_dir = MakeTempDir("state");
  std::string record = state_dir + "/korvath/session.json";

  Programs() {
    notice->SetDefault(Reply::Ok("", {"Content-Type: text/plain; charset=utf-8"}));
    app->SetDefault(Reply::Ok("<html><body>app</body></html>", {"Content-Type: text/html"}));
    fs::create_directories(state_dir + "/korvath");
  }
  ~Programs() { fs::remove_all(state_dir); }
  std::map<std::string, std::string> Env() const {
    return {{"KORVATH_APP_URL", app->Url("/app/")},
            {"KORVATH_NOTICE_URL", notice->Url("/getpassword")},
            {"XDG_STATE_HOME", state_dir}};
  }
  void Write(const std::string& text) const { std::ofstream(record, std::ios::binary) << text; }
  static Json Entry(const std::string& uri, const std::string& dir, const std::string& out) {
    return {{"uris", {uri}}, {"dir", dir}, {"out", out}, {"state", "paused"}};
  }
  std::string Read(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
};

TEST(SessionRecordInTheProgram, APausedTaskComesBackPausedAndAFinishedOneStaysListed) {
  XDisplay x;
  ASSERT_TRUE(x.ok());
  Programs run;
  RecordingServer files;  // must not be asked for anything: the task is paused
  const std::string dir = MakeTempDir("downloads");
  const Json task = {
      {"uris", {files.Url("/big.bin")}}, {"dir", dir}, {"out", "big.bin"}, {"state", "paused"}};
  const Json done = {{"uris", {files.Url("/done.bin")}},
                     {"dir", dir},
                     {"out", "done.bin"},
                     {"state", "complete"},
                     {"length", 5},
                     {"gid", "00000000000000aa"}};
  run.Write(Json{{"version", 1}, {"tasks", {task}}, {"finished", {done}}}.dump());

  KorvathProcess korvath(run.Env());
  ASSERT_TRUE(korvath.WaitForEvent("startup_step", {{"step", "ready"}})) << korvath.Output();
  EXPECT_EQ(korvath.EventsNamed("session_restored", {{"count", 1}, {"failed", 0}}).size(), 1u)
      << korvath.Output();
  auto startup = korvath.Sequence({"startup_step"});
  auto at = [](const std::vector<std::string>& seq, const std::string& item) {
    return std::find(seq.begin(), seq.end(), item) - seq.begin();
  };
  EXPECT_LT(at(startup, "startup_step:global_options"), at(startup, "startup_step:restore_session"));
  EXPECT_LT(at(startup, "startup_step:restore_session"), at(startup, "startup_step:ready"));

  korvath.Signal(SIGTERM);
  ASSERT_EQ(korvath.WaitExit(20000), 0) << korvath.Output();
  auto shutdown = korvath.Sequence({"shutdown_step"});
  EXPECT_LT(at(shutdown, "shutdown_step:pause_all"), at(shutdown, "shutdown_step:save_session"));
  EXPECT_LT(at(shutdown, "shutdown_step:save_session"), at(shutdown, "shutdown_step:end_aria2"));
  EXPECT_EQ(korvath.EventsNamed("session_saved", {{"count", 1}, {"reason", "shutdown"}}).size(), 1u);
  EXPECT_EQ(files.Count(), 0u);

  Json again = Json::parse(run.Read(run.record), nullptr, false);
  ASSERT_FALSE(again.is_discarded());
  ASSERT_EQ(again["tasks"].size(), 1u);
  EXPECT_EQ(again["tasks"][0]["uris"], task["uris"]);
  EXPECT_EQ(again["tasks"][0]["dir"], dir);
  EXPECT_EQ(again["tasks"][0]["out"], "big.bin");
  EXPECT_EQ(again["tasks"][0]["state"], "paused");
  ASSERT_EQ(again["finished"].size(), 1u);
  EXPECT_EQ(again["finished"][0]["out"], "done.bin");
  EXPECT_EQ(again["finished"][0]["gid"], "00000000000000aa");
  fs::remove_all(dir);
}

TEST(SessionRecordInTheProgram, ADownloadRunningAtCloseRunsAgainByItselfAtTheNextStart) {
  XDisplay x;
  ASSERT_TRUE(x.ok());
  Programs run;
  constexpr size_t kSize = 40u << 20;
  ThrottledServer server(kSize, 4u << 20);
  const std::string dir = MakeTempDir("downloads");
  run.Write(Json{
      {"version", 1},
      {"tasks", {{{"uris", {server.Url("/big")}}, {"dir", dir}, {"out", "big.bin"}, {"state", "active"}}}}}
                .dump());
  {
    KorvathProcess korvath(run.Env());
    ASSERT_TRUE(WaitUntil([&] { return server.Served() >= (2u << 20); }, 30000)) << korvath.Output();
    korvath.Signal(SIGTERM);
    ASSERT_EQ(korvath.WaitExit(20000), 0) << korvath.Output();
  }
  // Our own pause at shut-down is not the user's.
  Json kept = Json::parse(run.Read(run.record), nullptr, false);
  ASSERT_EQ(kept["tasks"].size(), 1u) << kept.dump();
  EXPECT_EQ(kept["tasks"][0]["state"], "active");
  EXPECT_EQ(kept["tasks"][0]["length"], kSize);

  const size_t asked = server.Ranges().size();
  const size_t served = server.Served();
  KorvathProcess again(run.Env());
  // Nobody clicks anything: it goes on from where it was.
  ASSERT_TRUE(WaitUntil([&] { return server.Served() >= served + (1u << 20); }, 30000)) << again.Output();
  const std::vector<std::string> ranges = server.Ranges();
  ASSERT_GT(ranges.size(), asked);
  EXPECT_NE(ranges[asked], "bytes=0-") << "started over instead of continuing";
  again.Signal(SIGTERM);
  ASSERT_EQ(again.WaitExit(20000), 0) << again.Output();
  fs::remove_all(dir);
}

TEST(SessionRecordInTheProgram, KilledWithItsAria2ItBringsBackWhatTheRecordHeldWhileRunning) {
  XDisplay x;
  ASSERT_TRUE(x.ok());
  Programs run;
  RecordingServer files;
  const std::string dir = MakeTempDir("downloads");
  const Json task = {{"uris", {files.Url("/a.bin")}}, {"dir", dir}, {"out", "a.bin"}, {"state", "paused"}};
  run.Write(Json{{"version", 1}, {"tasks", {task}}}.dump());

  {
    KorvathProcess korvath(run.Env());
    // Restored paused: a change of state, written while the program runs.
    ASSERT_TRUE(korvath.WaitForEvent("session_saved", {{"count", 1}, {"reason", "change"}}, 30000))
        << korvath.Output();
    const int aria2 = korvath.Aria2Pid();
    korvath.Signal(SIGKILL);
    ASSERT_TRUE(korvath.WaitExit(10000).has_value());
    ASSERT_EQ(kill(aria2, SIGKILL), 0);
    WaitUntil([&] { return !ProcessAlive(aria2); }, 10000);
  }
  Json kept = Json::parse(run.Read(run.record), nullptr, false);
  ASSERT_FALSE(kept.is_discarded());
  ASSERT_EQ(kept["tasks"].size(), 1u);
  EXPECT_EQ(kept["tasks"][0]["out"], "a.bin");
  EXPECT_EQ(kept["tasks"][0]["state"], "paused");

  KorvathProcess again(run.Env());
  ASSERT_TRUE(again.WaitForEvent("startup_step", {{"step", "ready"}}, 30000)) << again.Output();
  EXPECT_EQ(again.EventsNamed("session_restored", {{"count", 1}, {"failed", 0}}).size(), 1u);
  again.Signal(SIGTERM);
  ASSERT_EQ(again.WaitExit(20000), 0) << again.Output();
  fs::remove_all(dir);
}

// The message boxes of one run whose text holds `part`.
std::vector<Json> BoxesSaying(const KorvathProcess& korvath, const std::string& part) {
  std::vector<Json> found;
  for (const Json& box : korvath.EventsNamed("message_box")) {
    if (box.value("text", "").find(part) != std::string::npos) found.push_back(box);
  }
  return found;
}

TEST(SessionRecordInTheProgram, ADamagedRecordIsSetAsideAndToldOnceAndStartUpGoesOn) {
  XDisplay x;
  ASSERT_TRUE(x.ok());
  Programs run;
  const std::string damaged = "{\"version\":1,\"tasks\":[{\"uris\":[\"http://127.0.0.1:9/x\"],\"di";
  run.Write(damaged);

  KorvathProcess korvath(run.Env());
  ASSERT_TRUE(korvath.WaitForEvent("startup_step", {{"step", "ready"}})) << korvath.Output();
  EXPECT_EQ(korvath.EventsNamed("session_record_bad").size(), 1u);
  EXPECT_EQ(run.Read(run.record + ".bad"), damaged);
  const auto boxes = korvath.EventsNamed("message_box");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_NE(boxes[0]["text"].get<std::string>().find(run.record + ".bad"), std::string::npos) << boxes[0];
  korvath.Signal(SIGTERM);
  ASSERT_EQ(korvath.WaitExit(20000), 0) << korvath.Output();
}

// A FIFO in place of the record held start-up for good, waiting for a
// writer, with SIGTERM unanswered. It is a record that cannot be read.
TEST(SessionRecordInTheProgram, ARecordThatIsAFifoIsSetAsideAndStartUpGoesOn) {
  XDisplay x;
  ASSERT_TRUE(x.ok());
  Programs run;
  ASSERT_EQ(::mkfifo(run.record.c_str(), 0600), 0);
  KorvathProcess korvath(run.Env());
  const bool ready = korvath.WaitForEvent("startup_step", {{"step", "ready"}}, 30000);
  if (!ready) {
    // Let a start-up stuck on the FIFO go, so the failure is reported.
    const int writer = ::open(run.record.c_str(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) ::close(writer);
  }
  ASSERT_TRUE(ready) << korvath.Output();
  EXPECT_EQ(korvath.EventsNamed("session_record_bad", {{"reason", "unreadable"}}).size(), 1u);
  EXPECT_TRUE(fs::is_fifo(run.record + ".bad"));
  korvath.Signal(SIGTERM);
  ASSERT_EQ(korvath.WaitExit(20000), 0) << korvath.Output();
}

TEST(SessionRecordInTheProgram, ADownloadAria2RefusesStaysRecordedThroughTwoRestartsAndIsToldEachTime) {
  Programs run;
  RecordingServer files;                  // asked for nothing: the tasks come back paused
  const std::string dir = run.state_dir;  // any folder will do, nothing is written
  // aria2 takes no address without a host.
  const Json refused = Programs::Entry("http://", dir, "gone.bin");
  run.Write(
      Json{{"version", 1}, {"tasks", {Programs::Entry(files.Url("/a.bin"), dir, "a.bin"), refused}}}.dump());
  XDisplay x;
  ASSERT_TRUE(x.ok());

  for (int start = 1; start <= 2; ++start) {
    SCOPED_TRACE(start);
    KorvathProcess korvath(run.Env());
    ASSERT_TRUE(korvath.WaitForEvent("startup_step", {{"step", "ready"}}, 30000)) << korvath.Output();
    EXPECT_EQ(korvath.EventsNamed("session_restored", {{"count", 1}, {"failed", 1}}).size(), 1u);
    const auto told = BoxesSaying(korvath, reinterpret_cast<const char*>(u8"以下下载未能恢复"));
    ASSERT_EQ(told.size(), 1u) << korvath.Output();
    const std::string text = told[0]["text"];
    EXPECT_NE(text.find("gone.bin"), std::string::npos) << text;
    EXPECT_NE(text.find("No URI to download."), std::string::npos) << text;
    EXPECT_EQ(text.find("a.bin"), std::string::npos) << text;
    // Automatic answers keep them, as Enter and closing the box do.
    EXPECT_EQ(korvath.EventsNamed("session_refused_choice", {{"choice", "keep"}}).size(), 1u);
    if (start == 1) {
      // Written while running, not only at shut-down.
      ASSERT_TRUE(korvath.WaitForEvent("session_saved", {{"reason", "change"}}, 10000)) << korvath.Output();
    }
    korvath.Signal(SIGTERM);
    ASSERT_EQ(korvath.WaitExit(20000), 0) << korvath.Output();

    Json kept = Json::parse(run.Read(run.record), nullptr, false);
    ASSERT_FALSE(kept.is_discarded());
    ASSERT_EQ(kept["tasks"].size(), 2u) << kept;
    EXPECT_EQ(kept["tasks"][0]["out"], "a.bin");
    EXPECT_FALSE(kept["tasks"][0].contains("refused"));
    EXPECT_EQ(kept["tasks"][1]["out"], "gone.bin");
    EXPECT_EQ(kept["tasks"][1]["uris"], refused["uris"]);
    EXPECT_EQ(kept["tasks"][1]["refused"], "No URI to download.");
  }
  EXPECT_EQ(files.Count(), 0u);
}

}  // namespace
}  // namespace korvath::testing
