// Another program on aria2's port: the user is asked, and either Korvath's
// aria2 moves to a free port or the program ends, as the user chose.
#include <gtest/gtest.h>

#include <fstream>

#include "harness/korvath-harness.h"
#include "support/hostile-server.h"
#include "support/loopback-ports.h"
#include "support/recording-server.h"

namespace korvath::testing {
namespace {

std::string FileText(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class BusyPort : public ::testing::Test {
 protected:
  BusyPort() {
    app.SetDefault(Reply::Ok("<html><body>app</body></html>", {"Content-Type: text/html"}));
    notice.SetDefault(Reply::Ok("", {"Content-Type: text/plain; charset=utf-8"}));
  }
  // Starts the program with real boxes and answers the port question with `keys`.
  std::map<std::string, std::string> Env() const {
    return {{"KORVATH_APP_URL", app.Url("/app/")},
            {"KORVATH_NOTICE_URL", notice.Url("/getpassword")},
            {"XDG_CONFIG_HOME", config}};
  }
  std::unique_ptr<KorvathProcess> StartAndAnswer(const std::string& keys) {
    auto korvath = std::make_unique<KorvathProcess>(Env(), /*auto_dialogs=*/false);
    auto question = x.WaitFor(korvath->pid(), reinterpret_cast<const char*>(u8"信息："));
    EXPECT_TRUE(question) << korvath->Output();
    if (question) PressKeys(*question, keys);
    return korvath;
  }

  Aria2MachineLock lock;  // before anything takes the port
  HostileServer stranger{Hostile::kSilent, 6800};
  XDisplay x;
  RecordingServer app, notice;
  std::string config = MakeTempDir("config");
};

TEST_F(BusyPort, YesStartsOurAria2OnAFreePortAndNothingReachesTheStranger) {
  ASSERT_TRUE(stranger.Listening());
  auto korvath = StartAndAnswer("Return");  // 是, the default
  ASSERT_TRUE(korvath->WaitForEvent("startup_step", {{"step", "ready"}})) << korvath->Output();
  const auto choice = korvath->EventsNamed("aria2_port_choice");
  ASSERT_EQ(choice.size(), 1u);
  EXPECT_EQ(choice[0]["another_port"], true);
  const int port = choice[0]["port"];
  EXPECT_NE(port, 6800);
  EXPECT_NE(korvath->Aria2Pid(), 0);
  EXPECT_TRUE(WaitUntil([&] { return PortListening(port); }, 5000));
  // The options before the first download went to our aria2 there.
  EXPECT_FALSE(korvath->EventsNamed("rpc", {{"method", "aria2.changeGlobalOption"}, {"ok", true}}).empty());
  EXPECT_EQ(stranger.Connections(), 0);

  // The port is kept: the next start goes there without asking.
  EXPECT_NE(FileText(config + "/korvath/settings.ini").find("port=" + std::to_string(port)),
            std::string::npos);
  korvath->Signal(SIGTERM);
  ASSERT_EQ(korvath->WaitExit(), 0);
  KorvathProcess again(Env());
  ASSERT_TRUE(again.WaitForEvent("startup_step", {{"step", "ready"}})) << again.Output();
  EXPECT_TRUE(again.EventsNamed("aria2_port_held").empty());
  EXPECT_TRUE(WaitUntil([&] { return PortListening(port); }, 5000));
}

TEST_F(BusyPort, NoEndsTheProgramWithoutASecondBox) {
  ASSERT_TRUE(stranger.Listening());
  auto korvath = StartAndAnswer("Tab Return");  // 否
  EXPECT_EQ(korvath->WaitExit(), 0);
  EXPECT_EQ(korvath->EventsNamed("message_box").size(), 1u);
  EXPECT_EQ(korvath->EventsNamed("aria2_port_choice")[0]["another_port"], false);
  EXPECT_EQ(stranger.Connections(), 0);
}

}  // namespace
}  // namespace korvath::testing
