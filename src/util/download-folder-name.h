// The name of the folder Korvath saves downloads in when the user chose none.
// It sits at the bottom layer because the intake, the shell and the
// settings view all name it, and each must name the same folder.
#pragma once

namespace korvath {

inline constexpr const char* kDownloadFolderName = "ZorbitDravenet";

}  // namespace korvath
