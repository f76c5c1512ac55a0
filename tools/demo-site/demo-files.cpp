#include "demo-files.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace korvath::demo {

namespace {

constexpr std::uint64_t kLineLength = 64;

std::uint64_t SplitMix64(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Text files are fixed-length lines so that any byte can be computed alone.
char TextByte(std::uint64_t seed, std::uint64_t offset) {
  std::uint64_t line = offset / kLineLength;
  std::uint64_t column = offset % kLineLength;
  if (column == kLineLength - 1) return '\n';
  char buffer[kLineLength + 1];
  int n = std::snprintf(buffer, sizeof buffer, "Korvath demo file %llu, line %llu: served in ranges. ",
                        static_cast<unsigned long long>(seed), static_cast<unsigned long long>(line));
  if (column < static_cast<std::uint64_t>(n)) return buffer[column];
  return '.';
}

void AppendGenerated(const DemoFile& file, std::uint64_t offset, std::uint64_t length, std::string& out) {
  out.reserve(out.size() + length);
  if (file.text) {
    for (std::uint64_t i = 0; i < length; ++i) out.push_back(TextByte(file.seed, offset + i));
    return;
  }
  // Binary files: little-endian 64-bit words of SplitMix64(seed, word index).
  std::uint64_t end = offset + length;
  std::uint64_t pos = offset;
  while (pos < end) {
    std::uint64_t word = SplitMix64(file.seed * 0x100000001B3ull + pos / 8);
    unsigned shift = static_cast<unsigned>(pos % 8) * 8;
    out.push_back(static_cast<char>((word >> shift) & 0xFF));
    ++pos;
  }
}

}  // namespace

std::vector<DemoFile> BuiltInFiles() {
  // Plain literals are UTF-8 here: this program speaks UTF-8 to the browser
  // and never touches the system text model.
  std::vector<DemoFile> files;
  auto add = [&](std::string name, std::uint64_t size, bool text) {
    DemoFile f;
    f.shown_name = std::move(name);
    f.size = size;
    f.seed = files.size() + 1;
    f.text = text;
    files.push_back(std::move(f));
  };
  add("Korvath demo notes.txt", 12 * 1024 + 7, true);
  add("年度报告 2024 最终版.zip", 3 * 1024 * 1024 + 123, false);
  add("한국어 자료 모음.pdf", 700 * 1024 + 5, false);
  add("holiday photos 🎉📷.tar", 1024 * 1024 + 77, false);
  add("say \"hello\" to aria2.txt", 20 * 1024, true);
  add("back\\slash\\path.bin", 64 * 1024 + 1, false);
  add("../outside the folder.txt", 5 * 1024 + 3, true);
  add("a name too long for one line of the page,\ncontinued on the next.iso", 2 * 1024 * 1024 + 9, false);
  add("Debian sample image 16MB.img", 16 * 1024 * 1024, false);
  add("empty file.txt", 0, true);
  return files;
}

bool FilesInDirectory(const std::string& dir, std::vector<DemoFile>& files, std::string& error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) {
    error = dir + ": " + ec.message();
    return false;
  }
  std::vector<DemoFile> found;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    std::error_code fe;
    if (!it->is_regular_file(fe)) continue;
    DemoFile f;
    f.shown_name = it->path().filename().string();
    f.size = it->file_size(fe);
    if (fe) continue;
    f.path = it->path().string();
    found.push_back(std::move(f));
  }
  if (ec) {
    error = dir + ": " + ec.message();
    return false;
  }
  std::sort(found.begin(), found.end(),
            [](const DemoFile& a, const DemoFile& b) { return a.shown_name < b.shown_name; });
  files = std::move(found);
  return true;
}

bool ReadContent(const DemoFile& file, std::uint64_t offset, std::uint64_t length, std::string& out) {
  if (offset > file.size || length > file.size - offset) return false;
  if (file.path.empty()) {
    AppendGenerated(file, offset, length, out);
    return true;
  }
  std::ifstream in(file.path, std::ios::binary);
  if (!in) return false;
  in.seekg(static_cast<std::streamoff>(offset));
  std::size_t before = out.size();
  out.resize(before + length);
  in.read(out.data() + before, static_cast<std::streamsize>(length));
  if (static_cast<std::uint64_t>(in.gcount()) != length) {
    out.resize(before);
    return false;
  }
  return true;
}

std::string SavedName(const DemoFile& file) {
  std::string name = file.shown_name;
  name.erase(std::remove(name.begin(), name.end(), '\n'), name.end());
  return name;
}

std::string SizeText(std::uint64_t size) {
  char buffer[32];
  if (size < 1024) {
    std::snprintf(buffer, sizeof buffer, "%llu B", static_cast<unsigned long long>(size));
  } else if (size < 1024 * 1024) {
    std::snprintf(buffer, sizeof buffer, "%.1f KB", size / 1024.0);
  } else {
    std::snprintf(buffer, sizeof buffer, "%.1f MB", size / (1024.0 * 1024.0));
  }
  return buffer;
}

}  // namespace korvath::demo
