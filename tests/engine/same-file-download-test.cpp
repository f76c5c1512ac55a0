// One download per file, with the real aria2: a link that expires half-way
// fails the task; the page's next link for the same file continues it from
// where it stopped, whether the old task failed or was paused, and leaves one
// entry in aria2's list and one file on disk.
#include "engine/same-file-download.h"

#include <gtest/gtest.h>

#include "engine/aria2-bootstrap.h"
#include "engine/download-failure.h"
#include "engine/engine-fixture.h"
#include "engine/rpc-client.h"
#include "support/throttled-server.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class SameFileDownload : public testing::Aria2Test {
 protected:
  static constexpr size_t kSize = 4u << 20;
  void SetUp() override {
    testing::Aria2Test::SetUp();
    ASSERT_TRUE(StartAria2(*desktop, state, {.cookie = "Zorbit", .program_dir = program_dir.string()}))
        << desktop->BoxTexts();
    ASSERT_TRUE(SetGlobalOptions(*desktop, state)) << desktop->BoxTexts();
  }
  void Click(const std::string& link) {
    // The page's requests for stored files carry "bkt=".
    InterceptDownload({.desktop = *desktop, .engine = state, .page = page, .shell = shell}, link + "&bkt=1");
  }
  json Status(const std::string& gid) { return testing::Aria2Call(state, "aria2.tellStatus", {gid})["result"]; }
  size_t Done(const std::string& gid) { return std::stoull(Status(gid).value("completedLength", "0")); }
  // Every entry aria2 lists, whatever its state.
  json Entries() {
    json all = json::array();
    for (const char* method : {"aria2.tellActive", "aria2.tellWaiting", "aria2.tellStopped"}) {
      json params = std::string(method) == "aria2.tellActive" ? json::array() : json::array({0, 100});
      const json reply = testing::Aria2Call(state, method, params);
      for (const json& task : reply["result"]) all.push_back(task);
    }
    return all;
  }
  std::string Way() {
    auto events = desktop->Events("same_file");
    return events.empty() ? "" : events.back().value("way", "");
  }
  // After the second click: one entry, complete, byte-identical, no twin file,
  // and "resume all" in the manager starts nothing that writes a copy.
  void ExpectOneFinishedFile() {
    const fs::path file = work_dir / "ZorbitDravenet" / "big.bin";
    ASSERT_TRUE(testing::WaitFor([&] { return !fs::exists(file.string() + ".aria2") && fs::file_size(file) == kSize; },
                                 std::chrono::seconds(20)))
        << Entries().dump();
    EXPECT_TRUE(testing::ReadFile(file) == server.Big());
    json entries = Entries();
    ASSERT_EQ(entries.size(), 1u) << entries.dump();
    EXPECT_EQ(entries[0]["status"], "complete");
    testing::Aria2Call(state, "aria2.unpauseAll");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(fs::exists(work_dir / "ZorbitDravenet" / "big.1.bin"));
    EXPECT_EQ(std::distance(fs::directory_iterator(work_dir / "ZorbitDravenet"), fs::directory_iterator()), 1);
  }

  testing::ThrottledServer server{kSize, 2u << 20};
  testing::SharePage page{"big.bin", "4 MB"};
  testing::CountingShell shell;
};

TEST_F(SameFileDownload, AnExpiredLinkFailsAndTheNextLinkContinuesTheSameFile) {
  server.ExpireOldLinkAt(kSize / 3);
  Click(server.Url("/big?link=old"));
  ASSERT_EQ(Way(), "new_task");
  const std::string gid = desktop->Events("task_created").back()["gid"];
  ASSERT_TRUE(testing::WaitFor([&] { return Status(gid)["status"] == "error"; }, std::chrono::seconds(15)));
  EXPECT_EQ(Status(gid)["errorCode"], "22");
  const std::string why = GbkToUtf8(ExplainDownloadFailure("22", Utf8ToGbk(Status(gid).value("errorMessage", ""))));
  EXPECT_NE(why.find(reinterpret_cast<const char*>(u8"下载链接已过期")), std::string::npos) << why;
  const size_t served_before = server.Served();

  Click(server.Url("/big?link=new"));
  EXPECT_EQ(Way(), "replaced_failed");
  EXPECT_EQ(shell.shown, 2);
  ExpectOneFinishedFile();
  // Continued, not started again: about the rest of the file was fetched.
  EXPECT_LT(server.Served() - served_before, kSize - served_before / 2);
}

TEST_F(SameFileDownload, APausedDownloadTakesTheNewLinkAndGoesOn) {
  Click(server.Url("/big?link=old"));
  const std::string gid = desktop->Events("task_created").back()["gid"];
  ASSERT_TRUE(testing::WaitFor([&] { return Done(gid) >= kSize / 3; }, std::chrono::seconds(15)));
  testing::Aria2Call(state, "aria2.pause", {gid});
  ASSERT_TRUE(testing::WaitFor([&] { return Status(gid)["status"] == "paused"; }, std::chrono::seconds(10)));
  server.ExpireOldLinkAt(0);
  const size_t requests_before = server.Ranges().size();

  Click(server.Url("/big?link=new"));
  EXPECT_EQ(Way(), "changed_links");
  EXPECT_EQ(desktop->Events("same_file").back()["gid"], gid);
  EXPECT_EQ(desktop->Events("task_created").size(), 1u);
  EXPECT_EQ(shell.shown, 2);
  ExpectOneFinishedFile();
  const json uris = Status(gid)["files"][0]["uris"];
  ASSERT_FALSE(uris.empty());
  for (const json& uri : uris) EXPECT_EQ(uri["uri"], server.Url("/big?link=new&bkt=1"));
  EXPECT_GT(server.Ranges().size(), requests_before);
}

TEST_F(SameFileDownload, AFinishedFileOrOneStillDownloadingGetsASecondTaskAsBefore) {
  server.ExpireOldLinkAt(SIZE_MAX);
  page.name = "small.bin";
  Click(server.Url("/small?f=1"));
  const std::string gid = desktop->Events("task_created").back()["gid"];
  ASSERT_TRUE(testing::WaitFor([&] { return Status(gid)["status"] == "complete"; }, std::chrono::seconds(10)));
  Click(server.Url("/small?f=1"));
  EXPECT_EQ(Way(), "second_task");
  EXPECT_EQ(desktop->Events("task_created").size(), 2u);

  page.name = "big.bin";
  Click(server.Url("/big?f=1"));
  const std::string big = desktop->Events("task_created").back()["gid"];
  ASSERT_TRUE(testing::WaitFor([&] { return Done(big) > 0; }, std::chrono::seconds(10)));
  Click(server.Url("/big?f=1"));
  EXPECT_EQ(Way(), "second_task");
  EXPECT_EQ(desktop->Events("task_created").size(), 4u);
}

}  // namespace
}  // namespace korvath
