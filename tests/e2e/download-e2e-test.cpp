// One download end to end: the real program under X, the real aria2 and the
// demo share site. A click on the page's download button must end with the
// file in ZorbitDravenet under the name the page shows, byte for byte.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "demo-site.h"
#include "e2e/demo-clicks.h"
#include "engine/download-task.h"
#include "harness/korvath-harness.h"
#include "support/loopback-ports.h"

namespace korvath::testing {
namespace {

using demo::DemoFile;
using demo::DemoSite;

std::size_t IndexOf(const DemoSite& site, const std::string& needle) {
  const auto& files = site.files();
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (files[i].shown_name.find(needle) != std::string::npos) return i;
  }
  ADD_FAILURE() << "no demo file named like " << needle;
  return 0;
}

class DownloadEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(PrepareForDemoClicks(lock, x, site)); }

  // Starts Korvath on the page of file `index` and waits until the page is
  // up and start-up has ended.
  void Open(std::size_t index) {
    korvath = std::make_unique<KorvathProcess>(std::map<std::string, std::string>{
        {"KORVATH_APP_URL", site.FilePageUrl(index)}, {"KORVATH_NOTICE_URL", site.NoticeUrl()}});
    ASSERT_TRUE(korvath->WaitForEvent("startup_step", {{"step", "ready"}}, 30000))
        << EventDump() << korvath->Output();
    ASSERT_TRUE(WaitUntil([&] { return MainWindow() != 0; }, 10000));
    ASSERT_TRUE(WaitUntil([&] { return PageViews() > 0; }, 10000));
    // The page is served; the click waits until the blue button is drawn.
    ASSERT_TRUE(WaitForDownloadButton(x, MainWindow())) << "the download button was never drawn";
  }

  std::string EventDump() const {
    std::string dump;
    for (const auto& e : korvath->Events()) dump += e.dump() + "\n";
    return dump;
  }

  std::size_t PageViews() const {
    std::size_t n = 0;
    for (const auto& path : site.PagesServed()) n += path.rfind("/app/s/", 0) == 0;
    return n;
  }

  Window MainWindow() const { return MainWindowOf(x, korvath->pid()); }

  void ClickDownload() {
    Window w = MainWindow();
    ASSERT_NE(w, 0u);
    korvath::testing::ClickDownload(x, w);
  }

  fs::path SavedPath(const DemoFile& file) const {
    return fs::path(korvath->work_dir()) / "ZorbitDravenet" / SafeFileName(demo::SavedName(file));
  }

  bool WaitForFile(const fs::path& path, std::uint64_t size) const { return WaitForFinishedFile(path, size); }

  std::vector<std::string> BoxTexts() const {
    std::vector<std::string> texts;
    for (const auto& e : korvath->EventsNamed("message_box")) texts.push_back(e.value("text", ""));
    return texts;
  }

  Aria2MachineLock lock;  // first in, last out: held until Korvath and its aria2 are gone
  XDisplay x;
  DemoSite site;
  std::unique_ptr<KorvathProcess> korvath;
};

class HardNames : public DownloadEndToEnd, public ::testing::WithParamInterface<std::string> {};

TEST_P(HardNames, ClickSavesTheFileUnderThePagesNameWithIdenticalBytes) {
  const std::size_t index = IndexOf(site, GetParam());
  const DemoFile& file = site.files()[index];
  ASSERT_NO_FATAL_FAILURE(Open(index));
  ClickDownload();
  ASSERT_TRUE(korvath->WaitForEvent("task_created", {}, 15000)) << korvath->Output();
  const fs::path saved = SavedPath(file);
  ASSERT_TRUE(WaitForFile(saved, file.size)) << saved;
  std::string expected;
  ASSERT_TRUE(demo::ReadContent(file, 0, file.size, expected));
  EXPECT_TRUE(ReadAll(saved) == expected) << "bytes differ in " << saved;

  // Nothing escaped the download folder, and only one task was made.
  EXPECT_EQ(korvath->EventsNamed("task_created").size(), 1u);
  std::size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(fs::path(korvath->work_dir()) / "ZorbitDravenet")) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 1u);
  EXPECT_FALSE(fs::exists(fs::path(korvath->work_dir()) / "outside the folder.txt"));
  EXPECT_TRUE(BoxTexts().size() <= 1u);  // the announcement at most
  EXPECT_FALSE(korvath->EventsNamed("window", {{"name", "download_manager"}}).empty());
}

INSTANTIATE_TEST_SUITE_P(DemoFiles, HardNames,
                         ::testing::Values("Korvath demo notes", Utf8(u8"年度报告"), Utf8(u8"한국어"),
                                           Utf8(u8"🎉"), "\"hello\"", "back\\slash", "../", "\n", "16MB"));

// A folder chosen in the manager's settings view, typed and saved as a user
// would: it is written to the settings file and the very next click's file
// goes there.
TEST_F(DownloadEndToEnd, AFolderSavedInTheManagersSettingsTakesTheNextDownload) {
  const DemoFile& file = site.files()[0];
  ASSERT_NO_FATAL_FAILURE(Open(0));
  const std::string folder = MakeTempDir("chosen") + "/saved here";
  ClickAt(MainWindow(), 456, 28);  // 下载管理
  auto manager = x.WaitFor(korvath->pid(), Utf8(u8"下载管理"));
  ASSERT_TRUE(manager);
  // The toolbar is drawn once the page is; then 设置, and its first field.
  ASSERT_TRUE(
      WaitUntil([&] { return GrayStatistic(*manager, 563, 8, 40, 20, "standard_deviation") > 0.05; }, 10000));
  ClickAt(*manager, 583, 17);
  ASSERT_TRUE(WaitUntil(
      [&] { return GrayStatistic(*manager, 20, 150, 120, 20, "standard_deviation") > 0.05; }, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ClickAt(*manager, 325, 226);  // 下载文件夹, below the batch bar's place
  PressKeys(*manager, "ctrl+a BackSpace");
  RunCommand("xdotool type --delay 15 '" + folder + "'");
  PressKeys(*manager, "Return");
  const std::string settings = korvath->work_dir() + "/config/korvath/settings.ini";
  ASSERT_TRUE(WaitUntil(
      [&] { return ReadAll(settings).find("folder=" + folder + "\n") != std::string::npos; }, 10000))
      << ReadAll(settings);
  EXPECT_EQ(fs::status(settings).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  Screenshot(*manager, "manager-korvath-settings-saved");

  ClickDownload();
  ASSERT_TRUE(korvath->WaitForEvent("task_created", {}, 15000)) << korvath->Output();
  const fs::path saved = fs::path(folder) / SafeFileName(demo::SavedName(file));
  EXPECT_TRUE(WaitForFile(saved, file.size)) << saved;
  EXPECT_FALSE(fs::exists(SavedPath(file)));
  fs::remove_all(fs::path(folder).parent_path());
}

// The file is finished: a second click is another download, saved beside it
// under a free name, and the first file keeps its bytes.
TEST_F(DownloadEndToEnd, SameFileTwiceAfterItFinishedIsSavedBesideItUnderAFreeName) {
  const std::size_t index = IndexOf(site, "Korvath demo notes");
  ASSERT_NO_FATAL_FAILURE(Open(index));
  Screenshot(MainWindow(), "demo-site-file-page");
  ClickDownload();
  ASSERT_TRUE(korvath->WaitForEvent("task_created", {}, 15000));
  const DemoFile& file = site.files()[index];
  const fs::path first = SavedPath(file);
  ASSERT_TRUE(WaitForFile(first, file.size));
  const fs::file_time_type written = fs::last_write_time(first);
  ClickDownload();
  ASSERT_TRUE(WaitUntil([&] { return korvath->EventsNamed("task_created").size() >= 2; }, 15000));
  auto tasks = korvath->EventsNamed("task_created");
  ASSERT_EQ(tasks.size(), 2u);
  EXPECT_NE(tasks[0].value("gid", ""), tasks[1].value("gid", ""));
  EXPECT_EQ(korvath->EventsNamed("same_file").back().value("way", ""), "free_name");
  const fs::path second = first.parent_path() / NumberedName(first.filename().string(), 2);
  ASSERT_TRUE(WaitForFile(second, file.size)) << second;
  auto bytes = [](const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  EXPECT_TRUE(bytes(first) == bytes(second));
  EXPECT_EQ(fs::last_write_time(first), written);
}

// aria2 is held still, so the intake's first request waits: the SIGTERM or
// the close box that arrives meanwhile is served at the intake's next pump.
// It must not end the program before the recognised download has been
// handed to aria2.
enum class EndRequest { kSigterm, kCloseBox };

class EndDuringAnIntake : public DownloadEndToEnd, public ::testing::WithParamInterface<EndRequest> {};

TEST_P(EndDuringAnIntake, ShutsDownOnlyAfterTheTaskIsCreated) {
  const std::size_t index = IndexOf(site, "Korvath demo notes");
  ASSERT_NO_FATAL_FAILURE(Open(index));
  const int aria2 = korvath->Aria2Pid();
  ASSERT_GT(aria2, 0);
  ASSERT_EQ(::kill(aria2, SIGSTOP), 0);

  ClickDownload();
  const bool seen = korvath->WaitForEvent("intake_request", {{"kind", "download"}}, 15000);
  if (GetParam() == EndRequest::kSigterm) {
    korvath->Signal(SIGTERM);
  } else {
    x.RequestClose(MainWindow());
    XFlush(x.get());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ::kill(aria2, SIGCONT);
  ASSERT_TRUE(seen) << EventDump();

  auto code = korvath->WaitExit(30000);
  ASSERT_TRUE(code.has_value()) << EventDump();
  EXPECT_EQ(*code, 0);
  auto order = korvath->Sequence({"task_created", "shutdown_step"});
  auto at = [&](const std::string& entry) {
    return std::find(order.begin(), order.end(), entry) - order.begin();
  };
  ASSERT_LT(at("shutdown_step:deferred"), at("task_created")) << EventDump();
  ASSERT_LT(at("task_created"), at("shutdown_step:begin")) << EventDump();
  EXPECT_LT(at("shutdown_step:begin"), static_cast<long>(order.size()));
  EXPECT_EQ(korvath->EventsNamed("task_created").size(), 1u);
  EXPECT_EQ(korvath->EventsNamed("shutdown_step", {{"step", "begin"}}).size(), 1u);
  EXPECT_EQ(korvath->EventsNamed("rpc", {{"method", "aria2.pauseAll"}, {"ok", true}}).size(), 1u);
  // Nothing is lost: the download finished before aria2 was ended, or it is
  // in the record the next start restores.
  const DemoFile& file = site.files()[index];
  std::error_code ec;
  const bool finished =
      fs::file_size(SavedPath(file), ec) == file.size && !fs::exists(SavedPath(file).string() + ".aria2", ec);
  const bool recorded = !korvath->EventsNamed("session_saved", {{"count", 1}}).empty();
  EXPECT_TRUE(finished || recorded) << EventDump();
}

INSTANTIATE_TEST_SUITE_P(Requests, EndDuringAnIntake,
                         ::testing::Values(EndRequest::kSigterm, EndRequest::kCloseBox),
                         [](const auto& info) {
                           return std::string(info.param == EndRequest::kSigterm ? "Sigterm" : "CloseBox");
                         });

}  // namespace
}  // namespace korvath::testing
