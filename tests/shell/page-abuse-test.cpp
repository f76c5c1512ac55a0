// Pages that misbehave on purpose: one that fires requests as fast as its
// script can, one that holds its main thread so it never answers a question
// about its text, and one that asks for thousands of files at once. The
// program must stay usable through all three.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <iostream>
#include <thread>
#include <utility>

#include "harness/korvath-harness.h"
#include "support/recording-server.h"

namespace korvath::testing {
namespace {

bool IsPing(const std::string& url) { return url.find("/ping?n=") != std::string::npos; }

// 100 image requests every 10 ms for 2 s: 10,000 a second, 20,000 in all.
const char* kFloodPage =
    "<!DOCTYPE html><html><head><meta charset='utf-8'></head><body><p>flood</p><script>"
    "let i = 0; const t0 = performance.now();"
    "const id = setInterval(() => {"
    "  for (let k = 0; k < 100; ++k) new Image().src = '/ping?n=' + (i++);"
    "  if (performance.now() - t0 > 2000) clearInterval(id);"
    "}, 10);"
    "</script></body></html>";

TEST(PageAbuse, APageFloodingRequestsLeavesTheProgramResponsiveAndCreatesNothing) {
  XDisplay x;
  ASSERT_TRUE(x.ok());
  RecordingServer server;
  server.SetResponder([](const RecordedRequest& r) {
    if (r.Target().rfind("/app/", 0) == 0)
      return Reply::Ok(kFloodPage, {"Content-Type: text/html; charset=utf-8", "Cache-Control: no-store"});
    return Reply::Ok("", {"Cache-Control: no-store"}, "204 No Content");
  });
  auto count = [&](auto&& pred) {
    std::size_t n = 0;
    for (auto& r : server.Requests())
      if (pred(r.Target())) ++n;
    return n;
  };
  auto app_requests = [&] { return count([](const std::string& t) { return t == "/app/"; }); };
  auto pings = [&] { return count([](const std::string& t) { return IsPing(t); }); };

  RecordingServer notice;
  KorvathProcess korvath(
      {{"KORVATH_APP_URL", server.Url("/app/")}, {"KORVATH_NOTICE_URL", notice.Url("/n")}});
  auto main = x.WaitFor(korvath.pid(), "Korvath - Fenlow");
  ASSERT_TRUE(main) << korvath.Output();
  ASSERT_TRUE(korvath.WaitForEvent("startup_step", {{"step", "ready"}})) << korvath.Output();

  auto logged_pings = [&] {
    std::size_t n = 0;
    for (auto& e : korvath.EventsNamed("intake_request"))
      if (IsPing(e.value("url", ""))) ++n;
    return n;
  };
  // The flood has begun once the intake sees it (the engine drops most of
  // the unreferenced images before they are sent, so the server sees few).
  ASSERT_TRUE(WaitUntil([&] { return logged_pings() >= 200; }, 15000)) << "pings seen: " << logged_pings();
  const long cpu_start = CpuTicks(korvath.pid());
  const auto flood_start = Clock::now();

  // Mid-flood, Home still gets through: the app address is asked for again.
  const std::size_t before = app_requests();
  const auto clicked = Clock::now();
  ClickAt(*main, 264 + 32, 16 + 12);
  ASSERT_TRUE(WaitUntil([&] { return app_requests() > before; }, 10000))
      << "Home was not honoured during the flood";
  const double home_ms = std::chrono::duration<double, std::milli>(Clock::now() - clicked).count();

  // Both floods (the first page and the one Home brought back) run out;
  // wait until nothing more arrives on either side.
  std::size_t last_server = 0, last_logged = 0;
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::size_t s = pings(), l = logged_pings();
        bool still = s == last_server && l == last_logged && l > 0;
        last_server = s;
        last_logged = l;
        return still;
      },
      60000, 1500));
  const long cpu_end = CpuTicks(korvath.pid());
  const double flood_s = std::chrono::duration<double>(Clock::now() - flood_start).count();
  EXPECT_TRUE(ProcessAlive(korvath.pid()));

  // Every ping the page started reached the intake and was let go.
  std::vector<Json> reported;
  for (auto& e : korvath.EventsNamed("intake_request"))
    if (IsPing(e.value("url", ""))) reported.push_back(e);
  for (auto& e : reported) ASSERT_EQ(e.value("kind", ""), "ignored") << e.dump();
  const std::size_t received = pings();
  // The engine may start (and report) loads it then drops unsent, never the
  // other way round: whatever reached the server went through the intake.
  EXPECT_GE(reported.size(), received);
  EXPECT_TRUE(korvath.EventsNamed("task_created").empty());
  EXPECT_TRUE(korvath.EventsNamed("task_failed").empty());
  EXPECT_TRUE(korvath.EventsNamed("message_box").empty()) << korvath.EventsNamed("message_box")[0].dump();

  // Figures, not verdicts: how hard the page pushed and what it cost.
  const double span_ms =
      reported.size() > 1 ? reported.back().value("t_ms", 0.0) - reported.front().value("t_ms", 0.0) : 0.0;
  const double rate = span_ms > 0 ? reported.size() / (span_ms / 1000.0) : 0.0;
  const double cpu_ms = (cpu_end - cpu_start) * 1000.0 / sysconf(_SC_CLK_TCK);
  const double us_per_request = reported.empty() ? 0.0 : cpu_ms * 1000.0 / reported.size();
  std::cout << "[ figures  ] pings received by the server: " << received << "\n"
            << "[ figures  ] pings seen by the intake: " << reported.size() << " over " << span_ms << " ms ("
            << rate << " per second)\n"
            << "[ figures  ] Home answered during the flood after " << home_ms << " ms\n"
            << "[ figures  ] program CPU during " << flood_s << " s of flood: " << cpu_ms << " ms, "
            << us_per_request << " us per reported request (engine signal + intake, an upper bound)\n";
  RecordProperty("pings_received", static_cast<int>(received));
  RecordProperty("pings_reported", static_cast<int>(reported.size()));
  RecordProperty("reported_per_second", static_cast<int>(rate));
  RecordProperty("home_ms", static_cast<int>(home_ms));
  RecordProperty("cpu_us_per_request", static_cast<int>(us_per_request));
}

// The page asks for a file and then keeps its main thread for 20 s, so the
// question about its text can never be answered.
const char* kHeldPage =
    "<!DOCTYPE html><html><head><meta charset='utf-8'></head><body>"
    "<p>\xe6\x96\x87\xe4\xbb\xb6\xe5\x90\x8d\xef\xbc\x9aheld.bin</p>"  // 文件名：
    "<p>\xe6\x96\x87\xe4\xbb\xb6\xe5\xa4\xa7\xe5\xb0\x8f\xef\xbc\x9a"
    "5 B</p>"  // 文件大小：
    "<script>onload = () => setTimeout(() => {"
    // A synchronous request is on its way before the script goes on, and the
    // busy loop follows in the same task: no other script gets in between.
    "  const x = new XMLHttpRequest(); x.open('GET', '/dl/held.bin?bkt=3&sign=x', false);"
    "  try { x.send(); } catch (e) {}"
    "  const end = Date.now() + 20000; while (Date.now() < end) {}"
    "}, 500);</script></body></html>";

TEST(PageAbuse, APageThatNeverAnswersCostsTheIntakeItsFiveSecondsAndTheTaskStillGoesOut) {
  XDisplay x;
  ASSERT_TRUE(x.ok());
  RecordingServer server;
  server.SetResponder([](const RecordedRequest& r) {
    if (r.Target().rfind("/dl/", 0) == 0)
      return Reply::Ok("12345", {"Content-Type: application/octet-stream"});
    return Reply::Ok(kHeldPage, {"Content-Type: text/html; charset=utf-8", "Cache-Control: no-store"});
  });
  RecordingServer notice;
  KorvathProcess korvath(
      {{"KORVATH_APP_URL", server.Url("/app/")}, {"KORVATH_NOTICE_URL", notice.Url("/n")}});
  ASSERT_TRUE(x.WaitFor(korvath.pid(), "Korvath - Fenlow")) << korvath.Output();

  ASSERT_TRUE(korvath.WaitForEvent("intake_request", {{"kind", "download"}}, 20000)) << korvath.Output();
  // The task (or its failure) follows once the text question gives up.
  auto finished = [&] {
    return !korvath.EventsNamed("task_created").empty() || !korvath.EventsNamed("task_failed").empty() ||
           !korvath.EventsNamed("message_box").empty();
  };
  ASSERT_TRUE(WaitUntil(finished, 20000)) << korvath.Output();
  ASSERT_FALSE(korvath.EventsNamed("task_created").empty())
      << "no task; message: "
      << (korvath.EventsNamed("message_box").empty() ? "" : korvath.EventsNamed("message_box")[0].dump());

  const Json request = korvath.EventsNamed("intake_request", {{"kind", "download"}})[0];
  const Json task = korvath.EventsNamed("task_created")[0];
  // No text came, so no name: aria2 names the file from the address.
  EXPECT_EQ(task.value("name", "?"), "");
  const double intake_ms = task.value("t_ms", 0.0) - request.value("t_ms", 0.0);
  std::cout << "[ figures  ] download intake on a held page took " << intake_ms << " ms\n";
  RecordProperty("held_intake_ms", static_cast<int>(intake_ms));
  // A hang, not a speed target: the 5 s wait plus generous room.
  EXPECT_LT(intake_ms, 15000);
  EXPECT_TRUE(ProcessAlive(korvath.pid()));
  EXPECT_TRUE(korvath.EventsNamed("message_box").empty());
}

// The page asks for 2,000 files at once. Each request handed over runs the
// main loop while it waits; nested inside one another they once ran the stack
// out. They are answered in turn, a short queue wait, the rest are dropped,
// and the user is told once, not at every burst.
//
// No name on the page: aria2 names each file itself, so no request is
// answered with a box of its own ("这个文件正在下载。").
const char* kFileFloodPage =
    "<!DOCTYPE html><html><head><meta charset='utf-8'></head><body><p>flood</p>"
    // A burst of 2,000 each time the test raises the number /go answers.
    "<script>let seen = 0, n = 0;"
    "setInterval(async () => {"
    "  const want = Number(await (await fetch('/go')).text());"
    "  for (; seen < want; ++seen)"
    "    for (let i = 0; i < 2000; ++i) new Image().src = '/dl/flood.bin?bkt=1&n=' + (n++);"
    "}, 100);</script></body></html>";

TEST(PageAbuse, AFloodOfFileRequestsIsAnsweredInTurnAndWhatOverflowsIsDroppedAndToldOnce) {
  XDisplay x;
  ASSERT_TRUE(x.ok());
  RecordingServer server;
  std::atomic<int> bursts = 0;
  server.SetResponder([&](const RecordedRequest& r) {
    if (r.Target().rfind("/dl/", 0) == 0)
      return Reply::Ok("12345", {"Content-Type: application/octet-stream"});
    if (r.Target() == "/go") return Reply::Ok(std::to_string(bursts.load()), {"Cache-Control: no-store"});
    return Reply::Ok(kFileFloodPage, {"Content-Type: text/html; charset=utf-8", "Cache-Control: no-store"});
  });
  RecordingServer notice;
  KorvathProcess korvath(
      {{"KORVATH_APP_URL", server.Url("/app/")}, {"KORVATH_NOTICE_URL", notice.Url("/n")}});
  ASSERT_TRUE(korvath.WaitForEvent("startup_step", {{"step", "ready"}})) << korvath.Output();
  auto dropped = [&] { return korvath.EventsNamed("intake_dropped").size(); };
  auto settled = [&] {
    std::size_t last = SIZE_MAX;
    return WaitUntil([&] { return std::exchange(last, dropped()) == last; }, 30000, 1000);
  };

  bursts = 1;
  ASSERT_TRUE(korvath.WaitForEvent("message_box", {{"flags", 64}}, 60000)) << korvath.Output();
  ASSERT_TRUE(settled());
  const std::size_t first_burst = dropped();
  // The box names how many were dropped (those that came after it are told
  // with the next round's, if at all).
  const std::string text = korvath.EventsNamed("message_box")[0].value("text", "");
  const std::size_t digits = text.find_first_of("0123456789");
  ASSERT_NE(digits, std::string::npos) << text;
  const std::size_t told = std::stoul(text.substr(digits));
  EXPECT_GE(told, 1u);
  EXPECT_LE(told, first_burst);

  // A second burst is dropped too, without a second box.
  bursts = 2;
  ASSERT_TRUE(WaitUntil([&] { return dropped() > first_burst + 500; }, 30000)) << dropped();
  ASSERT_TRUE(settled());
  EXPECT_TRUE(ProcessAlive(korvath.pid()));
  const auto boxes = korvath.EventsNamed("message_box");
  EXPECT_EQ(boxes.size(), 1u) << boxes.back().dump();

  // Every request that waited was answered; only the first of a burst may
  // have needed no wait.
  const auto handled = korvath.EventsNamed("intake_request", {{"kind", "download"}});
  const std::size_t queued = korvath.EventsNamed("intake_queued").size();
  EXPECT_GE(handled.size(), queued);
  EXPECT_LE(handled.size(), queued + 2);
  // In turn: each request is done with (here, a task) before the next starts.
  std::vector<std::string> serial;
  for (const auto& e : korvath.Events()) {
    const std::string name = e.value("event", "");
    if (name == "task_created" || (name == "intake_request" && e.value("kind", "") == "download"))
      serial.push_back(name);
  }
  for (std::size_t k = 0; k < serial.size(); ++k)
    EXPECT_EQ(serial[k], k % 2 == 0 ? "intake_request" : "task_created") << "at " << k;
  std::cout << "[ figures  ] file requests handed over: " << handled.size() << ", dropped: " << dropped()
            << "\n";
}

}  // namespace
}  // namespace korvath::testing
