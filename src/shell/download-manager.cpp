// Opening, closing and placing the download manager beside the main window.
#include <gtk/gtk.h>

#include <filesystem>

#include "platform/problem-log.h"
#include "shell/arrival-check-reply.h"
#include "shell/download-folder.h"
#include "shell/page-reply.h"
#include "shell/record-reply.h"
#include "shell/settings-file.h"
#include "shell/shell.h"
#include "shell/window-placement.h"
#include "webview/pinned-certificate.h"

namespace korvath {

namespace {

// The page talks to a remote aria2 over https or wss from inside the web
// engine, which knows nothing of the pinned certificate and would refuse it:
// once per run, that one certificate is made acceptable for that one host,
// in an engine of the manager's own whose only view is closed to every page
// but ours, which talks to rpc-url alone.
void PinCertificateForThePage(Shell& shell) {
  if (shell.web_certificate_pinned || !shell.engine.Remote() || shell.engine.certificate_sha256.empty())
    return;
  if (!shell.pinned_web_engine) shell.pinned_web_engine = std::make_unique<WebEngine>();
  const PinnedTrust trust = TrustPinnedCertificate(shell.pinned_web_engine->context(), shell.engine.rpc_url,
                                                   shell.engine.certificate_sha256);
  shell.web_certificate_pinned = trust.trusted;
  shell.desktop.Log().Record("web_certificate_pinned",
                             {{"ok", trust.trusted}, {"seen", trust.seen}, {"error", trust.error}});
}

void CreateDownloadManager(Shell& shell) {
  PinCertificateForThePage(shell);
  // A remote aria2's paths name files on its machine, not here: deleting
  // them here would hit whatever local file happens to share the path, so
  // that page gets no file-deleting handler.
  TaskFilesLookup task_files =
      shell.engine.Remote() ? TaskFilesLookup{} : Aria2TaskFiles(shell.desktop, shell.engine);
  Shell* s = &shell;
  std::error_code ec;
  SettingsView settings{
      // An AriaNg page is someone else's code, and has no use for the handler.
      .path = shell.options.ariang ? std::string() : SettingsFilePath(),
      // As a whole path: "ZorbitDravenet" alone does not say where it is.
      .default_folder = std::filesystem::absolute(
                            DownloadFolder(CurrentDownloadFolderSources(shell.options.user_downloads)), ec)
                            .string(),
      .env = nullptr,
      .apply = [s](const Settings& saved, const std::vector<std::string>& changed) {
        return ApplySavedSettings(*s, saved, changed);
      }};
  ManagerPage page{.ariang_file = shell.options.ariang,
                   .rpc_port = shell.engine.rpc_port.empty() ? std::string("6800") : shell.engine.rpc_port,
                   .rpc_secret = shell.engine.rpc_secret,
                   .task_files = task_files,
                   .rpc_url = shell.engine.rpc_url,
                   .log_folder = LogDirectory(),
                   .settings = std::move(settings)};
  if (shell.stated_sizes) {
    page.arrival_check = [task_files, sizes = shell.stated_sizes.get(),
                          desktop = &shell.desktop](const std::string& request) {
      return ArrivalCheckReply(request, task_files, *sizes, *desktop);
    };
  }
  page.engine_status = [s](const std::string&) {
    return PageReplyText(nlohmann::json{{"state", std::string(EngineStatusName(s->engine_status.status()))}});
  };
  if (shell.session_keeper)
    page.record = [s](const std::string& request) { return RecordReply(request, *s); };
  // The old object, if any, belongs to a window that is already gone.
  WebEngine& engine = shell.pinned_web_engine ? *shell.pinned_web_engine : *shell.web_engine;
  shell.manager = std::make_unique<DownloadManagerWindow>(
      engine, page, [s] { s->LogWindow("download_manager", "closed", {}); });
  shell.manager->HostScriptDialogs(shell.desktop.Log(), shell.options.auto_dialogs);
  shell.LogWindow("download_manager", "opened", shell.manager->OuterRectangle());
}

// Until start-up knows its aria2, the page would be given no way to reach
// it, or the port of whatever else listens there: it opens at the end.
bool KeptUntilStartUpEnds(Shell& shell) {
  if (shell.ready) return false;
  shell.manager_wanted = true;
  return true;
}

}  // namespace

void ToggleDownloadManager(Shell& shell) {
  if (KeptUntilStartUpEnds(shell)) return;
  if (shell.ManagerExists()) {
    shell.manager->Close();
    return;
  }
  CreateDownloadManager(shell);
  PlaceMainForDownloadManager(shell);
}

void ShowDownloadManager(Shell& shell) {
  if (KeptUntilStartUpEnds(shell)) return;
  if (shell.ManagerExists()) {
    RaiseDownloadManager(shell, 100);
    return;
  }
  CreateDownloadManager(shell);
  PlaceMainForDownloadManager(shell);
}

void CloseDownloadManager(Shell& shell) {
  if (shell.ManagerExists()) shell.manager->Close();
}

void DockDownloadManager(Shell& shell) {
  if (!shell.ManagerExists() || !shell.main) return;
  Rect main = shell.main->OuterRectangle();
  Rect before = shell.manager->OuterRectangle();
  Rect docked = DockedManager(main, before, WorkAreaAt(main));
  if (before.left == docked.left && before.top == docked.top) return;
  MoveWindowTo(shell.manager->window(), docked.left, docked.top);
  shell.LogWindow("download_manager", "moved", {docked.left, docked.top, 0, 0});
}

void PlaceMainForDownloadManager(Shell& shell) {
  if (!shell.ManagerExists() || !shell.main) return;
  Rect main = shell.main->OuterRectangle();
  Rect dlmgr = shell.manager->OuterRectangle();
  const Rect work = WorkAreaAt(main);
  Rect placed = main;
  placed.left = MainLeftForManager(main, dlmgr, work);
  placed = KeptInside(placed, work);
  // A main window already in place raises no move to dock the manager to,
  // and the manager would stay where it was made, over the main window.
  if (placed.left == main.left && placed.top == main.top) {
    DockDownloadManager(shell);
    return;
  }
  MoveWindowTo(shell.main->window(), placed.left, placed.top);
  shell.LogWindow("main", "moved", {placed.left, placed.top, 0, 0});
}

void RaiseDownloadManager(Shell& shell, int pause_ms) {
  if (!shell.ManagerExists()) return;
  GtkWindow* w = shell.manager->window();
  gtk_window_set_keep_above(w, TRUE);
  // Without a window manager the keep-above hint restacks nothing; raising
  // the window itself does, and a window manager treats it as a request.
  if (GdkWindow* gdk = gtk_widget_get_window(GTK_WIDGET(w))) gdk_window_raise(gdk);
  if (pause_ms > 0) WaitPumping(pause_ms);
  // The pause may have let a handler close the window.
  if (!shell.ManagerExists()) return;
  gtk_window_set_keep_above(shell.manager->window(), FALSE);
  shell.LogWindow("download_manager", "raised", shell.manager->OuterRectangle());
}

}  // namespace korvath
