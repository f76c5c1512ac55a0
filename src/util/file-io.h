// Whole-file reading and writing on POSIX descriptors: every write goes on
// until all bytes are taken or a real error stops it, and a file that must
// never be seen half written is replaced atomically.
#pragma once

#include <cstddef>
#include <cstdint>
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

// A descriptor that is closed when it goes out of scope.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();
  int get() const { return fd_; }
  int Release();

 private:
  int fd_ = -1;
};

struct PlainFileOpening {
  UniqueFd fd;             // open for reading, blocking again; -1 when refused
  bool not_plain = false;  // a folder, FIFO, device or socket (or a link, when links are not followed)
  int error = 0;           // the errno of an open that failed otherwise (ENOENT: nothing there)
};

// Opens `path` for reading only when it is a regular file. Something else
// planted under a file's name must never hold the caller: opening a FIFO
// waits for a writer (the window's thread would stop for good), reading a
// device may never end. `follow_links` false also refuses a symbolic link.
PlainFileOpening OpenPlainFileForReading(const std::string& path, bool follow_links = true);

// Opens (creating it with `mode` when missing) the regular file at `path` for
// appending, refusing a FIFO (an open for writing would wait for a reader),
// a device, a socket or a symbolic link. The descriptor blocks again.
PlainFileOpening OpenPlainFileForAppending(const std::string& path, unsigned mode = 0600);

// OpenPlainFileForReading of the entry `name` of the folder open as
// `folder_fd`, never through a link at `name`: the file is looked up in
// that folder even when the folder's path now leads somewhere else.
PlainFileOpening OpenPlainFileAt(int folder_fd, const std::string& name);

// The folder at `path` (links followed: a download folder the user chose may
// be one), open for lookups inside it; -1 when it is not a folder.
UniqueFd OpenFolder(const std::string& path);

// Which file a descriptor or path is on this machine. It stays while the file
// is renamed or its folder moved, and differs for any other file put in its
// place, or a link to another folder put in its folder's.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};
std::optional<FileIdentity> IdentityOf(int fd);

struct PlainFileRead {
  std::optional<std::string> bytes;  // nullopt when not read
  bool not_plain = false;            // as in PlainFileOpening
  int error = 0;                     // the errno that stopped the open or the reading
};

// At most `limit` bytes from the beginning of the regular file at `path`.
PlainFileRead ReadPlainFile(const std::string& path, std::size_t limit = SIZE_MAX);

// The bytes of the regular file at `path`; nullopt when it cannot be opened
// or read, or is not a regular file (ReadPlainFile tells which).
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
