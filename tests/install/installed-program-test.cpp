// The installed program started as the applications menu starts it: its
// desktop entry's command, in another working directory, with a fresh home.
// It must come up, keep aria2's files in the user's data folder, write
// nothing into its prefix, and save a clicked file in the download folder.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "e2e/demo-clicks.h"
#include "engine/download-task.h"
#include "install/install-stage.h"

namespace korvath::testing {
namespace {

// Every file and link under `root` with its size and modification time.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::error_code ec;
    const auto size = entry.is_regular_file(ec) ? entry.file_size(ec) : 0;
    const auto time = fs::last_write_time(entry.path(), ec).time_since_epoch().count();
    files[fs::relative(entry.path(), root).string()] = std::to_string(size) + "@" + std::to_string(time);
  }
  return files;
}

std::string WindowApplicationId(const XDisplay& x, Window w) {
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  std::string id;
  if (XGetWindowProperty(x.get(), w, XInternAtom(x.get(), "_GTK_APPLICATION_ID", False), 0, 256, False,
                         XInternAtom(x.get(), "UTF8_STRING", False), &type, &format, &count, &after,
                         &data) == Success &&
      data) {
    id.assign(reinterpret_cast<char*>(data), count);
    XFree(data);
  }
  return id;
}

class InstalledProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(PrepareForDemoClicks(lock, x, site));
    home = MakeTempDir("home");
    ASSERT_FALSE(home.empty());
    // The user's download folder, named in their user-dirs.dirs as
    // xdg-user-dirs writes it.
    fs::create_directories(home / ".config");
    std::ofstream(home / ".config/user-dirs.dirs") << "XDG_DOWNLOAD_DIR=\"$HOME/Fetched files\"\n";
    prefix_before = Snapshot(Prefix());
  }

  void TearDown() override {
    korvath.reset();
    std::error_code ec;
    if (!home.empty() && !std::getenv("KORVATH_KEEP_TEST_DIRS")) fs::remove_all(home, ec);
  }

  // Runs the desktop entry's command line the way a launcher does: the
  // program found on PATH, no working directory of its own.
  void StartFromMenu(std::size_t page) {
    std::istringstream words(DesktopValue(ReadText(DesktopFile()), "Exec").value_or(""));
    KorvathLaunch launch;
    words >> launch.program;
    for (std::string arg; words >> arg;) launch.args.push_back(arg);
    ASSERT_EQ(launch.program, "korvath");
    launch.program = (Prefix() / "bin" / launch.program).string();
    const char* path = std::getenv("PATH");
    korvath = std::make_unique<KorvathProcess>(
        std::map<std::string, std::string>{
            {"HOME", home.string()},
            {"XDG_CONFIG_HOME", (home / ".config").string()},
            {"XDG_DATA_HOME", (home / "data home").string()},
            {"PATH", (Prefix() / "bin").string() + ":" + (path ? path : "/usr/bin")},
            {"KORVATH_APP_URL", site.FilePageUrl(page)},
            {"KORVATH_NOTICE_URL", site.NoticeUrl()}},
        true, launch);
    ASSERT_TRUE(korvath->WaitForEvent("startup_step", {{"step", "ready"}}, 30000))
        << EventDump() << korvath->Output();
    ASSERT_TRUE(WaitUntil([&] { return MainWindowOf(x, korvath->pid()) != 0; }, 10000));
  }

  std::string EventDump() const {
    std::string dump;
    for (const auto& e : korvath->Events()) dump += e.dump() + "\n";
    return dump;
  }

  fs::path DownloadFolder() const { return home / "Fetched files" / "ZorbitDravenet"; }

  std::size_t DemoNotes() const {
    for (std::size_t i = 0; i < site.files().size(); ++i) {
      if (site.files()[i].shown_name.find("Korvath demo notes") != std::string::npos) return i;
    }
    return 0;
  }

  Aria2MachineLock lock;
  XDisplay x;
  demo::DemoSite site;
  fs::path home;
  std::map<std::string, std::string> prefix_before;
  std::unique_ptr<KorvathProcess> korvath;
};

TEST_F(InstalledProgram, OpensUnderItsIdAndKeepsAria2FilesInTheUserDataFolderNotThePrefix) {
  ASSERT_NO_FATAL_FAILURE(StartFromMenu(DemoNotes()));
  EXPECT_EQ(WindowApplicationId(x, MainWindowOf(x, korvath->pid())), kAppId);
  const fs::path data = home / "data home" / "korvath";
  EXPECT_TRUE(fs::is_regular_file(data / "aria2c.exe"));
  EXPECT_TRUE(fs::is_regular_file(data / "aria2.conf"));
  const auto started = korvath->EventsNamed("aria2_started");
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].value("argv", "").rfind((data / "aria2c.exe").string() + " ", 0), 0u) << started[0];
  // No message about a folder that cannot be written: it was never tried.
  EXPECT_TRUE(korvath->EventsNamed("aria2_home").empty());

  korvath->Signal(SIGTERM);
  ASSERT_EQ(korvath->WaitExit(20000), 0);
  EXPECT_EQ(Snapshot(Prefix()), prefix_before);
}

TEST_F(InstalledProgram, AClickSavesTheFileInZorbitDravenetOfTheXdgDownloadFolder) {
  const std::size_t index = DemoNotes();
  const demo::DemoFile& file = site.files()[index];
  ASSERT_NO_FATAL_FAILURE(StartFromMenu(index));
  EXPECT_EQ(korvath->EventsNamed("download_folder", {{"folder", DownloadFolder().string()}}).size(), 1u)
      << korvath->Output();
  const Window main = MainWindowOf(x, korvath->pid());
  ASSERT_TRUE(WaitForDownloadButton(x, main)) << "the download button was never drawn";
  ClickDownload(x, main);
  ASSERT_TRUE(korvath->WaitForEvent("task_created", {}, 15000)) << korvath->Output();
  const fs::path saved = DownloadFolder() / SafeFileName(demo::SavedName(file));
  ASSERT_TRUE(WaitForFinishedFile(saved, file.size)) << saved;
  std::string expected;
  ASSERT_TRUE(demo::ReadContent(file, 0, file.size, expected));
  EXPECT_EQ(ReadText(saved), expected);
  // Neither the working directory nor the home folder got one.
  EXPECT_FALSE(fs::exists(fs::path(korvath->work_dir()) / "ZorbitDravenet"));
  EXPECT_FALSE(fs::exists(home / "ZorbitDravenet"));
}

}  // namespace
}  // namespace korvath::testing
