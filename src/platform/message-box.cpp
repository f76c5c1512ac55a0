// The two kinds of message box the core shows through the desktop port.
#include "platform/desktop.h"

namespace korvath {

int MessageBox(Desktop& desktop, std::string_view text, int flags, std::optional<std::string_view> caption) {
  MessageBoxRequest request{.text = Text(text), .flags = flags};
  if (caption) request.caption = Text(*caption);
  return desktop.ShowMessageBox(request);
}

int NoticeBox(Desktop& desktop, std::string_view text, int flags) {
  // The box belongs to one of our visible windows when one turns up within
  // 100 ms (events keep being handled meanwhile); otherwise it stands alone.
  bool owned = desktop.FindProcessWindow(100);
  MessageBoxRequest request{.text = Text(text), .flags = flags, .caption = Gbk(u8"友情提醒"), .owned = owned};
  return desktop.ShowMessageBox(request);
}

}  // namespace korvath
