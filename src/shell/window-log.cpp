// The "window" event every window records when it opens, moves, is raised
// or closes.
#include "shell/shell.h"

namespace korvath {

void Shell::LogWindow(const char* name, const char* action, Rect where) {
  desktop.Log().Record("window", {{"name", std::string(name)},
                                  {"action", std::string(action)},
                                  {"left", std::int64_t{where.left}},
                                  {"top", std::int64_t{where.top}}});
}

}  // namespace korvath
