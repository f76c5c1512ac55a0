// The manager page's question whether a finished download is the file its
// share page described. The page only knows what aria2 says; the check
// reads the file, so the window answers. The page names a gid and nothing
// more: the file is the one aria2 says the task wrote.
#pragma once

#include <string>

#include "engine/stated-sizes.h"
#include "shell/task-files-deletion.h"

namespace korvath {

// The name the page posts to: window.webkit.messageHandlers.korvathArrivalCheck.
inline constexpr const char* kArrivalCheckMessage = "korvathArrivalCheck";

// Handles {"gid": "..."} for a task aria2 lists as complete: replies
// {"ok":true,"mismatch":"<Chinese text>"} ("" when the file matches or
// nothing is known of it), or {"ok":false} when the task is not a complete
// one aria2 knows (the page asks again later).
std::string ArrivalCheckReply(const std::string& request_json, const TaskFilesLookup& lookup,
                              StatedSizes& sizes, Desktop& desktop);

}  // namespace korvath
