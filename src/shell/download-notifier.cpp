#include "shell/download-notifier.h"

#include <gio/gio.h>

#include <filesystem>

#include "shell/xdg-open.h"
#include "util/shown-text.h"

namespace korvath {
namespace {

constexpr const char* kServices[] = {"org.freedesktop.Notifications", "org.gtk.Notifications"};

bool BusKnows(GDBusConnection* bus, const char* method, const char* name) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
      g_strcmp0(method, "NameHasOwner") == 0 ? g_variant_new("(s)", name) : nullptr, nullptr,
      G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, &error);
  if (!reply) {
    g_clear_error(&error);
    return false;
  }
  bool known = false;
  if (g_strcmp0(method, "NameHasOwner") == 0) {
    gboolean owned = FALSE;
    g_variant_get(reply, "(b)", &owned);
    known = owned;
  } else {
    GVariantIter* names = nullptr;
    const char* each = nullptr;
    g_variant_get(reply, "(as)", &names);
    while (g_variant_iter_next(names, "&s", &each)) known = known || g_strcmp0(each, name) == 0;
    g_variant_iter_free(names);
  }
  g_variant_unref(reply);
  return known;
}

std::string CurrentDirectory() {
  std::error_code ec;
  return std::filesystem::current_path(ec).string();
}

}  // namespace

bool NotificationServiceAvailable(GApplication* app) {
  GDBusConnection* bus = app ? g_application_get_dbus_connection(app) : nullptr;
  if (!bus) return false;
  for (const char* name : kServices) {
    // A service that D-Bus starts on demand counts as present.
    if (BusKnows(bus, "NameHasOwner", name) || BusKnows(bus, "ListActivatableNames", name)) return true;
  }
  return false;
}

DownloadNotifier::DownloadNotifier(GApplication* app, Desktop& desktop, const EngineState& engine,
                                   DownloadNotifierParams params)
    : app_(G_APPLICATION(g_object_ref(app))),
      desktop_(desktop),
      engine_(engine),
      params_(std::move(params)),
      watch_(params_.base_dir.empty() ? CurrentDirectory() : params_.base_dir, params_.stated_sizes) {
  // The notification server activates this action, possibly long after the
  // notice was sent, as long as the program runs.
  action_ = g_simple_action_new(kOpenFolderAction, G_VARIANT_TYPE_STRING);
  g_signal_connect(
      action_, "activate", G_CALLBACK(+[](GSimpleAction*, GVariant* parameter, gpointer self) {
        static_cast<DownloadNotifier*>(self)->OpenFolder(g_variant_get_string(parameter, nullptr));
      }),
      this);
  g_action_map_add_action(G_ACTION_MAP(app_), G_ACTION(action_));
}

DownloadNotifier::~DownloadNotifier() {
  if (timer_) g_source_remove(timer_);
  if (length_look_soon_) g_source_remove(length_look_soon_);
  g_action_map_remove_action(G_ACTION_MAP(app_), kOpenFolderAction);
  g_signal_handlers_disconnect_by_data(action_, this);
  g_object_unref(action_);
  g_object_unref(app_);
}

bool DownloadNotifier::Start() {
  if (started_) return timer_ != 0;
  started_ = true;
  if (!g_application_get_is_registered(app_) || !NotificationServiceAvailable(app_)) {
    desktop_.Log().Record("download_notices_unavailable");
    return false;
  }
  // Whatever had stopped when aria2's lists were first read ended before
  // this run's downloads; with a store that has yet to read them, it is
  // taken at its first listing.
  if (!params_.store) {
    watch_.Look(desktop_, engine_);
  } else if (params_.store->synced()) {
    watch_.Take(desktop_, params_.store->StoppedBeforeFirstListing());
    primed_ = true;
  }
  timer_ = g_timeout_add_seconds(
      static_cast<unsigned>(params_.interval_seconds),
      +[](gpointer self) -> gboolean {
        static_cast<DownloadNotifier*>(self)->Poll();
        return G_SOURCE_CONTINUE;
      },
      this);
  return true;
}

void DownloadNotifier::Poll() {
  // The RPC call may pump messages; a timer firing inside it must not look
  // at aria2 a second time meanwhile.
  if (polling_) return;
  LookAtLengths();
  std::vector<FinishedDownload> ended;
  if (params_.store) {
    // Nothing is asked: the store follows aria2 and says when it changed.
    if (!params_.store->synced() || params_.store->version() == store_version_) return;
    // A download that ended between that listing and this first look is
    // news, not part of what was there before.
    if (!std::exchange(primed_, true)) watch_.Take(desktop_, params_.store->StoppedBeforeFirstListing());
    store_version_ = params_.store->version();
    ended = watch_.Take(desktop_, params_.store->Stopped());
  } else {
    if (params_.schedule && !params_.schedule->Begin(MonotonicMs(), params_.streaming && params_.streaming()))
      return;
    polling_ = true;
    ended = watch_.Look(desktop_, engine_);
    polling_ = false;
    if (params_.schedule && !watch_.answered()) params_.schedule->Changed();
  }
  for (const FinishedDownload& download : ended) {
    if (!download.ok && params_.retrying && params_.retrying(download.gid)) continue;
    if (!quiet_) Send(download);
  }
}

void DownloadNotifier::DownloadStarted() {
  length_looks_left_ = kLengthLooksAfterStart;
  // A small file may be done before the next tick; its server's answer is
  // in by now as a rule.
  if (!timer_ || length_look_soon_) return;
  length_look_soon_ = g_timeout_add(
      kFirstLengthLookMs,
      +[](gpointer self) -> gboolean {
        auto* notifier = static_cast<DownloadNotifier*>(self);
        notifier->length_look_soon_ = 0;
        notifier->LookAtLengths();
        return G_SOURCE_REMOVE;
      },
      this);
}

void DownloadNotifier::LookAtLengths() {
  if (polling_ || !params_.stated_sizes || !params_.stated_sizes->AwaitingFirstLook()) return;
  // While aria2's notifications arrive, only the looks after a start are
  // spent on it; otherwise every tick looks, as for the rest.
  const bool streaming = params_.streaming && params_.streaming();
  if (streaming && length_looks_left_ == 0) return;
  if (length_looks_left_ > 0) --length_looks_left_;
  polling_ = true;
  watch_.LookAtLengths(desktop_, engine_);
  polling_ = false;
}

void DownloadNotifier::Announce(const FinishedDownload& download) {
  if (!quiet_ && timer_) Send(download);
}

void DownloadNotifier::Send(const FinishedDownload& download) {
  // Names and errors come from pages and from aria2, maybe a remote one:
  // a notice shows one line of each, of a length a person reads.
  const std::string name = OneLineUtf8(GbkToUtf8(download.name));
  const std::string folder = GbkToUtf8(download.folder);
  // A file that is not what the page described is never announced as done,
  // nor one that may have been cut short.
  const bool mismatch = !download.mismatch.empty();
  const bool unconfirmed = !mismatch && !download.unconfirmed.empty();
  const char8_t* heading = !download.ok  ? u8"下载失败："
                           : mismatch    ? u8"文件与分享页不符："
                           : unconfirmed ? u8"下载结束，但无法确认文件完整："
                                         : u8"下载完成：";
  const std::string title = reinterpret_cast<const char*>(heading) + name;
  const Text& said = !download.ok ? download.error : mismatch ? download.mismatch : download.unconfirmed;
  const std::string body = !download.ok || mismatch || unconfirmed ? OneLineUtf8(GbkToUtf8(said)) : folder;
  GNotification* notification = g_notification_new(title.c_str());
  g_notification_set_body(notification, body.c_str());
  const std::string action = std::string("app.") + kOpenFolderAction;
  g_notification_set_default_action_and_target_value(notification, action.c_str(),
                                                     g_variant_new_string(folder.c_str()));
  g_notification_add_button_with_target_value(notification, reinterpret_cast<const char*>(u8"打开文件夹"),
                                              action.c_str(), g_variant_new_string(folder.c_str()));
  // One notification per task: the id makes a repeated one replace it.
  const std::string id = "download-" + std::string(download.gid);
  g_application_send_notification(app_, id.c_str(), notification);
  g_object_unref(notification);
  desktop_.Log().Record("download_notice", {{"gid", download.gid},
                                            {"name", download.name},
                                            {"ok", download.ok && !mismatch && !unconfirmed},
                                            {"error", download.error},
                                            {"mismatch", download.mismatch},
                                            {"unconfirmed", download.unconfirmed}});
}

void DownloadNotifier::OpenFolder(const std::string& folder) {
  // The action is reachable by any program on the session bus, not only the
  // notification server: it shows a folder and nothing else, never a file to
  // run or a web address to visit.
  std::error_code ec;
  if (folder.empty() || folder.front() != '/' || !std::filesystem::is_directory(folder, ec)) {
    desktop_.Log().Record("open_folder_refused", {{"folder", folder}});
    return;
  }
  if (params_.open_folder) {
    params_.open_folder(folder);
    return;
  }
  const bool ok = LaunchXdgOpen(folder);
  desktop_.Log().Record("open_folder", {{"folder", folder}, {"ok", ok}});
}

}  // namespace korvath
