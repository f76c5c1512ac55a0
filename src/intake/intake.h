// Download request intake: recognises the share page's request for a stored
// file among all the resource requests the page starts, reads the file's name
// from the page and hands the download to aria2.
#pragma once

#include <string>
#include <string_view>

#include "engine/download-task.h"
#include "engine/engine-state.h"
#include "engine/rpc-client.h"
#include "engine/stated-sizes.h"
#include "platform/desktop.h"
#include "util/download-folder-name.h"
#include "util/text.h"

namespace korvath {

// The storage service's own base URL unless KORVATH_STORAGE_BASE says
// otherwise. A link that starts with it is the page leaving for the storage
// service directly; the intake sends the page back instead.
inline constexpr std::string_view kDefaultStorageBase = "http://d.pcs.baidu.com/";

// The main web view, as far as the intake needs it.
class IntakePage {
 public:
  virtual ~IntakePage() = default;
  virtual void GoBack() = 0;
  // The rendered text of the whole current page, as system text.
  virtual Text GetPageText() = 0;
};

// The shell's part: the download-manager window and the loading overlay.
class IntakeShell {
 public:
  virtual ~IntakeShell() = default;
  // Opens the download-manager window, or raises it when it is open.
  virtual void ShowDownloadManager() = 0;
  virtual void HideLoadingOverlay() = 0;
  // Returns once the download engine can take a task: at once, unless our
  // aria2 is being started again, which is waited for a few seconds at most.
  virtual void WaitForEngine() {}
  // aria2 has just taken `task` as a new download: it is to be recorded
  // before anything else can happen to it.
  virtual void TaskHandedOver(const DownloadTask&) {}
};

struct IntakeContext {
  Desktop& desktop;
  const EngineState& engine;
  IntakePage& page;
  IntakeShell& shell;
  // Compared with as many leading bytes of each link as it has. Empty: no
  // link counts as a storage address (an empty base would match them all).
  Text storage_base = Text(kDefaultStorageBase);
  // The folder every task is saved in: relative to aria2's working directory
  // or absolute.
  Text download_dir = kDownloadFolderName;
  // Where the size the page states is kept for checking the finished file;
  // none: nothing is checked. Only for a local aria2, whose files are ours.
  StatedSizes* stated_sizes = nullptr;
  // What is sent to aria2 before the task: the user's choices or the program's.
  GlobalOptions global_options;
  // Korvath's record of unfinished downloads (SessionRecordPath), which
  // knows the link of a partial file aria2 no longer lists; "": none, and
  // such a file is never continued, only saved beside.
  std::string session_record;
};

// Handles one resource request of the page, `link` being its address:
//   - a storage address: the page goes back, nothing else;
//   - not http or https: nothing (a page may load any address; only the
//     share site's own links can be downloads);
//   - no "bkt=" (exact case) in the query: nothing;
//   - otherwise the name between "文件名：" and "文件大小：" on the page, line
//     feeds removed and cleaned (CleanFileName; empty when a marker is
//     missing), names the download in
//     the context's download_dir: global options are sent, then
//     ContinueSameFile decides whether an unfinished download of the same
//     file continues, the file is already downloading ("这个文件正在下载。",
//     the manager is shown, nothing else), or a task is created under the
//     name or, when that belongs to another file, a free numbered one. The
//     size the page states is remembered for the file (stated_sizes), and
//     the download manager is shown or "创建任务失败！请重试……" is; the
//     loading overlay is hidden.
// The waits inside may run a nested call; each call keeps to its own locals.
// Records "intake_request" {url, kind: "storage" | "refused" | "ignored" |
// "download"}.
void InterceptDownload(const IntakeContext& context, std::string_view link);

// The name as the page shows it, without its line feeds (carriage returns
// and everything else kept); "" when a marker is missing.
Text FileNameFromPageText(std::string_view page_text);

}  // namespace korvath
