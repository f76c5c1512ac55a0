// One file, one download, decided before a task is made. A request for a
// file that aria2 holds unfinished continues that download; a request for a
// file that is downloading right now makes nothing; anything else is another
// file, saved under a name nobody owns. aria2 itself would take the existing
// file over: it appends to it, writes over it, or calls it done unread.
// Which file a request is for, its link says (SameStoredFile): two shares'
// files of one name and one size are still two files.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "engine/download-task.h"
#include "engine/engine-state.h"
#include "engine/file-size-text.h"
#include "engine/session-record.h"
#include "engine/stated-sizes.h"
#include "platform/desktop.h"
#include "util/text.h"

namespace korvath {

struct SameFileOutcome {
  // How the request was taken:
  //   "changed_links"   a paused or waiting download of the file got the new
  //                     link (aria2.changeUri) and was resumed;
  //   "downloading"     the file is downloading right now: nothing to do;
  //   "replaced_failed" failed entries of the file were removed from aria2's
  //                     list; the new task continues from the control file;
  //   "control_file"    aria2 knows no download of the file, but its partial
  //                     file and a control file that fits it are on disk:
  //                     the new task continues from them;
  //   "free_name"       the name belongs to another file (finished, another
  //                     size, another link, a download whose link is not
  //                     known, a file-system link): the new task takes the
  //                     first free numbered name;
  //   "new_task"        nothing holds the name (or aria2 did not say);
  //   "folder_changed"  the download would continue, but its folder is not
  //                     the one it began in (or is a link nothing vouches
  //                     for): no task is made, nothing there is written;
  //   "no_free_name"    every numbered name is taken: no task is made.
  Text way;
  Text gid;                // the download continued or running, else ""
  bool continued = false;  // true: no new task is to be created
  Text name;               // system text: the name a new task is saved under
  // What the new task's aria2 does with a file it finds under the name:
  // kRefuse for a name found free here (held for this download until aria2
  // opens it), kRename where the folder could not be looked at, kContinue
  // for a partial file that is this download's.
  DownloadTask::AtName at_name = DownloadTask::AtName::kContinue;
};

struct SameFileQuestion {
  // What the page states of the file's size; nullopt: it states none, and a
  // download under the name counts as the same file.
  std::optional<StatedSize> stated;
  // Earlier pages' sizes, for a download whose length aria2 does not know
  // yet, and the places downloads began in: one continues only there.
  const StatedSizes* known_sizes = nullptr;
  // aria2's working directory, against which relative directories count;
  // "": the current one.
  std::string_view base_dir;
  // The files are on this machine (a local aria2): the disk is looked at too.
  bool local_files = true;
  // Korvath's record of unfinished downloads, for the link of a partial file
  // aria2 no longer lists; none: such a file is never continued.
  const std::vector<SessionTask>* recorded = nullptr;
};

// Looks at what holds the name `task` would be saved under (aria2's lists
// and, for local files, the disk) and at each numbered name after it, in
// order, until one is the same file or free. A download, or a partial file
// Korvath recorded, is the same file only when its links fetch the file
// `task.link` fetches. A paused or waiting download of the same file is
// continued with `task.link`; failed entries of it are cleared away.
// Records "same_file" {name, way, gid, saved}.
SameFileOutcome ContinueSameFile(Desktop& desktop, const EngineState& state, const DownloadTask& task,
                                 const SameFileQuestion& question = {});

}  // namespace korvath
