// The desktop port over GTK 3: message boxes as modal GtkMessageDialogs,
// pumping as iterations of the GLib main context.
#pragma once

#include <string>

#include "platform/desktop.h"

namespace korvath {

struct GtkDesktopOptions {
  std::string event_log;      // KORVATH_EVENT_LOG; "" logs nothing
  bool auto_dialogs = false;  // KORVATH_DIALOGS=auto: answer OK, show nothing
};

class GtkDesktop : public Desktop {
 public:
  explicit GtkDesktop(GtkDesktopOptions options = {});

  int ShowMessageBox(const MessageBoxRequest& request) override;
  void PumpMessages() override;
  void DelayPumping(int ms) override;
  bool FindProcessWindow(int limit_ms) override;
  EventLog& Log() override { return log_; }
  void RunAside(const std::function<void()>& work) override;

 private:
  bool auto_dialogs_;
  EventLog log_;
};

// Waits `ms` milliseconds while window events are handled, so other handlers
// may run inside the caller; returns at once when ms <= 0.
void WaitPumping(int ms);

// Whether one of this process's top-level windows is visible right now.
bool HasVisibleOwnWindow();

}  // namespace korvath
