// How long one refresh of the download-manager page takes in WebKitGTK with
// 10, 100 and 1,000 tasks, and how much memory the web process holds.
// Synthetic task lists shaped like aria2's replies go straight into the
// page's render function; no aria2 is needed. Times are measured inside the
// engine (performance.now) and include the style and layout the refresh
// forces; painting happens later, asynchronously, and is not included.
//
// Run under a display: tools/with-display <build>/tests/manager-page/korvath_bench_manager_page
#include <benchmark/benchmark.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "manager-page/page-driver.h"

namespace {

korvath::testing::PageDriver* page = nullptr;

// Task i of a list of n at refresh number tick: a mix of every state,
// progress and speed that change each tick, one long Chinese name in ten.
const char* kSetup = R"JS(
  window.benchSnapshot = (n, tick) => {
    const states = ['active', 'active', 'active', 'active', 'waiting', 'waiting', 'paused',
                    'complete', 'complete', 'error'];
    const out = { stat: { downloadSpeed: String(n * 1000 + tick), numStopped: '0', numStoppedTotal: '0' },
                  active: [], waiting: [], stopped: [] };
    for (let i = 0; i < n; i++) {
      const status = states[i % states.length];
      const total = 1048576 * (1 + (i % 700));
      const done = status === 'complete' ? total : Math.floor(total * (((i * 37 + tick * 7) % 100) / 100));
      const name = (i % 10 === 3 ? '很长的文件名'.repeat(12) : 'file-') + i + '.bin';
      const t = {
        gid: (0x1000000000000000n + BigInt(i)).toString(16), status,
        totalLength: String(total), completedLength: String(done),
        downloadSpeed: status === 'active' ? String(1000 * ((i + tick) % 997)) : '0',
        connections: status === 'active' ? String(1 + (i + tick) % 8) : '0',
        errorCode: status === 'error' ? '3' : '0',
        errorMessage: status === 'error' ? 'Resource not found' : '',
        dir: '/home/user/ZorbitDravenet',
        files: [{ index: '1', path: '/home/user/ZorbitDravenet/' + name, length: String(total),
                  completedLength: String(done), selected: 'true',
                  uris: [{ uri: 'http://127.0.0.1:8080/file/' + i, status: 'used' }] }],
      };
      (status === 'active' ? out.active : status === 'complete' || status === 'error' ? out.stopped
                                                                                      : out.waiting).push(t);
    }
    return out;
  };
  window.benchRun = (n, tick, repeat, fresh) => {
    const list = document.getElementById('list');
    let total = 0, js = 0;
    for (let k = 0; k < repeat; k++) {
      const snap = benchSnapshot(n, tick + k);
      if (fresh) { KorvathManager.render({ active: [], waiting: [], stopped: [] }); list.offsetHeight; }
      const t0 = performance.now();
      js += KorvathManager.render(snap);
      list.offsetHeight;  // the style and layout a refresh costs before it can paint
      total += performance.now() - t0;
    }
    return { total, js, rows: +document.querySelector('#tabs [data-filter=all] b').textContent };
  };
  // A refresh as the page does it after the network: parse aria2's reply
  // text, then render and lay out.
  window.benchParsed = (n, tick, repeat) => {
    const texts = [];
    for (let k = 0; k < repeat; k++) texts.push(JSON.stringify({ result: benchSnapshot(n, tick + k) }));
    let total = 0;
    for (let k = 0; k < repeat; k++) {
      const t0 = performance.now();
      KorvathManager.render(JSON.parse(texts[k]).result);
      document.getElementById('list').offsetHeight;
      total += performance.now() - t0;
    }
    return { total, bytes: texts[0].length };
  };
  // Scrolling through the list: jump to a new place, draw, lay out.
  window.benchScroll = (repeat) => {
    const scroll = document.getElementById('scroll');
    let total = 0;
    for (let k = 0; k < repeat; k++) {
      const t0 = performance.now();
      scroll.scrollTop = ((k * 7919) % 997) * 62;
      scroll.dispatchEvent(new Event('scroll'));
      KorvathManager.paint();
      document.getElementById('list').offsetHeight;
      total += performance.now() - t0;
    }
    return { total };
  };
  true
)JS";

void RunRender(benchmark::State& state, bool fresh) {
  const int n = static_cast<int>(state.range(0));
  // Enough renders per measurement that the engine's timer resolution
  // does not dominate the small lists.
  const int repeat = n >= 1000 ? 2 : n >= 100 ? 10 : 50;
  page->Eval("benchRun(" + std::to_string(n) + ", 0, 1, true).rows");  // warm up, rows exist
  int tick = 1;
  double js_ms = 0;
  for (auto _ : state) {
    const std::string reply = page->Eval("benchRun(" + std::to_string(n) + ", " + std::to_string(tick) + ", " +
                                         std::to_string(repeat) + ", " + (fresh ? "true" : "false") + ")");
    tick += repeat;
    auto r = nlohmann::json::parse(reply, nullptr, false);
    if (!r.is_object() || r["rows"] != n) {
      state.SkipWithError("render did not produce one row per task");
      return;
    }
    state.SetIterationTime(r["total"].get<double>() / repeat / 1000.0);
    js_ms += r["js"].get<double>() / repeat;
  }
  state.counters["js_ms"] = benchmark::Counter(js_ms, benchmark::Counter::kAvgIterations);
  state.counters["rss_MiB"] = page->WebProcessRssKiB() / 1024.0;
}

// Rows exist; every task's progress, speed and time left changed.
void BM_Refresh(benchmark::State& state) { RunRender(state, false); }
// The page opens onto n tasks: every row is created.
void BM_FirstRender(benchmark::State& state) { RunRender(state, true); }

// Reply parsing included (the bytes of one reply are reported).
void BM_RefreshWithParse(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const int repeat = 5;
  int tick = 1;
  double bytes = 0;
  for (auto _ : state) {
    auto r = nlohmann::json::parse(page->Eval("benchParsed(" + std::to_string(n) + ", " + std::to_string(tick) +
                                              ", " + std::to_string(repeat) + ")"),
                                   nullptr, false);
    tick += repeat;
    state.SetIterationTime(r["total"].get<double>() / repeat / 1000.0);
    bytes = r["bytes"].get<double>();
  }
  state.counters["reply_KiB"] = bytes / 1024.0;
}

// Scrolling a list of 1,000 tasks to a new place.
void BM_Scroll(benchmark::State& state) {
  page->Eval("KorvathManager.render(benchSnapshot(1000, 0)); true");
  const int repeat = 20;
  for (auto _ : state) {
    auto r = nlohmann::json::parse(page->Eval("benchScroll(" + std::to_string(repeat) + ")"), nullptr, false);
    state.SetIterationTime(r["total"].get<double>() / repeat / 1000.0);
  }
  page->Eval("document.getElementById('scroll').scrollTop = 0; true");
}

BENCHMARK(BM_Refresh)->Arg(10)->Arg(100)->Arg(1000)->Iterations(30)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstRender)->Arg(10)->Arg(100)->Arg(1000)->Iterations(30)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RefreshWithParse)->Arg(10)->Arg(100)->Arg(1000)->Iterations(30)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Scroll)->Iterations(30)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  korvath::testing::PageDriver driver;
  page = &driver;
  // Port 1: nothing answers, and polling is stopped at once anyway, so the
  // figures are the page's own work.
  if (!driver.Load(korvath::testing::ManagerPageHtml(), korvath::testing::ManagerPageUri(1, ""))) {
    std::fprintf(stderr, "the page did not load\n");
    return 1;
  }
  driver.Eval("KorvathManager.stop(); true");
  driver.Eval(kSetup);
  driver.Pump(1000);
  const long rss_empty = driver.WebProcessRssKiB();
  // Memory of a fresh page showing 1,000 tasks, before the benchmarks pile up
  // garbage. WebKit offers no way to force a collection from outside the page.
  driver.Eval("KorvathManager.render(benchSnapshot(1000, 0)); document.body.offsetHeight; true");
  driver.Pump(1000);
  const long rss_full = driver.WebProcessRssKiB();
  const bool has_heap = driver.Eval("!!(performance.memory)") == "true";
  std::printf("web process RSS: %.1f MiB with no task, %.1f MiB with 1,000 tasks (delta %.1f MiB)\n",
              rss_empty / 1024.0, rss_full / 1024.0, (rss_full - rss_empty) / 1024.0);
  if (has_heap) {
    std::printf("JS heap: %s bytes\n", driver.Eval("performance.memory.usedJSHeapSize").c_str());
  } else {
    std::printf("JS heap: not exposed by WebKit (no performance.memory); web process RSS above instead\n");
  }
  std::fflush(stdout);

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
