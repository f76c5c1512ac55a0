#include "platform/desktop.h"

namespace korvath {

int MessageBox(Desktop& desktop, std::string_view text, int flags,
               std::optional<std::string_view> caption) {
  MessageBoxRequest request{.text = Text(text), .flags = flags};
  if (caption) request.caption = Text(*caption);
  return desktop.ShowMessageBox(request);
}

}  // namespace korvath
