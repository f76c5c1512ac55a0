// What one intake costs on the aria2 side: SetGlobalOptions followed by
// CreateDownloadTask against a real aria2, beside the same two bodies posted
// with bare libcurl (a fresh handle per POST, as the routines do, and one
// reused keep-alive handle). Prints p50 and p99 in ms over 200 tasks.
//
//   build/bench/korvath_bench_engine
//
// aria2 is started in a temporary directory on port 6800, once the machine-wide
// lock on that port is ours (it waits for tests and benchmarks holding it);
// the tasks fetch a small file from a loopback server, so nothing leaves the
// machine.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <thread>
#include <vector>

#include "engine/aria2-bootstrap.h"
#include "engine/download-task.h"
#include "engine/rpc-client.h"
#include "harness/aria2-machine-lock.h"

namespace {

using namespace korvath;
namespace fs = std::filesystem;
constexpr int kTasks = 200;

class QuietDesktop : public Desktop {
 public:
  int ShowMessageBox(const MessageBoxRequest& request) override {
    std::cerr << "message box: " << GbkToUtf8(request.text) << "\n";
    ++boxes;
    return kOk;
  }
  void PumpMessages() override {}
  void DelayPumping(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  bool FindProcessWindow(int) override { return false; }
  EventLog& Log() override { return log_; }
  int boxes = 0;

 private:
  EventLog log_;
};

struct World {
  QuietDesktop desktop;
  EngineState state;
  httplib::Server files;
  std::thread files_thread;
  int files_port = 0;
  fs::path root;
};
World* world = nullptr;

double Ms(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

void Report(benchmark::State& state, std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  if (samples.empty()) return;
  auto at = [&](double q) {
    return samples[std::min(samples.size() - 1, static_cast<size_t>(q * samples.size()))];
  };
  state.counters["p50_ms"] = at(0.50);
  state.counters["p99_ms"] = at(0.99);
}

DownloadTask Task(const std::string& prefix, int i) {
  return {.name = Text(prefix + std::to_string(i) + ".bin"),
          .link = Text("http://127.0.0.1:" + std::to_string(world->files_port) + "/f"),
          .dir = "ZorbitDravenet"};
}

bool ReplyOk(const std::string& reply) { return reply.find("\"result\"") != std::string::npos; }

size_t Collect(char* data, size_t size, size_t n, void* out) {
  static_cast<std::string*>(out)->append(data, size * n);
  return size * n;
}

std::string Post(CURL* curl, const std::string& body) {
  std::string reply;
  std::string url(RpcEndpoint(world->state));
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  if (curl_easy_perform(curl) != CURLE_OK) reply.clear();
  return reply;
}

void BM_SetGlobalOptionsThenCreateDownloadTask(benchmark::State& state) {
  std::vector<double> samples;
  int i = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    bool ok = SetGlobalOptions(world->desktop, world->state) &&
              CreateDownloadTask(world->desktop, world->state, Task("korvath-", i++));
    samples.push_back(Ms(std::chrono::steady_clock::now() - start));
    if (!ok) state.SkipWithError("aria2 refused a call");
  }
  Report(state, samples);
}

void BM_BareCurlFreshHandles(benchmark::State& state) {
  std::vector<double> samples;
  int i = 0;
  for (auto _ : state) {
    std::string options = GlobalOptionsBody(world->state, {});
    std::string task = DownloadTaskBody(world->state, Task("bare-", i++));
    auto start = std::chrono::steady_clock::now();
    bool ok = true;
    for (const std::string* body : {&options, &task}) {
      CURL* curl = curl_easy_init();
      ok = ReplyOk(Post(curl, *body)) && ok;
      curl_easy_cleanup(curl);
    }
    samples.push_back(Ms(std::chrono::steady_clock::now() - start));
    if (!ok) state.SkipWithError("aria2 refused a call");
  }
  Report(state, samples);
}

void BM_BareCurlReusedHandle(benchmark::State& state) {
  std::vector<double> samples;
  CURL* curl = curl_easy_init();
  int i = 0;
  for (auto _ : state) {
    std::string options = GlobalOptionsBody(world->state, {});
    std::string task = DownloadTaskBody(world->state, Task("reused-", i++));
    auto start = std::chrono::steady_clock::now();
    bool ok = ReplyOk(Post(curl, options));
    ok = ReplyOk(Post(curl, task)) && ok;
    samples.push_back(Ms(std::chrono::steady_clock::now() - start));
    if (!ok) state.SkipWithError("aria2 refused a call");
  }
  curl_easy_cleanup(curl);
  Report(state, samples);
}

// Both sides in turn within one loop, so a load change on the machine hits
// them alike; ratio_p50/ratio_p99 are Korvath over bare fresh handles.
void BM_Interleaved(benchmark::State& state) {
  std::vector<double> korvath, bare;
  int i = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    bool ok = SetGlobalOptions(world->desktop, world->state) &&
              CreateDownloadTask(world->desktop, world->state, Task("interleaved-k-", i));
    korvath.push_back(Ms(std::chrono::steady_clock::now() - start));
    std::string options = GlobalOptionsBody(world->state, {});
    std::string task = DownloadTaskBody(world->state, Task("interleaved-b-", i++));
    start = std::chrono::steady_clock::now();
    for (const std::string* body : {&options, &task}) {
      CURL* curl = curl_easy_init();
      ok = ReplyOk(Post(curl, *body)) && ok;
      curl_easy_cleanup(curl);
    }
    bare.push_back(Ms(std::chrono::steady_clock::now() - start));
    if (!ok) state.SkipWithError("aria2 refused a call");
  }
  auto percentile = [](std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))];
  };
  state.counters["korvath_p50_ms"] = percentile(korvath, 0.5);
  state.counters["korvath_p99_ms"] = percentile(korvath, 0.99);
  state.counters["bare_p50_ms"] = percentile(bare, 0.5);
  state.counters["bare_p99_ms"] = percentile(bare, 0.99);
  state.counters["ratio_p50"] = percentile(korvath, 0.5) / percentile(bare, 0.5);
  state.counters["ratio_p99"] = percentile(korvath, 0.99) / percentile(bare, 0.99);
}

BENCHMARK(BM_SetGlobalOptionsThenCreateDownloadTask)->Iterations(kTasks)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareCurlFreshHandles)->Iterations(kTasks)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareCurlReusedHandle)->Iterations(kTasks)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Interleaved)->Iterations(kTasks)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // Port 6800 and the name aria2c.exe are machine-wide: without the lock the
  // tests take too, this aria2 and theirs would end each other.
  korvath::testing::Aria2MachineLock lock;
  if (!lock.LockedOrSaid()) return 1;
  curl_global_init(CURL_GLOBAL_DEFAULT);
  World w;
  world = &w;
  char pattern[] = "/tmp/korvath-bench-XXXXXX";
  if (!::mkdtemp(pattern)) return 1;
  w.root = pattern;
  fs::create_directories(w.root / "program");
  fs::path old_cwd = fs::current_path();
  fs::current_path(w.root);

  w.files.Get("/f", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(std::string(1024, 'x'), "application/octet-stream");
  });
  w.files_port = w.files.bind_to_any_port("127.0.0.1");
  w.files_thread = std::thread([&] { w.files.listen_after_bind(); });

  int rc = 1;
  if (StartAria2(w.desktop, w.state, {.cookie = "Zorbit", .program_dir = (w.root / "program").string()})) {
    // Wait until aria2 answers before measuring anything.
    for (int tries = 0; tries < 50; ++tries) {
      CURL* curl = curl_easy_init();
      bool up = !Post(curl, GlobalOptionsBody(w.state, {})).empty();
      curl_easy_cleanup(curl);
      if (up) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    rc = w.desktop.boxes == 0 ? 0 : 1;
    ::kill(w.state.aria2_pid, SIGTERM);
    ::waitpid(w.state.aria2_pid, nullptr, 0);
  }
  w.files.stop();
  w.files_thread.join();
  fs::current_path(old_cwd);
  fs::remove_all(w.root);
  curl_global_cleanup();
  return rc;
}
