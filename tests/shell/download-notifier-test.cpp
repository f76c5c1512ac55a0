// Desktop notices for finished and failed downloads, through GApplication's
// own notification backend, on a private D-Bus session bus where the test
// plays the notification server. aria2 is the real one.
#include "shell/download-notifier.h"

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include "engine/aria2-bootstrap.h"
#include "engine/download-task.h"
#include "engine/engine-fixture.h"
#include "engine/rpc-client.h"
#include "support/recording-server.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;

const char* U8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

std::string BusId(GDBusConnection* connection) {
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

GDBusConnection* Connect(const std::string& address) {
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
    dir_ = testing::MakeTempDir("korvath-bus");
    // An abstract socket leaves nothing behind in the file system.
    address_ = "unix:abstract=" + dir_.string() + "/bus";
    testing::WriteFile(dir_ / "bus.conf",
                       R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>)" + address_ + R"(</listen>
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
    testing::WaitFor([&] { return (direct = Connect(address_)) != nullptr; }, std::chrono::seconds(5));
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

// Runs the main loop until `condition` holds or `limit` passes.
template <typename Condition>
bool PumpUntil(Condition condition, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition() && std::chrono::steady_clock::now() < deadline) {
    if (!g_main_context_iteration(nullptr, FALSE)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

class DownloadNotifierTest : public testing::Aria2Test {
 protected:
  void SetUp() override {
    testing::Aria2Test::SetUp();
    if (!PrivateBus::Get().ok()) GTEST_SKIP() << "needs a process whose session bus is not open yet";
    files.SetResponder([](const testing::RecordedRequest& request) {
      if (request.Target() == "/missing") return testing::Reply::Ok("", {}, "404 Not Found");
      return testing::Reply::Ok(std::string(2048, 'k'));
    });
  }
  void TearDown() override {
    // Never finalized: GLib 2.74's freedesktop notification backend crashes
    // the process later when an application that sent a notification is.
    // The program itself keeps its application until it ends.
    app = nullptr;
    testing::Aria2Test::TearDown();
  }
  void RegisterApp() {
    static int runs = 0;
    const std::string id = "org.korvath.NotifierTest" + std::to_string(++runs);
    app = g_application_new(id.c_str(), G_APPLICATION_DEFAULT_FLAGS);
    ASSERT_TRUE(g_application_register(app, nullptr, nullptr));
  }
  std::string Create(const Text& name, const std::string& path) {
    if (!CreateDownloadTask(*desktop, state,
                            {.name = name, .link = files.Url(path), .dir = "ZorbitDravenet"})) {
      return {};
    }
    return desktop->Events("task_created").back()["gid"].get<std::string>();
  }

  testing::RecordingServer files;
  GApplication* app = nullptr;
};

TEST_F(DownloadNotifierTest, EachFinishedOrFailedDownloadIsAnnouncedOnceAndItsButtonOpensTheFolder) {
  FakeNotificationServer server(PrivateBus::Get().address());
  ASSERT_TRUE(server.owned());
  ASSERT_TRUE(StartAria2(*desktop, state, {.cookie = "Zorbit", .program_dir = program_dir.string()}));
  ASSERT_TRUE(SetGlobalOptions(*desktop, state));
  // Finished before the notices start: not news.
  std::string earlier = Create("earlier.bin", "/file");
  ASSERT_TRUE(testing::WaitFor(
      [&] {
        return testing::Aria2Call(state, "aria2.tellStatus", {earlier})["result"].value("status", "") ==
               "complete";
      },
      std::chrono::seconds(10)));

  RegisterApp();
  std::vector<std::string> opened;
  DownloadNotifier notifier(app, *desktop, state,
                            {.open_folder = [&](const std::string& f) { opened.push_back(f); }});
  ASSERT_TRUE(notifier.Start());
  ASSERT_FALSE(Create(Gbk(u8"报告.bin"), "/file").empty());
  ASSERT_FALSE(Create("gone.bin", "/missing").empty());
  ASSERT_TRUE(PumpUntil([&] { return server.shown.size() >= 2; }, std::chrono::seconds(15)));
  // A further look brings nothing new.
  PumpUntil([] { return false; }, std::chrono::milliseconds(2500));
  ASSERT_EQ(server.shown.size(), 2u);

  const std::string folder = (work_dir / "ZorbitDravenet").string();
  const Shown* done = nullptr;
  const Shown* failed = nullptr;
  for (const Shown& item : server.shown) {
    if (item.summary == U8(u8"下载完成：报告.bin")) done = &item;
    if (item.summary == U8(u8"下载失败：gone.bin")) failed = &item;
  }
  ASSERT_TRUE(done && failed) << server.shown[0].summary << " / " << server.shown[1].summary;
  EXPECT_EQ(done->body, folder);
  EXPECT_EQ(failed->body, U8(u8"服务器上找不到这个文件。请回到分享页再点击一次这个文件。（错误码 3）"));
  EXPECT_EQ(desktop->Events("download_notice").size(), 2u);

  // The button, as the server lists it, reaches the program's action.
  std::string button;
  for (size_t i = 0; i + 1 < done->actions.size(); i += 2) {
    if (done->actions[i + 1] == U8(u8"打开文件夹")) button = done->actions[i];
  }
  ASSERT_FALSE(button.empty());
  server.Invoke(done->id, button);
  ASSERT_TRUE(PumpUntil([&] { return !opened.empty(); }, std::chrono::seconds(5)));
  EXPECT_EQ(opened, std::vector<std::string>{folder});
}

TEST_F(DownloadNotifierTest, WithoutANotificationServiceItOnlyLogsOneLine) {
  // No server on this bus, none to start on demand; no aria2 either, since
  // nothing may be asked of it.
  RegisterApp();
  DownloadNotifier notifier(app, *desktop, state);
  EXPECT_FALSE(notifier.Start());
  EXPECT_FALSE(notifier.Start());
  PumpUntil([] { return false; }, std::chrono::milliseconds(2500));
  EXPECT_EQ(desktop->Events("download_notices_unavailable").size(), 1u);
  EXPECT_TRUE(desktop->Events("rpc").empty());
}

}  // namespace
}  // namespace korvath
