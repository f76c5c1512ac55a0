// What a failed download's aria2 error means for the user, in plain Chinese:
// what went wrong and what to do about it. The notices and the download
// manager both say it this way.
#pragma once

#include <string_view>

#include "util/text.h"

namespace korvath {

// `error_code` is aria2's errorCode ("22"), `error_message` its errorMessage
// (which names the HTTP status: "... status=403"). A refused or expired link
// (HTTP 401, 403 or 410; aria2 codes 22 and 24) says that clicking the file
// again on the share page continues the download. Unknown codes keep aria2's
// own message, on one line and cut to 200 characters. System text.
Text ExplainDownloadFailure(std::string_view error_code, std::string_view error_message);

// Whether aria2 failed to reach the server at all: a refused or timed-out
// connection, no network, a name that did not resolve. aria2 files a refused
// or unroutable connection under its catch-all code 1.
bool ServerUnreachable(std::string_view error_code, std::string_view error_message);

}  // namespace korvath
