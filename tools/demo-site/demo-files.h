// The files the demo share site offers: a built-in set whose bytes are computed
// from a seed (so any range can be produced without storing anything, and a
// test can recompute what it should have received), or the files of a folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvath::demo {

struct DemoFile {
  // UTF-8, exactly as the page shows it; it may hold a line feed, which the
  // page renders as a line break inside the name.
  std::string shown_name;
  std::uint64_t size = 0;
  // Built-in files: bytes come from the seed (text files as readable lines).
  std::uint64_t seed = 0;
  bool text = false;
  // Files from --files-dir: bytes come from this path instead.
  std::string path;
  // When set, a download gets this page with status 200 instead of the file,
  // as a storage server does for a link it no longer honours.
  std::string error_page;
  // When set, the page writes this as the file's size ("1,234 KB") instead
  // of the size worked out from `size`.
  std::string shown_size;
  // When set, each link the file's page hands out expires once it has served
  // this many bytes: its connections are cut and it answers 403, while the
  // link of the page's next view works. The storage service's links expire
  // after a time; counting bytes puts the expiry at the same point of a
  // download on any machine.
  std::uint64_t link_bytes = 0;
};

// The built-in catalogue: names with spaces, Chinese, Korean, emoji, a double
// quote, a backslash, "../", and one shown over two lines; one file large
// enough that a downloader splits it over several connections.
std::vector<DemoFile> BuiltInFiles();

// Every regular file directly inside `dir`, sorted by name. Returns false and
// sets `error` when the folder cannot be read.
bool FilesInDirectory(const std::string& dir, std::vector<DemoFile>& files, std::string& error);

// Appends bytes [offset, offset + length) of `file` to `out`; false when they
// cannot be produced (a file that shrank or vanished).
bool ReadContent(const DemoFile& file, std::uint64_t offset, std::uint64_t length, std::string& out);

// The name a downloader saves the file under: the shown name without line feeds.
std::string SavedName(const DemoFile& file);

// "1.5 MB" style size for the page.
std::string SizeText(std::uint64_t size);

}  // namespace korvath::demo
