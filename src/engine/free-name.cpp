#include "engine/free-name.h"

#include <sys/stat.h>

#include "engine/control-file.h"

namespace korvath {
namespace {

// `text` cut to at most `bytes`, never inside a UTF-8 character (a broken
// sequence gives up after the three bytes a character can continue by).
std::string_view CutOnCharacter(std::string_view text, std::size_t bytes) {
  if (text.size() <= bytes) return text;
  for (int back = 0; back < 3 && bytes > 0 && (static_cast<unsigned char>(text[bytes]) & 0xc0) == 0x80;
       ++back) {
    --bytes;
  }
  return text.substr(0, bytes);
}

bool Present(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace

bool NamedLikeControlFile(std::string_view name_utf8) {
  const std::string_view suffix = kControlFileSuffix;
  return name_utf8.size() > suffix.size() && name_utf8.ends_with(suffix);
}

std::string FitSavedName(std::string_view name_utf8, std::string_view mark) {
  std::string_view stem = name_utf8, extension;
  const std::size_t dot = name_utf8.rfind('.');
  if (!NamedLikeControlFile(name_utf8) && dot != std::string_view::npos && dot > 0 &&
      name_utf8.size() - dot <= kMaxSavedExtensionBytes) {
    stem = name_utf8.substr(0, dot);
    extension = name_utf8.substr(dot);
  }
  const std::size_t room = kMaxSavedNameBytes - mark.size() - extension.size();
  return std::string(CutOnCharacter(stem, room)).append(mark).append(extension);
}

std::string NumberedName(std::string_view name_utf8, int number) {
  return FitSavedName(name_utf8, " (" + std::to_string(number) + ")");
}

std::string FreeFileName(const std::string& folder, std::string_view name_utf8,
                         const std::function<bool(const std::string& path)>& taken) {
  for (int number = 2; number < 10000; ++number) {
    std::string candidate = NumberedName(name_utf8, number);
    const std::string path = folder + "/" + candidate;
    if (Present(path) || Present(path + kControlFileSuffix) || (taken && taken(path))) continue;
    return candidate;
  }
  return {};
}

}  // namespace korvath
