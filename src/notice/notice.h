// The start-up announcement: asks the notice service for its text and shows
// the announcement, if there is one, in an information box.
#pragma once

#include <string_view>

#include "platform/desktop.h"
#include "util/text.h"

namespace korvath {

// Where the announcement is asked for unless KORVATH_NOTICE_URL says otherwise.
inline constexpr std::string_view kDefaultNoticeUrl = "http://127.0.0.1:4288/getpassword";

// The longest start-up waits for the notice service, connecting included.
inline constexpr long kNoticeTimeoutMs = 5000;

// GETs `url`, takes the text between the first "[gg]" and the first "[/gg]"
// after it, turns every "/n" in it into a line break and shows it with the
// information icon and the caption "信息：". An empty announcement, a missing
// marker, an unreachable or silent server show nothing; nothing is retried.
// Returns once the box is closed. Records "notice" {shown}. The service is
// given `timeout_ms` at most.
void FetchNotice(Desktop& desktop, std::string_view url = kDefaultNoticeUrl,
                 long timeout_ms = kNoticeTimeoutMs);

// The text FetchNotice shows for the reply `body` (UTF-8 bytes), already in
// lines; empty when there is nothing to show. At most as long as the reply's
// text with every "/n" doubled, so its size follows the transport's body cap.
Text NoticeAnnouncement(const Bytes& body);

}  // namespace korvath
