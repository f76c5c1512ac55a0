// The download manager window as the program keeps it: opened, closed and
// placed beside the main window, and given what its page may ask of the
// program.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/engine-session.h"
#include "app/options.h"
#include "app/settings-file.h"
#include "shell/download-manager-window.h"
#include "shell/gtk-desktop.h"
#include "shell/main-window.h"
#include "shell/record-reply.h"
#include "webview/web-engine.h"

namespace korvath {

struct DownloadManagerHostParams {
  GtkDesktop& desktop;
  const Options& options;
  const EngineSession& session;
  WebEngine& web_engine;
  MainWindow& main;
  // Puts settings saved in the page to use; the names of those applied now.
  std::function<std::vector<std::string>(const Settings&, const std::vector<std::string>&)> apply_settings;
};

class DownloadManagerHost {
 public:
  explicit DownloadManagerHost(DownloadManagerHostParams params) : p_(std::move(params)) {}

  // Until start-up knows its aria2, the page would be given no way to reach
  // it, or the port of whatever else listens there: asked for before, the
  // window opens when start-up ends (Ready).
  void Ready();
  void Toggle();
  void Show();
  void Close();
  // Keeps the manager beside the main window after the main window moved.
  void Dock();
  void Raise(int pause_ms = 0);
  bool Exists() const { return window_ && window_->Exists(); }

 private:
  bool KeptUntilReady();
  void Create();
  void PlaceMain();
  void PinCertificateForThePage();

  DownloadManagerHostParams p_;
  std::unique_ptr<DownloadManagerWindow> window_;
  // The manager's own engine once a pinned certificate is to be trusted: the
  // engine trusts a certificate for a host on every port and for every view
  // of its context, so the share site's pages must not share that context.
  std::unique_ptr<WebEngine> pinned_web_engine_;
  bool web_certificate_pinned_ = false;
  // Outlives each window, so that the next one goes on from it.
  AddedOrder added_order_;
  bool ready_ = false;
  bool wanted_ = false;
};

}  // namespace korvath
