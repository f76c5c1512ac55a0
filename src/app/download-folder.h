// The one place that decides which folder the page's downloads are saved in.
#pragma once

#include <optional>
#include <string>

namespace korvath {

struct DownloadFolderSources {
  // [downloads] folder of the settings file: the user's own choice wins.
  std::optional<std::string> settings_folder;
  // Asked for on the command line (--user-downloads, as the applications
  // menu entry starts Korvath): save into the user's download folder.
  bool user_downloads = false;
  // The XDG download directory (XDG_DOWNLOAD_DIR of user-dirs.dirs);
  // nullopt when the user has none configured.
  std::optional<std::string> xdg_download_dir;
  // $HOME; "" when unset.
  std::string home;
};

// The folder every task is saved in, as a file-system path: settings_folder
// when set, otherwise
//   - "ZorbitDravenet", relative to aria2's working directory (the one
//     Korvath was started in), unless user_downloads is asked for;
//   - with user_downloads, ZorbitDravenet inside the XDG download directory,
//     else inside $HOME/Downloads (the name xdg-user-dirs gives it), else,
//     with no absolute $HOME either, the relative default.
// A menu entry starts programs in the home folder; without user_downloads the
// files would pile up there.
std::string DownloadFolder(const DownloadFolderSources& sources);

// The sources of this run: the flag from the caller, the XDG directory as
// GLib reads it (G_USER_DIRECTORY_DOWNLOAD) and $HOME.
DownloadFolderSources CurrentDownloadFolderSources(bool user_downloads);

}  // namespace korvath
