#include "webview/web-engine.h"

#include <webkit2/webkit2.h>

#include <cstdlib>
#include <vector>

#include "webview/web-engine-internal.h"

namespace korvath {

struct WebEngine::Impl {
  WebKitWebContext* context = nullptr;
  WebKitSettings* settings = nullptr;
  int cancelled_downloads = 0;
  // Views alive now; a new view joins the web process of one of them.
  std::vector<WebKitWebView*> views;
};

namespace {

void OnDownloadStarted(WebKitWebContext*, WebKitDownload* download, gpointer data) {
  // The download engine is the only thing that writes downloaded files; a
  // response the page turned into a download is dropped without a word.
  auto* impl = static_cast<WebEngine::Impl*>(data);
  ++impl->cancelled_downloads;
  webkit_download_cancel(download);
}

}  // namespace

void WebEngine::PrepareEnvironment() {
  // Existing values win, so a user can still switch either back. The pages
  // shown are small and static: the accelerated compositor and the DMA-BUF
  // renderer buy them nothing, yet their GL buffers and threads cost the web
  // process about 55 MB, and without a GPU (Xvfb, remote X) they only add a
  // slow software fallback.
  setenv("WEBKIT_DISABLE_COMPOSITING_MODE", "1", 0);
  setenv("WEBKIT_DISABLE_DMABUF_RENDERER", "1", 0);
  // GTK's own GL goes unused for the same reason, yet GDK opens the GL driver
  // at start-up to choose its visuals: about 8 MB across the processes.
  setenv("GDK_GL", "disable", 0);
}

WebEngine::WebEngine(WebEngineOptions options) : impl_(std::make_unique<Impl>()) {
  PrepareEnvironment();

  WebKitWebsiteDataManager* data_manager = nullptr;
  if (options.data_dir) {
    const std::string base = *options.data_dir;
    const std::string data = base + "/data";
    const std::string cache = base + "/cache";
    data_manager = webkit_website_data_manager_new("base-data-directory", data.c_str(),
                                                   "base-cache-directory", cache.c_str(), nullptr);
  } else {
    data_manager = webkit_website_data_manager_new_ephemeral();
  }
  impl_->context = webkit_web_context_new_with_website_data_manager(data_manager);
  g_object_unref(data_manager);

  // Two small views of one share site: the smallest memory and cache budget.
  webkit_web_context_set_cache_model(impl_->context, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
  webkit_web_context_set_spell_checking_enabled(impl_->context, FALSE);
  g_signal_connect(impl_->context, "download-started", G_CALLBACK(OnDownloadStarted), impl_.get());

  impl_->settings = webkit_settings_new();
  g_object_ref_sink(impl_->settings);
  webkit_settings_set_hardware_acceleration_policy(impl_->settings,
                                                   WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
  webkit_settings_set_enable_webgl(impl_->settings, FALSE);
  webkit_settings_set_enable_page_cache(impl_->settings, FALSE);
  webkit_settings_set_enable_developer_extras(impl_->settings, FALSE);
  webkit_settings_set_enable_media_stream(impl_->settings, FALSE);
  webkit_settings_set_enable_webaudio(impl_->settings, FALSE);
  webkit_settings_set_enable_smooth_scrolling(impl_->settings, FALSE);
  webkit_settings_set_enable_back_forward_navigation_gestures(impl_->settings, FALSE);
}

WebEngine::~WebEngine() {
  g_signal_handlers_disconnect_by_data(impl_->context, impl_.get());
  g_object_unref(impl_->settings);
  g_object_unref(impl_->context);
}

int WebEngine::cancelled_downloads() const { return impl_->cancelled_downloads; }

void* WebEngine::context() const { return impl_->context; }

namespace webview_internal {

GtkWidget* CreateEngineView(WebEngine& engine) {
  WebEngine::Impl& impl = engine.impl();
  GtkWidget* widget = nullptr;
  // A content manager of its own: a message handler added for one window's
  // page must not be reachable from another window's (remote) page.
  WebKitUserContentManager* content = webkit_user_content_manager_new();
  if (!impl.views.empty()) {
    // A related view lives in the same web process as the one it names, so
    // every window of the program costs one web process, not one each.
    widget = GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "related-view", impl.views.front(),
                                     "user-content-manager", content, nullptr));
  } else {
    widget = GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", impl.context, "settings",
                                     impl.settings, "user-content-manager", content, nullptr));
  }
  g_object_unref(content);
  impl.views.push_back(WEBKIT_WEB_VIEW(widget));
  return widget;
}

void ForgetEngineView(WebEngine& engine, GtkWidget* widget) {
  auto& views = engine.impl().views;
  std::erase(views, WEBKIT_WEB_VIEW(widget));
}

}  // namespace webview_internal

}  // namespace korvath
