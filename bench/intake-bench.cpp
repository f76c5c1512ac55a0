// Intake latency in the real program: Korvath under X with its real aria2,
// showing a file page of the demo share site; each iteration clicks the
// download button once. The time of one intake is read from the event log,
// from "intake_request" (kind "download") to "task_created", so it covers
// reading the page text, the global options and the task, and leaves out the
// raise pause of the download-manager window that follows. Prints p50 and p99
// in ms over 100 requests.
//
//   KORVATH_BUILD_DIR=build tools/with-display build/bench/korvath_bench_intake
//
// KORVATH_BUILD_DIR names the build whose korvath runs (default: the current
// directory). Port 6800 must be free.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "demo-site.h"
#include "shell/korvath-harness.h"

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
        [&] { return world->korvath->EventsNamed("task_created").size() > created && Downloads().size() > seen; },
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

}  // namespace

int main(int argc, char** argv) {
  // Port 6800 and the name aria2c.exe are machine-wide: wait for the lock
  // that the tests starting aria2 take too.
  int lock = ::open("/tmp/korvath-aria2-6800.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (lock >= 0 && ::flock(lock, LOCK_EX) != 0) return 1;
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
  if (!w.korvath->WaitForEvent("global_options_accepted", {}, 30000) ||
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
  return 0;
}
