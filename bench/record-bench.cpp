// The record of unfinished downloads at the sizes a long history reaches:
// writing its text (every hand-over, completion and change) and reading it
// back (every start and every restart of aria2).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "engine/session-record.h"

namespace {

std::vector<korvath::SessionTask> Tasks(int count) {
  std::vector<korvath::SessionTask> tasks;
  for (int i = 0; i < count; ++i) {
    const korvath::Text n(std::to_string(i));
    tasks.push_back({.uris = {"https://d.example/file/" + n + "?bkt=x&fid=" + n},
                     .dir = "/home/user/Downloads/ZorbitDravenet",
                     .out = "lecture " + n + ".mp4",
                     .state = i % 2 ? "paused" : "error",
                     .length = 8 << 20,
                     .gid = "0123456789abcdef"});
  }
  return tasks;
}

void BM_SessionRecordText(benchmark::State& state) {
  const std::vector<korvath::SessionTask> tasks = Tasks(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(korvath::SessionRecordText(tasks));
}

void BM_ParseSessionRecord(benchmark::State& state) {
  const std::string text = korvath::SessionRecordText(Tasks(static_cast<int>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(korvath::ParseSessionRecord(text));
}

BENCHMARK(BM_SessionRecordText)->Arg(100)->Arg(2000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseSessionRecord)->Arg(100)->Arg(2000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
