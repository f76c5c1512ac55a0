#include "engine/partial-file-check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "engine/control-file.h"
#include "engine/free-name.h"
#include "util/file-io.h"

namespace korvath {
namespace {

// A control file whose file is gone: aria2 makes an empty file and still
// believes the pieces the control file marks as done.
bool ControlWithoutItsBytes(const std::string& file_path) {
  struct stat info {};
  if (::lstat(file_path.c_str(), &info) == 0 || errno != ENOENT) return false;
  const auto control = ReadControlFile(file_path + kControlFileSuffix);
  return control && control->complete_end > 0;
}

}  // namespace

PartialFileCheck ClearUncontinuablePartialFile(const std::string& file_path,
                                               const std::function<bool(const std::string& path)>& taken) {
  const PartialState state = PartialFileState(file_path);
  if (state == PartialState::kNone) return {};
  if (state == PartialState::kContinuable && !ControlWithoutItsBytes(file_path)) return {};
  struct stat info {};
  const bool has_file = ::lstat(file_path.c_str(), &info) == 0;
  if (state == PartialState::kWithoutControl && S_ISREG(info.st_mode) && info.st_size == 0) return {};

  PartialFileCheck check{.outcome = PartialFileCheck::kSetAside};
  if (has_file) {
    const std::size_t slash = file_path.rfind('/');
    const std::string folder = file_path.substr(0, slash);
    const std::string name = file_path.substr(slash + 1);
    // A name found free may be taken before the rename; the rename never
    // replaces it, and the next free name is tried.
    int error = EEXIST;
    for (int attempt = 0; attempt < 3 && error == EEXIST; ++attempt) {
      const std::string free_name = FreeFileName(folder, name, taken);
      if (free_name.empty()) break;
      error = MoveWithoutReplacing(file_path, folder + "/" + free_name);
      if (error == 0) check.kept_as = folder + "/" + free_name;
    }
    if (error != 0) return {.outcome = PartialFileCheck::kCannotSetAside, .error = error};
  }
  // The control file describes bytes that are not there; it holds nothing of
  // the user's, and left beside the renamed file it would pass that file off
  // as continuable.
  const std::string control = file_path + kControlFileSuffix;
  if (::unlink(control.c_str()) != 0 && errno != ENOENT) {
    return {.outcome = PartialFileCheck::kCannotSetAside, .kept_as = check.kept_as, .error = errno};
  }
  return check;
}

}  // namespace korvath
