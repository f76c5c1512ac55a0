#include "shell/script-dialog-host.h"

#include <gtk/gtk.h>

#include <utility>

#include "platform/event-log.h"

namespace korvath {
namespace {

enum Response { kAccept = 1, kDecline = 2, kBlock = 3 };

// A page may pass megabytes; a box shows what fits on a screen, and the log
// keeps the same.
constexpr glong kMaxShownChars = 2000;

const char* U8(const char8_t* s) { return reinterpret_cast<const char*>(s); }

std::string Shorten(const Text& text) {
  std::string utf8 = GbkToUtf8(text);
  if (g_utf8_strlen(utf8.c_str(), -1) <= kMaxShownChars) return utf8;
  const char* end = g_utf8_offset_to_pointer(utf8.c_str(), kMaxShownChars);
  return std::string(utf8.c_str(), end) + U8(u8"……");
}

const char* KindName(ScriptDialogKind kind) {
  switch (kind) {
    case ScriptDialogKind::kConfirm:
      return "confirm";
    case ScriptDialogKind::kPrompt:
      return "prompt";
    case ScriptDialogKind::kLeavePage:
      return "leave_page";
    default:
      return "alert";
  }
}

const char8_t* Caption(ScriptDialogKind kind) {
  switch (kind) {
    case ScriptDialogKind::kConfirm:
      return u8"网页询问";
    case ScriptDialogKind::kPrompt:
      return u8"网页请求输入";
    case ScriptDialogKind::kLeavePage:
      return u8"离开此页面？";
    default:
      return u8"网页消息";
  }
}

// What a page gets when its dialog is not shown: OK for a message, Cancel for
// a question, no text for a prompt, and leave for a leave-page question, so
// nothing is agreed to in the user's name and nothing keeps them on the page.
bool AtOnceAccepts(ScriptDialogKind kind) {
  return kind == ScriptDialogKind::kAlert || kind == ScriptDialogKind::kLeavePage;
}

}  // namespace

ScriptDialogHost::ScriptDialogHost(WebView& view, GtkWindow* owner, EventLog& log, std::string view_name,
                                   bool auto_dialogs)
    : view_(view), owner_(owner), log_(log), view_name_(std::move(view_name)), auto_dialogs_(auto_dialogs) {
  view_.on_script_dialog = [this](const ScriptDialogRequest& request) { OnDialog(request); };
  view_.on_script_dialog_gone = [this] {
    if (!box_) return;
    log_.Record("script_dialog", {{"view", view_name_},
                                  {"action", std::string("dismissed")},
                                  {"kind", std::string(KindName(shown_.kind))},
                                  {"url", shown_.page_url}});
    CloseBox();
  };
  view_.on_page_changed = [this](const Text&) { guard_.PageLeft(); };
  view_.on_print_refused = [this](const Text& url) {
    log_.Record("print_refused", {{"view", view_name_}, {"url", url}});
  };
}

ScriptDialogHost::~ScriptDialogHost() {
  view_.on_script_dialog = nullptr;
  view_.on_script_dialog_gone = nullptr;
  view_.on_page_changed = nullptr;
  view_.on_print_refused = nullptr;
  CloseBox();
  // The page must not wait on a box that is gone.
  if (view_.HasScriptDialog()) view_.AnswerScriptDialog(AtOnceAccepts(shown_.kind));
}

void ScriptDialogHost::OnDialog(const ScriptDialogRequest& request) {
  if (auto_dialogs_) {
    log_.Record("script_dialog", {{"view", view_name_},
                                  {"action", std::string("answered")},
                                  {"kind", std::string(KindName(request.kind))},
                                  {"url", request.page_url},
                                  {"message", Shorten(request.message)},
                                  {"answer", std::string("auto")}});
    view_.AnswerScriptDialog(true, request.default_text);
    return;
  }
  // The user asked to go elsewhere: nothing of the old page may hold that up.
  if (view_.LeavingPage()) {
    AnswerAtOnce(request, "leaving");
    return;
  }
  switch (guard_.Arrived(MonotonicMs())) {
    case ScriptDialogGuard::Verdict::kAnswerAtOnce:
      AnswerAtOnce(request,
                   guard_.answering_at_once() == ScriptDialogGuard::Reason::kStorm ? "storm" : "blocked");
      return;
    case ScriptDialogGuard::Verdict::kShowWithBlockChoice:
      Show(request, true);
      return;
    case ScriptDialogGuard::Verdict::kShow:
      Show(request, false);
      return;
  }
}

void ScriptDialogHost::AnswerAtOnce(const ScriptDialogRequest& request, const char* reason) {
  log_.Record("script_dialog", {{"view", view_name_},
                                {"action", std::string("suppressed")},
                                {"kind", std::string(KindName(request.kind))},
                                {"url", request.page_url},
                                {"message", Shorten(request.message)},
                                {"reason", std::string(reason)}});
  view_.AnswerScriptDialog(AtOnceAccepts(request.kind));
}

void ScriptDialogHost::Show(const ScriptDialogRequest& request, bool offer_block) {
  CloseBox();
  shown_ = request;
  const bool leave = request.kind == ScriptDialogKind::kLeavePage;
  GtkMessageType icon = GTK_MESSAGE_INFO;
  if (request.kind == ScriptDialogKind::kConfirm || request.kind == ScriptDialogKind::kPrompt)
    icon = GTK_MESSAGE_QUESTION;
  if (leave) icon = GTK_MESSAGE_WARNING;
  const std::string text =
      leave ? std::string(U8(u8"此页面询问您是否要离开。您在页面上输入的内容可能不会保存。"))
            : Shorten(request.message);
  // Not modal: the page waits for its answer, the user need not. 首页 and 刷新
  // must stay usable, and the box belongs to its window, above it.
  box_ = gtk_message_dialog_new(owner_, GTK_DIALOG_DESTROY_WITH_PARENT, icon, GTK_BUTTONS_NONE, "%s",
                                text.c_str());
  gtk_window_set_title(GTK_WINDOW(box_), U8(Caption(request.kind)));
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(box_), U8(u8"来源：%s"),
                                           Shorten(request.page_url).c_str());
  gtk_window_set_position(GTK_WINDOW(box_), owner_ ? GTK_WIN_POS_CENTER_ON_PARENT : GTK_WIN_POS_CENTER);
  if (request.kind == ScriptDialogKind::kPrompt) {
    entry_ = gtk_entry_new();
    gtk_entry_set_text(GTK_ENTRY(entry_), Shorten(request.default_text).c_str());
    gtk_entry_set_activates_default(GTK_ENTRY(entry_), TRUE);
    GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(box_));
    gtk_box_pack_start(GTK_BOX(area), entry_, FALSE, FALSE, 0);
  }
  if (offer_block) {
    GtkWidget* block = gtk_dialog_add_button(GTK_DIALOG(box_), U8(u8"阻止此页面继续弹出对话框"), kBlock);
    // Apart from the answers, at the far side of the row.
    gtk_button_box_set_child_secondary(GTK_BUTTON_BOX(gtk_widget_get_parent(block)), block, TRUE);
  }
  if (leave) {
    gtk_dialog_add_button(GTK_DIALOG(box_), U8(u8"留下"), kDecline);
    gtk_dialog_add_button(GTK_DIALOG(box_), U8(u8"离开"), kAccept);
  } else {
    if (request.kind != ScriptDialogKind::kAlert)
      gtk_dialog_add_button(GTK_DIALOG(box_), U8(u8"取消"), kDecline);
    gtk_dialog_add_button(GTK_DIALOG(box_), U8(u8"确定"), kAccept);
  }
  gtk_dialog_set_default_response(GTK_DIALOG(box_), kAccept);
  g_signal_connect(box_, "response", G_CALLBACK(+[](GtkDialog*, gint response, gpointer data) {
                     static_cast<ScriptDialogHost*>(data)->OnResponse(response);
                   }),
                   this);
  // Destroyed with its window, too: the pointer must not outlive it.
  g_signal_connect(box_, "destroy", G_CALLBACK(+[](GtkWidget* w, gpointer data) {
                     auto* self = static_cast<ScriptDialogHost*>(data);
                     if (self->box_ == w) {
                       self->box_ = nullptr;
                       self->entry_ = nullptr;
                     }
                   }),
                   this);
  gtk_widget_show_all(box_);
  if (entry_)
    gtk_widget_grab_focus(entry_);
  else if (GtkWidget* ok = gtk_dialog_get_widget_for_response(GTK_DIALOG(box_), kAccept))
    gtk_widget_grab_focus(ok);
  log_.Record("script_dialog", {{"view", view_name_},
                                {"action", std::string("shown")},
                                {"kind", std::string(KindName(request.kind))},
                                {"url", request.page_url},
                                {"message", Shorten(request.message)},
                                {"offers_block", offer_block}});
}

void ScriptDialogHost::OnResponse(int response) {
  const bool block = response == kBlock;
  // The close box and Escape commit to nothing, as Cancel does; on an alert
  // that is the same as OK, on a leave-page question it means staying.
  const bool accepted = block ? AtOnceAccepts(shown_.kind) : response == kAccept;
  const Text text = accepted && entry_ ? Utf8ToGbk(gtk_entry_get_text(GTK_ENTRY(entry_))) : Text();
  const char* answer = block ? "block" : response == kAccept ? "accept" : "decline";
  guard_.Answered(MonotonicMs(), block);
  log_.Record("script_dialog", {{"view", view_name_},
                                {"action", std::string("answered")},
                                {"kind", std::string(KindName(shown_.kind))},
                                {"url", shown_.page_url},
                                {"answer", std::string(answer)}});
  CloseBox();
  view_.AnswerScriptDialog(accepted, text);
}

void ScriptDialogHost::CloseBox() {
  if (GtkWidget* box = std::exchange(box_, nullptr)) {
    entry_ = nullptr;
    g_signal_handlers_disconnect_by_data(box, this);
    gtk_widget_destroy(box);
  }
}

}  // namespace korvath
