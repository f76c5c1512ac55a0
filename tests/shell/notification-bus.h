// A private D-Bus session bus where a test plays the notification server, so
// no real server (or none at all) decides what a test sees, and every notice
// sent is recorded.
#pragma once

#include <gio/gio.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvath::testing {

namespace fs = std::filesystem;

inline std::string BusId(GDBusConnection* connection) {
  GVariant* reply = g_dbus_connection_call_sync(
      connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId", nullptr,
      G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
  if (!reply) return {};
  const char* id = nullptr;
  g_variant_get(reply, "(&s)", &id);
  std::string result = id;
  g_variant_unref(reply);
  return result;
}

inline GDBusConnection* Connect(const std::string& address) {
  return g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
}

// A dbus-daemon of our own, so no real notification server (or none at all)
// decides the outcome. It becomes this process's session bus, once per
// process (GIO keeps the first session bus it opened), and ends with it.
class PrivateBus {
 public:
  static PrivateBus& Get() {
    static PrivateBus* bus = new PrivateBus();
    return *bus;
  }
  // False when this process already had another session bus: run the test
  // in a process of its own (ctest does).
  bool ok() const { return ok_; }
  const std::string& address() const { return address_; }

 private:
  PrivateBus() {
    char pattern[] = "/tmp/korvath-bus-XXXXXX";
    if (!::mkdtemp(pattern)) return;
    dir_ = pattern;
    // An abstract socket leaves nothing behind in the file system.
    address_ = "unix:abstract=" + dir_.string() + "/bus";
    std::ofstream(dir_ / "bus.conf")
        << (R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>)" +
            address_ + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)");
    const std::string config = "--config-file=" + (dir_ / "bus.conf").string();
    pid_t pid = ::fork();
    if (pid == 0) {
      // Ends with the test process, however that ends.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::execl("/usr/bin/dbus-daemon", "dbus-daemon", config.c_str(), "--nofork", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    GDBusConnection* direct = nullptr;
    for (int i = 0; i < 500 && !(direct = Connect(address_)); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    fs::remove_all(dir_);  // the daemon has read its configuration
    if (!direct) return;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
    GDBusConnection* session = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!session) return;
    // The bus ends before the process does; that must not end the test.
    g_dbus_connection_set_exit_on_close(session, FALSE);
    ok_ = !BusId(session).empty() && BusId(session) == BusId(direct);
    g_dbus_connection_close_sync(direct, nullptr, nullptr);
    g_object_unref(direct);
  }

  fs::path dir_;
  std::string address_;
  bool ok_ = false;
};

struct Shown {
  guint32 id;
  std::string summary, body;
  std::vector<std::string> actions;  // key, label, key, label, ...
};

// Owns org.freedesktop.Notifications on its own connection and remembers
// every Notify call.
class FakeNotificationServer {
 public:
  explicit FakeNotificationServer(const std::string& address) {
    connection_ = Connect(address);
    if (!connection_) return;
    g_dbus_connection_set_exit_on_close(connection_, FALSE);
    node_ = g_dbus_node_info_new_for_xml(R"(<node><interface name="org.freedesktop.Notifications">
      <method name="Notify"><arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
        <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
        <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/><arg type="u" direction="out"/></method>
      <method name="CloseNotification"><arg type="u" direction="in"/></method>
      <method name="GetCapabilities"><arg type="as" direction="out"/></method>
      <method name="GetServerInformation"><arg type="s" direction="out"/><arg type="s" direction="out"/>
        <arg type="s" direction="out"/><arg type="s" direction="out"/></method>
      <signal name="ActionInvoked"><arg type="u"/><arg type="s"/></signal>
      <signal name="NotificationClosed"><arg type="u"/><arg type="u"/></signal>
    </interface></node>)",
                                         nullptr);
    static const GDBusInterfaceVTable vtable = {&FakeNotificationServer::Call, nullptr, nullptr, {}};
    g_dbus_connection_register_object(connection_, "/org/freedesktop/Notifications", node_->interfaces[0],
                                      &vtable, this, nullptr, nullptr);
    GVariant* reply = g_dbus_connection_call_sync(
        connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", "org.freedesktop.Notifications", 4u), nullptr, G_DBUS_CALL_FLAGS_NONE, 2000,
        nullptr, nullptr);
    if (reply) {
      guint32 code = 0;
      g_variant_get(reply, "(u)", &code);
      owned_ = code == 1;  // primary owner
      g_variant_unref(reply);
    }
  }
  ~FakeNotificationServer() {
    if (node_) g_dbus_node_info_unref(node_);
    if (connection_) {
      g_dbus_connection_close_sync(connection_, nullptr, nullptr);
      g_object_unref(connection_);
    }
  }
  bool owned() const { return owned_; }
  // The user clicks the button or the body (`key`) of a notification.
  void Invoke(guint32 id, const std::string& key) {
    g_dbus_connection_emit_signal(connection_, nullptr, "/org/freedesktop/Notifications",
                                  "org.freedesktop.Notifications", "ActionInvoked",
                                  g_variant_new("(us)", id, key.c_str()), nullptr);
    g_dbus_connection_flush_sync(connection_, nullptr, nullptr);
  }

  std::vector<Shown> shown;
  std::mutex mutex;  // guards `shown` when the server runs on a thread of its own

 private:
  static void Call(GDBusConnection*, const char*, const char*, const char*, const char* method,
                   GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
    auto* self = static_cast<FakeNotificationServer*>(data);
    if (g_strcmp0(method, "Notify") == 0) {
      const char *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
      guint32 replaces = 0;
      GVariantIter* actions = nullptr;
      g_variant_get(parameters, "(&su&s&s&sasa{sv}i)", &app, &replaces, &icon, &summary, &body, &actions,
                    nullptr, nullptr);
      std::lock_guard lock(self->mutex);
      Shown item{.id = static_cast<guint32>(self->shown.size() + 1), .summary = summary, .body = body};
      const char* each = nullptr;
      while (g_variant_iter_next(actions, "&s", &each)) item.actions.push_back(each);
      g_variant_iter_free(actions);
      self->shown.push_back(item);
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", item.id));
    } else if (g_strcmp0(method, "GetCapabilities") == 0) {
      const char* caps[] = {"actions", "body", nullptr};
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(^as)", caps));
    } else if (g_strcmp0(method, "GetServerInformation") == 0) {
      g_dbus_method_invocation_return_value(invocation,
                                            g_variant_new("(ssss)", "fake", "korvath", "1", "1.2"));
    } else {
      g_dbus_method_invocation_return_value(invocation, nullptr);
    }
  }

  GDBusConnection* connection_ = nullptr;
  GDBusNodeInfo* node_ = nullptr;
  bool owned_ = false;
};

// The server on a thread and main context of its own, for tests that wait on
// other things (a program under test) rather than run a main loop.
class NotificationServerThread {
 public:
  explicit NotificationServerThread(std::string address) {
    std::promise<bool> started;
    auto owned = started.get_future();
    thread_ = std::thread([this, address, &started] {
      GMainContext* context = g_main_context_new();
      g_main_context_push_thread_default(context);
      {
        FakeNotificationServer server(address);
        server_ = &server;
        loop_ = g_main_loop_new(context, FALSE);
        started.set_value(server.owned());
        g_main_loop_run(loop_);
        server_ = nullptr;
        g_main_loop_unref(loop_);
      }
      g_main_context_pop_thread_default(context);
      g_main_context_unref(context);
    });
    owned_ = owned.get();
  }
  ~NotificationServerThread() {
    g_main_loop_quit(loop_);
    thread_.join();
  }
  bool owned() const { return owned_; }
  std::vector<Shown> Notices() {
    std::lock_guard lock(server_->mutex);
    return server_->shown;
  }

 private:
  std::thread thread_;
  FakeNotificationServer* server_ = nullptr;
  GMainLoop* loop_ = nullptr;
  bool owned_ = false;
};

}  // namespace korvath::testing
