#include "engine/processes.h"

#include <gtest/gtest.h>

#include "engine/engine-fixture.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;
using testing::EndProcess;
using testing::Spawn;

// A copy of sleep under a chosen name, so the process carries that name.
class NamedProcess : public ::testing::Test {
 protected:
  void SetUp() override { dir = testing::MakeTempDir("korvath-proc"); }
  void TearDown() override {
    for (int pid : pids) EndProcess(pid);
    fs::remove_all(dir);
  }
  int Run(const std::string& name) {
    fs::copy_file("/bin/sleep", dir / name);
    int pid = Spawn(dir / name, {"30"});
    pids.push_back(pid);
    // Until exec has happened the child still carries our name.
    testing::WaitFor(
        [&] {
          return testing::ReadFile("/proc/" + std::to_string(pid) + "/comm").starts_with(name.substr(0, 15));
        },
        std::chrono::seconds(2));
    return pid;
  }
  fs::path dir;
  std::vector<int> pids;
};

TEST_F(NamedProcess, NamesCompareWithoutAsciiCase) {
  // Unique per test run, so no other process of this machine can answer.
  std::string name = "KVT" + std::to_string(::getpid()) + ".EXE";
  int pid = Run(name);
  std::string lower = name;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(FindProcessByName(lower), pid);
  EXPECT_EQ(FindProcessByName(name), pid);
  EXPECT_EQ(FindProcessByName(lower + "x"), 0);
  EXPECT_EQ(FindProcessByName(""), 0);
}

TEST_F(NamedProcess, ANameLongerThanTheKernelKeepsIsFoundThroughTheExecutable) {
  std::string name = "korvath-long-process-" + std::to_string(::getpid()) + ".exe";
  int pid = Run(name);
  EXPECT_EQ(FindProcessByName(name), pid);
}

TEST_F(NamedProcess, AnEndedProcessIsIgnored) {
  std::string name = "KVZ" + std::to_string(::getpid()) + ".exe";
  int pid = Run(name);
  ASSERT_TRUE(TerminateProcessById(pid));
  // Ended but not reaped: a zombie still has its /proc entry.
  ASSERT_TRUE(testing::WaitFor(
      [&] {
        return testing::ReadFile("/proc/" + std::to_string(pid) + "/stat").find(") Z ") != std::string::npos;
      },
      std::chrono::seconds(3)));
  EXPECT_EQ(FindProcessByName(name), 0);
  EXPECT_FALSE(TerminateProcessById(pid));
  ::waitpid(pid, nullptr, 0);
  EXPECT_FALSE(TerminateProcessById(pid));
  EXPECT_FALSE(TerminateProcessById(0));
  EXPECT_FALSE(TerminateProcessById(-1));
}

// What tells a busy aria2 from a hung one: the CPU time of a process that
// works grows, that of a stopped one does not, and a gone one has none.
TEST(ProcessCpuTicks, GrowWhileAProcessWorksAndStandStillWhileItIsStopped) {
  const int pid = Spawn("/bin/sh", {"-c", "while :; do :; done"});
  ASSERT_GT(pid, 0);
  const std::optional<std::int64_t> start = ProcessCpuTicks(pid);
  ASSERT_TRUE(start.has_value());
  EXPECT_TRUE(
      testing::WaitFor([&] { return ProcessCpuTicks(pid).value_or(0) > *start; }, std::chrono::seconds(5)));
  ASSERT_EQ(::kill(pid, SIGSTOP), 0);
  ASSERT_TRUE(testing::WaitFor(
      [&] {
        return testing::ReadFile("/proc/" + std::to_string(pid) + "/stat").find(") T ") != std::string::npos;
      },
      std::chrono::seconds(3)));
  const std::optional<std::int64_t> stopped = ProcessCpuTicks(pid);
  ::usleep(300 * 1000);
  EXPECT_EQ(ProcessCpuTicks(pid), stopped);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  EXPECT_EQ(ProcessCpuTicks(pid), std::nullopt);
  EXPECT_EQ(ProcessCpuTicks(0), std::nullopt);
}

TEST(NoticeBox, UsesTheFixedCaptionAndAnOwnerWindowWhenOneIsVisible) {
  testing::RecordingDesktop desktop;
  desktop.has_window = true;
  desktop.answers.push_back(kCancel);
  EXPECT_EQ(NoticeBox(desktop, "hello", kMbOkCancel | kMbIconError), kCancel);
  ASSERT_EQ(desktop.boxes.size(), 1u);
  EXPECT_EQ(desktop.boxes[0].text, "hello");
  EXPECT_EQ(desktop.boxes[0].caption, Gbk(u8"友情提醒"));
  EXPECT_EQ(desktop.boxes[0].flags, kMbOkCancel | kMbIconError);
  EXPECT_TRUE(desktop.boxes[0].owned);
  desktop.has_window = false;
  NoticeBox(desktop, "plain");
  EXPECT_EQ(desktop.boxes[1].flags, 0);
  EXPECT_FALSE(desktop.boxes[1].owned);
}

}  // namespace
}  // namespace korvath
