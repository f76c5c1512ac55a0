// Which folder and which file a download writes. aria2 opens its file once,
// by path, and writes through that descriptor until the end; the path may
// lead somewhere else by then (the folder renamed and a link to another
// folder put in its place), and a look by path would find another file:
// one the user never asked Korvath to check, write or continue.
#pragma once

#include <optional>
#include <string>

#include "util/file-io.h"

namespace korvath {

// The folder and file as they were when the download began; what was not
// there yet, or not looked at in time, is unknown and not compared.
struct DownloadPlace {
  std::optional<FileIdentity> folder;
  std::optional<FileIdentity> file;
};

// What is at `file_path` (absolute, UTF-8) now: its folder (links followed)
// and the file itself (a link at the name is no file of a download).
DownloadPlace PlaceNow(const std::string& file_path);

enum class PlaceChange {
  kNone,
  kFolder,  // the folder is another one than the download's
  kFile,    // the folder is, but another file (or a link) took the name
};

// Whether `file_path` still leads to the download `recorded` describes.
// Without a record, a folder that is itself a link counts as changed:
// nothing vouches that it leads where the download began.
PlaceChange ChangeOfPlace(const std::string& file_path, const std::optional<DownloadPlace>& recorded);

// "device:inode", and back; nullopt for anything else.
std::string IdentityText(const std::optional<FileIdentity>& identity);
std::optional<FileIdentity> ParseIdentityText(const std::string& text);

}  // namespace korvath
