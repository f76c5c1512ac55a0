// One download per file: a new request for a file that aria2 already holds
// unfinished continues that download instead of starting a twin. A twin
// would take over the same control file while the old entry stays in the
// list, and resuming the old one later makes aria2 write a second copy.
#pragma once

#include <string_view>

#include "engine/download-task.h"
#include "engine/engine-state.h"
#include "platform/desktop.h"
#include "util/text.h"

namespace korvath {

struct SameFileOutcome {
  // How the request was taken:
  //   "changed_links"   a paused or waiting download of the file got the new
  //                     link (aria2.changeUri) and was resumed;
  //   "replaced_failed" failed entries of the file were removed from aria2's
  //                     list; the new task continues from the control file;
  //   "control_file"    aria2 knows no download of the file, but its partial
  //                     file and control file are on disk: the new task
  //                     continues from them;
  //   "second_task"     the file is finished or still downloading: a second
  //                     task, as always;
  //   "new_task"        nothing of the file is known (or aria2 did not say).
  Text way;
  Text gid;                // the download continued ("changed_links"), else ""
  bool continued = false;  // true: no new task is to be created
};

// Looks for downloads into the file `task` names (same directory, same safe
// name; relative directories against `base_dir`, aria2's working directory,
// "" for the current one) and continues a paused or waiting one with
// `task.link`, or clears failed ones away. Records "same_file" {name, way, gid}.
SameFileOutcome ContinueSameFile(Desktop& desktop, const EngineState& state, const DownloadTask& task,
                                 std::string_view base_dir = {});

}  // namespace korvath
