// Korvath's own record of unfinished downloads, so they survive a restart:
// aria2 forgets its task list when it is ended, but keeps each partial file
// and its control file, from which a re-added task continues.
//
// The record is $XDG_STATE_HOME/korvath/session.json, UTF-8:
//   {"version":1,"tasks":[{"uris":[...],"dir":"/abs/dir","out":"name","state":"paused"}]}
// It never holds the cookie header or the RPC secret: both are taken from the
// engine state of the run that adds the tasks again.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine-state.h"
#include "platform/desktop.h"
#include "util/file-io.h"  // WriteFileAtomically, which writes the record
#include "util/text.h"

namespace korvath {

// One unfinished task. Texts are system text.
struct SessionTask {
  std::vector<Text> uris;
  Text dir;    // absolute
  Text out;    // the file name inside dir; "" lets aria2 name it again
  Text state;  // aria2's status when it was recorded: "active", "waiting", "paused" or "error"
};

// korvath/session.json in XdgStateHome(); "" when there is none. Each aria2
// target has its own record, so tasks of one are never restored into another:
// the local aria2 (rpc_url "") session.json, a remote one
// session-<16 hex digits of its address's hash>.json beside it.
std::string SessionRecordPath(std::string_view rpc_url = {});

// The record's text (UTF-8) for `tasks`, and back. Reading fails (nullopt)
// for anything that is not a record of this version, so a damaged file is
// never half applied.
std::string SessionRecordText(const std::vector<SessionTask>& tasks);
std::optional<std::vector<SessionTask>> ParseSessionRecord(std::string_view text_utf8);

// The aria2.addUri body that adds `task` again, paused: the form of
// CreateDownloadTask (escaped values, the secret, the cookie header of
// `state`, "max-tries" "0", a safe name) plus "pause" and "continue".
Text RestoreTaskBody(const EngineState& state, const SessionTask& task);

// Every task aria2 has not finished (active, waiting, paused, failed), in the
// order aria2 lists them, each once; directories made absolute against
// `base_dir` (aria2's working directory). nullopt when aria2 does not answer
// all three list questions: a partial answer would drop tasks.
std::optional<std::vector<SessionTask>> ListUnfinishedTasks(Desktop& desktop, const EngineState& state,
                                                           std::string_view base_dir);

// Asks aria2 for every task that is not finished (active, waiting, paused,
// failed) and writes them to `path`. Relative directories are recorded
// against `base_dir` (aria2's working directory, a file-system path). When aria2 does not answer
// all three questions the old record stays as it is. Records "session_saved"
// {count, reason: "shutdown"} or "session_not_saved" {reason}.
struct SessionSaveResult {
  bool saved = false;
  int count = 0;
};
SessionSaveResult SaveSessionRecord(Desktop& desktop, const EngineState& state, const std::string& path,
                                    std::string_view base_dir);

// Adds every recorded task again, paused. A record that cannot be read is
// renamed to `path` + ".bad" and reported as "session_record_bad" {reason};
// no message box either way. Records "session_restored" {count, failed}.
struct SessionRestoreResult {
  int restored = 0;
  int failed = 0;
  bool bad_record = false;
};
SessionRestoreResult RestoreSessionRecord(Desktop& desktop, const EngineState& state, const std::string& path);

}  // namespace korvath
