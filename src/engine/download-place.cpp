#include "engine/download-place.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <charconv>
#include <filesystem>

namespace korvath {
namespace {

struct Split {
  std::string folder;
  std::string name;
};

Split SplitPath(const std::string& file_path) {
  const std::filesystem::path path(file_path);
  return {.folder = path.parent_path().string(), .name = path.filename().string()};
}

// The identity of the entry `name` of `folder_fd` itself, never of what a
// link there leads to; nullopt when nothing or a link is there.
std::optional<FileIdentity> EntryIdentity(int folder_fd, const std::string& name) {
  struct stat info {};
  if (folder_fd < 0 || name.empty() || ::fstatat(folder_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
      S_ISLNK(info.st_mode)) {
    return std::nullopt;
  }
  return FileIdentity{.device = static_cast<std::uint64_t>(info.st_dev),
                      .inode = static_cast<std::uint64_t>(info.st_ino)};
}

}  // namespace

DownloadPlace PlaceNow(const std::string& file_path) {
  const Split split = SplitPath(file_path);
  const UniqueFd folder = OpenFolder(split.folder);
  DownloadPlace place{.folder = IdentityOf(folder.get())};
  if (place.folder) place.file = EntryIdentity(folder.get(), split.name);
  return place;
}

PlaceChange ChangeOfPlace(const std::string& file_path, const std::optional<DownloadPlace>& recorded) {
  const Split split = SplitPath(file_path);
  if (!recorded || !recorded->folder) {
    struct stat info {};
    return ::lstat(split.folder.c_str(), &info) == 0 && S_ISLNK(info.st_mode) ? PlaceChange::kFolder
                                                                              : PlaceChange::kNone;
  }
  const UniqueFd folder = OpenFolder(split.folder);
  // A folder that is gone holds no one's file; what happens next creates it.
  if (folder.get() < 0) return PlaceChange::kNone;
  if (IdentityOf(folder.get()) != recorded->folder) return PlaceChange::kFolder;
  if (!recorded->file) return PlaceChange::kNone;
  struct stat info {};
  // A file deleted since is not another file: the control file decides.
  if (::fstatat(folder.get(), split.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return PlaceChange::kNone;
  return EntryIdentity(folder.get(), split.name) == recorded->file ? PlaceChange::kNone : PlaceChange::kFile;
}

std::string IdentityText(const std::optional<FileIdentity>& identity) {
  if (!identity) return {};
  return std::to_string(identity->device) + ":" + std::to_string(identity->inode);
}

std::optional<FileIdentity> ParseIdentityText(const std::string& text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) return std::nullopt;
  FileIdentity identity;
  const char* end = text.data() + text.size();
  auto device = std::from_chars(text.data(), text.data() + colon, identity.device);
  auto inode = std::from_chars(text.data() + colon + 1, end, identity.inode);
  if (device.ec != std::errc() || device.ptr != text.data() + colon || inode.ec != std::errc() ||
      inode.ptr != end || colon == 0 || colon + 1 == text.size()) {
    return std::nullopt;
  }
  return identity;
}

}  // namespace korvath
