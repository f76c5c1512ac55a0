// Where aria2's program and settings can be written, and who else holds the
// port aria2 must listen on. Start-up uses these so that a read-only program
// directory, a full disk or a stranger on port 6800 each get their own clear
// message instead of a wrong one (or options and secret sent to a stranger).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "util/text.h"

namespace korvath {

// A TCP socket in the listening state on a port, as the kernel lists it.
struct PortListener {
  std::string address;  // "127.0.0.1", "0.0.0.0", "::1", "::", ...
  unsigned long inode = 0;
  int pid = 0;       // the process holding it; 0 when it cannot be found
  std::string name;  // that process's name (/proc/<pid>/comm), "" when unknown
};

// Every listening TCP socket on `port` from /proc/net/tcp and /proc/net/tcp6,
// each with its holder found through the socket inodes in /proc/<pid>/fd.
// Processes of other users stay unknown unless we may read their fds.
std::vector<PortListener> ListenersOnPort(int port);

// Whether something accepts a TCP connection on 127.0.0.1:`port` right now
// (connected, then closed at once). Cheap enough to ask every few ms.
bool AcceptsConnections(int port);

// A port on 127.0.0.1 that nothing listens on now (the system's pick); 0
// when none could be had.
int FreeLoopbackPort();

// The message naming who holds `port` ("端口6800已被其他程序占用：..."), for
// a non-empty `listeners`.
Text PortHeldMessage(int port, const std::vector<PortListener>& listeners);

// The per-user directory aria2's files move to when the program directory
// cannot be written: $XDG_DATA_HOME/korvath, else $HOME/.local/share/korvath.
// "" when neither variable is set (absolute paths only, as the base directory
// rules ask).
std::string UserDataDir();

// Writes `contents` to `path` as an executable (mode 0755), replacing what
// is there. Returns 0 or the errno of the first failing step; ELOOP when
// `path` is a link or not a plain file, which is left untouched. A file cut short by a full disk or a
// file-size limit is removed rather than left to be run.
int WriteProgramFile(const std::string& path, std::string_view contents);

// How start-up treats a failed write: the file is busy (a running copy:
// retried), the directory refuses writes (move to UserDataDir()), or the disk
// is full, or the name is taken by something that is not a plain file of
// its own (never written through: the user has to look at it).
bool IsBusyError(int error);
bool IsNotWritableError(int error);
bool IsNoSpaceError(int error);
bool IsNotPlainFileError(int error);

}  // namespace korvath
