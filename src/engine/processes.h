// Finding, watching and ending processes by name and id.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/desktop.h"

namespace korvath {

// Id of the first live process whose name equals `name` without regard to the
// case of ASCII letters, or 0. A process's names are its /proc/<pid>/comm and
// the base name of /proc/<pid>/exe. Zombies (already ended, not yet reaped)
// do not count.
int FindProcessByName(std::string_view name);

// Whether `pid` is alive: it exists and is not a zombie.
bool ProcessRunning(int pid);

// The CPU time `pid` has used so far, user and system, in clock ticks;
// nullopt when it is gone or unreadable. A stopped process's does not grow.
std::optional<std::int64_t> ProcessCpuTicks(int pid);

// Sends SIGTERM to `pid` without waiting, so aria2 can save its control
// files, and SIGCONT, so that a stopped process acts on it. True when the
// signal was delivered; false for pid <= 0 or a dead process.
bool TerminateProcessById(int pid);

// SIGKILL, for a process that no longer answers and would not act on SIGTERM.
bool KillProcessById(int pid);

// Waits, handling window events in 100 ms steps, until `pid` has ended
// (collecting its exit when it is our own child) or `limit_ms` has passed.
// True when it ended.
bool WaitForProcessEnd(Desktop& desktop, int pid, int limit_ms);

}  // namespace korvath
