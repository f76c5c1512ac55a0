// Waiting inside an intake runs the main loop, where the next request would
// start an intake of its own inside the first: a page firing requests as fast
// as its script can would nest them until the stack runs out. Requests that
// come while one is handled, or before start-up knows which aria2 takes
// downloads, wait in a short queue instead; beyond it they are dropped.
#include "shell/page-requests.h"

#include <algorithm>
#include <utility>

#include "app/kept-aria2-options.h"
#include "engine/session-record.h"
#include "intake/intake.h"
#include "intake/share-link.h"
#include "platform/event-log.h"

namespace korvath {
namespace {

// How long a click waits for aria2 being started again: start-up takes a
// second or two, and waiting longer would leave the user with no answer.
constexpr int kEngineWaitMs = 8000;

// More than a user can click while one file is handed over; a script's burst
// beyond it is dropped.
constexpr std::size_t kMaxWaitingRequests = 8;

// A page that keeps asking must not keep the user closing boxes.
constexpr std::int64_t kTellAgainAfterMs = 60000;

// What the download intake may do to the main window and the program.
class ShellIntake : public IntakePage, public IntakeShell {
 public:
  ShellIntake(const PageRequestQueueParams& p, std::optional<Text> text_then)
      : p_(p), text_then_(std::move(text_then)) {}
  void GoBack() override { p_.main.view().GoBack(); }
  // The text read when the request came, if it had to wait.
  Text GetPageText() override { return text_then_ ? *text_then_ : p_.main.view().GetPageText(); }
  void ShowDownloadManager() override { p_.manager.Show(); }
  void HideLoadingOverlay() override { p_.main.HideLoadingOverlay(); }
  void WaitForEngine() override { p_.session.HoldWhileRestarting(kEngineWaitMs); }
  void TaskHandedOver(const DownloadTask& task) override { p_.session.RecordHandedOver(task); }

 private:
  const PageRequestQueueParams& p_;
  std::optional<Text> text_then_;
};

}  // namespace

void PageRequestQueue::RunIntake(const Text& url, std::optional<Text> text_then) {
  ShellIntake intake(p_, std::move(text_then));
  const EngineState& engine = p_.session.engine();
  IntakeContext context{.desktop = p_.desktop, .engine = engine, .page = intake, .shell = intake};
  if (p_.options.storage_base) context.storage_base = Text(*p_.options.storage_base);
  context.global_options = TaskGlobalOptions(p_.session.kept_options());
  // A remote aria2 saves on its own machine: the path is one of that machine's.
  context.download_dir = engine.Remote() ? Utf8ToGbk(p_.options.remote_folder) : p_.download_dir();
  context.stated_sizes = p_.session.stated_sizes();
  if (!engine.Remote()) context.session_record = SessionRecordPath();
  ++intakes_running_;
  InterceptDownload(context, url);
  --intakes_running_;
  if (intakes_running_ == 0 && deferred_shutdown_) p_.shut_down(std::exchange(deferred_shutdown_, nullptr));
}

bool PageRequestQueue::DeferShutDown(const char* reason) {
  if (intakes_running_ == 0) return false;
  if (!deferred_shutdown_) {
    deferred_shutdown_ = reason;
    p_.desktop.Log().Record("shutdown_step",
                            {{"step", std::string("deferred")}, {"reason", std::string(reason)}});
  }
  return true;
}

// The page's text is read when the request comes, while the page still shows
// the file asked for; one reading at a time, since reading runs the main loop.
void PageRequestQueue::ReadTextFor(std::uint64_t id) {
  if (reading_text_) return;
  reading_text_ = true;
  Text text = p_.main.view().GetPageText();
  reading_text_ = false;
  auto it = std::find_if(waiting_.begin(), waiting_.end(), [id](const Waiting& r) { return r.id == id; });
  if (it != waiting_.end()) it->page_text = std::move(text);
}

void PageRequestQueue::TellDropped() {
  const std::size_t dropped = std::exchange(dropped_, 0);
  if (dropped == 0 || p_.shutting_down()) return;
  const std::int64_t now = MonotonicMs();
  if (last_told_ms_ && now - *last_told_ms_ < kTellAgainAfterMs) return;
  last_told_ms_ = now;
  MessageBox(p_.desktop,
             Gbk(u8"页面在很短的时间内请求下载很多文件，多出的") + Text(std::to_string(dropped)) +
                 Gbk(u8"个请求没有下载。如果需要这些文件，请在页面上逐个点击下载。"),
             kMbIconInformation);
}

void PageRequestQueue::OnRequest(const Text& url) {
  // Only a request for a file needs aria2 and waits; the intake merely logs
  // the others (or sends the page back) and may do so at once.
  if (ClassifyShareLink(url) != ShareLinkKind::kShareLink) {
    RunIntake(url, std::nullopt);
    return;
  }
  if (waiting_.size() >= kMaxWaitingRequests) {
    ++dropped_;
    p_.desktop.Log().Record("intake_dropped", {{"url", url}});
    return;
  }
  const std::uint64_t id = ++last_id_;
  waiting_.push_back({.id = id, .url = url, .page_text = std::nullopt});
  if (answering_ || !ready_) {
    // Whoever is below on the stack answers it when its turn comes.
    p_.desktop.Log().Record("intake_queued", {{"url", url}});
    ReadTextFor(id);
    return;
  }
  AnswerWaiting();
}

void PageRequestQueue::Ready() {
  ready_ = true;
  AnswerWaiting();
}

void PageRequestQueue::AnswerWaiting() {
  if (answering_ || !ready_) return;
  answering_ = true;
  // Requests that come while the box is open wait for the next round.
  do {
    while (!waiting_.empty() && !p_.shutting_down()) {
      Waiting next = std::move(waiting_.front());
      waiting_.pop_front();
      RunIntake(next.url, std::move(next.page_text));
    }
    TellDropped();
  } while (!waiting_.empty() && !p_.shutting_down());
  answering_ = false;
}

}  // namespace korvath
