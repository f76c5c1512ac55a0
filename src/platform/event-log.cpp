#include "platform/event-log.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>

#include "util/text.h"

namespace korvath {

struct EventLog::File {
  int fd = -1;
  ~File() {
    if (fd >= 0) ::close(fd);
  }
};

EventLog::EventLog() = default;

EventLog::EventLog(std::string path) : file_(std::make_unique<File>()) {
  file_->fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

EventLog::~EventLog() = default;

bool EventLog::enabled() const { return file_ && file_->fd >= 0; }

std::int64_t MonotonicMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void EventLog::Record(std::string_view event, std::initializer_list<EventField> fields) {
  if (!enabled()) return;
  nlohmann::ordered_json line;
  line["t_ms"] = MonotonicMs();
  line["event"] = std::string(event);
  for (const EventField& field : fields) {
    auto& slot = line[std::string(field.first)];
    std::visit(
        [&slot](const auto& v) {
          using V = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<V, std::string>) {
            slot = GbkToUtf8(v);
          } else {
            slot = v;
          }
        },
        field.second);
  }
  // One write per line, so lines from nested handlers never interleave.
  std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  ssize_t ignored = ::write(file_->fd, text.data(), text.size());
  (void)ignored;
}

}  // namespace korvath
