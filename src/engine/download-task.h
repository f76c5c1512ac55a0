// Turning one recognised download request into one aria2 task.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/aria2-request.h"
#include "engine/engine-state.h"
#include "engine/free-name.h"
#include "platform/desktop.h"
#include "util/text.h"

namespace korvath {

// All fields are system text.
struct DownloadTask {
  Text name;  // file name to save under; may be empty (aria2 then names it)
  Text link;  // the address exactly as the page requested it
  Text dir;   // relative to aria2's working directory ("ZorbitDravenet") or absolute; "": aria2's own
  // What aria2 does with a file it finds under the name when it comes to
  // open it, which for a queued download may be long after the click.
  enum class AtName {
    // Continues it: the download goes on from a partial file whose control
    // file vouches for it (the global "continue").
    kContinue,
    // Saves beside it under a name of aria2's own ("name.1.ext"): the name
    // could not be checked against the folder (aria2 names the file, or the
    // files are on another machine).
    kRename,
    // Fails the task and leaves it alone: the name was free at the click and
    // is held for this download, so anything there later is not its file.
    kRefuse,
  };
  AtName at_name = AtName::kContinue;
};

// Sets the options that make aria2 treat a file found under the name as
// `at_name` says (kContinue sets nothing: the global options continue).
void SetAtNameOptions(Aria2Options& options, DownloadTask::AtName at_name);

// The aria2.addUri body for `task`: every value JSON-escaped, name and dir in
// UTF-8, the name made safe to be a single file name inside dir.
std::string DownloadTaskBody(const EngineState& state, const DownloadTask& task);

// With unlimited tries aria2 tries a refused connection again at once and for
// ever, a whole core busy per task while the network is down (its retry-wait
// spaces out only answers of 503). Bounded, the task fails within a second
// with its reason, and UnreachableRetry tries it again after growing waits.
inline constexpr std::int64_t kTaskTries = 5;

// The options every task Korvath adds carries: "dir", the cookie header of
// `state` as "header", "max-tries" and "out", in that order.
Aria2Options TaskOptions(const EngineState& state, std::string_view dir_utf8, std::string_view out_utf8);

// The name as aria2 gets it (UTF-8): "/" and "\" become "_", control
// characters are dropped, "." and ".." become "". A name longer than
// kMaxSavedNameBytes is cut on a character boundary, its extension kept, so
// that its control file's name still fits.
std::string SafeFileName(std::string_view name_utf8);

// Sends aria2.addUri. True when aria2's reply has a non-empty "result" (the
// gid); otherwise a message box has been shown (for a remote aria2 that
// could not be used, RemoteFailureMessage). Records "task_created"
// {name, gid} or "task_failed" {name}.
bool CreateDownloadTask(Desktop& desktop, const EngineState& state, const DownloadTask& task);

}  // namespace korvath
