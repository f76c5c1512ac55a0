// Supplying, launching and finding aria2 at start-up.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/aria2-home.h"
#include "engine/engine-state.h"
#include "platform/desktop.h"
#include "util/text.h"

namespace korvath {

struct StartAria2Params {
  // The cookie text; EngineState::cookie_header becomes "Cookie: " + cookie.
  Text cookie;
  // Where aria2c.exe and aria2.conf are written: the program's own directory
  // (the directory of /proc/self/exe); tests pass a temporary directory.
  std::string program_dir;
  // The aria2 program copied to <program_dir>/aria2c.exe; absent: FindAria2Program().
  std::optional<std::string> aria2_program;
  // Where aria2's own output goes; absent: /dev/null, or log_file when set.
  std::optional<std::string> output_log;
  // aria2's log file (its "log" option, at level warn unless aria2.conf or
  // the download manager sets another); absent: aria2 keeps no log.
  std::optional<std::string> log_file;
  // The secret to start aria2 with; absent: a fresh one. A restart keeps the
  // old one, so that the open manager page goes on talking to aria2.
  std::optional<std::string> rpc_secret;
  // The RPC port aria2 listens on.
  int port = 6800;
  // How long an aria2c.exe left from an earlier run is given to end after
  // SIGTERM before its file is written over regardless.
  int earlier_aria2_end_limit_ms = 5000;
  // When set, another program on the port is told here, for the caller to
  // ask the user what to do, instead of in a message box.
  std::function<void(const std::vector<PortListener>& holders)> port_held;
};

// Warns about a running "Dravenet.exe", ends an aria2c.exe left from an
// earlier run, copies the aria2 program to <program_dir>/aria2c.exe (up to 11
// tries while the file is busy), writes aria2.conf when missing, launches
// aria2 in the current directory (downloads land in ./ZorbitDravenet) with a
// fresh RPC secret, and waits until that process of ours runs (a process of
// the same name that is not ours never counts).
// A program directory that refuses writes moves both files to UserDataDir()
// (the first time with a message saying where); a full disk, or another
// program listening on the RPC port (named in the message), ends start-up
// with their own message before anything is sent to that port. Our aria2 is
// watched until it listens (1 s at most): one that ends at once, refusing a
// setting in aria2.conf, is reported with its exit code and the file's path.
// Fills `state` (cookie_header, rpc_port, rpc_secret, aria2_pid).
// On failure a message box has been shown and the result is false.
// The secret reaches aria2 only through a per-run copy of aria2.conf (mode
// 0600, in $XDG_RUNTIME_DIR or beside aria2.conf) that ends with it; that
// copy is removed once aria2 listens or has failed to start.
// Records "aria2_started" {pid, argv}; the argv holds no secret.
bool StartAria2(Desktop& desktop, EngineState& state, const StartAria2Params& params);

// The aria2 program to supply: $KORVATH_ARIA2C when set and non-empty,
// otherwise "aria2c" found on $PATH; nullopt when neither exists.
std::optional<std::string> FindAria2Program();

// The parameters aria2 is started with, as an argument list (without the
// program itself): the fixed options with --conf-path=<conf_path>. The
// secret is never among them.
std::vector<std::string> Aria2Arguments(const EngineState& state, const std::string& conf_path);

}  // namespace korvath
