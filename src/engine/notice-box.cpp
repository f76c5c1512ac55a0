#include "engine/processes.h"

namespace korvath {

int NoticeBox(Desktop& desktop, std::string_view text, int flags) {
  // owned: the desktop looks for one of our visible windows for up to 100 ms
  // (FindProcessWindow) and parents the box to it, or shows it unowned.
  MessageBoxRequest request{.text = Text(text), .flags = flags, .caption = Gbk(u8"友情提醒"), .owned = true};
  return desktop.ShowMessageBox(request);
}

}  // namespace korvath
