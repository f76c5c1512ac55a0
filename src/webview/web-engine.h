// The web engine shared by every WebView of the process: one WebKit context,
// so all views share one web process, one network process and one cache.
// Create it once on the GTK main thread after gtk_init, before any WebView,
// and keep it alive until the last view is gone.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace korvath {

struct WebEngineOptions {
  // Where cookies and local storage persist; absent: kept in memory only.
  std::optional<std::string> data_dir;
};

class WebEngine {
 public:
  explicit WebEngine(WebEngineOptions options = {});
  ~WebEngine();
  WebEngine(const WebEngine&) = delete;
  WebEngine& operator=(const WebEngine&) = delete;

  // Number of downloads the engine started and this engine cancelled: only
  // the download engine saves files, never the web view.
  int cancelled_downloads() const;

  // The WebKitWebContext*, opaque outside src/webview.
  void* context() const;

  // Environment the engine needs before its first context exists (sandbox
  // when running as root, compositing and GL without a GPU). Idempotent; the
  // constructor calls it, and programs may call it before starting threads.
  static void PrepareEnvironment();

  struct Impl;  // engine-side state, defined in src/webview only
  Impl& impl() const { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvath
