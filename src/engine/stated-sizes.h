// What the share page said each download's size was, from the click until
// the download finishes, also across restarts: the page is long gone when a
// download of hours ends, and a download restored from the session record
// has a new gid, so sizes are kept by the file's path.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/arrival-check.h"
#include "engine/file-size-text.h"
#include "platform/desktop.h"
#include "util/text.h"

namespace korvath {

// korvath/stated-sizes.json in XdgStateHome(); "" when there is none.
std::string StatedSizesPath();

class StatedSizes {
 public:
  // The most files kept: sizes of downloads removed unfinished are never
  // asked for, and the oldest give way.
  static constexpr std::size_t kMaxFiles = 500;

  // `record_path` keeps the sizes across restarts (read now, rewritten on
  // every change); "": this run only. A record that cannot be read is
  // ignored: a size not known only means a download is not checked.
  explicit StatedSizes(std::string record_path);

  // The page's size for the file at `file_path` (absolute, UTF-8),
  // replacing an earlier one; Forget drops it again.
  void Remember(const std::string& file_path, const StatedSize& size);
  void Forget(const std::string& file_path);

  // The verdict on finished task `gid` whose file is `file_path`: worked out
  // at the first question and kept for this run (the notice and the manager
  // both ask), the page's size then forgotten. Without a known size, or when
  // the file cannot be read, the file matches. Records "arrival_checked"
  // {gid, path, stated, got, kind} when a size was known.
  ArrivalVerdict Verdict(Desktop& desktop, const Text& gid, const std::string& file_path);

 private:
  void Save() const;

  std::string record_path_;
  std::vector<std::pair<std::string, Text>> sizes_;  // path, size as shown; oldest first
  std::map<Text, ArrivalVerdict> verdicts_;
};

}  // namespace korvath
