// Which downloads finished or failed since the last look: the knowledge
// behind the desktop notices, kept apart from the desktop.
#pragma once

#include <set>
#include <string_view>
#include <vector>

#include "engine/engine-state.h"
#include "engine/stated-sizes.h"
#include "engine/task-status.h"
#include "platform/desktop.h"
#include "util/text.h"

namespace korvath {

// Texts are system text.
struct FinishedDownload {
  Text gid;
  bool ok = false;  // complete with its file there; false: failed, or the file is gone
  Text name;        // TaskDisplayName
  Text folder;      // the folder the file is in (else the task's directory), absolute
  Text error;       // ExplainDownloadFailure of aria2's error, or why the file is gone; "" when ok
  // Complete, but not the file the share page described (the verdict's
  // text); "" otherwise.
  Text mismatch;
  // Complete with a size the page's rounded figure allows, from a server
  // that sent no length: it may be cut short (the verdict's text); "" otherwise.
  Text unconfirmed;
};

class FinishedDownloadWatch {
 public:
  // `base_dir` is aria2's working directory (a file-system path), against
  // which relative task directories are resolved. With `stated`, each
  // completed file is compared with what its share page said.
  explicit FinishedDownloadWatch(std::string base_dir, StatedSizes* stated = nullptr)
      : base_dir_(std::move(base_dir)), stated_(stated) {}

  // Asks aria2.tellStopped and returns each task that completed or failed
  // since the previous look, once. The first successful look only learns
  // what had stopped before: those tasks are not this run's news. Removed
  // tasks are never reported. When aria2 does not answer, nothing is learnt.
  std::vector<FinishedDownload> Look(Desktop& desktop, const EngineState& state);

  // The same from aria2's stopped tasks as someone else read them (a task
  // store), oldest first: the first call only learns them.
  std::vector<FinishedDownload> Take(Desktop& desktop, const std::vector<Aria2Task>& stopped);

  // While a download clicked in this run has yet to show whether its server
  // sent a length, or to be seen writing its file
  // (StatedSizes::AwaitingFirstLook): asks aria2.tellActive and tells the
  // stated sizes what each such download shows. Nothing otherwise.
  void LookAtLengths(Desktop& desktop, const EngineState& state);

  bool primed() const { return primed_; }
  // Whether aria2 answered the last look.
  bool answered() const { return answered_; }

 private:
  std::string base_dir_;
  StatedSizes* stated_;
  bool primed_ = false;
  bool answered_ = false;
  std::set<Text> seen_;
};

}  // namespace korvath
