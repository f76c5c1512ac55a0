// Opening, closing and placing the download manager beside the main window.
#include "shell/download-manager.h"

#include <gtk/gtk.h>

#include <filesystem>

#include "app/download-folder.h"
#include "platform/problem-log.h"
#include "shell/arrival-check-reply.h"
#include "shell/page-reply.h"
#include "shell/record-reply.h"
#include "shell/window-log.h"
#include "shell/window-placement.h"
#include "webview/pinned-certificate.h"

namespace korvath {

// The page talks to a remote aria2 over https or wss from inside the web
// engine, which knows nothing of the pinned certificate and would refuse it:
// once per run, that one certificate is made acceptable for that one host,
// in an engine of the manager's own whose only view is closed to every page
// but ours, which talks to rpc-url alone.
void DownloadManagerHost::PinCertificateForThePage() {
  const EngineState& engine = p_.session.engine();
  if (web_certificate_pinned_ || !engine.Remote() || engine.certificate_sha256.empty()) return;
  if (!pinned_web_engine_) pinned_web_engine_ = std::make_unique<WebEngine>();
  const PinnedTrust trust =
      TrustPinnedCertificate(pinned_web_engine_->context(), engine.rpc_url, engine.certificate_sha256);
  web_certificate_pinned_ = trust.trusted;
  p_.desktop.Log().Record("web_certificate_pinned",
                          {{"ok", trust.trusted}, {"seen", trust.seen}, {"error", trust.error}});
}

void DownloadManagerHost::Create() {
  PinCertificateForThePage();
  const EngineState& engine = p_.session.engine();
  // A remote aria2's paths name files on its machine, not here: deleting
  // them here would hit whatever local file happens to share the path, so
  // that page gets no file-deleting handler.
  TaskFilesLookup task_files = engine.Remote() ? TaskFilesLookup{} : Aria2TaskFiles(p_.desktop, engine);
  std::error_code ec;
  SettingsView settings{
      // An AriaNg page is someone else's code, and has no use for the handler.
      .path = p_.options.ariang ? std::string() : SettingsFilePath(),
      // As a whole path: "ZorbitDravenet" alone does not say where it is.
      .default_folder = std::filesystem::absolute(
                            DownloadFolder(CurrentDownloadFolderSources(p_.options.user_downloads)), ec)
                            .string(),
      .env = nullptr,
      .apply = p_.apply_settings};
  ManagerPage page{.ariang_file = p_.options.ariang,
                   .rpc_port = engine.rpc_port.empty() ? std::string("6800") : engine.rpc_port,
                   .rpc_secret = engine.rpc_secret,
                   .task_files = task_files,
                   .rpc_url = engine.rpc_url,
                   .log_folder = LogDirectory(),
                   .settings = std::move(settings)};
  const EngineSession* session = &p_.session;
  if (StatedSizes* sizes = session->stated_sizes()) {
    page.arrival_check = [task_files, sizes, desktop = &p_.desktop](const std::string& request) {
      return ArrivalCheckReply(request, task_files, *sizes, *desktop);
    };
  }
  page.engine_status = [session](const std::string&) {
    return PageReplyText(nlohmann::json{{"state", std::string(EngineStatusName(session->status()))}});
  };
  if (session->keeper())
    page.record = [session, order = &added_order_](const std::string& request) {
      return RecordReply(request, *session, *order);
    };
  // The old object, if any, belongs to a window that is already gone.
  WebEngine& web_engine = pinned_web_engine_ ? *pinned_web_engine_ : p_.web_engine;
  EventLog* log = &p_.desktop.Log();
  window_ = std::make_unique<DownloadManagerWindow>(
      web_engine, page, [log] { LogWindow(*log, "download_manager", "closed", {}); });
  window_->HostScriptDialogs(p_.desktop.Log(), p_.options.auto_dialogs);
  LogWindow(p_.desktop.Log(), "download_manager", "opened", window_->OuterRectangle());
}

bool DownloadManagerHost::KeptUntilReady() {
  if (ready_) return false;
  wanted_ = true;
  return true;
}

void DownloadManagerHost::Ready() {
  ready_ = true;
  if (std::exchange(wanted_, false)) Show();
}

void DownloadManagerHost::Toggle() {
  if (KeptUntilReady()) return;
  if (Exists()) {
    window_->Close();
    return;
  }
  Create();
  PlaceMain();
}

void DownloadManagerHost::Show() {
  if (KeptUntilReady()) return;
  if (Exists()) {
    Raise(100);
    return;
  }
  Create();
  PlaceMain();
}

void DownloadManagerHost::Close() {
  if (Exists()) window_->Close();
}

void DownloadManagerHost::Dock() {
  if (!Exists()) return;
  Rect main = p_.main.OuterRectangle();
  Rect before = window_->OuterRectangle();
  Rect docked = DockedManager(main, before, WorkAreaAt(main));
  if (before.left == docked.left && before.top == docked.top) return;
  MoveWindowTo(window_->window(), docked.left, docked.top);
  LogWindow(p_.desktop.Log(), "download_manager", "moved", {docked.left, docked.top, 0, 0});
}

void DownloadManagerHost::PlaceMain() {
  if (!Exists()) return;
  Rect main = p_.main.OuterRectangle();
  Rect dlmgr = window_->OuterRectangle();
  const Rect work = WorkAreaAt(main);
  Rect placed = main;
  placed.left = MainLeftForManager(main, dlmgr, work);
  placed = KeptInside(placed, work);
  // A main window already in place raises no move to dock the manager to,
  // and the manager would stay where it was made, over the main window.
  if (placed.left == main.left && placed.top == main.top) {
    Dock();
    return;
  }
  MoveWindowTo(p_.main.window(), placed.left, placed.top);
  LogWindow(p_.desktop.Log(), "main", "moved", {placed.left, placed.top, 0, 0});
}

void DownloadManagerHost::Raise(int pause_ms) {
  if (!Exists()) return;
  GtkWindow* w = window_->window();
  gtk_window_set_keep_above(w, TRUE);
  // Without a window manager the keep-above hint restacks nothing; raising
  // the window itself does, and a window manager treats it as a request.
  if (GdkWindow* gdk = gtk_widget_get_window(GTK_WIDGET(w))) gdk_window_raise(gdk);
  if (pause_ms > 0) WaitPumping(pause_ms);
  // The pause may have let a handler close the window.
  if (!Exists()) return;
  gtk_window_set_keep_above(window_->window(), FALSE);
  LogWindow(p_.desktop.Log(), "download_manager", "raised", window_->OuterRectangle());
}

}  // namespace korvath
