// Pages whose scripts try to hold the user with dialogs: alert() in a loop,
// alert() for ever, confirm()/prompt() in turn, a beforeunload handler,
// print(). The program shows at most two of their dialogs, as its own boxes,
// no print dialog, and 首页 and 刷新 always take the user elsewhere.
#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <set>
#include <thread>

#include "harness/korvath-harness.h"
#include "support/loopback-ports.h"
#include "support/recording-server.h"

namespace korvath::testing {
namespace {

const std::string kMainTitle = "Korvath - Fenlow";
const std::set<std::string> kBoxTitles = {"网页消息", "网页询问", "网页请求输入", "离开此页面？"};

const char* kQuietPage =
    "<!DOCTYPE html><html><head><meta charset='utf-8'></head><body><p>quiet</p></body></html>";

bool PortTaken(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool taken = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return taken;
}

std::string Page(const std::string& script) {
  return "<!DOCTYPE html><html><head><meta charset='utf-8'></head><body style='height:650px'>"
         "<p>dialogs</p><script>" +
         script + "</script></body></html>";
}

// The real program on a page of the test's own: /app/ is `page` for its first
// `page_loads` loads and a quiet page afterwards (as is every other address
// under /app/); the page's script may report to /done and /ready.
class ScriptDialogs : public ::testing::Test {
 protected:
  void Start(const std::string& page, int page_loads = 1, std::map<std::string, std::string> env = {}) {
    ASSERT_TRUE(lock_.locked()) << "another test kept port 6800";
    // Holders of the lock are not the only users of the port.
    ASSERT_TRUE(WaitUntil([] { return !PortTaken(6800); }, 120000)) << "port 6800 stayed in use";
    ASSERT_TRUE(x_.ok());
    server_.SetResponder([this, page, page_loads](const RecordedRequest& r) {
      const std::string headers = "Content-Type: text/html; charset=utf-8";
      // Home and Refresh both ask for exactly the app address.
      if (r.Target() == "/app/") {
        const int n = ++app_loads_;
        return Reply::Ok(n <= page_loads ? page : kQuietPage, {headers, "Cache-Control: no-store"});
      }
      if (r.Target().rfind("/app/", 0) == 0)
        return Reply::Ok(kQuietPage, {headers, "Cache-Control: no-store"});
      return Reply::Ok("", {"Cache-Control: no-store"}, "204 No Content");
    });
    env["KORVATH_APP_URL"] = server_.Url("/app/");
    env["KORVATH_NOTICE_URL"] = notice_.Url("/n");
    korvath_ = std::make_unique<KorvathProcess>(env, /*auto_dialogs=*/false);
    main_ = x_.WaitFor(korvath_->pid(), kMainTitle);
    ASSERT_TRUE(main_) << korvath_->Output();
  }

  void TearDown() override {
    // Whatever else the program showed while the test looked, by title.
    EXPECT_TRUE(foreign_.empty()) << "a window other than the main window and its dialog boxes: "
                                  << *foreign_.begin();
    if (korvath_) {
      EXPECT_LE(Shown().size(), 2u);
      EXPECT_TRUE(korvath_->EventsNamed("message_box").empty());
    }
  }

  // Notes any window that is neither the main window nor one of our boxes;
  // every wait of the test looks.
  void LookAtWindows() {
    for (Window w : x_.WindowsOf(korvath_->pid())) {
      const std::string title = x_.Title(w);
      if (title != kMainTitle && !kBoxTitles.count(title) && !also_allowed_.count(title))
        foreign_.insert(title);
    }
  }

  std::vector<Json> Dialogs(const std::string& action) const {
    return korvath_->EventsNamed("script_dialog", {{"action", action}});
  }
  std::vector<Json> Shown() const { return Dialogs("shown"); }

  // The n-th box (1-based) once it is on screen, found by its caption.
  std::optional<Window> WaitForBox(std::size_t n, const std::string& caption) {
    if (!WaitUntil(
            [&] {
              LookAtWindows();
              return Shown().size() >= n;
            },
            20000))
      return std::nullopt;
    return x_.WaitFor(korvath_->pid(), caption, 5000);
  }

  bool BoxOnScreen() const {
    for (Window w : x_.WindowsOf(korvath_->pid()))
      if (kBoxTitles.count(x_.Title(w))) return true;
    return false;
  }

  // Clicks a button of the main window and returns how long the server took
  // to see /app/ asked for again; -1 when it never did.
  double ClickForAppLoad(int x, int y) {
    const int before = app_loads_;
    const auto clicked = Clock::now();
    ClickAt(*main_, x, y);
    // A hang, not a speed target: the figures are printed below.
    if (!WaitUntil([&] { return app_loads_ > before; }, 10000, 10)) return -1;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - clicked).count();
    LookAtWindows();
    return ms;
  }
  double ClickHome() { return ClickForAppLoad(264 + 32, 16 + 12); }
  double ClickRefresh() { return ClickForAppLoad(344 + 32, 16 + 12); }

  // The program and its web processes come back to rest (under 15 % of one
  // core over a second); returns the last share measured.
  double SettledCpu() {
    double share = 1;
    WaitUntil(
        [&] {
          LookAtWindows();
          return (share = CpuShare(korvath_->pid(), 1000)) < 0.15;
        },
        20000, 0);
    return share;
  }

  std::size_t Requested(const std::string& prefix) const {
    std::size_t n = 0;
    for (auto& r : server_.Requests())
      if (r.Target().rfind(prefix, 0) == 0) ++n;
    return n;
  }
  bool Done() const { return Requested("/done") > 0; }
  std::string Targets() const {
    std::string out;
    for (auto& r : server_.Requests()) out += r.Target() + " ";
    return out;
  }
  std::string DoneTarget() const {
    for (auto& r : server_.Requests())
      if (r.Target().rfind("/done", 0) == 0) return r.Target();
    return "";
  }

  void Figures(const std::string& name, double home_ms, double refresh_ms, double cpu) {
    std::cout << "[ figures  ] " << name << ": Home reloaded the app after " << home_ms
              << " ms, Refresh after " << refresh_ms << " ms; CPU at rest " << cpu * 100 << " % of a core\n";
    RecordProperty("home_ms", static_cast<int>(home_ms));
    RecordProperty("refresh_ms", static_cast<int>(refresh_ms));
  }

  Aria2MachineLock lock_;  // first in, last out: held until the program and its aria2 are gone
  XDisplay x_;
  RecordingServer server_;
  RecordingServer notice_;
  std::atomic<int> app_loads_{0};
  std::unique_ptr<KorvathProcess> korvath_;
  std::optional<Window> main_;
  std::set<std::string> foreign_;
  std::set<std::string> also_allowed_;
};

TEST_F(ScriptDialogs, AThousandAlertsShowTwoBoxesAndTheChoiceToBlockAnswersTheRest) {
  Start(
      Page("onload = () => setTimeout(() => {"
           "  for (let i = 1; i <= 1000; ++i) alert('第' + i + '条消息');"
           "  fetch('/done');"
           "}, 100);"));
  auto first = WaitForBox(1, "网页消息");
  ASSERT_TRUE(first) << korvath_->Output();
  EXPECT_EQ(Shown()[0].value("message", ""), "第1条消息");
  EXPECT_EQ(Shown()[0].value("url", ""), server_.Url("/app/"));
  EXPECT_FALSE(Shown()[0].value("offers_block", true));
  // The box belongs to the main window.
  EXPECT_EQ(x_.TransientFor(*first), main_);
  PressKeys(*first, "Return");

  auto second = WaitForBox(2, "网页消息");
  ASSERT_TRUE(second);
  ASSERT_TRUE(Shown()[1].value("offers_block", false));
  Screenshot(*second, "script-dialog-block-choice");
  // The choice sits first in the row: one step back from OK.
  PressKeys(*second, "Tab Return");

  ASSERT_TRUE(WaitUntil([&] { return Done(); }, 20000)) << "the page never finished its loop";
  EXPECT_EQ(Dialogs("answered").size(), 2u);
  EXPECT_EQ(Dialogs("answered").back().value("answer", ""), "block");
  const auto suppressed = Dialogs("suppressed");
  EXPECT_EQ(suppressed.size(), 998u);
  for (auto& e : suppressed) ASSERT_EQ(e.value("reason", ""), "blocked") << e.dump();

  const double refresh_ms = ClickRefresh();
  EXPECT_GE(refresh_ms, 0) << "Refresh did not reload the page";
  const double home_ms = ClickHome();
  EXPECT_GE(home_ms, 0) << "Home did not load the app again";
  const double cpu = SettledCpu();
  EXPECT_LT(cpu, 0.15);
  Figures("1,000 alerts", home_ms, refresh_ms, cpu);
}

TEST_F(ScriptDialogs, RefreshGetsAwayFromAnEndlessAlertLoopWhileItsBoxIsOpen) {
  Start(
      Page("onload = () => setTimeout(() => { let n = 0; while (true) alert('第' + (++n) + '次'); }, 100);"));
  auto first = WaitForBox(1, "网页消息");
  ASSERT_TRUE(first) << korvath_->Output();
  PressKeys(*first, "Return");
  ASSERT_TRUE(WaitForBox(2, "网页消息"));

  // The script waits in its second box and would raise the next at once.
  const double refresh_ms = ClickRefresh();
  ASSERT_GE(refresh_ms, 0) << "Refresh did not reload the page";
  EXPECT_EQ(Dialogs("dismissed").size(), 1u);
  EXPECT_TRUE(WaitUntil([&] { return !BoxOnScreen(); }, 5000));
  const double home_ms = ClickHome();
  EXPECT_GE(home_ms, 0) << "Home did not load the app again";
  const double cpu = SettledCpu();
  EXPECT_LT(cpu, 0.15);
  EXPECT_TRUE(ProcessAlive(korvath_->pid()));
  Figures("endless alerts", home_ms, refresh_ms, cpu);
}

// print() opened the engine's print dialog over the main window, once per
// call: nothing is shown now, and each call is logged.
TEST_F(ScriptDialogs, APageCallingPrintShowsNoPrintDialog) {
  Start(Page("onload = () => setTimeout(() => { for (let i = 0; i < 3; ++i) print(); }, 100);"));
  ASSERT_TRUE(WaitUntil(
      [&] {
        LookAtWindows();
        return korvath_->EventsNamed("print_refused").size() == 3;
      },
      20000))
      << korvath_->Output();
  EXPECT_EQ(korvath_->EventsNamed("print_refused", {{"view", "main"}}).size(), 3u);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  LookAtWindows();  // the fixture fails on any window besides the main one
  EXPECT_TRUE(ProcessAlive(korvath_->pid()));
}

TEST_F(ScriptDialogs, BlockingConfirmsAndPromptsGivesThePageCancelAndNoText) {
  Start(Page(
      "onload = () => setTimeout(() => {"
      "  const r = [];"
      "  for (let i = 0; i < 200; ++i) { r.push(confirm('确认' + i)); r.push(prompt('输入' + i, '默认')); }"
      "  fetch('/done?n=' + r.length + '&r=' + encodeURIComponent(JSON.stringify(r.slice(0, 4))));"
      "}, 100);"));
  auto confirm = WaitForBox(1, "网页询问");
  ASSERT_TRUE(confirm) << korvath_->Output();
  PressKeys(*confirm, "Return");
  auto prompt = WaitForBox(2, "网页请求输入");
  ASSERT_TRUE(prompt);
  EXPECT_EQ(Shown()[1].value("kind", ""), "prompt");
  PressKeys(*prompt, "Tab Return");

  ASSERT_TRUE(WaitUntil([&] { return Done(); }, 20000)) << "the page never finished its loop";
  // OK on the first confirm, then what blocking answers: no text, Cancel.
  EXPECT_EQ(DoneTarget(), "/done?n=400&r=" + std::string("%5Btrue%2Cnull%2Cfalse%2Cnull%5D"));
  EXPECT_EQ(Dialogs("suppressed").size(), 398u);

  const double refresh_ms = ClickRefresh();
  EXPECT_GE(refresh_ms, 0);
  const double home_ms = ClickHome();
  EXPECT_GE(home_ms, 0);
  const double cpu = SettledCpu();
  EXPECT_LT(cpu, 0.15);
  Figures("confirm and prompt", home_ms, refresh_ms, cpu);
}

TEST_F(ScriptDialogs, ALeavePagePromptNeverStopsHomeOrRefresh) {
  // A click on the upper band follows a link, which asks about leaving (the
  // click is also the touch the engine wants before it asks at all).
  Start(Page("addEventListener('beforeunload', e => { e.preventDefault(); e.returnValue = 'stay'; });"
             "document.write(\"<a id=go href='/app/?next' style='position:fixed;left:0;top:60px;"
             "width:100%;height:200px;display:block'>go</a>\");"
             "onload = () => fetch('/ready');"),
        2);
  auto left_at_once = [&] {
    std::size_t n = 0;
    for (auto& e : Dialogs("suppressed"))
      if (e.value("kind", "") == "leave_page" && e.value("reason", "") == "leaving") ++n;
    return n;
  };
  auto ask_about_leaving = [&](std::size_t n) {
    // The n-th load has run its script; a moment more for it to be drawn.
    if (!WaitUntil([&] { return Requested("/ready") >= n; }, 20000)) return std::optional<Window>();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ClickAt(*main_, 295, 150);
    return WaitForBox(n, "离开此页面？");
  };

  ASSERT_TRUE(ask_about_leaving(1)) << "the page's own navigation did not ask about leaving";
  EXPECT_EQ(Shown()[0].value("kind", ""), "leave_page");
  // The question is on screen; Home goes anyway, and the question the engine
  // asks again for Home's own load is answered with leave.
  const double home_ms = ClickHome();
  ASSERT_GE(home_ms, 0) << "Home did not load the app again";
  EXPECT_TRUE(WaitUntil([&] { return !BoxOnScreen(); }, 5000));
  EXPECT_EQ(left_at_once(), 1u);

  // The second load is the same page: the same again with Refresh.
  ASSERT_TRUE(ask_about_leaving(2)) << Targets();
  const double refresh_ms = ClickRefresh();
  EXPECT_GE(refresh_ms, 0) << "Refresh did not reload the page";
  EXPECT_TRUE(WaitUntil([&] { return !BoxOnScreen(); }, 5000));
  EXPECT_EQ(left_at_once(), 2u);
  EXPECT_EQ(Dialogs("dismissed").size(), 2u);
  const double cpu = SettledCpu();
  EXPECT_LT(cpu, 0.15);
  Figures("leave-page prompt", home_ms, refresh_ms, cpu);
}

TEST_F(ScriptDialogs, TheManagerPageGetsTheSameBoxesAndComesBackWhenTheMainPageIsEnded) {
  // The manager window shows a page of the user's choosing, here one that
  // greets with an alert and reports each load.
  const std::string dir = MakeTempDir("manager-page");
  const std::string manager_page = dir + "/ariang.html";
  std::ofstream(manager_page) << Page(
      "onload = () => { fetch('" + server_.Url("/manager-ready") +
      "', {mode: 'no-cors'}); if (!sessionStorage.greeted) {"
      " sessionStorage.greeted = 1; setTimeout(() => alert('管理页'), 100); } };");
  also_allowed_.insert("下载管理");
  // The main page loops for ever once clicked.
  Start(Page("onclick = () => { let n = 0; while (true) alert('第' + (++n) + '次'); };"), 1,
        {{"KORVATH_ARIANG", manager_page}});

  ASSERT_TRUE(korvath_->WaitForEvent("startup_step", {{"step", "ready"}})) << korvath_->Output();
  ClickAt(*main_, 424 + 32, 16 + 12);
  auto manager = x_.WaitFor(korvath_->pid(), "下载管理");
  ASSERT_TRUE(manager) << korvath_->Output();
  auto greeting = WaitForBox(1, "网页消息");
  ASSERT_TRUE(greeting);
  EXPECT_EQ(Shown()[0].value("view", ""), "manager");
  EXPECT_EQ(x_.TransientFor(*greeting), manager);
  PressKeys(*greeting, "Return");
  ASSERT_TRUE(WaitUntil([&] { return Requested("/manager-ready") >= 1; }, 20000));

  ClickAt(*main_, 295, 400);
  ASSERT_TRUE(WaitForBox(2, "网页消息"));
  EXPECT_EQ(Shown()[1].value("view", ""), "main");
  // A new page of its own: no choice to block yet.
  EXPECT_FALSE(Shown()[1].value("offers_block", true));
  const double refresh_ms = ClickRefresh();
  ASSERT_GE(refresh_ms, 0) << "Refresh did not reload the page";
  // Ending the looping page's web process ended the manager page's too; it
  // is loaded again, without greeting twice.
  EXPECT_TRUE(WaitUntil([&] { return Requested("/manager-ready") >= 2; }, 20000)) << Targets();
  EXPECT_TRUE(x_.Find(korvath_->pid(), "下载管理"));
  const double cpu = SettledCpu();
  EXPECT_LT(cpu, 0.15);
  std::cout << "[ figures  ] manager beside an endless main page: Refresh after " << refresh_ms << " ms\n";
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace
}  // namespace korvath::testing
