#include "platform/event-log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "util/file-io.h"
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
  // The log names every download link and file: it is the user's alone, and
  // a link planted at its path must not send it somewhere else.
  file_->fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (file_->fd < 0) {
    std::fprintf(stderr, "korvath: event log %s not opened: %s\n", path.c_str(), std::strerror(errno));
    return;
  }
  // A log left by an older version may still be readable by everyone.
  struct stat info {};
  if (::fstat(file_->fd, &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & 077) != 0)
    ::fchmod(file_->fd, 0600);
}

EventLog::~EventLog() = default;

bool EventLog::enabled() const { return file_ && file_->fd >= 0; }

std::int64_t MonotonicMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void EventLog::Record(std::string_view event, std::initializer_list<EventField> fields) {
  if (enabled()) RecordAt(MonotonicMs(), event, fields);
}

void EventLog::RecordAt(std::int64_t t_ms, std::string_view event, std::initializer_list<EventField> fields) {
  if (!enabled()) return;
  nlohmann::ordered_json line;
  line["t_ms"] = t_ms;
  line["event"] = std::string(event);
  for (const EventField& field : fields) {
    auto& slot = line[std::string(field.first)];
    std::visit(
        [&slot](const auto& v) {
          using V = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<V, Text>) {
            slot = GbkToUtf8(v);
          } else {
            slot = v;
          }
        },
        field.second);
  }
  // One write per line, so lines from nested handlers never interleave.
  std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  const std::size_t taken = WriteAll(file_->fd, text).written;
  if (taken > 0 && taken < text.size()) {
    // A full disk took only part of the line; left there, the next line
    // would be joined to it and both lost to a reader. The file ends where
    // the line began again (O_APPEND leaves the offset at the end).
    const off_t end = ::lseek(file_->fd, 0, SEEK_CUR);
    const off_t written = static_cast<off_t>(taken);
    if (end >= written) {
      int ignored = ::ftruncate(file_->fd, end - written);
      (void)ignored;
    }
  }
}

}  // namespace korvath
