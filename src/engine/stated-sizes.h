// What the share page said each download's size was, from the click until
// the download finishes, also across restarts: the page is long gone when a
// download of hours ends, and a download restored from the session record
// has a new gid, so sizes are kept by the file's path. Beside each size, the
// folder and file the download began in (DownloadPlace), so that the check
// at the end and a later continue reach that file and no other.
#pragma once

#include <map>
#include <optional>
#include <set>
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

  // What the page said of the download into `file_path` (absolute, UTF-8):
  // its size, or nullopt when it stated none; replaces an earlier word on
  // the same file. Forget drops it again. The folder there now is the
  // download's; a download that `continues` the file there keeps the place
  // it began in, any other starts afresh.
  void Remember(const std::string& file_path, const std::optional<StatedSize>& size, bool continues = false);
  void Forget(const std::string& file_path);

  // The size remembered for `file_path`, if a page stated one.
  std::optional<StatedSize> KnownSize(const std::string& file_path) const;

  // Whether a download remembered in this run with a stated size has yet to
  // show whether its server sent a length.
  bool AwaitingLength() const { return !awaiting_length_.empty(); }
  // Whether that, or a download remembered in this run has yet to be seen
  // writing its file (NoteWriting).
  bool AwaitingFirstLook() const { return AwaitingLength() || !awaiting_place_.empty(); }
  // aria2 has written into `file_path`: the folder and file there are the
  // download's from now on, unless the folder is no longer the one
  // remembered at the click (the check at the end then tells so).
  void NoteWriting(const std::string& file_path);
  // The place remembered for `file_path`; nullopt when it is not known.
  std::optional<DownloadPlace> PlaceOf(const std::string& file_path) const;
  // aria2 is downloading into `file_path` and knows its length
  // (`server_sent_length`) or does not. Heard only for a download awaiting
  // it; a file without a length is checked "unconfirmed" rather than
  // matching when its size agrees only within the page's rounding.
  void NoteLength(const std::string& file_path, bool server_sent_length);

  // The verdict on finished task `gid` whose file is `file_path`: worked out
  // at the first question and kept for this run (the notice and the manager
  // both ask), the page's word then forgotten. A file a page described is
  // checked in full (CheckArrivedFile) in the place it began in, and found
  // "moved" when the path leads elsewhere; any other only for being there, since
  // the user may have added it by hand and it may be anything. Records
  // "arrival_checked" {gid, path, stated, got, length_unknown, kind} unless the file is an
  // unknown one that is there.
  ArrivalVerdict Verdict(Desktop& desktop, const Text& gid, const std::string& file_path);

 private:
  void Save() const;

  std::string record_path_;
  struct Entry {
    std::string path;
    Text shown;  // the size as the page showed it; "": none
    DownloadPlace place;
  };
  std::vector<Entry>::iterator Find(const std::string& key);
  std::vector<Entry>::const_iterator Find(const std::string& key) const;

  std::vector<Entry> sizes_;  // oldest first
  std::map<Text, ArrivalVerdict> verdicts_;
  // This run only: a download continued after a restart is asked again.
  std::set<std::string> awaiting_length_;
  std::set<std::string> lengthless_;
  std::set<std::string> awaiting_place_;
};

}  // namespace korvath
