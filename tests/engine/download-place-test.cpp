// The folder is the folder: with the real aria2, a download folder renamed
// and replaced by a link to another folder that holds a file of the same
// name. aria2 goes on writing its own file; nothing Korvath does afterwards
// (the check at the end, a click after a crash, the restore at start) may
// judge, continue or set aside the other folder's file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <optional>
#include <thread>

#include "engine/aria2-bootstrap.h"
#include "engine/engine-fixture.h"
#include "engine/finished-downloads.h"
#include "engine/rpc-client.h"
#include "engine/session-record.h"
#include "support/throttled-server.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string U8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

class FolderSwap : public testing::Aria2Test {
 protected:
  static constexpr size_t kSize = 4u << 20;
  void SetUp() override {
    testing::Aria2Test::SetUp();
    ASSERT_TRUE(StartAria2(*desktop, state, {.cookie = "Zorbit", .program_dir = program_dir.string()}))
        << desktop->BoxTexts();
    ASSERT_TRUE(SetGlobalOptions(*desktop, state)) << desktop->BoxTexts();
    folder = work_dir / "ZorbitDravenet";
    other = work_dir / "other";
    sizes.emplace(SizesPath());
    watch.emplace(work_dir.string(), &*sizes);
    watch->Look(*desktop, state);
  }
  // Clicks the page's file; the gid of the task made, "" when none.
  std::string Click(const std::string& fid) {
    const size_t before = desktop->Events("task_created").size();
    InterceptDownload({.desktop = *desktop,
                       .engine = state,
                       .page = page,
                       .shell = shell,
                       .stated_sizes = &*sizes,
                       .session_record = record},
                      server.Url("/big?fid=" + fid + "&bkt=1"));
    const auto created = desktop->Events("task_created");
    return created.size() > before ? created.back().value("gid", "") : "";
  }
  json Status(const std::string& gid) {
    return testing::Aria2Call(state, "aria2.tellStatus", {gid})["result"];
  }
  size_t Done(const std::string& gid) { return std::stoull(Status(gid).value("completedLength", "0")); }
  // Waits until a quarter is written and lets the look the notifier makes
  // after aria2's start notice see it.
  void WaitUntilWriting(const std::string& gid) {
    ASSERT_TRUE(testing::WaitFor([&] { return Done(gid) >= kSize / 4; }, std::chrono::seconds(15)));
    watch->LookAtLengths(*desktop, state);
  }
  // The download folder moves aside and a link to `other` takes its name.
  void SwapFolder() {
    fs::rename(folder, work_dir / "ZorbitDravenet.moved");
    fs::create_symlink(other, folder);
  }
  std::string LastWay() {
    const auto events = desktop->Events("same_file");
    return events.empty() ? "" : events.back().value("way", "");
  }

  testing::ThrottledServer server{kSize, 1u << 20};
  testing::SharePage page{"big.bin", "4 MB"};
  testing::CountingShell shell;
  std::string SizesPath() const { return (work_dir / "stated-sizes.json").string(); }
  std::optional<StatedSizes> sizes;
  std::optional<FinishedDownloadWatch> watch;
  std::string record;
  fs::path folder, other;
  // The other folder's own file: the same name and size, other bytes.
  const std::string namesake = testing::Payload(kSize, 7);
};

// The file renamed and another put at its name, then the folder swapped for
// a link to a folder with a file of that name: each download fails with its
// reason, and neither namesake is judged or touched.
TEST_F(FolderSwap, AFileOrFolderSwappedMidDownloadFailsAndLeavesTheOtherFileAlone) {
  fs::create_directories(other);
  for (const std::string swapped : {"file", "folder"}) {
    page.name = swapped + ".bin";
    const std::string gid = Click(swapped);
    ASSERT_FALSE(gid.empty()) << desktop->BoxTexts();
    WaitUntilWriting(gid);
    fs::path namesake_at = folder / page.name, aria2s = folder / (page.name + ".moved");
    if (swapped == "file") {
      fs::rename(namesake_at, aria2s);
    } else {
      SwapFolder();
      namesake_at = other / page.name;
      aria2s = work_dir / "ZorbitDravenet.moved" / page.name;
    }
    testing::WriteFile(namesake_at, namesake);
    ASSERT_TRUE(
        testing::WaitFor([&] { return Status(gid)["status"] == "complete"; }, std::chrono::seconds(20)));

    std::vector<FinishedDownload> news;
    ASSERT_TRUE(testing::WaitFor([&] { return !(news = watch->Look(*desktop, state)).empty(); },
                                 std::chrono::seconds(5)));
    ASSERT_EQ(news.size(), 1u);
    EXPECT_FALSE(news[0].ok) << swapped;
    const std::string said = swapped == "file" ? U8(u8"下载的文件在下载时被换掉了：") + namesake_at.string()
                                               : U8(u8"下载文件夹在下载时被换掉了：") + folder.string();
    EXPECT_EQ(GbkToUtf8(news[0].error).rfind(said, 0), 0u) << GbkToUtf8(news[0].error);
    EXPECT_EQ(desktop->Events("arrival_checked").back().value("kind", ""), "moved");
    EXPECT_TRUE(testing::ReadFile(namesake_at) == namesake) << swapped;
    // aria2's own file is whole where it went.
    EXPECT_TRUE(testing::ReadFile(aria2s) == server.Big()) << swapped;
  }
}

// The namesake folder holds a copy of the control file, as a backup of the
// download folder would: by path alone it is a partial download to continue.
TEST_F(FolderSwap, AfterACrashNeitherAClickNorTheRestoreContinuesIntoTheOtherFolder) {
  const std::string gid = Click("1");
  ASSERT_FALSE(gid.empty()) << desktop->BoxTexts();
  WaitUntilWriting(gid);
  testing::Aria2Call(state, "aria2.pause", {gid});
  ASSERT_TRUE(testing::WaitFor([&] { return Status(gid)["status"] == "paused"; }, std::chrono::seconds(10)));
  record = (work_dir / "session.json").string();
  ASSERT_TRUE(SaveSessionRecord(*desktop, state, record, work_dir.string()).saved);
  ::kill(state.aria2_pid, SIGKILL);
  ::waitpid(state.aria2_pid, nullptr, 0);
  ASSERT_TRUE(testing::WaitFor([] { return !testing::PortListening(6800); }, std::chrono::seconds(10)));
  ASSERT_TRUE(StartAria2(*desktop, state, {.cookie = "Zorbit", .program_dir = program_dir.string()}));
  ASSERT_TRUE(SetGlobalOptions(*desktop, state));
  // Korvath ended with it: what it knows of the place comes from its record.
  watch.reset();
  sizes.emplace(SizesPath());

  fs::create_directories(other);
  testing::WriteFile(other / "big.bin", namesake);
  fs::copy_file(folder / "big.bin.aria2", other / "big.bin.aria2");
  SwapFolder();

  // A fresh link for the same file, as the page hands out after a restart.
  EXPECT_EQ(Click("1"), "");
  EXPECT_EQ(LastWay(), "folder_changed");
  EXPECT_NE(desktop->BoxTexts().find(U8(u8"下载文件夹已不是开始下载这个文件时的那个文件夹")),
            std::string::npos)
      << desktop->BoxTexts();

  const SessionRestoreResult restored = RestoreSessionRecord(*desktop, state, record, &*sizes);
  EXPECT_EQ(restored.restored, 0);
  ASSERT_EQ(restored.refused.size(), 1u);
  EXPECT_TRUE(restored.set_aside.empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(testing::ReadFile(other / "big.bin") == namesake);
  EXPECT_EQ(testing::Aria2Call(state, "aria2.tellActive")["result"].size(), 0u);
}

}  // namespace
}  // namespace korvath
