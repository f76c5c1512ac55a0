// Coming up and going down: the order of the steps, the failure without
// aria2, and the one shut-down whatever asks for it.
#include <gtest/gtest.h>

#include "harness/korvath-harness.h"
#include "shell/running-korvath.h"
#include "support/loopback-ports.h"
#include "support/recording-server.h"
#include "support/start-up-servers.h"

namespace korvath::testing {
namespace {

using Seq = std::vector<std::string>;

std::unique_ptr<RecordingServer> NoticeServer(const std::string& body) {
  auto server = std::make_unique<RecordingServer>();
  server->SetDefault(Reply::Ok(body, {"Content-Type: text/plain; charset=utf-8"}));
  return server;
}

std::unique_ptr<RecordingServer> AppServer() {
  auto server = std::make_unique<RecordingServer>();
  server->SetDefault(Reply::Ok("<html><body>app</body></html>", {"Content-Type: text/html"}));
  return server;
}

// Drops the steps that may or may not happen between the ones compared.
Seq Only(const Seq& all, const Seq& keep) {
  Seq out;
  for (auto& s : all)
    for (auto& k : keep)
      if (s == k) out.push_back(s);
  return out;
}

TEST(StartUp, FetchesNoticeThenStartsAria2AndShowsNoticeBeforeStretchingThePage) {
  Aria2MachineLock lock;  // our aria2 takes port 6800
  XDisplay x;
  ASSERT_TRUE(x.ok());
  auto notice = NoticeServer(reinterpret_cast<const char*>(u8"x[gg]第一行/n第二行[/gg]y"));
  auto app = AppServer();
  KorvathProcess korvath(
      {{"KORVATH_APP_URL", app->Url("/app/")}, {"KORVATH_NOTICE_URL", notice->Url("/getpassword")}});
  ASSERT_TRUE(korvath.WaitForEvent("startup_step", {{"step", "ready"}})) << korvath.Output();
  Seq seq =
      korvath.Sequence({"startup_step", "message_box", "aria2_started", "rpc", "global_options_accepted"});
  // aria2 and its options are set up beside the window...
  Seq behind_the_window = {
      "startup_step:notice",         "startup_step:aria2",           "aria2_started",
      "startup_step:global_options", "rpc:aria2.changeGlobalOption", "global_options_accepted",
      "startup_step:ready"};
  EXPECT_EQ(Only(seq, behind_the_window), behind_the_window);
  // ...while the user sees the announcement before the page gets the window.
  Seq seen = {"startup_step:notice", reinterpret_cast<const char*>(u8"message_box:第一行\r\n第二行"),
              "startup_step:stretch_web_view", "startup_step:ready"};
  EXPECT_EQ(Only(seq, seen), seen);
  EXPECT_GE(notice->Count(), 1u);
  EXPECT_TRUE(ProcessAlive(korvath.Aria2Pid()));
}

TEST(StartUp, LogsItsStepsFromTheFirstLineOfMainToTheMappedWindow) {
  Aria2MachineLock lock;  // our aria2 takes port 6800
  XDisplay x;
  ASSERT_TRUE(x.ok());
  auto notice = NoticeServer("");
  auto app = AppServer();
  KorvathProcess korvath(
      {{"KORVATH_APP_URL", app->Url("/app/")}, {"KORVATH_NOTICE_URL", notice->Url("/getpassword")}});
  ASSERT_TRUE(korvath.WaitForEvent("startup_step", {{"step", "ready"}})) << korvath.Output();
  ASSERT_TRUE(korvath.WaitForEvent("startup_step", {{"step", "main_window_mapped"}}));
  Seq expected = {"startup_step:main", "startup_step:gtk_ready", "startup_step:activate",
                  "startup_step:web_engine", "startup_step:main_window_built"};
  EXPECT_EQ(Only(korvath.Sequence({"startup_step"}), expected), expected);
  // The first step carries the time main began, before the log was open.
  auto at = [&](const char* step) {
    return korvath.EventsNamed("startup_step", {{"step", step}})[0]["t_ms"];
  };
  EXPECT_LE(at("main"), at("gtk_ready"));
  EXPECT_LE(at("gtk_ready"), at("notice"));
  EXPECT_LE(at("main_window_built"), at("main_window_mapped"));
}

TEST(StartUp, WithoutAria2ShowsBothMessagesAndEndsWithCodeZero) {
  XDisplay x;
  ASSERT_TRUE(x.ok());
  auto app = AppServer();
  auto notice = NoticeServer("");
  KorvathProcess korvath({{"KORVATH_APP_URL", app->Url("/app/")},
                          {"KORVATH_NOTICE_URL", notice->Url("/getpassword")},
                          {"KORVATH_ARIA2C", "/nonexistent/aria2c"}});
  EXPECT_EQ(korvath.WaitExit(30000), 0) << korvath.Output();
  auto boxes = korvath.EventsNamed("message_box");
  ASSERT_GE(boxes.size(), 2u);
  // The bootstrap's own message first, then ours with the error icon.
  EXPECT_NE(boxes[boxes.size() - 2]["text"], boxes.back()["text"]);
  EXPECT_EQ(boxes.back()["text"],
            reinterpret_cast<const char*>(u8"下载器初始化失败！可能无法执行下载操作！"));
  EXPECT_EQ(boxes.back()["flags"], 16);
  EXPECT_EQ(boxes.back()["caption"], reinterpret_cast<const char*>(u8"信息："));
  EXPECT_TRUE(korvath.EventsNamed("startup_step", {{"step", "stretch_web_view"}}).empty());
  EXPECT_TRUE(korvath.EventsNamed("rpc").empty());
  EXPECT_TRUE(x.WindowsOf(korvath.pid()).empty());
}

// aria2 starts beside the window's set-up, before the window is up: a signal
// then must still end it, not leave it running without us.
TEST(StartUp, ASignalBeforeStartUpHasEndedStillEndsItsAria2AndExitsWithCodeZero) {
  Aria2MachineLock lock;  // our aria2 takes port 6800
  XDisplay x;
  ASSERT_TRUE(x.ok());
  auto app = AppServer();
  auto notice = NoticeServer("");
  KorvathProcess korvath(
      {{"KORVATH_APP_URL", app->Url("/app/")}, {"KORVATH_NOTICE_URL", notice->Url("/getpassword")}});
  ASSERT_TRUE(WaitUntil([&] { return korvath.Aria2Pid() != 0; }, 20000, 2)) << korvath.Output();
  korvath.Signal(SIGTERM);
  EXPECT_EQ(korvath.WaitExit(20000), 0) << korvath.Output();
  EXPECT_EQ(korvath.EventsNamed("shutdown_step", {{"step", "end_aria2"}}).size(), 1u);
  EXPECT_TRUE(WaitUntil([&] { return !ProcessAlive(korvath.Aria2Pid()); }, 10000));
}

// The page may ask for a file before aria2 listens (here the announcement
// holds start-up for 4 s): the request waits for aria2, it does not fail.
TEST(StartUp, AFileAskedForBeforeAria2ListensWaitsForItAndBecomesATask) {
  XDisplay x;
  ASSERT_TRUE(x.ok());
  RecordingServer app;
  ServeAPageAskingForAFileAtOnce(app);
  RecordingServer notice;
  HoldTheNotice(notice);
  KorvathProcess korvath({{"KORVATH_APP_URL", app.Url("/app/")}, {"KORVATH_NOTICE_URL", notice.Url("/n")}});
  ASSERT_TRUE(korvath.WaitForEvent("task_created", {}, 30000)) << korvath.Output();
  const auto asked = korvath.EventsNamed("intake_queued");
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_LT(asked[0]["t_ms"], korvath.EventsNamed("aria2_started")[0]["t_ms"])
      << "aria2 was up before the request";
  EXPECT_EQ(korvath.EventsNamed("task_created")[0].value("name", ""), "early.bin");
  EXPECT_TRUE(korvath.EventsNamed("message_box").empty()) << korvath.EventsNamed("message_box")[0].dump();
}

// Opened before start-up knows its aria2, the manager's page would be given
// no secret, or the port of whatever listens there: it opens once it is known.
TEST(StartUp, TheManagerAskedForDuringStartUpOpensOnceAria2IsKnown) {
  XDisplay x;
  ASSERT_TRUE(x.ok());
  auto app = AppServer();
  RecordingServer notice;
  HoldTheNotice(notice);
  KorvathProcess korvath({{"KORVATH_APP_URL", app->Url("/app/")}, {"KORVATH_NOTICE_URL", notice.Url("/n")}});
  auto main = x.WaitFor(korvath.pid(), "Korvath - Fenlow");
  ASSERT_TRUE(main) << korvath.Output();
  ASSERT_TRUE(korvath.EventsNamed("startup_step", {{"step", "ready"}}).empty()) << "start-up ended too soon";
  ClickAt(*main, 424 + 32, 16 + 12);
  const Json opened = {{"name", "download_manager"}, {"action", "opened"}};
  ASSERT_TRUE(korvath.WaitForEvent("window", opened, 20000)) << korvath.Output();
  ASSERT_TRUE(korvath.WaitForEvent("startup_step", {{"step", "ready"}})) << korvath.Output();
  EXPECT_GT(korvath.EventsNamed("window", opened)[0]["t_ms"],
            korvath.EventsNamed("startup_step", {{"step", "ready"}})[0]["t_ms"]);
  EXPECT_EQ(korvath.EventsNamed("window", opened).size(), 1u);
}

struct ShutDownCase {
  const char* name;
  std::function<void(KorvathProcess&, XDisplay&, Window)> trigger;
  const char* reason;  // nullptr: whichever request arrived first
};

class ShutDown : public RunningKorvath, public ::testing::WithParamInterface<ShutDownCase> {};

TEST_P(ShutDown, ClosesManagerPausesAllEndsAria2AndExitsZeroOnce) {
  ASSERT_NO_FATAL_FAILURE(StartKorvath());
  const int aria2 = korvath->Aria2Pid();
  ASSERT_TRUE(ProcessAlive(aria2));
  // The manager is open, so shut-down has it to close first.
  ClickAt(main, 424 + 32, 16 + 12);
  ASSERT_TRUE(x.WaitFor(korvath->pid(), reinterpret_cast<const char*>(u8"下载管理")));

  GetParam().trigger(*korvath, x, main);
  EXPECT_EQ(korvath->WaitExit(20000), 0) << korvath->Output();
  Seq seq = korvath->Sequence({"shutdown_step", "window", "rpc"});
  Seq expected = {"shutdown_step:begin",
                  "shutdown_step:close_download_manager",
                  "window:download_manager/closed",
                  "shutdown_step:pause_all",
                  "rpc:aria2.pauseAll",
                  "shutdown_step:end_aria2",
                  "shutdown_step:exit"};
  EXPECT_EQ(Only(seq, expected), expected);
  auto begins = korvath->EventsNamed("shutdown_step", {{"step", "begin"}});
  ASSERT_EQ(begins.size(), 1u);
  if (GetParam().reason) {
    EXPECT_EQ(begins[0]["reason"], GetParam().reason);
  }
  auto pause = korvath->EventsNamed("rpc", {{"method", "aria2.pauseAll"}});
  ASSERT_EQ(pause.size(), 1u);
  EXPECT_EQ(pause[0]["ok"], true) << "aria2 did not take the pause";
  EXPECT_TRUE(WaitUntil([&] { return !ProcessAlive(aria2); }, 10000)) << "aria2 still running";
}

INSTANTIATE_TEST_SUITE_P(
    Triggers, ShutDown,
    ::testing::Values(
        ShutDownCase{"WindowClose", [](KorvathProcess&, XDisplay& x, Window w) { x.RequestClose(w); },
                     "window_closed"},
        ShutDownCase{"Sigterm", [](KorvathProcess& k, XDisplay&, Window) { k.Signal(SIGTERM); }, "SIGTERM"},
        // Three requests at once: whichever comes first runs, the others change nothing.
        ShutDownCase{"SigintThenClose",
                     [](KorvathProcess& k, XDisplay& x, Window w) {
                       k.Signal(SIGINT);
                       x.RequestClose(w);
                       k.Signal(SIGTERM);
                     },
                     nullptr}),
    [](const ::testing::TestParamInfo<ShutDownCase>& info) { return std::string(info.param.name); });

class ShutDownDuringNestedWait : public RunningKorvath {};

TEST_F(ShutDownDuringNestedWait, ASignalWhileTheAboutWindowIsOpenEndsTheProgramOnce) {
  ASSERT_NO_FATAL_FAILURE(StartKorvath());
  const int aria2 = korvath->Aria2Pid();
  // The About button's handler waits inside a nested loop until the window closes.
  ClickAt(main, 504 + 32, 16 + 12);
  ASSERT_TRUE(korvath->WaitForEvent("window", {{"name", "about"}, {"action", "opened"}}, 10000));
  korvath->Signal(SIGTERM);
  korvath->Signal(SIGTERM);
  EXPECT_EQ(korvath->WaitExit(20000), 0);
  EXPECT_EQ(korvath->EventsNamed("shutdown_step", {{"step", "begin"}}).size(), 1u);
  EXPECT_EQ(korvath->EventsNamed("rpc", {{"method", "aria2.pauseAll"}}).size(), 1u);
  // The handler never resumed: the about window was never reported closed.
  EXPECT_TRUE(korvath->EventsNamed("window", {{"name", "about"}, {"action", "closed"}}).empty());
  EXPECT_TRUE(WaitUntil([&] { return !ProcessAlive(aria2); }, 10000));
}

}  // namespace
}  // namespace korvath::testing
