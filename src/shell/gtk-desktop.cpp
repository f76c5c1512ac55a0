#include "shell/gtk-desktop.h"

#include <gtk/gtk.h>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

#include "platform/event-log.h"

namespace korvath {
namespace {

struct ButtonChoice {
  const char8_t* label;
  int code;
};

// The button rows of the low nibble; anything else falls back to OK alone,
// as the platform does.
std::vector<ButtonChoice> ButtonsFor(int flags) {
  switch (flags & 0x0F) {
    case kMbOkCancel:
      return {{u8"确定", kOk}, {u8"取消", kCancel}};
    case kMbAbortRetryIgnore:
      return {{u8"中止", kAbort}, {u8"重试", kRetry}, {u8"忽略", kIgnore}};
    case kMbYesNoCancel:
      return {{u8"是", kYes}, {u8"否", kNo}, {u8"取消", kCancel}};
    case kMbYesNo:
      return {{u8"是", kYes}, {u8"否", kNo}};
    case kMbRetryCancel:
      return {{u8"重试", kRetry}, {u8"取消", kCancel}};
    default:
      return {{u8"确定", kOk}};
  }
}

GtkMessageType IconFor(int flags) {
  switch (flags & 0xF0) {
    case 16:
      return GTK_MESSAGE_ERROR;
    case 32:
      return GTK_MESSAGE_QUESTION;
    case 48:
      return GTK_MESSAGE_WARNING;
    case 64:
      return GTK_MESSAGE_INFO;
    default:
      return GTK_MESSAGE_OTHER;
  }
}

// Closing the box with its close button or Escape: Cancel where there is one,
// otherwise the answer that commits to nothing.
int CloseAnswer(const std::vector<ButtonChoice>& buttons) {
  for (const auto& b : buttons)
    if (b.code == kCancel) return kCancel;
  if (buttons.size() == 1) return buttons[0].code;
  for (const auto& b : buttons)
    if (b.code == kNo || b.code == kAbort) return b.code;
  return buttons.back().code;
}

GtkWindow* FirstVisibleOwnWindow() {
  GList* list = gtk_window_list_toplevels();
  GtkWindow* found = nullptr;
  for (GList* l = list; l && !found; l = l->next) {
    GtkWidget* w = GTK_WIDGET(l->data);
    if (gtk_widget_get_visible(w) && gtk_window_get_window_type(GTK_WINDOW(w)) == GTK_WINDOW_TOPLEVEL)
      found = GTK_WINDOW(w);
  }
  g_list_free(list);
  return found;
}

const char* Utf8(const char8_t* s) { return reinterpret_cast<const char*>(s); }

}  // namespace

GtkDesktop::GtkDesktop(GtkDesktopOptions options)
    : auto_dialogs_(options.auto_dialogs),
      log_(options.event_log.empty() ? EventLog() : EventLog(options.event_log)) {}

int GtkDesktop::ShowMessageBox(const MessageBoxRequest& request) {
  const Text caption = request.caption ? *request.caption : Gbk(u8"信息：");
  const auto buttons = ButtonsFor(request.flags);
  int answer = kOk;
  if (!auto_dialogs_) {
    // No owner: the box is a top-level of its own. Modal windows take GTK's
    // grab, so none of our other windows accepts input meanwhile (task-modal).
    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, IconFor(request.flags),
                                               GTK_BUTTONS_NONE, "%s", GbkToUtf8(request.text).c_str());
    gtk_window_set_title(GTK_WINDOW(dialog), GbkToUtf8(caption).c_str());
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    if (request.owned) {
      if (GtkWindow* owner = FirstVisibleOwnWindow()) gtk_window_set_transient_for(GTK_WINDOW(dialog), owner);
    }
    for (const auto& b : buttons) gtk_dialog_add_button(GTK_DIALOG(dialog), Utf8(b.label), b.code + 1);
    const bool second = (request.flags & kMbDefButton2) && buttons.size() > 1;
    const int default_response = buttons[second ? 1 : 0].code + 1;
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), default_response);
    // The keyboard starts on the default button at once, not whenever the
    // window manager maps the box: a key pressed early then moves from it.
    if (GtkWidget* default_button =
            gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), default_response)) {
      gtk_widget_grab_focus(default_button);
    }
    gint response = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    // Response ids are code + 1 so that OK (0) never collides with GTK's
    // "no response".
    answer = response >= 1 ? response - 1 : CloseAnswer(buttons);
  }
  log_.Record("message_box", {{"caption", caption},
                              {"flags", std::int64_t{request.flags}},
                              {"text", request.text},
                              {"answer", std::int64_t{answer}}});
  return answer;
}

void GtkDesktop::PumpMessages() {
  while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
}

void WaitPumping(int ms) {
  if (ms <= 0) return;
  bool fired = false;
  guint id = g_timeout_add(
      static_cast<guint>(ms),
      [](gpointer data) -> gboolean {
        *static_cast<bool*>(data) = true;
        return G_SOURCE_REMOVE;
      },
      &fired);
  (void)id;
  while (!fired) g_main_context_iteration(nullptr, TRUE);
}

void GtkDesktop::DelayPumping(int ms) {
  if (ms <= 0) {
    PumpMessages();
    return;
  }
  WaitPumping(ms);
}

void GtkDesktop::RunAside(const std::function<void()>& work) {
  std::atomic<bool> done{false};
  GMainContext* context = g_main_context_default();
  std::thread worker([&] {
    work();
    done = true;
    // Wakes the iteration below even when no window event is pending.
    g_main_context_wakeup(context);
  });
  while (!done) g_main_context_iteration(context, TRUE);
  worker.join();
}

bool HasVisibleOwnWindow() { return FirstVisibleOwnWindow() != nullptr; }

bool GtkDesktop::FindProcessWindow(int limit_ms) {
  const std::int64_t end = MonotonicMs() + limit_ms;
  for (;;) {
    PumpMessages();
    if (HasVisibleOwnWindow()) return true;
    if (MonotonicMs() >= end) return false;
    WaitPumping(10);
  }
}

}  // namespace korvath
