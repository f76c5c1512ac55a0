#include "platform/event-log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "platform/problem-log.h"
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

EventLog::EventLog(const std::string& path) : file_(std::make_unique<File>()) {
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

void EventLog::KeepProblemsIn(std::shared_ptr<ProblemLog> problems) { problems_ = std::move(problems); }

void EventLog::TreatAsSecret(const std::string& secret) {
  if (problems_) problems_->TreatAsSecret(secret);
}

namespace {

const EventValue* Field(std::initializer_list<EventField> fields, std::string_view name) {
  for (const EventField& field : fields)
    if (field.first == name) return &field.second;
  return nullptr;
}

}  // namespace

std::string_view ProblemLevel(std::string_view event, std::initializer_list<EventField> fields) {
  if (event == "message_box") {
    const EventValue* flags = Field(fields, "flags");
    const std::int64_t icon =
        flags && std::holds_alternative<std::int64_t>(*flags) ? std::get<std::int64_t>(*flags) & 0xF0 : 0;
    return icon == 16 ? "error" : icon == 48 ? "warning" : "";
  }
  if (event == "rpc") {
    const EventValue* ok = Field(fields, "ok");
    return ok && std::holds_alternative<bool>(*ok) && !std::get<bool>(*ok) ? "warning" : "";
  }
  if (event == "aria2_ended") {
    // Ended by our own shut-down it is no problem.
    const EventValue* closing = Field(fields, "shutting_down");
    return closing && std::holds_alternative<bool>(*closing) && std::get<bool>(*closing) ? "" : "warning";
  }
  static constexpr std::string_view kWarnings[] = {
      "aria2_hung",           "aria2_killed",         "aria2_port_held",
      "aria2_restart_failed", "aria2_unanswered",     "download_notices_unavailable",
      "intake_dropped",       "open_folder_refused",  "partial_file_set_aside",
      "print_refused",        "retry_given_up",       "session_not_saved",
      "session_record_bad",   "session_task_refused", "task_failed",
      "task_refused",         "aria2_log_refused",
  };
  for (std::string_view warning : kWarnings)
    if (event == warning) return "warning";
  return "";
}

std::int64_t MonotonicMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void EventLog::Record(std::string_view event, std::initializer_list<EventField> fields) {
  if (enabled() || problems_) RecordAt(MonotonicMs(), event, fields);
}

void EventLog::RecordAt(std::int64_t t_ms, std::string_view event, std::initializer_list<EventField> fields) {
  const std::string_view level = problems_ ? ProblemLevel(event, fields) : "";
  if (!enabled() && level.empty()) return;
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
  std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  if (!level.empty()) {
    nlohmann::ordered_json details = line;
    details.erase("t_ms");
    details.erase("event");
    problems_->Write(level, std::string(event) + " " +
                                details.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  }
  if (!enabled()) return;
  // One write per line, so lines from nested handlers never interleave.
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
