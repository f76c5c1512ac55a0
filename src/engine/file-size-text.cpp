#include "engine/file-size-text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace korvath {
namespace {

bool Digit(char c) { return c >= '0' && c <= '9'; }

// Exactly three digits at `at`: the group after a thousands separator.
bool GroupOfThreeAt(std::string_view text, std::size_t at) {
  if (at + 3 > text.size()) return false;
  const bool three = Digit(text[at]) && Digit(text[at + 1]) && Digit(text[at + 2]);
  return three && (at + 3 == text.size() || !Digit(text[at + 3]));
}

bool Near(double size, double number, double step) { return std::fabs(size - number) <= step / 2; }

// The length of the blank at `at`: a space, a tab, or the ideographic space
// (system text A1 A1) that Chinese pages put between number and unit.
std::size_t BlankAt(std::string_view text, std::size_t at) {
  if (at < text.size() && (text[at] == ' ' || text[at] == '\t')) return 1;
  if (text.substr(at).starts_with("\xA1\xA1")) return 2;
  return 0;
}

struct Unit {
  int power = -1;
  std::size_t length = 0;  // bytes of the text the unit takes
};

// "B", "KB", "MiB", "G", "Bytes" (anything after the first letter is taken
// as part of the unit's spelling), or the Chinese "字节", "千字节", "兆"; an
// end of text is bytes.
Unit UnitAt(std::string_view text) {
  if (text.empty()) return {.power = 0};
  static const std::pair<const char8_t*, int> kChinese[] = {
      {u8"千字节", 1}, {u8"兆字节", 2}, {u8"兆", 2}, {u8"字节", 0}};
  for (const auto& [spelling, power] : kChinese) {
    const Text& unit = Gbk(spelling);
    if (text.starts_with(std::string_view(unit))) return {.power = power, .length = unit.size()};
  }
  const char letter = static_cast<char>(text[0] | 0x20);
  const char* letters = "bkmgtp";
  const char* found = std::find(letters, letters + 6, letter);
  if (found == letters + 6) return {};
  std::size_t length = 1;
  while (length < text.size() && ((text[length] | 0x20) >= 'a' && (text[length] | 0x20) <= 'z')) ++length;
  return {.power = static_cast<int>(found - letters), .length = length};
}

}  // namespace

SizeReading ReadSizeText(std::string_view text) {
  std::size_t at = 0;
  while (std::size_t blank = BlankAt(text, at)) at += blank;
  if (at < text.size() && text[at] == '-') return {.problem = "negative"};
  const std::size_t begin = at;
  double number = 0, scale = 1;
  bool digits = false, fraction = false;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    if (Digit(c)) {
      digits = true;
      if (fraction) scale /= 10;
      number = number * 10 + (c - '0');
    } else if (c == '.' && !fraction) {
      fraction = true;
    } else if (c == ',' && digits && !fraction && GroupOfThreeAt(text, at + 1)) {
      // "1,234 KB": thousands grouped. A comma that groups no three digits
      // ("1,5 MB") is read as nothing rather than guessed at.
    } else {
      break;
    }
  }
  if (!digits) return {.problem = "no_number"};
  const std::size_t number_end = at;
  if (at < text.size() && (text[at] | 0x20) == 'e' && at + 1 < text.size() &&
      (Digit(text[at + 1]) || text[at + 1] == '-' || text[at + 1] == '+')) {
    return {.problem = "exponent"};  // "1e400 GB": no page writes a file's size so
  }
  if (at < text.size() && text[at] == ',') return {.problem = "comma"};
  while (std::size_t blank = BlankAt(text, at)) at += blank;
  const Unit unit = UnitAt(text.substr(at));
  if (unit.power < 0) return {.problem = "unit"};
  const double factor = std::pow(1024.0, unit.power);
  const double bytes = number * scale * factor;
  // Beyond what a byte count holds, or than any disk: the figure says nothing.
  constexpr double kLimit = 9.2e18;
  if (!std::isfinite(bytes) || !(bytes < kLimit)) return {.problem = "too_large"};
  static const char* const kShownUnits[] = {" B", " KB", " MB", " GB", " TB", " PB"};
  const auto step = static_cast<std::int64_t>(std::round(scale * factor));
  return {.size =
              StatedSize{.bytes = static_cast<std::int64_t>(bytes),
                         .step = std::max<std::int64_t>(1, step),
                         .power = unit.power,
                         .shown = Text(text.substr(begin, number_end - begin)) + kShownUnits[unit.power]}};
}

std::optional<StatedSize> ParseSizeText(std::string_view text) { return ReadSizeText(text).size; }

std::optional<StatedSize> StatedFileSize(std::string_view page_text, EventLog* log) {
  const Text marker = Gbk(u8"文件大小：");
  const size_t at = page_text.find(marker);
  if (at == std::string_view::npos) return std::nullopt;
  // Pages word sizes in their own ways ("约 2 MB", "≈1.5GB"): a few bytes
  // of words before the number, on the same line, are passed over.
  std::string_view rest = page_text.substr(at + marker.size());
  constexpr std::size_t kMaxWordsBefore = 16;
  std::size_t skip = 0;
  while (skip < rest.size() && skip < kMaxWordsBefore && !Digit(rest[skip]) && rest[skip] != '-' &&
         rest[skip] != '\n' && rest[skip] != '\r') {
    ++skip;
  }
  const SizeReading reading = ReadSizeText(rest.substr(skip));
  if (!reading.size && log) {
    // What the page wrote, up to the end of its line, for whoever wonders
    // why a download was not checked against its size.
    const std::string_view line = rest.substr(0, std::min(rest.find_first_of("\r\n"), std::size_t{64}));
    log->Record("stated_size_unread", {{"text", Text(line)}, {"reason", std::string(reading.problem)}});
  }
  return reading.size;
}

bool StatedSizeAgrees(const StatedSize& stated, std::int64_t bytes) {
  const double size = static_cast<double>(bytes);
  if (Near(size, static_cast<double>(stated.bytes), static_cast<double>(stated.step))) return true;
  // The same digits read with 1000-based units.
  const double decimal = std::pow(1000.0 / 1024.0, stated.power);
  return Near(size, static_cast<double>(stated.bytes) * decimal, static_cast<double>(stated.step) * decimal);
}

bool StatedSizeExact(const StatedSize& stated, std::int64_t bytes) {
  if (bytes == stated.bytes) return true;
  const double decimal = static_cast<double>(stated.bytes) * std::pow(1000.0 / 1024.0, stated.power);
  return std::fabs(static_cast<double>(bytes) - decimal) < 0.5;
}

Text ByteSizeText(std::int64_t bytes) {
  const char* units[] = {"B", "KB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
  return text;
}

}  // namespace korvath
