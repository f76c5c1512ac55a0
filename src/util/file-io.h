// Whole-file reading and writing on POSIX descriptors: every write goes on
// until all bytes are taken or a real error stops it, and a file that must
// never be seen half written is replaced atomically.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace korvath {

struct WriteAllResult {
  std::size_t written = 0;  // bytes taken before the end or the error
  int error = 0;            // 0, or the errno that stopped it (ENOSPC when a write took nothing)
};

// Writes all of `data` to `fd`, again after EINTR and after partial writes.
WriteAllResult WriteAll(int fd, std::string_view data);

// The bytes of the file at `path`; nullopt when it cannot be opened or read.
std::optional<std::string> ReadWholeFile(const std::string& path);

// Replaces `path` with `contents` so that a reader only ever sees the old or
// the new file, also after a crash or power loss: a temporary file in the same
// directory, written and synced, renamed over `path`, then the directory
// synced. The directory is created (0700) when missing. On failure nothing is
// left behind and the old file is untouched. The file gets `mode` whatever
// the umask: these files may hold what only the user should read.
bool WriteFileAtomically(const std::string& path, std::string_view contents, unsigned mode = 0600);

// Renames `from` to `to` only when nothing is at `to`, checked by the kernel
// in the same step, so a file that appears meanwhile is never replaced.
// 0, or the errno (EEXIST when `to` is taken).
int MoveWithoutReplacing(const std::string& from, const std::string& to);

}  // namespace korvath
