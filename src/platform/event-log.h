// Append-only JSON-lines log of what Korvath does (KORVATH_EVENT_LOG=FILE).
// Tests and benchmarks read it to check orders and timings; with no file set
// every call is a cheap no-op.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "util/text.h"

namespace korvath {

class ProblemLog;

// A Text is written as UTF-8; a std::string already is UTF-8.
using EventValue = std::variant<Text, std::string, std::int64_t, bool, double>;
using EventField = std::pair<std::string_view, EventValue>;

class EventLog {
 public:
  EventLog();  // logs nothing
  // Appends to `path`, created (or narrowed to) mode 0600; a symbolic link
  // there is refused, and the log then stays off with a line on stderr.
  explicit EventLog(const std::string& path);
  ~EventLog();
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  bool enabled() const;
  // From now on the events that tell of a problem (a failed call, a refused
  // task, an error box...) also go, as text, to `problems`.
  void KeepProblemsIn(std::shared_ptr<ProblemLog> problems);
  // Masked wherever problems are written; the event log itself never
  // receives it.
  void TreatAsSecret(const std::string& secret);
  // Writes {"t_ms": <monotonic ms>, "event": <event>, ...fields} as one line.
  // Text fields are system text and are written as UTF-8; std::string fields
  // are UTF-8 and written as they are.
  void Record(std::string_view event, std::initializer_list<EventField> fields = {});
  // The same with a time taken earlier, for what happened before the log
  // could be opened (the first line of main).
  void RecordAt(std::int64_t t_ms, std::string_view event, std::initializer_list<EventField> fields = {});

 private:
  struct File;
  std::unique_ptr<File> file_;
  std::shared_ptr<ProblemLog> problems_;
};

// "error", "warning", or "" for an event that tells of no problem.
std::string_view ProblemLevel(std::string_view event, std::initializer_list<EventField> fields);

// Milliseconds on the monotonic clock, the same clock as the log's t_ms.
std::int64_t MonotonicMs();

}  // namespace korvath
