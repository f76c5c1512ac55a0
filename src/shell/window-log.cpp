#include "shell/window-log.h"

namespace korvath {

void LogWindow(EventLog& log, const char* name, const char* action, Rect where) {
  log.Record("window", {{"name", std::string(name)},
                        {"action", std::string(action)},
                        {"left", std::int64_t{where.left}},
                        {"top", std::int64_t{where.top}}});
}

}  // namespace korvath
