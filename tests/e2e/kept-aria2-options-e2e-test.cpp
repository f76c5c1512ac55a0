// The aria2 options a user saved in the manager, in the real program with its
// real aria2: they come back at every start, and a download sends them
// instead of the program's own values.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "demo-site.h"
#include "e2e/demo-clicks.h"
#include "harness/aria2-instance.h"
#include "harness/korvath-harness.h"
#include "support/loopback-ports.h"

namespace korvath::testing {
namespace {

class KeptAria2Options : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(PrepareForDemoClicks(lock, x, site));
    std::filesystem::create_directories(config + "/korvath");
    // As the manager's 设置 and its speed-limit field save them.
    std::ofstream(config + "/korvath/settings.ini")
        << "[aria2-options]\nmax-concurrent-downloads=5\nauto-file-renaming=true\nsplit=4\n"
           "max-overall-download-limit=512000\nall-proxy=http://127.0.0.1:3128/\n";
  }
  void TearDown() override { std::filesystem::remove_all(config); }

  void Start() {
    korvath = std::make_unique<KorvathProcess>(
        std::map<std::string, std::string>{{"KORVATH_APP_URL", site.FilePageUrl(0)},
                                           {"KORVATH_NOTICE_URL", site.NoticeUrl()},
                                           {"KORVATH_ARIA2C", noted.program()},
                                           {"XDG_CONFIG_HOME", config}});
    ASSERT_TRUE(korvath->WaitForEvent("startup_step", {{"step", "ready"}}, 30000)) << korvath->Output();
    aria2 = std::make_unique<Aria2Instance>(noted.Secret(), "");
  }

  void Stop() {
    aria2.reset();
    ::kill(korvath->pid(), SIGTERM);
    ASSERT_TRUE(korvath->WaitExit(20000).has_value());
    korvath.reset();
    ASSERT_TRUE(WaitUntil([] { return !PortListening(6800); }, 15000));
  }

  // The options this test saved, as aria2 has them now.
  std::map<std::string, std::string> Held() {
    const nlohmann::json options = aria2->Call("aria2.getGlobalOption");
    std::map<std::string, std::string> held;
    for (const char* name : {"max-concurrent-downloads", "auto-file-renaming", "split",
                             "max-overall-download-limit", "all-proxy"})
      held[name] = options.value(name, "");
    return held;
  }

  const std::map<std::string, std::string> saved = {{"max-concurrent-downloads", "5"},
                                                    {"auto-file-renaming", "true"},
                                                    {"split", "4"},
                                                    {"max-overall-download-limit", "512000"},
                                                    {"all-proxy", "http://127.0.0.1:3128/"}};
  Aria2MachineLock lock;  // first in, last out
  XDisplay x;
  demo::DemoSite site;
  Aria2SecretNoted noted;
  std::string config = MakeTempDir("kept-options");
  std::unique_ptr<KorvathProcess> korvath;
  std::unique_ptr<Aria2Instance> aria2;
};

TEST_F(KeptAria2Options, TheyComeBackAtEveryStartOfTheProgram) {
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE("start " + std::to_string(run + 1));
    ASSERT_NO_FATAL_FAILURE(Start());
    EXPECT_EQ(Held(), saved);
    EXPECT_EQ(korvath->EventsNamed("kept_options", {{"refused", ""}}).size(), 1u);
    ASSERT_NO_FATAL_FAILURE(Stop());
  }
}

TEST_F(KeptAria2Options, ADownloadSendsTheUsersValuesNotTheProgramsOwn) {
  ASSERT_NO_FATAL_FAILURE(Start());
  // The proxy of the other test would keep the demo site out of reach.
  ASSERT_TRUE(aria2->Call("aria2.changeGlobalOption", {{{"all-proxy", ""}}}).is_string());
  Window main = 0;
  ASSERT_TRUE(WaitUntil([&] { return (main = MainWindowOf(x, korvath->pid())) != 0; }, 10000));
  ASSERT_TRUE(WaitForDownloadButton(x, main)) << "the download button was never drawn";
  ClickDownload(x, main);
  ASSERT_TRUE(korvath->WaitForEvent("task_created", {}, 15000)) << korvath->Output();
  const nlohmann::json options = aria2->Call("aria2.getGlobalOption");
  EXPECT_EQ(options.value("max-concurrent-downloads", ""), "5");
  EXPECT_EQ(options.value("auto-file-renaming", ""), "true");
  EXPECT_EQ(options.value("split", ""), "4");
  // What the user did not set is still the program's.
  EXPECT_EQ(options.value("max-connection-per-server", ""), "8");
  EXPECT_EQ(options.value("user-agent", ""), "LogStatistic");
}

}  // namespace
}  // namespace korvath::testing
