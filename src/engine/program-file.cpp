// Writing the aria2 program file, and how start-up reads a failed write.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "engine/aria2-home.h"
#include "util/file-io.h"

namespace korvath {

int WriteProgramFile(const std::string& path, std::string_view contents) {
  // Opened before it is cut short: a link planted under the program's name
  // must not have the file it points to written over with aria2, nor a pipe
  // hold start-up waiting for a reader.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0755);
  if (fd < 0) return errno == ENXIO || errno == EISDIR ? ELOOP : errno;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return ELOOP;
  }
  int error = ::ftruncate(fd, 0) == 0 ? WriteAll(fd, contents).error : errno;
  // An existing file keeps its old mode when cut short; it must run.
  if (::fchmod(fd, 0755) != 0 && error == 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (IsNoSpaceError(error)) ::unlink(path.c_str());
  return error;
}

bool IsNotPlainFileError(int error) { return error == ELOOP; }

bool IsBusyError(int error) { return error == ETXTBSY || error == EBUSY; }
bool IsNotWritableError(int error) { return error == EACCES || error == EPERM || error == EROFS; }
bool IsNoSpaceError(int error) { return error == ENOSPC || error == EDQUOT || error == EFBIG; }

}  // namespace korvath
