// The GTK desktop: message boxes as the core expects them (caption, icon,
// buttons, codes, the log), and waits that keep events flowing.
#include "shell/gtk-desktop.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "app/options.h"
#include "engine/session-restore-report.h"
#include "harness/korvath-harness.h"

namespace korvath::testing {
namespace {

struct SeenBox {
  std::string title;
  GtkMessageType type = GTK_MESSAGE_OTHER;
  std::vector<std::string> buttons;
  bool modal = false;
};

// Finds the open message box, notes what it shows, then types `keys` into
// it, or presses the button labelled `press` (or closes the box when `press`
// is empty).
struct BoxAnswerer {
  std::string press;
  std::vector<guint> keys;
  SeenBox seen;
  bool found = false;

  // A key press and release as the window system delivers them to the box.
  static void Type(GtkWidget* box, guint keyval) {
    GdkDisplay* display = gtk_widget_get_display(box);
    GdkKeymapKey* codes = nullptr;
    gint count = 0;
    gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(display), keyval, &codes, &count);
    for (GdkEventType type : {GDK_KEY_PRESS, GDK_KEY_RELEASE}) {
      GdkEvent* event = gdk_event_new(type);
      event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(box)));
      event->key.send_event = TRUE;
      event->key.time = GDK_CURRENT_TIME;
      event->key.keyval = keyval;
      event->key.hardware_keycode = count > 0 ? static_cast<guint16>(codes[0].keycode) : 0;
      gdk_event_set_device(event, gdk_seat_get_keyboard(gdk_display_get_default_seat(display)));
      gtk_main_do_event(event);
      gdk_event_free(event);
    }
    g_free(codes);
  }

  static void CollectButtons(GtkWidget* widget, std::vector<GtkWidget*>& out) {
    if (GTK_IS_BUTTON(widget)) {
      out.push_back(widget);
      return;
    }
    if (!GTK_IS_CONTAINER(widget)) return;
    GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
    for (GList* c = children; c; c = c->next) CollectButtons(GTK_WIDGET(c->data), out);
    g_list_free(children);
  }

  static gboolean Tick(gpointer data) {
    auto* self = static_cast<BoxAnswerer*>(data);
    GList* list = gtk_window_list_toplevels();
    GtkWidget* box = nullptr;
    for (GList* l = list; l; l = l->next)
      if (GTK_IS_MESSAGE_DIALOG(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data)))
        box = GTK_WIDGET(l->data);
    g_list_free(list);
    // Keys go to a box the user could see, once it has the keyboard. With no
    // window manager the box gets the focus only while the pointer is over
    // it, and GTK moves the focus between buttons only in the active window,
    // so it is given the focus here as a window manager would.
    if (!box || !gtk_widget_get_mapped(box)) return G_SOURCE_CONTINUE;
    if (!self->keys.empty() && !gtk_window_is_active(GTK_WINDOW(box))) {
      gdk_window_focus(gtk_widget_get_window(box), GDK_CURRENT_TIME);
      return G_SOURCE_CONTINUE;
    }
    self->found = true;
    const char* title = gtk_window_get_title(GTK_WINDOW(box));
    self->seen.title = title ? title : "";
    g_object_get(box, "message-type", &self->seen.type, nullptr);
    self->seen.modal = gtk_window_get_modal(GTK_WINDOW(box));
    std::vector<GtkWidget*> buttons;
    CollectButtons(box, buttons);
    GtkWidget* target = nullptr;
    for (GtkWidget* b : buttons) {
      const char* text = gtk_button_get_label(GTK_BUTTON(b));
      std::string label = text ? text : "";
      self->seen.buttons.push_back(label);
      if (label == self->press) target = b;
    }
    if (!self->keys.empty()) {
      for (guint key : self->keys) Type(box, key);
    } else if (target) {
      gtk_button_clicked(GTK_BUTTON(target));
    } else {
      gtk_window_close(GTK_WINDOW(box));
    }
    return G_SOURCE_REMOVE;
  }
};

class GtkDesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!gtk_init_check(nullptr, nullptr)) GTEST_SKIP() << "no display";
    dir_ = MakeTempDir("desktop");
    log_ = dir_ + "/events.jsonl";
  }
  void TearDown() override { fs::remove_all(dir_); }

  int Show(GtkDesktop& desktop, BoxAnswerer& answerer, const Text& text, int flags,
           std::optional<Text> caption = std::nullopt) {
    guint id = g_timeout_add(30, &BoxAnswerer::Tick, &answerer);
    int code = desktop.ShowMessageBox({.text = text, .flags = flags, .caption = caption});
    if (!answerer.found) g_source_remove(id);
    return code;
  }

  std::vector<nlohmann::json> Logged() const {
    std::vector<nlohmann::json> out;
    std::ifstream in(log_);
    for (std::string line; std::getline(in, line);) out.push_back(nlohmann::json::parse(line));
    return out;
  }

  std::string dir_, log_;
};

std::string U(const char8_t* s) { return reinterpret_cast<const char*>(s); }

TEST_F(GtkDesktopTest, ButtonsIconsAndCodesFollowTheFlags) {
  GtkDesktop desktop({.event_log = log_});
  struct Case {
    int flags;
    const char8_t* press;
    std::vector<std::string> buttons;
    GtkMessageType type;
    int code;
  };
  const std::vector<Case> cases = {
      {0, u8"确定", {U(u8"确定")}, GTK_MESSAGE_OTHER, kOk},
      {kMbOkCancel | kMbIconError, u8"取消", {U(u8"确定"), U(u8"取消")}, GTK_MESSAGE_ERROR, kCancel},
      {kMbAbortRetryIgnore, u8"忽略", {U(u8"中止"), U(u8"重试"), U(u8"忽略")}, GTK_MESSAGE_OTHER, kIgnore},
      {kMbYesNoCancel | kMbIconInformation,
       u8"是",
       {U(u8"是"), U(u8"否"), U(u8"取消")},
       GTK_MESSAGE_INFO,
       kYes},
      {kMbYesNo, u8"否", {U(u8"是"), U(u8"否")}, GTK_MESSAGE_OTHER, kNo},
      {kMbRetryCancel, u8"重试", {U(u8"重试"), U(u8"取消")}, GTK_MESSAGE_OTHER, kRetry},
  };
  for (const auto& c : cases) {
    BoxAnswerer answerer{.press = U(c.press)};
    int code = Show(desktop, answerer, Gbk(u8"正文"), c.flags);
    ASSERT_TRUE(answerer.found) << c.flags;
    EXPECT_EQ(code, c.code) << c.flags;
    EXPECT_EQ(answerer.seen.buttons, c.buttons) << c.flags;
    EXPECT_EQ(answerer.seen.type, c.type) << c.flags;
    EXPECT_TRUE(answerer.seen.modal);
    EXPECT_EQ(answerer.seen.title, U(u8"信息：")) << "default caption";
  }
  auto logged = Logged();
  ASSERT_EQ(logged.size(), cases.size());
  EXPECT_EQ(logged[1]["event"], "message_box");
  EXPECT_EQ(logged[1]["flags"], kMbOkCancel | kMbIconError);
  EXPECT_EQ(logged[1]["answer"], kCancel);
  EXPECT_EQ(logged[1]["text"], U(u8"正文"));
  EXPECT_EQ(logged[1]["caption"], U(u8"信息："));
}

TEST_F(GtkDesktopTest, ClosingTheBoxAnswersCancelWhereThereIsOneElseTheSafeChoice) {
  GtkDesktop desktop;
  struct Case {
    int flags;
    int code;
  } cases[] = {{0, kOk}, {kMbOkCancel, kCancel}, {kMbYesNo, kNo}, {kMbYesNoCancel, kCancel}};
  for (const auto& c : cases) {
    BoxAnswerer answerer;  // presses nothing: closes the box
    EXPECT_EQ(Show(desktop, answerer, "x", c.flags, Text("Caption")), c.code) << c.flags;
    EXPECT_EQ(answerer.seen.title, "Caption");
  }
}

// The box that asks whether to forget downloads start-up could not bring
// back: only a deliberate "是" forgets them.
TEST_F(GtkDesktopTest, ForgettingUnrestoredDownloadsTakesADeliberateChoiceByMouseOrKeyboard) {
  GtkDesktop desktop;
  SessionRestoreResult result;
  result.refused.push_back({.uris = {"http://"},
                            .dir = "/d",
                            .out = "gone.bin",
                            .state = "paused",
                            .refused = "No URI to download."});
  struct Case {
    const char* how;
    BoxAnswerer answerer;
    RefusedChoice choice;
  };
  Case cases[] = {
      {"click 是", {.press = U(u8"是")}, RefusedChoice::kForget},
      {"click 否", {.press = U(u8"否")}, RefusedChoice::kKeep},
      {"close", {}, RefusedChoice::kKeep},
      {"Enter", {.keys = {GDK_KEY_Return}}, RefusedChoice::kKeep},
      {"Escape", {.keys = {GDK_KEY_Escape}}, RefusedChoice::kKeep},
      {"Left, Enter", {.keys = {GDK_KEY_Left, GDK_KEY_Return}}, RefusedChoice::kForget},
  };
  for (Case& c : cases) {
    guint id = g_timeout_add(30, &BoxAnswerer::Tick, &c.answerer);
    EXPECT_EQ(TellRestoreOutcome(desktop, result), c.choice) << c.how;
    if (!c.answerer.found) g_source_remove(id);
    ASSERT_TRUE(c.answerer.found) << c.how;
    EXPECT_EQ(c.answerer.seen.buttons, (std::vector<std::string>{U(u8"是"), U(u8"否")})) << c.how;
  }
}

TEST_F(GtkDesktopTest, AutomaticBoxesAnswerOkWithoutShowingAndAreStillLogged) {
  GtkDesktop desktop({.event_log = log_, .auto_dialogs = true});
  BoxAnswerer answerer;
  guint id = g_timeout_add(30, &BoxAnswerer::Tick, &answerer);
  EXPECT_EQ(desktop.ShowMessageBox({.text = "t", .flags = kMbYesNo, .caption = Text("c")}), kOk);
  desktop.DelayPumping(100);
  g_source_remove(id);
  EXPECT_FALSE(answerer.found);
  auto logged = Logged();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0]["caption"], "c");
  EXPECT_EQ(logged[0]["answer"], kOk);
}

TEST_F(GtkDesktopTest, WaitsLetOtherHandlersRunAndLastAtLeastTheirTime) {
  GtkDesktop desktop;
  int ran = 0;
  g_timeout_add(
      20,
      [](gpointer p) -> gboolean {
        ++*static_cast<int*>(p);
        return G_SOURCE_REMOVE;
      },
      &ran);
  auto start = std::chrono::steady_clock::now();
  desktop.DelayPumping(150);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(ran, 1) << "a handler due during the wait did not run";
  EXPECT_GE(took, std::chrono::milliseconds(150));
  EXPECT_LT(took, std::chrono::milliseconds(2000));

  start = std::chrono::steady_clock::now();
  WaitPumping(0);
  WaitPumping(-5);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
}

TEST_F(GtkDesktopTest, FindsOnlyVisibleWindowsOfItsOwn) {
  GtkDesktop desktop;
  EXPECT_FALSE(desktop.FindProcessWindow(100));
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  // Shown only after the search began: found while it still looks.
  g_timeout_add(
      40,
      [](gpointer w) -> gboolean {
        gtk_widget_show(GTK_WIDGET(w));
        return G_SOURCE_REMOVE;
      },
      window);
  EXPECT_TRUE(desktop.FindProcessWindow(1000));
  gtk_widget_destroy(window);
}

TEST(OptionsParsing, EnvironmentAndArguments) {
  std::map<std::string, std::string> env = {{"KORVATH_APP_URL", "http://127.0.0.1:1/app/"},
                                            {"KORVATH_NOTICE_URL", ""},
                                            {"KORVATH_ARIANG", "/x/AriaNg.html"},
                                            {"KORVATH_DIALOGS", "AUTO"}};
  auto lookup = [&](const char* name) -> const char* {
    auto it = env.find(name);
    return it == env.end() ? nullptr : it->second.c_str();
  };
  Options o = ParseOptions({}, lookup);
  EXPECT_EQ(o.app_url, "http://127.0.0.1:1/app/");
  EXPECT_FALSE(o.notice_url) << "an empty variable counts as unset";
  EXPECT_EQ(o.ariang, "/x/AriaNg.html");
  EXPECT_FALSE(o.auto_dialogs) << "only the exact word turns the boxes off";
  EXPECT_TRUE(o.error.empty());

  env.clear();
  o = ParseOptions({"--version", "--help"}, lookup);
  EXPECT_EQ(o.app_url, kDefaultAppUrl);
  EXPECT_NE(o.app_url.find(".invalid/app/"), std::string::npos);
  EXPECT_TRUE(o.show_help && o.show_version);
  EXPECT_FALSE(o.user_downloads);
  EXPECT_TRUE(ParseOptions({"--user-downloads"}, lookup).user_downloads);
  EXPECT_FALSE(ParseOptions({"https://elsewhere/"}, lookup).error.empty());
}

}  // namespace
}  // namespace korvath::testing
