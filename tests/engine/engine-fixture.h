// Shared pieces of the engine tests: temporary directories, a desktop whose
// event log goes to a file, a bare libcurl client for checking aria2 from the
// outside, and a fixture that always ends the aria2 a test started.
#pragma once

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine-state.h"
#include "intake/intake.h"
#include "support/loopback-ports.h"
#include "support/recording-desktop.h"

namespace korvath::testing {

namespace fs = std::filesystem;

inline fs::path MakeTempDir(const char* stem) {
  std::string pattern = (fs::temp_directory_path() / (std::string(stem) + "-XXXXXX")).string();
  char* made = ::mkdtemp(pattern.data());
  return made ? fs::path(made) : fs::path();
}

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const fs::path& path, std::string_view contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

// A RecordingDesktop whose event log is a real file, so tests can read back
// what was recorded.
class LoggingDesktop : public RecordingDesktop {
 public:
  explicit LoggingDesktop(fs::path path) : path_(std::move(path)), log_(path_.string()) {}
  EventLog& Log() override { return log_; }
  std::string RawLog() const { return ReadFile(path_); }
  // Every box shown so far, for failure messages.
  std::string BoxTexts() const {
    std::string texts;
    for (const auto& box : boxes) texts += "[" + GbkToUtf8(box.text) + "] ";
    return texts;
  }
  std::vector<nlohmann::json> Events(std::string_view name) const {
    std::vector<nlohmann::json> found;
    std::istringstream lines(RawLog());
    for (std::string line; std::getline(lines, line);) {
      auto event = nlohmann::json::parse(line, nullptr, false);
      if (!event.is_discarded() && event.value("event", "") == name) found.push_back(event);
    }
    return found;
  }

 private:
  fs::path path_;
  EventLog log_;
};

// A plain POST through libcurl, independent of the routines under test.
// Empty when nothing answered.
inline std::string CurlPost(const std::string& url, const std::string& body, long timeout_ms = 3000) {
  CURL* curl = curl_easy_init();
  std::string reply;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeout_ms);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(
      curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t n, void* out) {
        static_cast<std::string*>(out)->append(data, size * n);
        return size * n;
      });
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
  CURLcode code = curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  return code == CURLE_OK ? reply : std::string();
}

// Calls an aria2 method with the secret of `state`; the parsed reply, or null.
inline nlohmann::json Aria2Call(const EngineState& state, const std::string& method,
                                nlohmann::json params = nlohmann::json::array()) {
  params.insert(params.begin(), "token:" + state.rpc_secret);
  nlohmann::json request{{"jsonrpc", "2.0"}, {"id", "t"}, {"method", method}, {"params", params}};
  std::string reply = CurlPost("http://127.0.0.1:6800/jsonrpc", request.dump());
  auto parsed = nlohmann::json::parse(reply, nullptr, false);
  return parsed.is_discarded() ? nlohmann::json() : parsed;
}

template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

// Ends `pid` politely, then firmly, and reaps it when it is our child.
inline void EndProcess(int pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  bool gone = WaitFor(
      [&] {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) return ::kill(pid, 0) != 0;
        return false;
      },
      std::chrono::seconds(5));
  if (!gone) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
}

// Starts `program` with `args` as our child, optionally ignoring SIGTERM
// (like a process that does not give up its file). Returns the pid.
inline int Spawn(const fs::path& program, std::vector<std::string> args, bool ignore_term = false) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (ignore_term) ::signal(SIGTERM, SIG_IGN);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  return pid;
}

// The share page as the intake sees it: a file name and size on show.
class SharePage : public IntakePage {
 public:
  SharePage(std::string name_utf8, std::string size_utf8)
      : name(std::move(name_utf8)), size(std::move(size_utf8)) {}
  void GoBack() override {}
  Text GetPageText() override {
    return Gbk(u8"文件名：") + Utf8ToGbk(name) + "\n" + Gbk(u8"文件大小：") + Utf8ToGbk(size) + "\n";
  }
  std::string name, size;
};

// Counts how often the download manager was shown.
class CountingShell : public IntakeShell {
 public:
  void ShowDownloadManager() override { ++shown; }
  void HideLoadingOverlay() override {}
  int shown = 0;
};

// Every test that may start aria2: a program directory and a separate working
// directory (which is the current directory while the test runs), and the
// guarantee that the aria2 it started is ended, with port 6800 free again.
class Aria2Test : public ::testing::Test {
 protected:
  void SetUp() override {
    old_cwd = fs::current_path();
    machine_lock = std::make_unique<Aria2MachineLock>();
    ASSERT_TRUE(machine_lock->locked()) << "another test run kept aria2's port for minutes";
    // A previous test's aria2 may still be releasing the port.
    WaitFor([] { return !PortListening(6800); }, std::chrono::seconds(15));
    ASSERT_FALSE(PortListening(6800)) << "something else holds port 6800";
    program_dir = MakeTempDir("korvath-program");
    work_dir = MakeTempDir("korvath-work");
    log_dir = MakeTempDir("korvath-log");
    ASSERT_FALSE(program_dir.empty() || work_dir.empty() || log_dir.empty());
    fs::current_path(work_dir);
    desktop = std::make_unique<LoggingDesktop>(log_dir / "events.jsonl");
  }

  void TearDown() override {
    // aria2 gone before the test ended it explains most odd failures: usually
    // another program on this machine that ended every "aria2c.exe".
    int status = 0;
    if (state.aria2_pid > 0 && ::waitpid(state.aria2_pid, &status, WNOHANG) == state.aria2_pid) {
      std::fprintf(stderr, "note: aria2 %d ended before the test ended it (exit %d, signal %d): %s\n",
                   state.aria2_pid, WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                   WIFSIGNALED(status) ? WTERMSIG(status) : 0, ReadFile(log_dir / "aria2.out").c_str());
    }
    EndProcess(state.aria2_pid);
    for (int pid : extra_pids) EndProcess(pid);
    WaitFor([] { return !PortListening(6800); }, std::chrono::seconds(10));
    std::error_code ignored;
    fs::current_path(old_cwd, ignored);
    for (const auto& dir : {program_dir, work_dir, log_dir}) {
      if (!dir.empty()) fs::remove_all(dir, ignored);
    }
    machine_lock.reset();
  }

  std::unique_ptr<Aria2MachineLock> machine_lock;
  fs::path program_dir, work_dir, log_dir, old_cwd;
  std::unique_ptr<LoggingDesktop> desktop;
  EngineState state;
  std::vector<int> extra_pids;
};

}  // namespace korvath::testing
