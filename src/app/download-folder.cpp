#include "app/download-folder.h"

#include <glib.h>

#include <cstdlib>

#include "util/download-folder-name.h"

namespace korvath {
namespace {

bool IsAbsolute(const std::string& path) { return !path.empty() && path.front() == '/'; }

std::string Join(std::string parent, const char* name) {
  while (!parent.empty() && parent.back() == '/') parent.pop_back();
  return parent + "/" + name;
}

}  // namespace

std::string DownloadFolder(const DownloadFolderSources& sources) {
  if (sources.settings_folder && !sources.settings_folder->empty()) return *sources.settings_folder;
  if (!sources.user_downloads) return kDownloadFolderName;
  if (sources.xdg_download_dir && IsAbsolute(*sources.xdg_download_dir))
    return Join(*sources.xdg_download_dir, kDownloadFolderName);
  if (IsAbsolute(sources.home)) return Join(Join(sources.home, "Downloads"), kDownloadFolderName);
  return kDownloadFolderName;
}

DownloadFolderSources CurrentDownloadFolderSources(bool user_downloads) {
  DownloadFolderSources sources{.user_downloads = user_downloads};
  if (const char* dir = g_get_user_special_dir(G_USER_DIRECTORY_DOWNLOAD)) sources.xdg_download_dir = dir;
  if (const char* home = std::getenv("HOME")) sources.home = home;
  return sources;
}

}  // namespace korvath
