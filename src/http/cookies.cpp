#include "http/cookies.h"

#include <unordered_set>

namespace korvath {
namespace {

Text CookieName(std::string_view entry) {
  const auto eq = entry.find('=');
  return TrimBlanks(entry.substr(0, eq));
}

// Cookie values come from the network and are often UTF-8, so entries are
// split byte by byte: a double-byte aware split would pair a value's last
// high byte with the ";" after it and run two cookies together.
TextArray SplitBytes(std::string_view text, std::string_view separator) {
  TextArray parts;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t end = text.find(separator, pos);
    parts.emplace_back(text.substr(pos, end == std::string_view::npos ? end : end - pos));
    if (end == std::string_view::npos) return parts;
    pos = end + separator.size();
  }
}

// Empty entries (from ";;" or a trailing separator) carry no cookie; keeping
// them would put stray "; ; " into the Cookie line we send next.
TextArray Entries(std::string_view text, std::string_view separator) {
  TextArray entries;
  for (Text& entry : SplitBytes(text, separator)) {
    if (!entry.empty()) entries.push_back(std::move(entry));
  }
  return entries;
}

Text Merge(TextArray old_entries, TextArray new_entries) {
  std::unordered_set<Text> names;
  for (const Text& entry : new_entries) names.insert(CookieName(entry));
  for (Text& entry : old_entries) {
    Text name = CookieName(entry);
    if (names.insert(std::move(name)).second) new_entries.push_back(std::move(entry));
  }

  Text joined;
  for (const Text& entry : new_entries) {
    if (entry.size() >= 8 && entry.compare(entry.size() - 8, 8, "=deleted") == 0) continue;
    joined += entry;
    joined += "; ";
  }
  if (joined.size() >= 2) joined.resize(joined.size() - 2);

  // Whole-entry duplicates go; the first occurrence keeps its place.
  std::unordered_set<Text> seen;
  Text result;
  for (Text& entry : SplitBytes(joined, "; ")) {
    if (!seen.insert(entry).second) continue;
    if (!result.empty()) result += "; ";
    result += entry;
  }
  return result;
}

// The blank-free form of a cookie text. A space byte is never part of a
// GBK character, but a stepping walk over a UTF-8 value can pair its last
// high byte with the space after it and keep that space; so spaces go byte
// by byte first, then the full-width blanks.
Text WithoutBlanks(std::string_view text) {
  Text spaceless;
  spaceless.reserve(text.size());
  for (const char c : text) {
    if (c != ' ') spaceless.push_back(c);
  }
  return RemoveBlanks(spaceless);
}

Text TrimForEx(std::string_view text) {
  Text trimmed = TrimBlanks(text);
  if (!trimmed.empty() && trimmed.back() == ';') trimmed += ' ';
  return trimmed;
}

}  // namespace

Text MergeCookies(std::string_view old_cookies, std::string_view new_cookies) {
  return Merge(Entries(WithoutBlanks(old_cookies), ";"), Entries(WithoutBlanks(new_cookies), ";"));
}

Text MergeCookiesEx(std::string_view old_cookies, std::string_view new_cookies) {
  return Merge(Entries(TrimForEx(old_cookies), "; "), Entries(TrimForEx(new_cookies), "; "));
}

}  // namespace korvath
