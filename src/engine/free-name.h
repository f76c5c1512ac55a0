// Names that take nothing from anyone: a download that is not the file
// already in the folder is saved beside it as "名称 (2).ext", "名称 (3).ext"…,
// the way desktop file managers name a second copy.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace korvath {

// The longest name a download is saved under, in bytes: aria2 keeps its
// control file beside the file, writing "<name>.aria2__temp" and renaming it
// to "<name>.aria2", and both names must fit the 255 bytes file systems
// allow, or the download cannot survive a crash.
inline constexpr std::size_t kMaxSavedNameBytes = 255 - std::char_traits<char>::length(".aria2__temp");
// The longest ending after the last "." that still counts as an extension
// to keep when a name is cut or numbered.
inline constexpr std::size_t kMaxSavedExtensionBytes = 16;

// `name_utf8` with `mark` before its last extension (an ending of at most
// kMaxSavedExtensionBytes after a "." that is not the first byte), the part
// before it cut on a character boundary so that the whole fits
// kMaxSavedNameBytes. A name ending in ".aria2" has no extension here.
std::string FitSavedName(std::string_view name_utf8, std::string_view mark = {});

// "名称.ext" with " (n)" before its last extension, fitted by FitSavedName.
// A name ending in ".aria2" has the number at its very end instead, so that
// it never ends in ".aria2" and cannot pass for another download's control
// file.
std::string NumberedName(std::string_view name_utf8, int number);

// Whether the name ends in ".aria2": never saved as it is, since aria2
// would take it for the control file of the name without the ending.
bool NamedLikeControlFile(std::string_view name_utf8);

// The first NumberedName(name, 2, 3, …) in `folder` (UTF-8) for which no
// file, link or folder exists under the name or under its control file's
// name, and `taken` (paths another download owns) says no. Up to 9999 tries;
// "" when every one is taken.
std::string FreeFileName(const std::string& folder, std::string_view name_utf8,
                         const std::function<bool(const std::string& path)>& taken);

}  // namespace korvath
