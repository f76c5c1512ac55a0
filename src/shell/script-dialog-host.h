// Shows a web view's script dialogs (alert, confirm, prompt, leave-page) as
// Korvath's own Chinese message boxes, never modal, so the window's buttons
// keep working while the page waits; answers at once what ScriptDialogGuard
// or a navigation under way says need not be shown; logs every dialog.
#pragma once

#include <cstdint>
#include <string>

#include "shell/script-dialog-guard.h"
#include "webview/web-view.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _GtkWindow GtkWindow;

namespace korvath {

class EventLog;

class ScriptDialogHost {
 public:
  // Takes over the view's dialog events; `owner` is the window the boxes
  // belong to and `view_name` names the view in the event log. With
  // auto_dialogs (KORVATH_DIALOGS=auto) nothing is shown and every dialog is
  // answered with OK, as message boxes are. Must not outlive the view.
  ScriptDialogHost(WebView& view, GtkWindow* owner, EventLog& log, std::string view_name, bool auto_dialogs);
  ~ScriptDialogHost();
  ScriptDialogHost(const ScriptDialogHost&) = delete;
  ScriptDialogHost& operator=(const ScriptDialogHost&) = delete;

  // The box on screen, if any (for tests).
  GtkWidget* box() const { return box_; }

 private:
  void OnDialog(const ScriptDialogRequest& request);
  void Show(const ScriptDialogRequest& request, bool offer_block);
  void OnResponse(int response);
  void AnswerAtOnce(const ScriptDialogRequest& request, const char* reason);
  void CloseBox();

  WebView& view_;
  GtkWindow* owner_;
  EventLog& log_;
  std::string view_name_;
  bool auto_dialogs_;
  ScriptDialogGuard guard_;
  ScriptDialogRequest shown_;
  GtkWidget* box_ = nullptr;
  GtkWidget* entry_ = nullptr;  // prompt() only
};

}  // namespace korvath
