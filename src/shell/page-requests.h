// The main page's requests for files, handed to the download intake one at
// a time, in the order they came.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>

#include "app/engine-session.h"
#include "app/options.h"
#include "platform/desktop.h"
#include "shell/download-manager.h"
#include "shell/main-window.h"
#include "util/text.h"

namespace korvath {

struct PageRequestQueueParams {
  Desktop& desktop;
  const Options& options;
  EngineSession& session;
  MainWindow& main;
  DownloadManagerHost& manager;
  // The folder of the next download, as decided now.
  std::function<Text()> download_dir;
  std::function<bool()> shutting_down;
  // A shut-down deferred while an intake ran, asked for again once it ended.
  std::function<void(const char* reason)> shut_down;
};

class PageRequestQueue {
 public:
  explicit PageRequestQueue(PageRequestQueueParams params) : p_(std::move(params)) {}

  // Hands a request the main page started to the download intake, at once
  // or, while another is handled or before Ready, when its turn comes.
  void OnRequest(const Text& url);
  // Start-up has decided which aria2 takes downloads: what waited is
  // answered, in order.
  void Ready();
  // While an intake runs, shut-down waits for it: true when `reason` was
  // kept to be asked for again once the intake has handed its task over.
  bool DeferShutDown(const char* reason);

 private:
  // A file the page asked for while another request was handled or before
  // start-up knew which aria2 takes it, with the page's text of that moment
  // when it could be read: the page may have moved on by its turn.
  struct Waiting {
    std::uint64_t id = 0;
    Text url;
    std::optional<Text> page_text;
  };

  void AnswerWaiting();
  void RunIntake(const Text& url, std::optional<Text> text_then);
  void ReadTextFor(std::uint64_t id);
  void TellDropped();

  PageRequestQueueParams p_;
  std::deque<Waiting> waiting_;
  std::uint64_t last_id_ = 0;
  std::size_t dropped_ = 0;  // beyond the queue, since the user was last told
  std::optional<std::int64_t> last_told_ms_;
  bool ready_ = false;
  bool answering_ = false;     // the waiting ones are being handed to the intake
  bool reading_text_ = false;  // a waiting one's page text is being read
  int intakes_running_ = 0;
  const char* deferred_shutdown_ = nullptr;
};

}  // namespace korvath
