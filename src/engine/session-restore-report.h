// What start-up could not bring back, told to the user once per start: a
// download that silently stays away is a download the user thinks is still
// there.
#pragma once

#include "engine/session-record.h"
#include "platform/desktop.h"

namespace korvath {

enum class RefusedChoice {
  kKeep,    // stay in the record, tried again at the next start
  kForget,  // leave the record; their partial files stay on disk
};

// One box each, only for what happened: a damaged record or damaged entries
// (where the old record was kept), partial files set aside (where each is
// now), and downloads that could not be added again with their reasons. The
// last box asks whether to forget those downloads; keeping them is the
// default for Enter, for closing the box and for automatic answers.
RefusedChoice TellRestoreOutcome(Desktop& desktop, const SessionRestoreResult& result);

}  // namespace korvath
