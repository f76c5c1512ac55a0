// Downloads that were running when aria2 ended by itself go on once it is
// back. The record adds those it saw running or waiting unpaused; this also
// catches a record written before it knew that.
#pragma once

#include <string_view>
#include <vector>

#include "engine/engine-state.h"
#include "engine/session-record.h"
#include "platform/desktop.h"

namespace korvath {

// The recorded tasks aria2 was fetching or about to fetch ("active",
// "waiting") when the record was last written.
std::vector<SessionTask> InterruptedTasks(const std::vector<SessionTask>& recorded);

// After RestoreSessionRecord: each paused task in aria2 that is one of
// `interrupted` (same folder, against `base_dir`, aria2's working directory as
// a file-system path, and same first address) is
// unpaused, each at most once; the others stay paused. Records
// "download_continued" {gid, out} for each. Returns how many continue.
int ContinueInterruptedDownloads(Desktop& desktop, const EngineState& state,
                                 const std::vector<SessionTask>& interrupted, std::string_view base_dir);

}  // namespace korvath
