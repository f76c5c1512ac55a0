#include "notice/notice.h"

#include "http/wininet-request.h"
#include "util/text.h"

namespace korvath {

void FetchNotice(Desktop& desktop, std::string_view url, long timeout_ms) {
  // The announcement is a courtesy: start-up must not stall on a service that
  // accepts the connection and then says nothing.
  const WinInetResult reply = HttpRequestWinInetEx({.url = Text(url), .method = 0, .timeout_ms = timeout_ms});
  const Text announcement = NoticeAnnouncement(reply.body);
  const bool shown = !announcement.empty();
  desktop.Log().Record("notice", {{"shown", shown}});
  if (!shown) return;
  MessageBox(desktop, announcement, kMbIconInformation);
}

Text NoticeAnnouncement(const Bytes& body) {
  const Text announcement = TextBetween(Utf8BytesToText(body), "[gg]", "[/gg]");
  if (announcement.empty()) return {};
  return ReplaceSubtext(announcement, "/n", "\r\n", {.case_sensitive = true});
}

}  // namespace korvath
