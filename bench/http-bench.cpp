// Sequential POSTs of a 400-byte JSON body to a loopback server: requests per
// second for each request routine beside bare libcurl doing the same POST
// with a fresh easy handle per call (what every routine does underneath).
//
//   build/bench/korvath_bench_http --benchmark_repetitions=7
//       --benchmark_enable_random_interleaving=true
//
// After the Google Benchmark table a summary prints each routine's median
// rate over the runs and the calling thread's CPU time per request, each as
// a share of the bare figure (above 1 = as fast or faster).
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "http/winhttp-request.h"
#include "http/wininet-request.h"

namespace {

using namespace korvath;

const std::string kBody = [] {
  std::string json =
      R"({"jsonrpc":"2.0","method":"aria2.addUri","id":"qzvtre","params":["token:",["http://127.0.0.1/f"],{"out":")";
  json += std::string(400 - json.size() - 4, 'n');
  json += "\"}]}";
  return json;
}();

struct Server {
  httplib::Server http;
  std::thread thread;
  int port = 0;
  Server() {
    http.Post("/jsonrpc", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(R"({"id":"qzvtre","jsonrpc":"2.0","result":"2089b05ecca3d829"})", "application/json");
    });
    port = http.bind_to_any_port("127.0.0.1");
    thread = std::thread([this] { http.listen_after_bind(); });
    while (!http.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~Server() {
    http.stop();
    thread.join();
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port) + "/jsonrpc?tm=1700000000000"; }
};

Server* server = nullptr;

size_t Collect(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

template <typename Post>
void Run(benchmark::State& state, Post post) {
  const std::string url = server->Url();
  for (auto _ : state) {
    const std::size_t got = post(url);
    if (got == 0) {
      state.SkipWithError("empty reply");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["req_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_BareCurlPost(benchmark::State& state) {
  Run(state, [](const std::string& url) {
    std::string reply;
    CURL* curl = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(kBody.size()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, kBody.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
    curl_easy_perform(curl);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return reply.size();
  });
}

void BM_HttpRequestWinInet(benchmark::State& state) {
  Run(state, [](const std::string& url) {
    return HttpRequestWinInet({.url = Text(url), .method = 1, .post_data = Text(kBody)}).body.size();
  });
}

void BM_HttpRequestWinInetEx(benchmark::State& state) {
  Run(state, [](const std::string& url) {
    return HttpRequestWinInetEx({.url = Text(url), .method = 1, .post_data = Text(kBody)}).body.size();
  });
}

void BM_HttpRequestWinHttp(benchmark::State& state) {
  Run(state, [](const std::string& url) {
    return HttpRequestWinHttp({.url = Text(url), .method = 1, .post_data = Text(kBody)}).text.size();
  });
}

BENCHMARK(BM_BareCurlPost)->UseRealTime();
BENCHMARK(BM_HttpRequestWinInet)->UseRealTime();
BENCHMARK(BM_HttpRequestWinInetEx)->UseRealTime();
BENCHMARK(BM_HttpRequestWinHttp)->UseRealTime();

// Keeps the console table and remembers every run's rate for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      const auto it = run.counters.find("req_per_s");
      if (it == run.counters.end()) continue;
      std::string name = run.run_name.function_name;
      if (name.rfind("BM_BareCurlPost", 0) == 0)
        name = "bare libcurl";
      else if (name.rfind("BM_", 0) == 0)
        name = name.substr(3);
      measured[name].push_back(it->second.value);
      cpu_us[name].push_back(run.cpu_accumulated_time * 1e6 / static_cast<double>(run.iterations));
    }
  }
  std::map<std::string, std::vector<double>> measured;
  std::map<std::string, std::vector<double>> cpu_us;  // calling thread's CPU per request
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  benchmark::Initialize(&argc, argv);
  Server local;
  server = &local;
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double bare = Median(reporter.measured["bare libcurl"]);
  const double bare_cpu = Median(reporter.cpu_us["bare libcurl"]);
  std::printf("\nmedians over runs; the client's CPU per request is the steadier figure on a busy machine\n");
  std::printf("%-22s %5s %11s %7s %12s %7s\n", "routine", "runs", "requests/s", "x bare", "client us",
              "x bare");
  for (const auto& [name, rates] : reporter.measured) {
    const double rate = Median(rates);
    const double cpu = Median(reporter.cpu_us[name]);
    std::printf("%-22s %5zu %11.0f %7.2f %12.1f %7.2f\n", name.c_str(), rates.size(), rate,
                bare > 0 ? rate / bare : 0.0, cpu, cpu > 0 ? bare_cpu / cpu : 0.0);
  }
  benchmark::Shutdown();
  curl_global_cleanup();
  return 0;
}
