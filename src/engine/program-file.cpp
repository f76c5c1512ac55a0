// Writing the aria2 program file, and how start-up reads a failed write.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "engine/aria2-home.h"
#include "util/file-io.h"

namespace korvath {

int WriteProgramFile(const std::string& path, std::string_view contents) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
  if (fd < 0) return errno;
  int error = WriteAll(fd, contents).error;
  // An existing file keeps its old mode through O_TRUNC; it must run.
  if (::fchmod(fd, 0755) != 0 && error == 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (IsNoSpaceError(error)) ::unlink(path.c_str());
  return error;
}

bool IsBusyError(int error) { return error == ETXTBSY || error == EBUSY; }
bool IsNotWritableError(int error) { return error == EACCES || error == EPERM || error == EROFS; }
bool IsNoSpaceError(int error) { return error == ENOSPC || error == EDQUOT || error == EFBIG; }

}  // namespace korvath
