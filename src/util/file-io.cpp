#include "util/file-io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

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

std::optional<std::string> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) return std::nullopt;
  std::string contents(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>{});
  if (in.bad()) return std::nullopt;
  return contents;
}

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
  bool ok = ::fchmod(fd, static_cast<mode_t>(mode)) == 0 && WriteAll(fd, contents).error == 0 && ::fsync(fd) == 0;
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
