// Parts that fail around aria2: aria2 killed mid-download, its port held by
// a stranger, a leftover copy from a crashed run, a read-only program
// directory and a full disk. Each ends in a clear message and loses nothing.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <atomic>

#include "engine/aria2-bootstrap.h"
#include "engine/aria2-home.h"
#include "engine/download-task.h"
#include "engine/engine-fixture.h"
#include "engine/processes.h"
#include "engine/rpc-client.h"
#include "engine/session-record.h"
#include "intake/intake.h"
#include "support/hostile-server.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;

std::string Payload(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 251 + 3) % 253);
  return data;
}

// Serves /big a little at a time (ranges honoured), so aria2 is still busy
// with it when the test ends aria2.
class SlowFileServer {
 public:
  explicit SlowFileServer(size_t size) : data_(Payload(size)) {
    server_.Get("/big", [this](const httplib::Request&, httplib::Response& response) {
      response.set_content_provider(data_.size(), "application/octet-stream",
                                    [this](size_t offset, size_t length, httplib::DataSink& sink) {
                                      if (stopping_) return false;
                                      std::this_thread::sleep_for(std::chrono::milliseconds(slow_ ? 50 : 1));
                                      sink.write(data_.data() + offset,
                                                 std::min<size_t>(length, slow_ ? 4096 : 65536));
                                      return !stopping_;
                                    });
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~SlowFileServer() {
    stopping_ = true;
    server_.stop();
    thread_.join();
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/big?bkt=1"; }
  const std::string& Data() const { return data_; }
  void Hurry() { slow_ = false; }

 private:
  std::string data_;
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> slow_{true};
};

class PageWithName : public IntakePage {
 public:
  void GoBack() override {}
  Text GetPageText() override { return Gbk(u8"文件名：") + "big.bin" + Gbk(u8"文件大小：4MB"); }
};

class QuietShell : public IntakeShell {
 public:
  void ShowDownloadManager() override { ++shown; }
  void HideLoadingOverlay() override {}
  int shown = 0;
};

class FailingAria2 : public testing::Aria2Test {
 protected:
  StartAria2Params Params() {
    return {.cookie = "Zorbit",
            .program_dir = program_dir.string(),
            .output_log = (log_dir / "aria2.out").string()};
  }
  void TearDown() override {
    for (const fs::path& mount : mounts) ::umount2(mount.c_str(), MNT_DETACH);
    testing::Aria2Test::TearDown();
  }
  // A tmpfs over `dir` with `options`; false where mounting is not allowed.
  bool Mount(const fs::path& dir, const char* options) {
    if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, options) != 0) return false;
    mounts.push_back(dir);
    return true;
  }
  std::vector<fs::path> mounts;
};

const Text kNotWorking = Gbk(u8"aria2的RPC服务不工作，请检查您电脑的防火墙设置。");
const Text kTaskFailed = Gbk(u8"创建任务失败！请重试……");

TEST_F(FailingAria2, KilledMidDownloadTheNextTaskFailsAloudAndTheFileResumesIntact) {
  SlowFileServer files(4u << 20);
  ASSERT_TRUE(StartAria2(*desktop, state, Params())) << desktop->BoxTexts();
  ASSERT_TRUE(SetGlobalOptions(*desktop, state)) << desktop->BoxTexts();
  PageWithName page;
  QuietShell shell;
  // The record of unfinished downloads, which the running program writes
  // as each task is handed over, tells the partial file's link after the kill.
  IntakeContext context{.desktop = *desktop,
                        .engine = state,
                        .page = page,
                        .shell = shell,
                        .session_record = (work_dir / "session.json").string()};
  InterceptDownload(context, files.Url());
  ASSERT_EQ(shell.shown, 1) << desktop->BoxTexts();
  ASSERT_TRUE(SaveSessionRecord(*desktop, state, context.session_record, work_dir.string()).saved);
  const fs::path file = work_dir / "ZorbitDravenet" / "big.bin";
  ASSERT_TRUE(testing::WaitFor([&] { return fs::exists(file.string() + ".aria2") && fs::exists(file); },
                               std::chrono::seconds(5)))
      << testing::Aria2Call(state, "aria2.tellStopped", {0, 5}).dump();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));

  // No chance to save anything: the hardest way aria2 can go.
  ASSERT_EQ(::kill(state.aria2_pid, SIGKILL), 0);
  ::waitpid(state.aria2_pid, nullptr, 0);
  ASSERT_NE(ReadFile(file), files.Data()) << "the download finished before aria2 was killed";

  desktop->boxes.clear();
  InterceptDownload(context, files.Url());
  ASSERT_GE(desktop->boxes.size(), 2u);
  EXPECT_EQ(desktop->boxes[desktop->boxes.size() - 2].text, kNotWorking) << desktop->BoxTexts();
  EXPECT_EQ(desktop->boxes.back().text, kTaskFailed);
  EXPECT_EQ(desktop->boxes.back().flags, kMbIconError);
  EXPECT_EQ(shell.shown, 1);

  // The partial file and its control file are still there and aria2 takes
  // them up again: the file completes byte for byte.
  EXPECT_TRUE(fs::exists(file.string() + ".aria2"));
  files.Hurry();
  desktop->boxes.clear();
  ASSERT_TRUE(StartAria2(*desktop, state, Params())) << desktop->BoxTexts();
  InterceptDownload(context, files.Url());
  EXPECT_EQ(shell.shown, 2) << desktop->BoxTexts();
  EXPECT_TRUE(testing::WaitFor(
      [&] { return !fs::exists(file.string() + ".aria2") && ReadFile(file) == files.Data(); },
      std::chrono::seconds(20)));
}

TEST_F(FailingAria2, AStrangerOnThePortIsNamedAndGetsNothing) {
  testing::HostileServer stranger(testing::Hostile::kSilent, 6800);
  ASSERT_TRUE(stranger.Listening());
  std::string own_name;
  std::getline(std::ifstream("/proc/self/comm"), own_name);

  EXPECT_FALSE(StartAria2(*desktop, state, Params()));
  ASSERT_EQ(desktop->boxes.size(), 1u);
  const Text& message = desktop->boxes[0].text;
  EXPECT_EQ(message.rfind(Gbk(u8"端口6800已被其他程序占用：") + Utf8ToGbk(own_name) + Gbk(u8"（进程号") +
                              ToText(::getpid()) + Gbk(u8"）"),
                          0),
            0u)
      << GbkToUtf8(message);
  EXPECT_EQ(desktop->boxes[0].flags, kMbIconError);
  EXPECT_EQ(stranger.Connections(), 0) << "something was sent to the stranger";
  EXPECT_EQ(state.aria2_pid, 0);
  EXPECT_TRUE(desktop->Events("aria2_started").empty());
  EXPECT_EQ(FindProcessByName("aria2c.exe"), 0);
}

TEST_F(FailingAria2, ALeftoverAria2IsEndedAndFreesThePortButTheUsersOwnAria2cIsNotTouched) {
  const std::string program = FindAria2Program().value_or("");
  ASSERT_FALSE(program.empty());
  // A crashed run's aria2, still listening on the port.
  fs::copy_file(program, log_dir / "aria2c.exe");
  int leftover = testing::Spawn(log_dir / "aria2c.exe",
                                {"--enable-rpc=true", "--rpc-listen-port=6800", "-q", "--rpc-secret=old"});
  extra_pids.push_back(leftover);
  ASSERT_TRUE(testing::WaitFor([] { return testing::PortListening(6800); }, std::chrono::seconds(5)));
  // The user's own aria2 under its usual name, on another port.
  fs::copy_file("/bin/sleep", log_dir / "aria2c");
  int users = testing::Spawn(log_dir / "aria2c", {"60"});
  extra_pids.push_back(users);

  ASSERT_TRUE(StartAria2(*desktop, state, Params())) << desktop->BoxTexts();
  EXPECT_NE(state.aria2_pid, leftover);
  // Start-up may have collected it already, as it collects its own aria2.
  int status = 0;
  ::waitpid(leftover, &status, WNOHANG);
  EXPECT_NE(::kill(leftover, 0), 0) << "the leftover still runs";
  EXPECT_EQ(::waitpid(users, &status, WNOHANG), 0) << "the user's aria2c was ended";
  EXPECT_EQ(::kill(users, 0), 0);
  // Ours answers with its own secret.
  EXPECT_TRUE(SetGlobalOptions(*desktop, state)) << desktop->BoxTexts();
}

TEST_F(FailingAria2, AReadOnlyProgramDirectoryMovesTheFilesToTheUsersDataDirectory) {
  if (::geteuid() == 0) {
    ASSERT_TRUE(Mount(program_dir, "ro,size=64k")) << "mount as root failed";
  } else {
    fs::permissions(program_dir, fs::perms::owner_read | fs::perms::owner_exec);
  }
  const fs::path data_home = log_dir / reinterpret_cast<const char*>(u8"数据");
  ::setenv("XDG_DATA_HOME", data_home.c_str(), 1);
  const bool started = StartAria2(*desktop, state, Params());
  ::unsetenv("XDG_DATA_HOME");
  std::error_code ignored;
  if (::geteuid() != 0) fs::permissions(program_dir, fs::perms::owner_all, ignored);
  ASSERT_TRUE(started) << desktop->BoxTexts();

  const fs::path home = data_home / "korvath";
  EXPECT_TRUE(fs::exists(home / "aria2c.exe"));
  EXPECT_TRUE(fs::exists(home / "aria2.conf"));
  EXPECT_FALSE(fs::exists(program_dir / "aria2c.exe"));
  EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(state.aria2_pid) + "/exe"), home / "aria2c.exe");
  ASSERT_EQ(desktop->boxes.size(), 1u);
  EXPECT_NE(desktop->boxes[0].text.find(Utf8ToGbk(home.string())), Text::npos) << desktop->BoxTexts();
  EXPECT_EQ(desktop->boxes[0].flags, kMbIconInformation);
  auto moved = desktop->Events("aria2_home");
  ASSERT_EQ(moved.size(), 1u);
  EXPECT_EQ(moved[0]["from"], program_dir.string());
  EXPECT_EQ(moved[0]["to"], home.string());

  // Told once: the next start finds its files there and says nothing.
  ::setenv("XDG_DATA_HOME", data_home.c_str(), 1);
  const bool again = StartAria2(*desktop, state, Params());
  ::unsetenv("XDG_DATA_HOME");
  EXPECT_TRUE(again);
  EXPECT_EQ(desktop->boxes.size(), 1u) << desktop->BoxTexts();
}

TEST_F(FailingAria2, AFullDiskIsReportedAndLeavesNoCutOffProgram) {
  // A 4 KiB file system cannot take the aria2 program; without mounting,
  // a file-size limit makes the same write fail.
  const bool mounted = ::geteuid() == 0 && Mount(program_dir, "size=4k");
  rlimit old_limit{};
  ::getrlimit(RLIMIT_FSIZE, &old_limit);
  auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  if (!mounted) {
    rlimit small{4096, old_limit.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  }
  std::printf("full disk simulated by %s\n", mounted ? "a 4 KiB tmpfs" : "RLIMIT_FSIZE 4096");
  const bool started = StartAria2(*desktop, state, Params());
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  ::signal(SIGXFSZ, old_handler);

  EXPECT_FALSE(started);
  ASSERT_EQ(desktop->boxes.size(), 1u);
  const Text& message = desktop->boxes[0].text;
  EXPECT_EQ(
      message.rfind(Gbk(u8"磁盘空间不足，无法写入") + Utf8ToGbk((program_dir / "aria2c.exe").string()), 0),
      0u)
      << desktop->BoxTexts();
  EXPECT_FALSE(fs::exists(program_dir / "aria2c.exe"));
  EXPECT_EQ(FindProcessByName("aria2c.exe"), 0);
}

TEST_F(FailingAria2, Aria2RefusingItsSettingsIsNotCountedAsStarted) {
  // aria2 ends at once (exit code 28) on a value it cannot take.
  testing::WriteFile(program_dir / "aria2.conf", "split=abc\n");
  EXPECT_FALSE(StartAria2(*desktop, state, Params()));
  EXPECT_EQ(state.aria2_pid, 0);
  ASSERT_EQ(desktop->boxes.size(), 1u) << desktop->BoxTexts();
  EXPECT_EQ(desktop->boxes[0].text,
            Gbk(u8"aria2启动后立即退出（退出码28），可能是配置文件中的设置有误，请检查：") +
                Utf8ToGbk((program_dir / "aria2.conf").string()));
  EXPECT_EQ(testing::ReadFile(program_dir / "aria2.conf"), "split=abc\n");  // the user's file is theirs

  // On a busy machine it may have ended before start-up first looks for it.
  class SlowLogDesktop : public testing::LoggingDesktop {
   public:
    using LoggingDesktop::LoggingDesktop;
    EventLog& Log() override {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      return LoggingDesktop::Log();
    }
  };
  SlowLogDesktop slow(log_dir / "slow.jsonl");
  EXPECT_FALSE(StartAria2(slow, state, Params()));
  EXPECT_EQ(state.aria2_pid, 0);
  ASSERT_EQ(slow.boxes.size(), 1u) << slow.BoxTexts();
  EXPECT_EQ(slow.boxes[0].text, desktop->boxes[0].text);
}

TEST(PortListeners, FindTheListeningAddressAndTheHolder) {
  testing::HostileServer server(testing::Hostile::kSilent);
  ASSERT_TRUE(server.Listening());
  const auto listeners = ListenersOnPort(server.Port());
  ASSERT_EQ(listeners.size(), 1u);
  EXPECT_EQ(listeners[0].address, "127.0.0.1");
  EXPECT_EQ(listeners[0].pid, ::getpid());
  EXPECT_TRUE(ListenersOnPort(testing::UnusedPort()).empty());
}

}  // namespace
}  // namespace korvath
