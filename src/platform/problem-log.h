// The log a user can attach to a problem report: Korvath's warnings and
// errors as dated lines of text, in a file that is replaced by a fresh one
// when it passes a size, the older ones kept as .1, .2, ... up to a count.
// It never holds the RPC secret or cookies: secrets it was told of and
// cookie headers are masked in every line before it is written. Any thread
// may write to it.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace korvath {

class ProblemLog {
 public:
  struct Limits {
    std::size_t max_bytes = 1 << 20;  // a file is rotated before it would pass this
    int kept = 3;                     // rotated files kept beside the current one
  };
  // Writes into `dir`/`name`; `dir` is created (0700) when missing. A path
  // there that is not a regular file (a FIFO, a link) is never opened: the
  // log then stays silent.
  ProblemLog(std::string dir, const std::string& name, Limits limits);
  ProblemLog(std::string dir, const std::string& name) : ProblemLog(std::move(dir), name, Limits{}) {}

  // Masks `secret` in every later line (shorter than 4 bytes it is ignored:
  // masking it would garble ordinary words).
  void TreatAsSecret(const std::string& secret);
  // Appends "<local date and time> <level> <text>\n", rotating first when
  // the line would take the file past its size.
  void Write(std::string_view level, std::string_view text);

  const std::string& path() const { return path_; }
  // `text` with the secrets and cookie values replaced by "[hidden]".
  std::string Masked(std::string_view text) const;

 private:
  void MakeDirectory() const;

  std::string dir_;
  std::string path_;
  Limits limits_;
  // Calls to aria2 are logged from the threads they run on.
  mutable std::mutex mutex_;  // guards secrets_
  std::mutex write_mutex_;
  std::vector<std::string> secrets_;
};

// Moves `path` to `path`.1 (and each older one a number up, dropping the
// one past `kept`).
void RotateLogFile(const std::string& path, int kept);
// Whether the regular file at `path` would pass `max_bytes` with `adding` more.
bool PastSize(const std::string& path, std::size_t adding, std::size_t max_bytes);

// $XDG_STATE_HOME/korvath (~/.local/state/korvath): Korvath's log and
// aria2's; "" when no base directory is known.
std::string LogDirectory();

}  // namespace korvath
