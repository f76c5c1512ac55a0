// What aria2's control file ("<file>.aria2") says of a partial download: how
// long the whole file is and how much of it aria2 had written. A partial file
// that does not hold what its control file promises would be taken by aria2
// as downloaded, and the missing part would stay zeros.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace korvath {

inline constexpr const char* kControlFileSuffix = ".aria2";

struct ControlFileInfo {
  std::int64_t total_length = 0;
  // Where the last bytes aria2 marked as written end (a whole piece, or a
  // block of a piece still being fetched): a partial file shorter than this
  // has lost bytes aria2 believes it has.
  std::int64_t complete_end = 0;
  // How many bytes aria2 holds: whole pieces, and blocks of pieces still
  // being fetched.
  std::int64_t completed = 0;
};

// What the control file at `path` records; nullopt when it is missing, cut
// short, not a regular file, or not a control file aria2 writes (versions 0
// and 1). Never waits on a FIFO or device put under the name.
std::optional<ControlFileInfo> ReadControlFile(const std::string& path);

// How a download's file and its control file stand on disk.
enum class PartialState {
  kNone,            // neither the file nor its control file
  kContinuable,     // a control file, and the file holds what it promises (or is not there yet)
  kWithoutControl,  // the file, but no control file: finished, or of unknown state
  kDamaged,         // a control file that cannot be read, or a file shorter than it promises
};
PartialState PartialFileState(const std::string& file_path);

}  // namespace korvath
