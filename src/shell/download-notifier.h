// Desktop notifications for downloads that finish or fail while Korvath
// runs, sent through GApplication, with an action that opens the folder.
#pragma once

#include <functional>
#include <string>

#include "app/look-schedule.h"
#include "app/task-store.h"
#include "engine/engine-state.h"
#include "engine/finished-downloads.h"
#include "platform/desktop.h"

typedef struct _GApplication GApplication;
typedef struct _GSimpleAction GSimpleAction;

namespace korvath {

struct DownloadNotifierParams {
  // Shows a folder (UTF-8 path) to the user; absent: "xdg-open <folder>".
  std::function<void(const std::string& folder)> open_folder;
  int interval_seconds = 2;
  // aria2's working directory; "": the current directory (aria2 inherits it).
  std::string base_dir;
  // What share pages said of the files; none: finished files are not checked.
  StatedSizes* stated_sizes = nullptr;
  // When to look again; none: at every interval. Whether aria2's
  // notifications arrive, which lets the schedule wait for a change.
  LookSchedule* schedule = nullptr;
  std::function<bool()> streaming;
  // Whether a failed task will be tried again by itself: not yet a failure
  // to announce.
  std::function<bool(const Text& gid)> retrying;
  // Where the stopped tasks are read instead of asking aria2 for them; none:
  // aria2.tellStopped at every look. Must outlive the notifier.
  const TaskStore* store = nullptr;
};

// The name of the application action the notifications activate, with the
// folder as its string parameter.
inline constexpr const char* kOpenFolderAction = "open-download-folder";

class DownloadNotifier {
 public:
  // `app` must be registered (g_application_register or running); the
  // notifier holds a reference to it. `desktop` and `engine` must outlive it.
  DownloadNotifier(GApplication* app, Desktop& desktop, const EngineState& engine,
                   DownloadNotifierParams params = {});
  ~DownloadNotifier();
  DownloadNotifier(const DownloadNotifier&) = delete;
  DownloadNotifier& operator=(const DownloadNotifier&) = delete;

  // When a notification service is on the session bus: learns what aria2
  // has already finished (never announced) and polls aria2 (or the store,
  // once it has read aria2's lists) every interval on the main loop. Otherwise does nothing but record one
  // "download_notices_unavailable" line. Only the first call acts. True when
  // the notices run.
  bool Start();

  // One look at aria2: a notification per download that completed ("下载完成："
  // + name), completed with a file unlike its share page's ("文件与分享页不符："
  // + name, what differs as body), completed from a server that sent no
  // length with a size the page's rounding allows ("下载结束，但无法确认文件
  // 完整：" + name, why as body) or failed ("下载失败：" + name, the error as
  // body) since the last look, each recorded as "download_notice" {gid, name,
  // ok, error, mismatch, unconfirmed}; ok is false unless plainly complete.
  // Name and body are shown on one line of at most kShownTextChars.
  void Poll();

  // Quiet: downloads still end as seen, but none is announced, so turning
  // the notices on again announces only what ends from then on. (The user
  // may switch them off while a look at aria2 is under way, so the notifier
  // is not destroyed for it.)
  void SetQuiet(bool quiet) { quiet_ = quiet; }

  // aria2 told that a download started: a look half a second on and the
  // next few looks also watch whether its server sends a length
  // (FinishedDownloadWatch::LookAtLengths).
  void DownloadStarted();

  // Announces a download that finished while no look could see it (aria2
  // ended right after it), once, like any other.
  void Announce(const FinishedDownload& download);

 private:
  static constexpr int kLengthLooksAfterStart = 5;
  static constexpr unsigned kFirstLengthLookMs = 500;

  void Send(const FinishedDownload& download);
  void LookAtLengths();
  void OpenFolder(const std::string& folder);

  GApplication* app_;
  Desktop& desktop_;
  const EngineState& engine_;
  DownloadNotifierParams params_;
  FinishedDownloadWatch watch_;
  GSimpleAction* action_ = nullptr;
  unsigned timer_ = 0;
  unsigned length_look_soon_ = 0;
  bool started_ = false;
  bool polling_ = false;
  bool quiet_ = false;
  int length_looks_left_ = 0;
  bool primed_ = false;              // what ended before the store's first listing is known
  std::uint64_t store_version_ = 0;  // of the store when its tasks were last taken
};

// Whether something can show notifications on the session bus: the owner
// (running or activatable) of org.freedesktop.Notifications or
// org.gtk.Notifications.
bool NotificationServiceAvailable(GApplication* app);

}  // namespace korvath
