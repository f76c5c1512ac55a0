// Real downloads through the real aria2 from a loopback file server: where
// files land, under which names, pausing and resuming.
#include "engine/download-task.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <mutex>

#include "engine/aria2-bootstrap.h"
#include "engine/engine-fixture.h"
#include "engine/processes.h"
#include "engine/rpc-client.h"
#include "engine/unreachable-retry.h"
#include "harness/cpu-ticks.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;

std::string Payload(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + 7) % 251);
  return data;
}

// Serves /file (small, at once) and /slow (large, a little at a time) and
// remembers the Cookie and Range headers it was sent.
class FileServer {
 public:
  explicit FileServer(size_t slow_size = 8u << 20) : small_(Payload(64 * 1024)), slow_size_(slow_size) {
    server_.set_keep_alive_timeout(1);
    server_.Get("/file", [this](const httplib::Request& request, httplib::Response& response) {
      Remember(request);
      response.set_content(small_, "application/octet-stream");
    });
    server_.Get("/slow", [this](const httplib::Request& request, httplib::Response& response) {
      Remember(request);
      response.set_content_provider(slow_size_, "application/octet-stream",
                                    [this](size_t offset, size_t length, httplib::DataSink& sink) {
                                      if (stopping_) return false;
                                      std::this_thread::sleep_for(std::chrono::milliseconds(50));
                                      std::string piece =
                                          Payload(offset + std::min<size_t>(length, 4096)).substr(offset);
                                      sink.write(piece.data(), piece.size());
                                      return !stopping_;
                                    });
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~FileServer() {
    stopping_ = true;
    server_.stop();
    thread_.join();
  }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  const std::string& Small() const { return small_; }
  std::vector<std::string> Headers(const std::string& name) {
    std::lock_guard lock(mutex_);
    return name == "Cookie" ? cookies_ : ranges_;
  }

 private:
  void Remember(const httplib::Request& request) {
    std::lock_guard lock(mutex_);
    cookies_.push_back(request.get_header_value("Cookie"));
    ranges_.push_back(request.get_header_value("Range"));
  }
  std::string small_;
  size_t slow_size_;
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::vector<std::string> cookies_, ranges_;
};

class DownloadTest : public testing::Aria2Test {
 protected:
  void SetUp() override {
    testing::Aria2Test::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(StartAria2(*desktop, state, {.cookie = "Zorbit", .program_dir = program_dir.string()}))
        << desktop->BoxTexts();
    ASSERT_TRUE(SetGlobalOptions(*desktop, state)) << desktop->BoxTexts();
  }
  void TearDown() override {
    testing::EndProcess(state.aria2_pid);
    state.aria2_pid = 0;
    server.reset();
    testing::Aria2Test::TearDown();
  }
  bool Create(const Text& name, const std::string& path) {
    return CreateDownloadTask(*desktop, state,
                              {.name = name, .link = Text(server->Url(path)), .dir = "ZorbitDravenet"});
  }
  std::string LastGid() {
    auto created = desktop->Events("task_created");
    return created.empty() ? std::string() : created.back()["gid"].get<std::string>();
  }
  std::string Status(const std::string& gid) {
    auto reply = testing::Aria2Call(state, "aria2.tellStatus", {gid, {"status"}});
    return reply["result"].value("status", "");
  }
  bool Downloaded(const fs::path& file, const std::string& contents) {
    return testing::WaitFor([&] { return fs::exists(file) && testing::ReadFile(file) == contents; },
                            std::chrono::seconds(15));
  }

  std::unique_ptr<FileServer> server = std::make_unique<FileServer>();
};

TEST_F(DownloadTest, AFileLandsInZorbitDravenetUnderItsUtf8NameWithTheCookie) {
  Text name = Gbk(u8"测试文件 (1).bin");
  ASSERT_TRUE(Create(name, "/file"));
  EXPECT_TRUE(desktop->boxes.empty());
  EXPECT_FALSE(LastGid().empty());
  fs::path expected = work_dir / "ZorbitDravenet" / reinterpret_cast<const char*>(u8"测试文件 (1).bin");
  EXPECT_TRUE(Downloaded(expected, server->Small()));
  ASSERT_FALSE(server->Headers("Cookie").empty());
  EXPECT_EQ(server->Headers("Cookie")[0], "Zorbit");
}

TEST_F(DownloadTest, NamesCannotLeaveTheDownloadDirectory) {
  // Written raw, this name would also have set aria2's "dir" to the folder above.
  fs::path outside = work_dir.parent_path() / ("korvath-escape-" + std::to_string(::getpid()));
  Text injected("a\",\"dir\":\"" + outside.string() + "\",\"x\":\"");
  ASSERT_TRUE(Create("../../escape.bin", "/file"));
  ASSERT_TRUE(Create(injected, "/file"));
  ASSERT_TRUE(Create("..", "/file"));  // aria2 names this one after the link

  fs::path dir = work_dir / "ZorbitDravenet";
  EXPECT_TRUE(Downloaded(dir / ".._.._escape.bin", server->Small()));
  std::string flattened = SafeFileName(injected);
  EXPECT_TRUE(Downloaded(dir / flattened, server->Small()));
  EXPECT_TRUE(Downloaded(dir / "file", server->Small()));
  EXPECT_FALSE(fs::exists(work_dir.parent_path().parent_path() / "escape.bin"));
  EXPECT_FALSE(fs::exists(outside));
  EXPECT_TRUE(desktop->boxes.empty());
}

TEST_F(DownloadTest, PauseAllPausesARunningDownload) {
  ASSERT_TRUE(Create("slow.bin", "/slow"));
  std::string gid = LastGid();
  ASSERT_TRUE(testing::WaitFor([&] { return Status(gid) == "active"; }, std::chrono::seconds(5)));
  PauseAll(*desktop, state);
  EXPECT_TRUE(testing::WaitFor([&] { return Status(gid) == "paused"; }, std::chrono::seconds(5)));
  auto calls = desktop->Events("rpc");
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back()["method"], "aria2.pauseAll");
  EXPECT_EQ(calls.back()["ok"], true);
}

TEST_F(DownloadTest, AServerThatIsGoneDoesNotKeepAria2Busy) {
  // Refused at once, as a laptop whose network went away sees it.
  ASSERT_TRUE(
      CreateDownloadTask(*desktop, state,
                         {.name = "gone.bin",
                          .link = Text("http://127.0.0.1:" + std::to_string(testing::UnusedPort()) + "/f"),
                          .dir = "ZorbitDravenet"}));
  const std::string gid = LastGid();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const long before = testing::CpuTicks(state.aria2_pid);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const long used = testing::CpuTicks(state.aria2_pid) - before;
  // Unbounded tries spin a whole core: about 3 s of ticks here.
  EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 2) << "aria2 used " << used << " ticks in 3 s";
  std::cout << "[ figures ] aria2 with its server gone: " << used * 100.0 / (3.0 * sysconf(_SC_CLK_TCK))
            << " % of a core\n";
  EXPECT_EQ(Status(gid), "error");
}

TEST_F(DownloadTest, AnUnreachableServerIsTriedAgainAfterWaitsAndTheDownloadGoesOnWhenItIsBack) {
  const int port = testing::UnusedPort();
  ASSERT_TRUE(CreateDownloadTask(*desktop, state,
                                 {.name = "back.bin",
                                  .link = Text("http://127.0.0.1:" + std::to_string(port) + "/file"),
                                  .dir = "ZorbitDravenet"}));
  std::string gid = LastGid();
  UnreachableRetry retry(*desktop, state, {0, 0});
  auto failed = [&] {
    return testing::WaitFor([&] { return Status(gid) == "error"; }, std::chrono::seconds(10));
  };
  // Two tries after waits, the second also refused.
  for (int attempt = 0; attempt < 2; ++attempt) {
    ASSERT_TRUE(failed());
    ASSERT_EQ(retry.Failed(gid), 0);
    EXPECT_TRUE(retry.Waiting(gid));
    if (attempt == 1) break;
    retry.TryAgain(gid);
    EXPECT_TRUE(testing::Aria2Call(state, "aria2.tellStatus", {gid, {"status"}}).contains("error"))
        << "the failed entry goes once its successor exists";
    ASSERT_FALSE(desktop->Events("retry_started").empty());
    gid = desktop->Events("retry_started").back()["new_gid"].get<std::string>();
  }
  // The server is back for the last try: the same file, in full.
  httplib::Server back;
  back.Get("/file", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(server->Small(), "application/octet-stream");
  });
  ASSERT_TRUE(back.bind_to_port("127.0.0.1", port));
  std::thread serving([&] { back.listen_after_bind(); });
  retry.TryAgain(gid);
  EXPECT_TRUE(Downloaded(work_dir / "ZorbitDravenet" / "back.bin", server->Small()));
  back.stop();
  serving.join();
  EXPECT_EQ(desktop->Events("retry_started").size(), 2u);
}

TEST_F(DownloadTest, TriesAfterWaitsAreBoundedAndOnlyForAServerThatCouldNotBeReached) {
  const std::string link = "http://127.0.0.1:" + std::to_string(testing::UnusedPort()) + "/f";
  ASSERT_TRUE(
      CreateDownloadTask(*desktop, state, {.name = "gone.bin", .link = Text(link), .dir = "ZorbitDravenet"}));
  std::string gid = LastGid();
  UnreachableRetry retry(*desktop, state, {0});
  ASSERT_TRUE(testing::WaitFor([&] { return Status(gid) == "error"; }, std::chrono::seconds(10)));
  ASSERT_EQ(retry.Failed(gid), 0);
  retry.TryAgain(gid);
  gid = desktop->Events("retry_started").back()["new_gid"].get<std::string>();
  ASSERT_TRUE(testing::WaitFor([&] { return Status(gid) == "error"; }, std::chrono::seconds(10)));
  EXPECT_EQ(retry.Failed(gid), std::nullopt);
  EXPECT_FALSE(retry.Waiting(gid));
  EXPECT_EQ(desktop->Events("retry_given_up").size(), 1u);

  // A server that answers "not found" was reached: nothing to wait for.
  ASSERT_TRUE(Create("missing.bin", "/no-such-file"));
  const std::string missing = LastGid();
  ASSERT_TRUE(testing::WaitFor([&] { return Status(missing) == "error"; }, std::chrono::seconds(10)));
  EXPECT_EQ(retry.Failed(missing), std::nullopt);
}

TEST_F(DownloadTest, EndingAria2KeepsItsControlFileSoTheDownloadResumes) {
  ASSERT_TRUE(Create("resume.bin", "/slow"));
  fs::path file = work_dir / "ZorbitDravenet" / "resume.bin";
  fs::path control = work_dir / "ZorbitDravenet" / "resume.bin.aria2";
  ASSERT_TRUE(
      testing::WaitFor([&] { return fs::exists(control) && fs::exists(file); }, std::chrono::seconds(5)));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // let aria2 save some progress

  int pid = state.aria2_pid;
  ASSERT_TRUE(TerminateProcessById(pid));
  testing::EndProcess(pid);  // reaps it; SIGTERM already sent, so this only waits
  state.aria2_pid = 0;
  ASSERT_TRUE(fs::exists(control)) << "a killed aria2 would not have kept it";

  size_t requests_before = server->Headers("Range").size();
  ASSERT_TRUE(StartAria2(*desktop, state, {.cookie = "Zorbit", .program_dir = program_dir.string()}));
  ASSERT_TRUE(SetGlobalOptions(*desktop, state))
      << GbkToUtf8(desktop->boxes.empty() ? "" : desktop->boxes.back().text);
  ASSERT_TRUE(Create("resume.bin", "/slow"));
  // The resumed download asks for ranges that start where the saved pieces
  // end, not on the 1 MiB boundaries of a fresh split.
  auto resumed = [&] {
    auto ranges = server->Headers("Range");
    for (size_t i = requests_before; i < ranges.size(); ++i) {
      if (!ranges[i].starts_with("bytes=")) continue;
      long long from = std::stoll(ranges[i].substr(6));
      if (from % (1 << 20) != 0) return true;
    }
    return false;
  };
  EXPECT_TRUE(testing::WaitFor(resumed, std::chrono::seconds(5)))
      << ::testing::PrintToString(server->Headers("Range"));
}

class SetGlobalOptionsRetry : public testing::Aria2Test {};

TEST_F(SetGlobalOptionsRetry, TheSecondTryReachesAnAria2ThatStartedInTheMeantime) {
  testing::RecordingDesktop starter;
  state.rpc_port = "6800";
  bool started = false;
  // The first pump follows the first, unanswered try: aria2 starts only then.
  desktop->on_pump = [&] {
    if (!started)
      started = StartAria2(starter, state, {.cookie = "Zorbit", .program_dir = program_dir.string()});
  };
  EXPECT_TRUE(SetGlobalOptions(*desktop, state));
  EXPECT_TRUE(started);
  EXPECT_EQ(desktop->delays, std::vector<int>{500});
  EXPECT_TRUE(desktop->boxes.empty());
  auto calls = desktop->Events("rpc");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0]["ok"], false);
  EXPECT_EQ(calls[1]["ok"], true);
  EXPECT_EQ(testing::Aria2Call(state, "aria2.getGlobalOption")["result"]["split"], "8");
}

}  // namespace
}  // namespace korvath
