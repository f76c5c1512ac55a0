#include "util/file-io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>

namespace korvath {
namespace {

namespace fs = std::filesystem;

bool SyncDirectory(const fs::path& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

WriteAllResult WriteAll(int fd, std::string_view data) {
  WriteAllResult result;
  while (result.written < data.size()) {
    ssize_t n = ::write(fd, data.data() + result.written, data.size() - result.written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      result.error = n < 0 ? errno : ENOSPC;
      break;
    }
    result.written += static_cast<std::size_t>(n);
  }
  return result;
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.Release();
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

int UniqueFd::Release() { return std::exchange(fd_, -1); }

namespace {

// What an open of a regular file with O_NONBLOCK gave: `fd`, or the errno of
// the open when it is -1.
PlainFileOpening KeepIfPlain(UniqueFd fd, int open_error, bool follow_links) {
  PlainFileOpening opening;
  if (fd.get() < 0) {
    // ENXIO: a socket, or a device without a driver; ELOOP: a link refused.
    if (open_error == ENXIO || (!follow_links && open_error == ELOOP)) {
      opening.not_plain = true;
    } else {
      opening.error = open_error;
    }
    return opening;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    opening.error = errno;
    return opening;
  }
  if (!S_ISREG(info.st_mode)) {
    opening.not_plain = true;
    return opening;
  }
  // Without effect on a regular file, but whoever gets the descriptor
  // should not find a flag it did not ask for.
  const int status = ::fcntl(fd.get(), F_GETFL);
  if (status >= 0) ::fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK);
  opening.fd = std::move(fd);
  return opening;
}

// O_NONBLOCK makes the open of a FIFO return at once instead of waiting
// for a writer; O_NOCTTY keeps a terminal from becoming ours.
constexpr int kPlainOpenFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

}  // namespace

PlainFileOpening OpenPlainFileForReading(const std::string& path, bool follow_links) {
  UniqueFd fd(::open(path.c_str(), kPlainOpenFlags | (follow_links ? 0 : O_NOFOLLOW)));
  const int error = errno;
  return KeepIfPlain(std::move(fd), error, follow_links);
}

PlainFileOpening OpenPlainFileAt(int folder_fd, const std::string& name) {
  // A name with a slash would reach past the folder.
  if (name.empty() || name.find('/') != std::string::npos) return {.error = EINVAL};
  UniqueFd fd(::openat(folder_fd, name.c_str(), kPlainOpenFlags | O_NOFOLLOW));
  const int error = errno;
  return KeepIfPlain(std::move(fd), error, /*follow_links=*/false);
}

UniqueFd OpenFolder(const std::string& path) {
  return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

std::optional<FileIdentity> IdentityOf(int fd) {
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0) return std::nullopt;
  return FileIdentity{.device = static_cast<std::uint64_t>(info.st_dev),
                      .inode = static_cast<std::uint64_t>(info.st_ino)};
}

PlainFileOpening OpenPlainFileForAppending(const std::string& path, unsigned mode) {
  const int flags = O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC;
  UniqueFd fd(::open(path.c_str(), flags, static_cast<mode_t>(mode)));
  const int error = errno;
  // A FIFO without a reader fails with ENXIO, as a socket does.
  return KeepIfPlain(std::move(fd), error, /*follow_links=*/false);
}

PlainFileRead ReadPlainFile(const std::string& path, std::size_t limit) {
  PlainFileRead result;
  PlainFileOpening opening = OpenPlainFileForReading(path);
  result.not_plain = opening.not_plain;
  result.error = opening.error;
  if (opening.fd.get() < 0) return result;
  std::string contents;
  char buffer[64 * 1024];
  while (contents.size() < limit) {
    const std::size_t want = std::min(sizeof buffer, limit - contents.size());
    const ssize_t got = ::read(opening.fd.get(), buffer, want);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      result.error = errno;
      return result;
    }
    if (got == 0) break;
    contents.append(buffer, static_cast<std::size_t>(got));
  }
  result.bytes = std::move(contents);
  return result;
}

std::optional<std::string> ReadWholeFile(const std::string& path) { return ReadPlainFile(path).bytes; }

bool WriteFileAtomically(const std::string& path, std::string_view contents, unsigned mode) {
  const fs::path target(path);
  const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    if (!fs::create_directories(dir, ec) && !fs::is_directory(dir)) return false;
    // Such files may hold what only the user should read.
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace, ec);
  }
  std::string temp = (dir / (target.filename().string() + ".tmp-XXXXXX")).string();
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  // mkostemp's 0600 is still cut by the umask; the mode is set outright.
  bool ok =
      ::fchmod(fd, static_cast<mode_t>(mode)) == 0 && WriteAll(fd, contents).error == 0 && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  // Only a complete, synced file takes the name.
  ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // Without this the rename itself may be lost on power failure.
  SyncDirectory(dir);
  return true;
}

int MoveWithoutReplacing(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // File systems without that rename: a hard link fails the same way on a
  // taken name, and the old name goes only once the new one holds the file.
  if (::link(from.c_str(), to.c_str()) != 0) return errno;
  ::unlink(from.c_str());
  return 0;
}

}  // namespace korvath
