// Intake latency in the real program: Korvath under X with its real aria2,
// showing a file page of the demo share site; each iteration clicks the
// download button once. The time of one intake is read from the event log,
// from "intake_request" (kind "download") to "task_created", so it covers
// reading the page text, the global options and the task, and leaves out the
// raise pause of the download-manager window that follows. Prints p50 and p99
// in ms over 100 requests.
//
// Then a 200 MiB file on loopback, from "task_created" to the complete file
// on disk (no control file left), beside aria2c started directly with the
// same options and given the same address over RPC, measured the same way
// from its addUri reply. The two take turns, KORVATH_BENCH_LARGE_ROUNDS
// times each (default 3).
//
//   KORVATH_BUILD_DIR=build tools/with-display build/bench/korvath_bench_intake
//
// KORVATH_BUILD_DIR names the build whose korvath runs (default: the current
// directory). Port 6800 must be free.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "demo-site.h"
#include "harness/aria2-instance.h"
#include "harness/korvath-harness.h"

namespace {

using namespace korvath::testing;
constexpr int kRequests = 100;

struct World {
  korvath::demo::DemoSite site;
  XDisplay x;
  std::unique_ptr<KorvathProcess> korvath;
  Window main = 0;
};
World* world = nullptr;

Window FindMain() {
  for (Window w : world->x.WindowsOf(world->korvath->pid())) {
    if (world->x.Title(w) == "Korvath - Fenlow") return w;
  }
  return 0;
}

std::vector<Json> Downloads() {
  return world->korvath->EventsNamed("intake_request", {{"kind", "download"}});
}

void BM_ClickToTaskAccepted(benchmark::State& state) {
  std::vector<double> samples, page_text;
  XWindowAttributes a;
  XGetWindowAttributes(world->x.get(), world->main, &a);
  for (auto _ : state) {
    const std::size_t seen = Downloads().size();
    const std::size_t created = world->korvath->EventsNamed("task_created").size();
    ClickAt(world->main, a.width / 2, a.height - 32);
    const bool done = WaitUntil(
        [&] {
          return world->korvath->EventsNamed("task_created").size() > created && Downloads().size() > seen;
        },
        10000, 5);
    if (!done) {
      for (const auto& e : world->korvath->Events()) std::fprintf(stderr, "%s\n", e.dump().c_str());
      state.SkipWithError("no task after a click");
      break;
    }
    const double begin = Downloads()[seen].value("t_ms", 0.0);
    const double end = world->korvath->EventsNamed("task_created")[created].value("t_ms", 0.0);
    samples.push_back(end - begin);
    // The part before the first RPC call went out is reading the page text.
    for (const auto& e : world->korvath->EventsNamed("rpc", {{"method", "aria2.changeGlobalOption"}})) {
      const double sent = e.value("t_ms", 0.0) - e.value("ms", 0.0);
      if (sent >= begin) {
        page_text.push_back(sent - begin);
        break;
      }
    }
    state.SetIterationTime((end - begin) / 1000.0);
    // Let the raise pause and the overlay settle before the next click.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  if (samples.empty()) return;
  auto at = [](std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))];
  };
  state.counters["p50_ms"] = at(samples, 0.50);
  state.counters["p99_ms"] = at(samples, 0.99);
  state.counters["max_ms"] = at(samples, 1.0);
  state.counters["page_text_p50_ms"] = at(page_text, 0.50);
  state.counters["page_text_p99_ms"] = at(page_text, 0.99);
  state.counters["requests"] = static_cast<double>(samples.size());
}

BENCHMARK(BM_ClickToTaskAccepted)->Iterations(kRequests)->UseManualTime()->Unit(benchmark::kMillisecond);

constexpr std::uint64_t kLargeSize = 200ull << 20;

double NowMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// When `path` is whole: aria2's control file has come and gone again and
// every byte is there (aria2 allocates the whole file before its control
// file appears, so the size alone says nothing). Returns the time it was
// seen so (steady clock ms), or 0 after 60 s.
double WaitComplete(const std::string& path) {
  namespace fs = std::filesystem;
  const double give_up = NowMs() + 60000;
  bool control_seen = false;
  while (NowMs() < give_up) {
    std::error_code ec;
    const bool control = fs::exists(path + ".aria2", ec);
    control_seen = control_seen || control;
    if (control_seen && !control && fs::file_size(path, ec) == kLargeSize && !ec) return NowMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return 0;
}

// One download of the large file through Korvath's own intake: ms from
// "task_created" to complete, or -1.
double LargeThroughKorvath(korvath::demo::DemoSite& site, std::size_t index) {
  KorvathProcess korvath(
      {{"KORVATH_APP_URL", site.FilePageUrl(index)}, {"KORVATH_NOTICE_URL", site.NoticeUrl()}});
  Window main = 0;
  if (!korvath.WaitForEvent("startup_step", {{"step", "ready"}}, 30000) ||
      !WaitUntil(
          [&] {
            for (Window w : world->x.WindowsOf(korvath.pid()))
              if (world->x.Title(w) == "Korvath - Fenlow") main = w;
            return main != 0;
          },
          10000)) {
    std::fprintf(stderr, "korvath did not come up:\n%s\n", korvath.Output().c_str());
    return -1;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the page is drawn
  XWindowAttributes a;
  XGetWindowAttributes(world->x.get(), main, &a);
  ClickAt(main, a.width / 2, a.height - 32);
  if (!korvath.WaitForEvent("task_created", {}, 15000)) return -1;
  const double done =
      WaitComplete(korvath.work_dir() + "/ZorbitDravenet/" + korvath::demo::SavedName(site.files()[index]));
  // t_ms is on the monotonic clock, as steady_clock is here.
  const double created = korvath.EventsNamed("task_created")[0].value("t_ms", 0.0);
  korvath.Signal(SIGTERM);
  korvath.WaitExit(20000);
  return done > 0 ? done - created : -1;
}

// The same download given to aria2c directly with the options Korvath sets:
// ms from the addUri reply to complete, or -1.
double LargeThroughAria2(korvath::demo::DemoSite& site, std::size_t index, const std::string& dir) {
  korvath::testing::Aria2Instance aria2(
      korvath::testing::RandomSecret(), dir,
      {"--split=8", "--max-connection-per-server=8", "--min-split-size=1M", "--max-concurrent-downloads=3",
       "--timeout=1", "--connect-timeout=1", "--user-agent=LogStatistic", "--continue=true",
       "--auto-file-renaming=false"});
  if (!aria2.Start(30000)) return -1;
  nlohmann::json error;
  const nlohmann::json gid = aria2.Call(
      "aria2.addUri",
      {nlohmann::json::array({site.DownloadUrl(index)}), {{"header", {"Cookie: Zorbit"}}, {"dir", dir}}},
      &error);
  const double added = NowMs();
  if (!error.is_null() || !gid.is_string()) return -1;
  // This aria2 keeps no control file, so completion is asked of aria2 itself.
  double done = 0;
  while (NowMs() < added + 60000) {
    const nlohmann::json status = aria2.Call("aria2.tellStatus", {gid, {"status"}});
    if (status.is_object() && status.value("status", "") == "complete") {
      done = NowMs();
      break;
    }
    if (status.is_object() && status.value("status", "") == "error") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  aria2.Stop();
  return done > 0 ? done - added : -1;
}

void LargeDownloads() {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("korvath-bench-large-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  // A real file, so the server only copies bytes and never computes them.
  {
    std::ofstream out(dir / "source.bin", std::ios::binary);
    std::string block(1 << 20, '\0');
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131 + i / 977);
    for (std::uint64_t n = 0; n < kLargeSize; n += block.size()) out.write(block.data(), block.size());
  }
  korvath::demo::DemoSiteOptions options;
  options.files = {
      {.shown_name = "large-200MiB.bin", .size = kLargeSize, .path = (dir / "source.bin").string()}};
  korvath::demo::DemoSite site(options);
  if (site.Start() < 0) return;
  const char* rounds_text = std::getenv("KORVATH_BENCH_LARGE_ROUNDS");
  const int rounds = rounds_text ? std::max(1, std::atoi(rounds_text)) : 3;
  std::vector<double> through_korvath, direct;
  for (int round = 0; round < rounds; ++round) {
    const double k = LargeThroughKorvath(site, 0);
    const fs::path direct_dir = dir / ("direct-" + std::to_string(round));
    fs::create_directories(direct_dir);
    const double d = LargeThroughAria2(site, 0, direct_dir.string());
    std::error_code ec;
    fs::remove_all(direct_dir, ec);
    std::printf("200 MiB round %d: korvath %.0f ms, direct aria2c %.0f ms\n", round + 1, k, d);
    if (k > 0) through_korvath.push_back(k);
    if (d > 0) direct.push_back(d);
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
  };
  if (!through_korvath.empty() && !direct.empty()) {
    std::printf(
        "200 MiB on loopback, task created -> complete: korvath median %.0f ms, direct aria2c -x8 -s8 -k1M"
        " median %.0f ms, ratio %.2fx\n",
        median(through_korvath), median(direct), median(through_korvath) / median(direct));
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace

int main(int argc, char** argv) {
  // Port 6800 and the name aria2c.exe are machine-wide: wait for the lock
  // that the tests starting aria2 take too.
  korvath::testing::Aria2MachineLock lock;
  if (!lock.LockedOrSaid()) return 1;
  World w;
  world = &w;
  if (!w.x.ok()) {
    std::fprintf(stderr, "no X display: run under tools/with-display\n");
    return 1;
  }
  if (w.site.Start() < 0) return 1;
  std::size_t notes = 0;
  for (std::size_t i = 0; i < w.site.files().size(); ++i) {
    if (w.site.files()[i].shown_name.find("notes") != std::string::npos) notes = i;
  }
  w.korvath = std::make_unique<KorvathProcess>(std::map<std::string, std::string>{
      {"KORVATH_APP_URL", w.site.FilePageUrl(notes)}, {"KORVATH_NOTICE_URL", w.site.NoticeUrl()}});
  if (!w.korvath->WaitForEvent("startup_step", {{"step", "ready"}}, 30000) ||
      !WaitUntil([&] { return (w.main = FindMain()) != 0; }, 10000)) {
    std::fprintf(stderr, "korvath did not come up:\n%s\n", w.korvath->Output().c_str());
    return 1;
  }
  WaitUntil([&] { return !w.site.PagesServed().empty(); }, 10000);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  w.korvath->Signal(SIGTERM);
  w.korvath->WaitExit(20000);
  w.korvath.reset();
  LargeDownloads();
  return 0;
}
