// Text primitives: cutting, blanks, case, characters, comparison.
#include "util/text.h"

#include <algorithm>
#include <ostream>

#include "util/text-step.h"

namespace korvath {

std::ostream& operator<<(std::ostream& out, const Text& text) { return out << std::string_view(text); }

using detail::CharStep;
using detail::FoldAscii;

std::int64_t TextLength(std::string_view text) { return static_cast<std::int64_t>(text.size()); }

Text TextLeft(std::string_view text, std::int64_t n) {
  if (n <= 0) return "";
  return Text(text.substr(0, static_cast<std::size_t>(std::min<std::int64_t>(n, TextLength(text)))));
}

Text TextRight(std::string_view text, std::int64_t n) {
  if (n <= 0) return "";
  const auto k = static_cast<std::size_t>(std::min<std::int64_t>(n, TextLength(text)));
  return Text(text.substr(text.size() - k));
}

Text TextMid(std::string_view text, std::int64_t start, std::int64_t n) {
  if (start < 1 || start > TextLength(text) || n <= 0) return "";
  const auto from = static_cast<std::size_t>(start - 1);
  const auto k = static_cast<std::size_t>(std::min<std::int64_t>(n, TextLength(text) - (start - 1)));
  return Text(text.substr(from, k));
}

namespace {

constexpr unsigned char kWideSpace = 0xA1;

// Length of the blank at i (1 for 0x20, 2 for A1 A1), or 0.
std::size_t BlankAt(std::string_view s, std::size_t i) {
  if (s[i] == ' ') return 1;
  if (static_cast<unsigned char>(s[i]) == kWideSpace && i + 1 < s.size() &&
      static_cast<unsigned char>(s[i + 1]) == kWideSpace) {
    return 2;
  }
  return 0;
}

}  // namespace

Text TrimBlanks(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t blank = BlankAt(text, i);
    if (blank == 0) break;
    i += blank;
  }
  const std::size_t begin = i;
  // The trailing run is found walking forward, so a trail byte A1 is never
  // mistaken for half of a full-width space.
  std::size_t run_start = text.size();
  bool in_run = false;
  while (i < text.size()) {
    const std::size_t blank = BlankAt(text, i);
    if (blank != 0) {
      if (!in_run) run_start = i;
      in_run = true;
      i += blank;
    } else {
      in_run = false;
      i += CharStep(text, i);
    }
  }
  const std::size_t end = in_run ? run_start : text.size();
  return Text(text.substr(begin, end - begin));
}

Text RemoveBlanks(std::string_view text) {
  Text out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t blank = BlankAt(text, i);
    if (blank != 0) {
      i += blank;
      continue;
    }
    const std::size_t step = std::min(CharStep(text, i), text.size() - i);
    out.append(text.substr(i, step));
    i += step;
  }
  return out;
}

namespace {

template <typename Convert>
Text ConvertLetters(std::string_view text, Convert convert) {
  Text out(text);
  std::size_t i = 0;
  while (i < out.size()) {
    const std::size_t step = CharStep(out, i);
    if (step == 1) out[i] = convert(out[i]);
    i += step;
  }
  return out;
}

}  // namespace

Text ToUpper(std::string_view text) {
  return ConvertLetters(text, [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; });
}

Text ToLower(std::string_view text) { return ConvertLetters(text, FoldAscii); }

Text CharText(std::int64_t code) {
  const auto byte = static_cast<char>(static_cast<std::uint64_t>(code) & 0xFF);
  if (byte == 0) return "";
  return Text(1, byte);
}

int CharCode(std::string_view text, std::int64_t position) {
  if (position < 1 || position > TextLength(text)) return 0;
  return static_cast<signed char>(text[static_cast<std::size_t>(position - 1)]);
}

Text SpaceText(std::int64_t n) {
  if (n < 1) return "";
  return Text(static_cast<std::size_t>(n), ' ');
}

Text RepeatText(std::int64_t count, std::string_view text) {
  Text out;
  if (count <= 0 || text.empty()) return out;
  out.reserve(static_cast<std::size_t>(count) * text.size());
  for (std::int64_t i = 0; i < count; ++i) out.append(text);
  return out;
}

int CompareText(std::string_view a, std::string_view b, bool case_sensitive) {
  std::size_t i = 0;
  while (i < a.size() && i < b.size()) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (x >= 0x80 || y >= 0x80) {
      // Compare the whole character as a unit; its trail byte is never folded.
      if (x != y) return x < y ? -1 : 1;
      const std::size_t step = std::min(CharStep(a, i), a.size() - i);
      for (std::size_t k = 1; k < step; ++k) {
        if (i + k >= b.size()) return 1;
        const auto xs = static_cast<unsigned char>(a[i + k]);
        const auto ys = static_cast<unsigned char>(b[i + k]);
        if (xs != ys) return xs < ys ? -1 : 1;
      }
      i += step;
      continue;
    }
    const auto fx = static_cast<unsigned char>(case_sensitive ? a[i] : FoldAscii(a[i]));
    const auto fy = static_cast<unsigned char>(case_sensitive ? b[i] : FoldAscii(b[i]));
    if (fx != fy) return fx < fy ? -1 : 1;
    ++i;
  }
  const std::size_t rest_a = a.size() - std::min(i, a.size());
  const std::size_t rest_b = b.size() - std::min(i, b.size());
  if (rest_a == rest_b) return 0;
  return rest_a < rest_b ? -1 : 1;
}

}  // namespace korvath
