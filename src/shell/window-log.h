// The "window" event every window records when it opens, moves, is raised
// or closes.
#pragma once

#include "platform/event-log.h"
#include "shell/window-geometry.h"

namespace korvath {

void LogWindow(EventLog& log, const char* name, const char* action, Rect where);

}  // namespace korvath
