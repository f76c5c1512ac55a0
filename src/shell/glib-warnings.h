// GLib's, GTK's and WebKit's own warnings in this process, which the event
// stream never sees, added to the problem log.
#pragma once

#include <memory>

namespace korvath {

class ProblemLog;

// From now on every warning, critical and error logged through GLib is also
// written to `problems` (which lives on until the process ends); GLib still
// prints it as before. Once per process.
void ForwardGlibWarnings(std::shared_ptr<ProblemLog> problems);

}  // namespace korvath
