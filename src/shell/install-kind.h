// Whether this program runs from its build tree or was installed, and so
// where it may write aria2's files.
#pragma once

#include <string>

namespace korvath {

// The build puts a marker file beside the program it links (its name comes
// from the build, KORVATH_BUILD_TREE_MARKER). Installing copies the program
// alone, so an installed copy never has one, wherever it was installed to and
// whoever runs it; a moved build tree keeps it.
bool RunsFromBuildTree(const std::string& program_dir);

// The directory aria2c.exe and aria2.conf are written to: `program_dir` for
// the build tree's program, as always; for an installed program
// `user_data_dir` ($XDG_DATA_HOME/korvath), created when missing, so that the
// program folder (/usr/bin, writable for root) is never written to. Without a
// user data directory (no HOME and no XDG_DATA_HOME) `program_dir` again,
// where start-up then reports a folder that cannot be written.
std::string Aria2FilesDirectory(const std::string& program_dir, const std::string& user_data_dir);

}  // namespace korvath
