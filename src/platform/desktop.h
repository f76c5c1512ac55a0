// The few things the core needs from the desktop. The shell implements this
// over GTK; core tests pass a recording fake (tests/support/recording-desktop.h).
#pragma once

#include <functional>
#include <optional>
#include <string_view>

#include "platform/event-log.h"
#include "util/text.h"

namespace korvath {

// Message-box flags as the original program passes them: the low nibble picks
// the buttons, 16 is the error/stop icon, 64 the information icon.
inline constexpr int kMbOk = 0;
inline constexpr int kMbOkCancel = 1;
inline constexpr int kMbAbortRetryIgnore = 2;
inline constexpr int kMbYesNoCancel = 3;
inline constexpr int kMbYesNo = 4;
inline constexpr int kMbRetryCancel = 5;
inline constexpr int kMbIconError = 16;
inline constexpr int kMbIconQuestion = 32;
inline constexpr int kMbIconInformation = 64;
// The second button is the default (Enter): for a question whose first
// answer cannot be taken back.
inline constexpr int kMbDefButton2 = 0x100;

// Button codes returned by a message box.
enum ButtonCode { kOk = 0, kCancel = 1, kAbort = 2, kRetry = 3, kIgnore = 4, kYes = 5, kNo = 6 };

struct MessageBoxRequest {
  Text text;
  int flags = 0;
  std::optional<Text> caption;  // absent: "信息："
  // NoticeBox passes true: the box belongs to one of our visible windows when
  // one is found within 100 ms (FindProcessWindow).
  bool owned = false;
};

class Desktop {
 public:
  virtual ~Desktop() = default;

  // Shows a modal box and waits for the user; returns a ButtonCode.
  virtual int ShowMessageBox(const MessageBoxRequest& request) = 0;
  // Handles whatever window events are pending, then returns.
  virtual void PumpMessages() = 0;
  // Waits `ms` milliseconds while still handling window events, so handlers
  // may run nested inside the caller.
  virtual void DelayPumping(int ms) = 0;
  // Whether one of our own top-level windows is visible, looking for up to
  // `limit_ms` while events are handled.
  virtual bool FindProcessWindow(int limit_ms) = 0;
  virtual EventLog& Log() = 0;
  // Runs `work` and returns when it is done. A desktop with windows runs it
  // on a thread of its own and handles window events meanwhile, so that a
  // slow peer never freezes them; `work` must touch nothing but its own data
  // and must end by itself (every network call in it has a time limit).
  virtual void RunAside(const std::function<void()>& work) { work(); }
};

// The plain message box: caption "信息：" unless given, no owner.
int MessageBox(Desktop& desktop, std::string_view text, int flags = 0,
               std::optional<std::string_view> caption = std::nullopt);

// A message box with the caption "友情提醒", owned by one of our visible
// windows when Desktop::FindProcessWindow(100) finds one. Returns the ButtonCode.
int NoticeBox(Desktop& desktop, std::string_view text, int flags = 0);

}  // namespace korvath
