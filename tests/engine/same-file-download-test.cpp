// One file, one download, with the real aria2: a link that expires half-way
// fails the task; the page's next link for the same file continues it from
// where it stopped, whether the old task failed or was paused, and leaves one
// entry in aria2's list and one file on disk. Any other file under the same
// name is saved beside it, and nothing that is not Korvath's is written.
#include "engine/same-file-download.h"

#include <gtest/gtest.h>

#include <utility>

#include "engine/aria2-bootstrap.h"
#include "engine/download-failure.h"
#include "engine/engine-fixture.h"
#include "engine/file-link.h"
#include "engine/finished-downloads.h"
#include "engine/rpc-client.h"
#include "engine/session-record.h"
#include "support/throttled-server.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string U8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

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
    InterceptDownload(
        {.desktop = *desktop, .engine = state, .page = page, .shell = shell, .session_record = record},
        link + "&bkt=1");
  }
  // Three slow downloads fill aria2's three places (the intake sets three),
  // so the next task waits in the queue until Unblock.
  void Block() {
    for (int i = 0; i < 3; ++i) {
      const json options = {{"dir", (work_dir / "blockers").string()}, {"out", "b" + std::to_string(i)}};
      const json reply = testing::Aria2Call(
          state, "aria2.addUri", {json::array({slow.Url("/big?fid=" + std::to_string(900 + i))}), options});
      blockers.push_back(reply.value("result", ""));
    }
    ASSERT_TRUE(testing::WaitFor(
        [&] { return testing::Aria2Call(state, "aria2.tellActive")["result"].size() == blockers.size(); },
        std::chrono::seconds(10)));
  }
  void Unblock() {
    for (const std::string& gid : blockers) testing::Aria2Call(state, "aria2.forceRemove", {gid});
    blockers.clear();
  }
  json Status(const std::string& gid) {
    return testing::Aria2Call(state, "aria2.tellStatus", {gid})["result"];
  }
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
  // Clicks and waits until aria2 calls the new task complete.
  void ClickAndFinish(const std::string& link) {
    const size_t before = desktop->Events("task_created").size();
    Click(link);
    ASSERT_EQ(desktop->Events("task_created").size(), before + 1) << desktop->BoxTexts();
    const std::string gid = desktop->Events("task_created").back()["gid"];
    ASSERT_TRUE(
        testing::WaitFor([&] { return Status(gid)["status"] == "complete"; }, std::chrono::seconds(15)));
  }
  std::string Saved() {
    auto events = desktop->Events("same_file");
    return events.empty() ? "" : events.back().value("saved", "");
  }
  std::string Way() {
    auto events = desktop->Events("same_file");
    return events.empty() ? "" : events.back().value("way", "");
  }
  // After the second click: one entry, complete, byte-identical, no twin file,
  // and "resume all" in the manager starts nothing that writes a copy.
  void ExpectOneFinishedFile() {
    const fs::path file = work_dir / "ZorbitDravenet" / "big.bin";
    ASSERT_TRUE(testing::WaitFor(
        [&] { return !fs::exists(file.string() + ".aria2") && fs::file_size(file) == kSize; },
        std::chrono::seconds(20)))
        << Entries().dump();
    EXPECT_TRUE(testing::ReadFile(file) == server.Big());
    json entries = Entries();
    ASSERT_EQ(entries.size(), 1u) << entries.dump();
    EXPECT_EQ(entries[0]["status"], "complete");
    testing::Aria2Call(state, "aria2.unpauseAll");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(fs::exists(work_dir / "ZorbitDravenet" / "big.1.bin"));
    EXPECT_EQ(std::distance(fs::directory_iterator(work_dir / "ZorbitDravenet"), fs::directory_iterator()),
              1);
  }

  testing::ThrottledServer server{kSize, 2u << 20};
  testing::ThrottledServer slow{kSize, 64u << 10, 9};
  testing::SharePage page{"big.bin", "4 MB"};
  testing::CountingShell shell;
  std::string record;  // Korvath's record of unfinished downloads; "": none
  std::vector<std::string> blockers;
};

TEST(SameStoredFile, ThePathAndTheFidNameTheFileNothingElse) {
  const char* link = "http://d.example/file/ab12?bkt=p1&fid=77-250&sign=x&expires=8h";
  for (const char* same : {"https://d2.example:8443/file/ab12?fid=77-250&bkt=p9&sign=y",
                           "http://other.example/file/ab12?expires=1h&fid=77-250#top"}) {
    EXPECT_TRUE(SameStoredFile(link, same)) << same;
  }
  for (const char* other :
       {"http://d.example/file/ab13?bkt=p1&fid=77-250&sign=x",
        "http://d.example/file/ab12?bkt=p1&fid=77-251&sign=x", "http://d.example/file/ab12?bkt=p1&sign=x",
        "http://d.example/file/AB12?fid=77-250"}) {
    EXPECT_FALSE(SameStoredFile(link, other)) << other;
  }
  EXPECT_TRUE(SameStoredFile("http://a/big?link=old", "http://b:81/big?link=new&bkt=1"));
  EXPECT_FALSE(LinksFetchStoredFile({}, link));
  EXPECT_FALSE(LinksFetchStoredFile({Text(link), Text("http://d.example/file/zz?fid=1")}, link));
}

TEST_F(SameFileDownload, AnExpiredLinkFailsAndTheNextLinkContinuesTheSameFile) {
  server.ExpireOldLinkAt(kSize / 3);
  Click(server.Url("/big?fid=7&link=old"));
  ASSERT_EQ(Way(), "new_task");
  const std::string gid = desktop->Events("task_created").back()["gid"];
  ASSERT_TRUE(testing::WaitFor([&] { return Status(gid)["status"] == "error"; }, std::chrono::seconds(15)));
  EXPECT_EQ(Status(gid)["errorCode"], "22");
  const std::string why =
      GbkToUtf8(ExplainDownloadFailure("22", Utf8ToGbk(Status(gid).value("errorMessage", ""))));
  EXPECT_NE(why.find(reinterpret_cast<const char*>(u8"下载链接已过期")), std::string::npos) << why;
  const size_t served_before = server.Served();

  // The fresh link names the host otherwise and carries other parameters;
  // its path and its fid are the file's.
  std::string fresh = server.Url("/big?sign=2&link=new&fid=7");
  fresh.replace(fresh.find("127.0.0.1"), 9, "localhost");
  Click(fresh);
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

// The same name from another share, or again after it finished: the file
// already there is another file and keeps every byte.
TEST_F(SameFileDownload, ASameNamedFileOfAnotherShareIsSavedBesideTheFirstUnderAFreeName) {
  const fs::path folder = work_dir / "ZorbitDravenet";
  page = {U8(u8"说明.txt"), "4 KB"};
  ClickAndFinish(server.Url("/small?f=1"));
  EXPECT_EQ(Way(), "new_task");

  page.size = "4 MB";  // another share's 说明.txt, of another size
  ClickAndFinish(server.Url("/big?f=1"));
  EXPECT_EQ(Way(), "free_name");
  EXPECT_EQ(Saved(), U8(u8"说明 (2).txt"));

  page.size = "4 KB";  // a third, of the same size as the first but other bytes
  ClickAndFinish(server.Url("/other?f=1"));
  EXPECT_EQ(Way(), "free_name");

  EXPECT_TRUE(testing::ReadFile(folder / U8(u8"说明.txt")) == server.Small());
  EXPECT_TRUE(testing::ReadFile(folder / U8(u8"说明 (2).txt")) == server.Big());
  EXPECT_TRUE(testing::ReadFile(folder / U8(u8"说明 (3).txt")) == server.Other());
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 3);
}

// A page that shows no name leaves the naming to aria2, from the address:
// a file of the user's under that name is neither written over (the server
// here honours ranges, so it was continued) nor taken as the download.
TEST_F(SameFileDownload, WithoutANameOnThePageAFileAria2NamesTheSameIsKept) {
  const fs::path folder = work_dir / "ZorbitDravenet";
  fs::create_directories(folder);
  const std::string users = "the user's own file, shorter than the download";
  testing::WriteFile(folder / "big", users);
  page = {"", "4 MB"};
  ClickAndFinish(server.Url("/big?f=1"));
  EXPECT_EQ(testing::ReadFile(folder / "big"), users);
  EXPECT_TRUE(testing::ReadFile(folder / "big.1") == server.Big());
}

TEST_F(SameFileDownload, ASecondClickWhileTheFileDownloadsMakesNoTwin) {
  Click(server.Url("/big?f=1"));
  const std::string gid = desktop->Events("task_created").back()["gid"];
  ASSERT_TRUE(testing::WaitFor([&] { return Done(gid) > 0; }, std::chrono::seconds(10)));
  Click(server.Url("/big?f=2"));
  EXPECT_EQ(Way(), "downloading");
  EXPECT_EQ(desktop->Events("same_file").back()["gid"], gid);
  EXPECT_EQ(desktop->Events("task_created").size(), 1u);
  ASSERT_FALSE(desktop->boxes.empty());
  EXPECT_EQ(GbkToUtf8(desktop->boxes.back().text), U8(u8"这个文件正在下载。"));
  EXPECT_EQ(shell.shown, 2);  // the manager is brought forward
  ExpectOneFinishedFile();
}

// Only Korvath's own files are written: a link, also one to nothing, is
// never written through, and a file named like a control file is never
// taken for one.
TEST_F(SameFileDownload, ALinkOrAControlFileLikeNameIsNeverWrittenThrough) {
  const fs::path folder = work_dir / "ZorbitDravenet";
  const fs::path outside = work_dir / "outside.bin";
  testing::WriteFile(outside, "the user's own file");
  fs::create_directories(folder);
  fs::create_symlink(outside, folder / "link.bin");
  page = {"link.bin", "4 KB"};
  ClickAndFinish(server.Url("/small?f=1"));
  EXPECT_EQ(Way(), "free_name");
  EXPECT_EQ(testing::ReadFile(outside), "the user's own file");
  EXPECT_TRUE(fs::is_symlink(folder / "link.bin"));
  EXPECT_TRUE(testing::ReadFile(folder / "link (2).bin") == server.Small());
  // A link to nothing: aria2 finds no file there and would create its target.
  const fs::path nowhere = work_dir / "nowhere.bin";
  fs::create_symlink(nowhere, folder / "dangling.bin");
  page = {"dangling.bin", "4 KB"};
  ClickAndFinish(server.Url("/other?f=3"));
  EXPECT_EQ(Way(), "free_name");
  EXPECT_FALSE(fs::exists(nowhere));
  EXPECT_TRUE(testing::ReadFile(folder / "dangling (2).bin") == server.Other());

  page = {"t.bin.aria2", "4 KB"};
  ClickAndFinish(server.Url("/other?f=1"));
  EXPECT_EQ(Saved(), "t.bin.aria2 (2)");
  page = {"t.bin", "4 KB"};
  ClickAndFinish(server.Url("/small?f=2"));
  EXPECT_EQ(Way(), "new_task");
  EXPECT_TRUE(testing::ReadFile(folder / "t.bin.aria2 (2)") == server.Other());
  EXPECT_TRUE(testing::ReadFile(folder / "t.bin") == server.Small());
}

// A name of 85 Chinese characters fills a file name; cut to leave room for
// the control file, the download survives aria2 being killed.
TEST_F(SameFileDownload, ALongNameKeepsItsControlFileAndContinuesAfterACrash) {
  std::string han;
  for (int i = 0; i < 85; ++i) han += U8(u8"中");
  page = {han, "4 MB"};
  Click(server.Url("/big?f=1"));
  const fs::path folder = work_dir / "ZorbitDravenet";
  const std::string saved = Saved();
  EXPECT_EQ(saved.size(), kMaxSavedNameBytes);
  const std::string gid = desktop->Events("task_created").back()["gid"];
  ASSERT_TRUE(testing::WaitFor([&] { return Done(gid) >= kSize / 4; }, std::chrono::seconds(15)));
  // Paused first so the control file holds what was written, then killed.
  testing::Aria2Call(state, "aria2.pause", {gid});
  ASSERT_TRUE(testing::WaitFor([&] { return Status(gid)["status"] == "paused"; }, std::chrono::seconds(10)));
  ASSERT_TRUE(fs::exists(folder / (saved + ".aria2")));
  // What Korvath recorded of the download tells its link after the crash.
  record = (work_dir / "session.json").string();
  ASSERT_TRUE(SaveSessionRecord(*desktop, state, record, work_dir.string()).saved);
  ::kill(state.aria2_pid, SIGKILL);
  ::waitpid(state.aria2_pid, nullptr, 0);
  ASSERT_TRUE(testing::WaitFor([] { return !testing::PortListening(6800); }, std::chrono::seconds(10)));
  ASSERT_TRUE(StartAria2(*desktop, state, {.cookie = "Zorbit", .program_dir = program_dir.string()}));

  // Without the record nothing tells whose partial file it is: it is kept,
  // and the click saves a file beside it.
  const std::string kept = std::exchange(record, "");
  Click(server.Url("/big?f=2"));
  EXPECT_EQ(Way(), "free_name");
  EXPECT_NE(Saved(), saved);
  testing::Aria2Call(state, "aria2.forceRemove", {desktop->Events("task_created").back()["gid"]});
  ASSERT_TRUE(fs::exists(folder / (saved + ".aria2")));
  record = kept;
  const size_t served_before = server.Served();

  Click(server.Url("/big?f=2"));
  EXPECT_EQ(Way(), "control_file");
  const std::string again = desktop->Events("task_created").back()["gid"];
  ASSERT_TRUE(
      testing::WaitFor([&] { return Status(again)["status"] == "complete"; }, std::chrono::seconds(20)));
  EXPECT_TRUE(testing::ReadFile(folder / saved) == server.Big());
  EXPECT_LT(server.Served() - served_before, kSize - kSize / 8);
}

// aria2 finishes writing into a deleted folder, or a deleted partial file,
// and calls the download complete; the user has nothing, and is told so.
TEST_F(SameFileDownload, AFileDeletedWhileItDownloadsIsAFailureNotDone) {
  StatedSizes sizes("");
  FinishedDownloadWatch watch(work_dir.string(), &sizes);
  watch.Look(*desktop, state);
  const fs::path folder = work_dir / "ZorbitDravenet";
  for (const char* gone : {"file", "folder"}) {
    page.name = std::string(gone) + ".bin";
    InterceptDownload(
        {.desktop = *desktop, .engine = state, .page = page, .shell = shell, .stated_sizes = &sizes},
        server.Url("/big?f=") + gone + "&bkt=1");
    const std::string gid = desktop->Events("task_created").back()["gid"];
    ASSERT_TRUE(testing::WaitFor([&] { return Done(gid) > 0; }, std::chrono::seconds(10)));
    if (std::string(gone) == "file") {
      fs::remove(folder / page.name);
    } else {
      fs::remove_all(folder);
    }
    ASSERT_TRUE(
        testing::WaitFor([&] { return Status(gid)["status"] == "complete"; }, std::chrono::seconds(15)));
    std::vector<FinishedDownload> news;
    ASSERT_TRUE(testing::WaitFor([&] { return !(news = watch.Look(*desktop, state)).empty(); },
                                 std::chrono::seconds(5)));
    EXPECT_FALSE(news[0].ok) << gone;
    EXPECT_EQ(GbkToUtf8(news[0].error).rfind(U8(u8"下载的文件不见了：") + (folder / page.name).string(), 0),
              0u)
        << GbkToUtf8(news[0].error);
  }
}

// Two shares each hold a 课程资料.bin of the same size and other bytes. Share
// B's is clicked while share A's is paused, queued, downloading, failed (its
// link expired) or finished: it is another file, saved beside A's, and each
// file ends byte-identical to its own share's.
enum class FirstIs { kPaused, kQueued, kDownloading, kFailed, kFinished };
std::string FirstIsName(FirstIs first) {
  constexpr const char* kNames[] = {"Paused", "Queued", "Downloading", "Failed", "Finished"};
  return kNames[static_cast<int>(first)];
}

class SameNameAndSizeFromAnotherShare : public SameFileDownload,
                                        public ::testing::WithParamInterface<FirstIs> {
 protected:
  // For the record of a run: the way each click took and each file's hash.
  static std::string Sha256(const fs::path& file) {
    std::string out;
    if (FILE* pipe = ::popen(("sha256sum '" + file.string() + "'").c_str(), "r")) {
      char buffer[128];
      while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
      ::pclose(pipe);
    }
    return out.substr(0, out.find(' '));
  }
  testing::ThrottledServer share_b{kSize, 2u << 20, 1};
};

TEST_P(SameNameAndSizeFromAnotherShare, EachFileEndsAsItsShareServesIt) {
  const fs::path folder = work_dir / "ZorbitDravenet";
  const std::string name = U8(u8"课程资料.bin"), second = U8(u8"课程资料 (2).bin");
  page = {name, "4 MB"};
  ASSERT_FALSE(server.Big() == share_b.Big());
  if (GetParam() == FirstIs::kQueued) {
    ASSERT_NO_FATAL_FAILURE(Block());
  }
  if (GetParam() == FirstIs::kFailed) server.ExpireOldLinkAt(kSize / 3);
  Click(server.Url("/big?fid=101&link=old"));
  ASSERT_EQ(Way(), "new_task");
  std::string first = desktop->Events("task_created").back()["gid"];
  switch (GetParam()) {
    case FirstIs::kPaused:
      ASSERT_TRUE(testing::WaitFor([&] { return Done(first) >= kSize / 3; }, std::chrono::seconds(15)));
      testing::Aria2Call(state, "aria2.pause", {first});
      ASSERT_TRUE(
          testing::WaitFor([&] { return Status(first)["status"] == "paused"; }, std::chrono::seconds(10)));
      break;
    case FirstIs::kQueued:
      ASSERT_EQ(Status(first)["status"], "waiting");
      break;
    case FirstIs::kDownloading:
      ASSERT_TRUE(testing::WaitFor([&] { return Done(first) > 0; }, std::chrono::seconds(10)));
      ASSERT_EQ(Status(first)["status"], "active");
      break;
    case FirstIs::kFailed:
      ASSERT_TRUE(
          testing::WaitFor([&] { return Status(first)["status"] == "error"; }, std::chrono::seconds(15)));
      break;
    case FirstIs::kFinished:
      ASSERT_TRUE(
          testing::WaitFor([&] { return Status(first)["status"] == "complete"; }, std::chrono::seconds(15)));
      break;
  }

  Click(share_b.Url("/big?fid=202&sign=b"));
  EXPECT_EQ(Way(), "free_name");
  EXPECT_EQ(Saved(), second);
  ASSERT_EQ(desktop->Events("task_created").size(), 2u) << desktop->BoxTexts();
  const std::string other = desktop->Events("task_created").back()["gid"];
  EXPECT_NE(other, first);
  Unblock();
  if (GetParam() == FirstIs::kPaused) testing::Aria2Call(state, "aria2.unpause", {first});
  if (GetParam() == FirstIs::kFailed) {
    // Share A's page gives a fresh link: A's download goes on, B's is not touched.
    page = {name, "4 MB"};
    Click(server.Url("/big?link=new&fid=101"));
    EXPECT_EQ(Way(), "replaced_failed");
    EXPECT_EQ(Saved(), name);
    first = desktop->Events("task_created").back()["gid"];
  }

  for (const std::string& gid : {first, other}) {
    ASSERT_TRUE(
        testing::WaitFor([&] { return Status(gid)["status"] == "complete"; }, std::chrono::seconds(30)))
        << Status(gid).dump();
  }
  EXPECT_TRUE(testing::ReadFile(folder / name) == server.Big());
  EXPECT_TRUE(testing::ReadFile(folder / second) == share_b.Big());
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);
  for (const auto& event : desktop->Events("same_file")) std::printf("same_file %s\n", event.dump().c_str());
  testing::WriteFile(work_dir / "a.served", server.Big());
  testing::WriteFile(work_dir / "b.served", share_b.Big());
  std::printf("sha256 A served %s, B served %s; %s %s, %s %s\n", Sha256(work_dir / "a.served").c_str(),
              Sha256(work_dir / "b.served").c_str(), name.c_str(), Sha256(folder / name).c_str(),
              second.c_str(), Sha256(folder / second).c_str());
}

INSTANTIATE_TEST_SUITE_P(FirstDownload, SameNameAndSizeFromAnotherShare,
                         ::testing::Values(FirstIs::kPaused, FirstIs::kQueued, FirstIs::kDownloading,
                                           FirstIs::kFailed, FirstIs::kFinished),
                         [](const auto& info) { return FirstIsName(info.param); });

// The name was free at the click and is the queued download's until aria2
// opens it: a file put there meanwhile, shorter than the download or of its
// whole length, is neither appended to nor taken as done. The task fails and
// says why; the user's file keeps every byte, and a second click saves the
// download beside it.
TEST_F(SameFileDownload, AFilePutAtAQueuedDownloadsNameIsLeftAsItIs) {
  const fs::path folder = work_dir / "ZorbitDravenet";
  for (const size_t size : {size_t{1} << 20, kSize}) {
    page = {"queued-" + std::to_string(size) + ".bin", "4 MB"};
    ASSERT_NO_FATAL_FAILURE(Block());
    Click(server.Url("/big?fid=" + std::to_string(size)));
    ASSERT_EQ(Way(), "new_task");
    const std::string gid = desktop->Events("task_created").back()["gid"];
    ASSERT_EQ(Status(gid)["status"], "waiting");
    const std::string users(size, 'u');
    fs::create_directories(folder);
    testing::WriteFile(folder / page.name, users);
    Unblock();

    ASSERT_TRUE(testing::WaitFor([&] { return Status(gid)["status"] == "error"; }, std::chrono::seconds(15)))
        << Status(gid).dump();
    EXPECT_EQ(Status(gid)["errorCode"], "13");
    const std::string why =
        GbkToUtf8(ExplainDownloadFailure("13", Utf8ToGbk(Status(gid).value("errorMessage", ""))));
    EXPECT_NE(why.find(U8(u8"已经有同名的文件")), std::string::npos) << why;
    EXPECT_TRUE(testing::ReadFile(folder / page.name) == users);
    EXPECT_FALSE(fs::exists(folder / (page.name + ".aria2")));

    Click(server.Url("/big?fid=" + std::to_string(size)));
    EXPECT_EQ(Way(), "free_name");
    const std::string beside = desktop->Events("task_created").back()["gid"];
    ASSERT_TRUE(
        testing::WaitFor([&] { return Status(beside)["status"] == "complete"; }, std::chrono::seconds(20)));
    EXPECT_TRUE(testing::ReadFile(folder / Saved()) == server.Big());
    EXPECT_TRUE(testing::ReadFile(folder / page.name) == users);
  }
}

}  // namespace
}  // namespace korvath
