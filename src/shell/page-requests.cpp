// The main page's requests for files, handed to the download intake one at a
// time, in the order they came.
//
// Waiting inside an intake runs the main loop, where the next request would
// start an intake of its own inside the first: a page firing requests as fast
// as its script can would nest them until the stack runs out. Requests that
// come while one is handled, or before start-up knows which aria2 takes
// downloads, wait in a short queue instead; beyond it they are dropped.
#include <algorithm>
#include <utility>

#include "engine/session-record.h"
#include "intake/intake.h"
#include "intake/share-link.h"
#include "platform/event-log.h"
#include "shell/kept-aria2-options.h"
#include "shell/shell.h"

namespace korvath {
namespace {

// How long a click waits for aria2 being started again: start-up takes a
// second or two, and waiting longer would leave the user with no answer.
constexpr int kEngineWaitMs = 8000;

// More than a user can click while one file is handed over; a script's burst
// beyond it is dropped.
constexpr std::size_t kMaxWaitingRequests = 8;

// What the download intake may do to the main window and the shell.
class ShellIntake : public IntakePage, public IntakeShell {
 public:
  ShellIntake(Shell& shell, std::optional<Text> text_then)
      : shell_(shell), text_then_(std::move(text_then)) {}
  void GoBack() override {
    if (shell_.main) shell_.main->view().GoBack();
  }
  // The text read when the request came, if it had to wait.
  Text GetPageText() override {
    if (text_then_) return *text_then_;
    return shell_.main ? shell_.main->view().GetPageText() : Text();
  }
  void ShowDownloadManager() override { korvath::ShowDownloadManager(shell_); }
  void HideLoadingOverlay() override {
    if (shell_.main) shell_.main->HideLoadingOverlay();
  }
  void WaitForEngine() override {
    if (shell_.aria2_supervisor) shell_.aria2_supervisor->HoldWhileRestarting(kEngineWaitMs);
  }
  void TaskHandedOver(const DownloadTask& task) override { RecordHandedOverTask(shell_, task); }

 private:
  Shell& shell_;
  std::optional<Text> text_then_;
};

void RunIntake(Shell& shell, const Text& url, std::optional<Text> text_then) {
  ShellIntake intake(shell, std::move(text_then));
  IntakeContext context{.desktop = shell.desktop, .engine = shell.engine, .page = intake, .shell = intake};
  if (shell.options.storage_base) context.storage_base = Text(*shell.options.storage_base);
  // A remote aria2 saves on its own machine: the path is one of that machine's.
  context.global_options = TaskGlobalOptions(shell.options.aria2_options);
  context.download_dir = shell.engine.Remote() ? Utf8ToGbk(shell.options.remote_folder) : shell.download_dir;
  context.stated_sizes = shell.stated_sizes.get();
  if (!shell.engine.Remote()) context.session_record = SessionRecordPath();
  ++shell.intakes_running;
  InterceptDownload(context, url);
  --shell.intakes_running;
  if (shell.intakes_running == 0 && shell.deferred_shutdown) ShutDown(shell, shell.deferred_shutdown);
}

// The page's text is read when the request comes, while the page still shows
// the file asked for; one reading at a time, since reading runs the main loop.
void ReadTextFor(Shell& shell, std::uint64_t id) {
  if (shell.page_requests.reading_text || !shell.main) return;
  shell.page_requests.reading_text = true;
  Text text = shell.main->view().GetPageText();
  shell.page_requests.reading_text = false;
  auto& waiting = shell.page_requests.waiting;
  auto it =
      std::find_if(waiting.begin(), waiting.end(), [id](const WaitingRequest& r) { return r.id == id; });
  if (it != waiting.end()) it->page_text = std::move(text);
}

// A page that keeps asking must not keep the user closing boxes.
constexpr std::int64_t kTellAgainAfterMs = 60000;

void TellDropped(Shell& shell) {
  PageRequests& requests = shell.page_requests;
  const std::size_t dropped = std::exchange(requests.dropped, 0);
  if (dropped == 0 || shell.shutting_down) return;
  const std::int64_t now = MonotonicMs();
  if (requests.last_told_ms && now - *requests.last_told_ms < kTellAgainAfterMs) return;
  requests.last_told_ms = now;
  MessageBox(shell.desktop,
             Gbk(u8"页面在很短的时间内请求下载很多文件，多出的") + Text(std::to_string(dropped)) +
                 Gbk(u8"个请求没有下载。如果需要这些文件，请在页面上逐个点击下载。"),
             kMbIconInformation);
}

}  // namespace

void OnPageRequest(Shell& shell, const Text& url) {
  // Only a request for a file needs aria2 and waits; the intake merely logs
  // the others (or sends the page back) and may do so at once.
  if (ClassifyShareLink(url) != ShareLinkKind::kShareLink) {
    RunIntake(shell, url, std::nullopt);
    return;
  }
  PageRequests& requests = shell.page_requests;
  if (requests.waiting.size() >= kMaxWaitingRequests) {
    ++requests.dropped;
    shell.desktop.Log().Record("intake_dropped", {{"url", url}});
    return;
  }
  const std::uint64_t id = ++requests.last_id;
  requests.waiting.push_back({.id = id, .url = url, .page_text = std::nullopt});
  if (requests.answering || !shell.ready) {
    // Whoever is below on the stack answers it when its turn comes.
    shell.desktop.Log().Record("intake_queued", {{"url", url}});
    ReadTextFor(shell, id);
    return;
  }
  AnswerWaitingRequests(shell);
}

void AnswerWaitingRequests(Shell& shell) {
  PageRequests& requests = shell.page_requests;
  if (requests.answering || !shell.ready) return;
  requests.answering = true;
  if (std::exchange(shell.manager_wanted, false) && !shell.shutting_down) ShowDownloadManager(shell);
  // Requests that come while the box is open wait for the next round.
  do {
    while (!requests.waiting.empty() && !shell.shutting_down) {
      WaitingRequest next = std::move(requests.waiting.front());
      requests.waiting.pop_front();
      RunIntake(shell, next.url, std::move(next.page_text));
    }
    TellDropped(shell);
  } while (!requests.waiting.empty() && !shell.shutting_down);
  requests.answering = false;
}

}  // namespace korvath
