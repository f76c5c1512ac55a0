#include "shell/download-manager-window.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "shell/arrival-check-reply.h"
#include "shell/dropped-files.h"
#include "shell/main-window.h"
#include "shell/page-resources.h"
#include "shell/window-styles.h"
#include "shell/xdg-open.h"
#include "util/file-io.h"
#include "webview/script-messages.h"
#include "webview/web-engine.h"

namespace korvath {
namespace {

constexpr const char* kReservedScheme = "korvath-folder";

std::string BuiltInPage() { return ResourceText("/org/korvath/download-manager.html"); }

// The desktop's double-click time (GTK's gtk-double-click-time); 0 when GTK
// has no settings to ask.
int DesktopDoubleClickMs() {
  GtkSettings* settings = gtk_settings_get_default();
  if (!settings) return 0;
  gint ms = 0;
  g_object_get(settings, "gtk-double-click-time", &ms, nullptr);
  return std::max(0, static_cast<int>(ms));
}

}  // namespace

std::string Base64Url(std::string_view bytes) {
  static const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    unsigned v =
        (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8 | (unsigned char)bytes[i + 2];
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += kAlphabet[v >> 6 & 63];
    out += kAlphabet[v & 63];
  }
  if (i + 1 == bytes.size()) {
    unsigned v = (unsigned char)bytes[i] << 16;
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
  } else if (i + 2 == bytes.size()) {
    unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8;
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += kAlphabet[v >> 6 & 63];
  }
  return out;
}

namespace {

// Everything but unreserved characters as %XX, so a secret with "&", "#" or
// "+" arrives in the page as it is.
std::string FragmentValue(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// The page is shown under the origin of the aria2 it talks to, so its
// requests there are same-origin ones. ws(s) is served on the http(s) port.
std::string RemoteOrigin(const std::string& rpc_url) {
  std::string url = rpc_url;
  if (url.starts_with("ws://")) url = "http://" + url.substr(5);
  if (url.starts_with("wss://")) url = "https://" + url.substr(6);
  const size_t host = url.find("://") + 3;
  return url.substr(0, url.find_first_of("/?#", host));
}

}  // namespace

ManagerDocument LoadManagerDocument(const ManagerPage& page) {
  ManagerDocument doc;
  if (!page.rpc_url.empty()) {
    doc.html = page.ariang_file ? ReadWholeFile(*page.ariang_file).value_or("") : BuiltInPage();
    doc.base_uri = RemoteOrigin(page.rpc_url) + "/korvath-manager#rpc=" + FragmentValue(page.rpc_url) +
                   "&secret=" + FragmentValue(page.rpc_secret) + "&remote=1";
    if (!page.ariang_file && !page.log_folder.empty())
      doc.base_uri += "&logs=" + FragmentValue(page.log_folder);
    if (!page.ariang_file && page.double_click_ms > 0)
      doc.base_uri += "&dblclick=" + std::to_string(page.double_click_ms);
    return doc;
  }
  const std::string origin = "http://127.0.0.1:" + page.rpc_port;
  if (page.ariang_file) {
    doc.html = ReadWholeFile(*page.ariang_file).value_or("");
    // AriaNg's own route for RPC settings: protocol/host/port/interface/secret,
    // the secret base64url-encoded. The page itself stays byte for byte.
    doc.base_uri = origin + "/ariang/#!/settings/rpc/set/http/127.0.0.1/" + page.rpc_port + "/jsonrpc/" +
                   Base64Url(page.rpc_secret);
  } else {
    doc.html = BuiltInPage();
    doc.base_uri = origin + "/korvath-manager#port=" + page.rpc_port + "&secret=" + page.rpc_secret;
    if (!page.log_folder.empty()) doc.base_uri += "&logs=" + FragmentValue(page.log_folder);
    if (page.double_click_ms > 0) doc.base_uri += "&dblclick=" + std::to_string(page.double_click_ms);
  }
  return doc;
}

DownloadManagerWindow::DownloadManagerWindow(WebEngine& engine, const ManagerPage& page,
                                             std::function<void()> closed)
    : closed_(std::move(closed)) {
  InstallShellStyles();
  // A closed room: the view shows its page and nothing else, so its
  // handlers can only ever be reached by the page they were made for.
  view_ = std::make_unique<WebView>(engine,
                                    WebViewOptions{.reserved_scheme = Text(kReservedScheme), .closed = true});
  view_->on_reserved_link = [](const Text& uri) { OpenDownloadFolder(GbkToUtf8(uri)); };
  view_->on_refused_navigation = [](const Text& url, bool user_clicked) {
    OpenClickedLinkInBrowser(GbkToUtf8(url), user_clicked);
  };
  ManagerPage shown = page;
  if (!shown.double_click_ms) shown.double_click_ms = DesktopDoubleClickMs();
  const ManagerDocument doc = LoadManagerDocument(shown);
  // A user-supplied page is someone else's code and knows none of our
  // handlers; the settings one is not even offered to it.
  if (!page.ariang_file) {
    if (page.task_files)
      AddScriptMessageHandler(
          view_->widget(), kDeleteFilesMessage, doc.base_uri,
          [lookup = page.task_files](const std::string& m) { return DeleteTaskFilesReply(m, lookup); });
    if (page.arrival_check)
      AddScriptMessageHandler(view_->widget(), kArrivalCheckMessage, doc.base_uri, page.arrival_check);
    if (page.engine_status)
      AddScriptMessageHandler(view_->widget(), kEngineStatusMessage, doc.base_uri, page.engine_status);
    if (page.record) AddScriptMessageHandler(view_->widget(), "korvathRecord", doc.base_uri, page.record);
    OfferDroppedFiles(view_->widget(), doc.base_uri);
    if (!page.settings.path.empty())
      AddScriptMessageHandler(
          view_->widget(), kSettingsMessage, doc.base_uri,
          [view = page.settings](const std::string& m) { return SettingsMessageReply(m, view); });
  }

  window_ = GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL));
  gtk_window_set_title(window_, reinterpret_cast<const char*>(u8"下载管理"));
  gtk_window_set_resizable(window_, FALSE);
  gtk_window_set_skip_taskbar_hint(window_, TRUE);
  gtk_window_set_default_size(window_, kWidth, kHeight);
  // A GtkLayout, as in the main window: a long page must not stretch the window.
  GtkWidget* area = gtk_layout_new(nullptr, nullptr);
  gtk_widget_set_size_request(area, kWidth, kHeight);
  gtk_container_add(GTK_CONTAINER(window_), area);
  gtk_widget_set_size_request(view_->widget(), 200, 100);
  gtk_layout_put(GTK_LAYOUT(area), view_->widget(), 0, 0);

  g_signal_connect(window_, "realize", G_CALLBACK(+[](GtkWidget* w, gpointer) {
                     GdkWindow* gdk = gtk_widget_get_window(w);
                     gdk_window_set_functions(gdk, GdkWMFunction(GDK_FUNC_MOVE | GDK_FUNC_CLOSE));
                     gdk_window_set_decorations(
                         gdk, GdkWMDecoration(GDK_DECOR_BORDER | GDK_DECOR_TITLE | GDK_DECOR_MENU));
                   }),
                   nullptr);
  g_signal_connect(window_, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer data) {
                     auto* self = static_cast<DownloadManagerWindow*>(data);
                     self->window_ = nullptr;
                     if (self->closed_) self->closed_();
                   }),
                   this);

  ScreenSize screen = PrimaryScreenSize();
  gtk_window_set_position(window_, GTK_WIN_POS_NONE);
  MoveWindowTo(window_, Truncate((screen.width - kWidth) / 2.0), Truncate((screen.height - kHeight) / 2.0));

  // Created: the view over the whole window (it never follows a resize, as
  // the window has none), then a fresh copy of the page.
  Rect r = OuterRectangle();
  gtk_widget_set_size_request(view_->widget(), std::min(r.width, kWidth), std::min(r.height, kHeight));
  view_->LoadHtml(doc.html, Utf8ToGbk(doc.base_uri));
  gtk_widget_show_all(GTK_WIDGET(window_));
}

DownloadManagerWindow::~DownloadManagerWindow() {
  dialogs_.reset();
  Close();
}

void DownloadManagerWindow::HostScriptDialogs(EventLog& log, bool auto_dialogs) {
  if (window_) dialogs_ = std::make_unique<ScriptDialogHost>(*view_, window_, log, "manager", auto_dialogs);
}

Rect DownloadManagerWindow::OuterRectangle() const { return window_ ? OuterRect(window_) : Rect{}; }

void DownloadManagerWindow::Close() {
  if (!window_) return;
  gtk_widget_hide(GTK_WIDGET(window_));
  gtk_widget_destroy(GTK_WIDGET(window_));  // the destroy handler clears window_
}

bool OpenClickedLinkInBrowser(const std::string& url_utf8, bool user_clicked) {
  // A page's own navigations, frames and drops open nothing: only a link
  // the user clicked goes to the browser, and only a web address.
  if (!user_clicked) return false;
  const std::string scheme = url_utf8.substr(0, url_utf8.find(':'));
  std::string lower = scheme;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  if (scheme.size() == url_utf8.size() || (lower != "http" && lower != "https")) return false;
  return LaunchXdgOpen(url_utf8);
}

bool OpenDownloadFolder(const std::string& link_utf8) {
  const std::string prefix = std::string(kReservedScheme) + ":";
  if (link_utf8.compare(0, prefix.size(), prefix) != 0) return false;
  std::string encoded = link_utf8.substr(prefix.size());
  // "korvath-folder:///abs/path" is not the form the page uses, but a URL
  // writer may add the empty authority; drop it.
  if (encoded.compare(0, 3, "///") == 0) encoded.erase(0, 2);
  char* decoded = g_uri_unescape_string(encoded.c_str(), nullptr);
  if (!decoded) return false;
  std::filesystem::path path(decoded);
  g_free(decoded);
  if (path.empty()) return false;
  std::error_code ec;
  if (path.is_relative()) path = std::filesystem::current_path(ec) / path;
  path = path.lexically_normal();
  std::filesystem::path folder;
  if (std::filesystem::is_directory(path, ec)) {
    folder = path;
  } else if (std::filesystem::is_directory(path.parent_path(), ec)) {
    folder = path.parent_path();
  } else {
    return false;
  }
  return LaunchXdgOpen(folder.string());
}

}  // namespace korvath
