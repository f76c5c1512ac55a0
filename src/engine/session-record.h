// Korvath's own record of unfinished downloads, so they survive a restart:
// aria2 forgets its task list when it is ended, but keeps each partial file
// and its control file, from which a re-added task continues.
//
// The record is $XDG_STATE_HOME/korvath/session.json, UTF-8:
//   {"version":1,"tasks":[{"uris":[...],"dir":"/abs/dir","out":"name","state":"paused","length":8388608}]}
// A task that could not be added again at the last start keeps its entry,
// with "refused": why, so that it is tried again at the next start instead of
// being lost. "length" (the whole file's size once aria2 knew it) and "gid"
// let a download aria2 told complete be marked "complete" at once: when aria2
// ends before the next look, the next start knows the file for finished.
// "kind" ("torrent", "metalink", "magnet"; absent for plain addresses) says
// how the task is added back: for a torrent or metalink the one address is
// Korvath's copy of its file, and "select" the files the user chose. A list
// "finished" beside "tasks" keeps downloads that completed, newest last, so
// the manager still lists them after a restart.
// Older readers ignore these fields.
// It never holds the cookie header or the RPC secret: both are taken from the
// engine state of the run that adds the tasks again.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine-state.h"
#include "engine/session-metadata.h"
#include "engine/task-status.h"
#include "platform/desktop.h"
#include "util/file-io.h"  // WriteFileAtomically, which writes the record
#include "util/text.h"

namespace korvath {

// One unfinished task. Texts are system text.
struct SessionTask {
  std::vector<Text> uris;
  Text dir;      // absolute
  Text out;      // the file name inside dir; "" lets aria2 name it again
  Text state;    // aria2's status when it was recorded: "active", "waiting", "paused" or "error"
  Text refused;  // why it could not be added again at the last start (aria2's reason); "" when it was
  std::int64_t length = 0;  // the whole file's size; 0 while unknown
  Text gid;                 // aria2's id in the run that recorded it; "" when not known yet
  Text kind;                // "" plain addresses; "torrent" or "metalink": uris[0] is the kept file; "magnet"
  Text select;              // aria2's select-file of a torrent or metalink; "" all files
};

// Where Korvath keeps copies of torrent and metalink files it must add back.
std::string MetadataFolder();

// The record's two lists.
struct SessionLists {
  std::vector<SessionTask> tasks;     // unfinished, in aria2's order
  std::vector<SessionTask> finished;  // completed, oldest first
};

// `finished` with `more` added (a download already there by gid or file
// replaced), the oldest dropped beyond `keep`.
void KeepFinished(std::vector<SessionTask>& finished, const std::vector<SessionTask>& more, int keep);

// Whether `a` and `b` are downloads into the same file.
bool SameTarget(const SessionTask& a, const SessionTask& b);

// korvath/session.json in XdgStateHome(); "" when there is none. Each aria2
// target has its own record, so tasks of one are never restored into another:
// the local aria2 (rpc_url "") session.json, a remote one
// session-<16 hex digits of its address's hash>.json beside it.
std::string SessionRecordPath(std::string_view rpc_url = {});

// The record's text (UTF-8) for `tasks`, and back. Reading fails (nullopt)
// for anything that is not a record of this version; inside one, an entry
// that is not a whole task is skipped and counted, so that one damaged entry
// never costs the others.
std::string SessionRecordText(const std::vector<SessionTask>& tasks,
                              const std::vector<SessionTask>& finished = {});
struct ParsedSessionRecord {
  std::vector<SessionTask> tasks;
  std::vector<SessionTask> finished;
  int bad_entries = 0;
};
std::optional<ParsedSessionRecord> ParseSessionRecord(std::string_view text_utf8);

// `listed` (what aria2 has unfinished) followed by the `held` tasks that
// could not be added again at start-up. A held task that aria2 now lists
// (the user added it again) leaves `held` for good.
std::vector<SessionTask> WithHeldTasks(std::vector<SessionTask> listed, std::vector<SessionTask>& held);

// The body that adds `task` again: aria2.addUri in the form of
// CreateDownloadTask (escaped values, the secret, the cookie header of
// `state`, the bounded tries, a safe name) plus "continue"; for a torrent or
// metalink aria2.addTorrent / aria2.addMetalink with `metadata` (the kept
// file's bytes), its folder, chosen files and a check of what is on disk.
// Paused unless it was running or waiting when recorded: a download the user
// paused stays paused. A named download with `nothing_on_disk` (neither file
// nor control file) gets the options that make aria2 refuse a file found
// under the name instead of "continue".
std::string RestoreTaskBody(const EngineState& state, const SessionTask& task, std::string_view metadata = {},
                            bool nothing_on_disk = false);

// Every task aria2 has not finished (active, waiting, paused, failed), in the
// order aria2 lists them, each once; directories made absolute against
// `base_dir` (aria2's working directory). nullopt when aria2 does not answer
// all three list questions: a partial answer would drop tasks.
// Torrents, metalinks and magnets are taken from aria2's own session file
// (written for the moment into `scratch`), whose address for a torrent or
// metalink is the file aria2 kept of it; that file is copied to
// MetadataFolder(). With `finished`, the completed tasks aria2 lists are put
// there, newest last.
std::optional<std::vector<SessionTask>> ListUnfinishedTasks(Desktop& desktop, const EngineState& state,
                                                            std::string_view base_dir,
                                                            std::vector<SessionTask>* finished = nullptr);

// What the record needs of a task that aria2's status does not say: its
// file's name while aria2 has no path for it (its "out" option), and what a
// torrent, metalink or magnet is added back from. Absent: "" and nothing
// (such a task is left out of the record).
struct TaskSources {
  std::function<Text(const Aria2Task&)> out;
  std::function<MetadataSource(const Aria2Task&)> made;
};

// The record's entries for aria2's `tasks`, given in aria2's order (active,
// waiting, stopped oldest first): every unfinished one once, directories
// made absolute against `base_dir`; with `finished`, the completed ones are
// put there in the same order. ListUnfinishedTasks without the asking.
std::vector<SessionTask> SessionTasksOf(const std::vector<Aria2Task>& tasks, std::string_view base_dir,
                                        const TaskSources& sources,
                                        std::vector<SessionTask>* finished = nullptr);

// Asks aria2 for every task that is not finished (active, waiting, paused,
// failed) and writes them, with the `held` tasks, to `path`. Relative
// directories are recorded against `base_dir` (aria2's working directory, a
// file-system path). When aria2 does not answer all three questions the old
// record stays as it is. Records "session_saved" {count, reason: "shutdown"}
// or "session_not_saved" {reason}.
struct SessionSaveResult {
  bool saved = false;
  int count = 0;
};
// `before`: the tasks as listed before the shut-down paused them; their
// states are the ones recorded, so that a pause of Korvath's own does not
// pass for the user's. `finished`, with what aria2 lists as complete, is kept
// up to `keep_finished`.
struct SessionSaveExtras {
  std::vector<SessionTask> held;
  std::vector<SessionTask> finished;
  int keep_finished = 0;
  std::optional<std::vector<SessionTask>> before;
};
SessionSaveResult SaveSessionRecord(Desktop& desktop, const EngineState& state, const std::string& path,
                                    std::string_view base_dir, SessionSaveExtras extras = {});

// A partial file that could not be continued, moved out of its download's way.
struct SetAsideFile {
  std::string path;     // where the download goes (UTF-8)
  std::string kept_as;  // where the old partial file is now; "" when there was none, only a bad control file
};

// Adds every recorded task again, except the finished ones: those that were
// running or waiting in their order, to run again, the others paused. Each task's partial file is looked
// at first: one that aria2 would take as done without holding the bytes (no
// control file, a damaged one, or one promising more than the file holds) is
// renamed to a free name beside it, and the download starts from byte 0.
// A record that cannot be read, or has unreadable entries, is kept as it was
// under the first free name of `path` + ".bad", ".bad-2", …, and the readable
// entries are restored. Records "session_record_bad" {reason, bad_entries,
// kept}, "partial_file_set_aside" {path, kept_as}, "session_task_refused"
// {out, reason} and "session_restored" {count, failed}. Shows no message box:
// TellRestoreOutcome does.
struct SessionRestoreResult {
  int restored = 0;
  int failed = 0;
  bool bad_record = false;  // nothing in the record could be read
  int bad_entries = 0;      // entries skipped in a record that could be read
  std::string kept_aside;   // where the damaged record's text now is (UTF-8); "" when none
  // The tasks that could not be added again, each with its reason: they stay
  // in the record (SessionKeeper's held tasks) and are tried at the next start.
  std::vector<SessionTask> refused;
  std::vector<SetAsideFile> set_aside;
  // Recorded downloads aria2 told complete before it ended, whose file is
  // there whole (its recorded length, no control file): not added again,
  // never set aside, to be announced as finished. A file of the whole length
  // without a control file is not enough alone: a preallocated partial file
  // whose control file was lost looks the same.
  std::vector<SessionTask> finished;
  // The record's kept list of completed downloads.
  std::vector<SessionTask> kept_finished;
  // What each task added back holds on disk, by its new gid: aria2 says
  // nothing of a paused task until it runs.
  struct Size {
    std::int64_t total = 0;
    std::int64_t completed = 0;
  };
  std::vector<std::pair<Text, Size>> sizes;
};
// With `places`, a task whose folder or file is not the one its download
// began in as recorded there (StatedSizes::PlaceOf, ChangeOfPlace) is
// refused before anything there is looked at, set aside or written.
class StatedSizes;
SessionRestoreResult RestoreSessionRecord(Desktop& desktop, const EngineState& state, const std::string& path,
                                          const StatedSizes* places = nullptr);

}  // namespace korvath
