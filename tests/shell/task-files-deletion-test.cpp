// Deleting a task's files while someone else changes the folders under it.
#include "shell/task-files-deletion.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

namespace korvath {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A folder below the task's folder is swapped for a link to another folder
// and back, over and over, while the task's files are deleted: whatever the
// timing, nothing in the other folder goes, though it holds files of the
// same names.
TEST(TaskFilesDeletion, AFolderSwappedForALinkNeverLeadsOutside) {
  char tmpl[] = "/tmp/korvath-deletion-race-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const fs::path root = tmpl, task = root / "task", sub = task / "sub", real = task / "sub.real",
                 outside = root / "outside";
  fs::create_directories(sub);
  fs::create_directories(outside);
  std::ofstream(outside / "f.bin") << "keep";
  std::ofstream(outside / "f.bin.aria2") << "keep";
  const std::string path = (sub / "f.bin").string();
  const TaskFilesLookup lookup = [&](const std::string&) -> std::optional<TaskFiles> {
    return TaskFiles{.status = "complete", .dir = task.string(), .paths = {path}, .others = [] {
                       return std::optional<std::vector<OtherTask>>(std::vector<OtherTask>{});
                     }};
  };
  const std::string request = json{{"gid", "0123456789abcdef"}, {"paths", {path}}}.dump();

  std::atomic<bool> stop = false;
  std::thread swapper([&] {
    while (!stop) {
      // Only this thread moves "sub", so here it is the real folder.
      std::ofstream(sub / "f.bin") << "task";
      std::ofstream(sub / "f.bin.aria2") << "task";
      ::rename(sub.c_str(), real.c_str());
      ::symlink(outside.c_str(), sub.c_str());
      std::this_thread::yield();
      ::unlink(sub.c_str());
      ::rename(real.c_str(), sub.c_str());
    }
  });
  int deleted = 0, refused = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  while (std::chrono::steady_clock::now() < end && fs::exists(outside / "f.bin") &&
         fs::exists(outside / "f.bin.aria2")) {
    const json reply = json::parse(DeleteTaskFilesReply(request, lookup));
    if (reply["ok"] == true)
      deleted += !reply["deleted"].empty();
    else
      ++refused;
  }
  stop = true;
  swapper.join();

  EXPECT_EQ(Read(outside / "f.bin"), "keep");
  EXPECT_EQ(Read(outside / "f.bin.aria2"), "keep");
  // Both sides of the race were met: files went from the real folder, and
  // the link was found in the way.
  EXPECT_GT(deleted, 0);
  EXPECT_GT(refused, 0);
  std::error_code ec;
  fs::remove_all(root, ec);
}

}  // namespace
}  // namespace korvath
