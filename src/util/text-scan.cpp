// The double-byte-aware scanners: FindText, FindTextLast, ReplaceSubtext,
// SplitText, TextBetween.
#include <cstring>

#include "util/text-step.h"
#include "util/text.h"

namespace korvath {
namespace detail {

const char* BoundaryFinder::Locate(const char* p, std::size_t length) {
  const std::size_t m = needle_.size();
  if (m == 1) return static_cast<const char*>(std::memchr(p, needle_[0], length));
  // memchr on the first byte and a compare is much cheaper than restarting
  // memmem at every match when matches are frequent.
  const char* const end = p + length;
  while (!use_memmem_) {
    const std::size_t left = static_cast<std::size_t>(end - p);
    if (left < m) return nullptr;
    const auto* hit = static_cast<const char*>(std::memchr(p, needle_[0], left - m + 1));
    if (hit == nullptr) return nullptr;
    if (std::memcmp(hit + 1, needle_.data() + 1, m - 1) == 0) return hit;
    // Each miss may have cost a compare of the whole needle; once those
    // compares outweigh the bytes passed, memmem keeps the scan linear.
    scanned_ += static_cast<std::size_t>(hit - p) + 1;
    compared_ += m + 8;
    if (compared_ > 2 * scanned_ + 4096) use_memmem_ = true;
    p = hit + 1;
  }
  return static_cast<const char*>(memmem(p, static_cast<std::size_t>(end - p), needle_.data(), m));
}

std::size_t BoundaryFinder::Next(std::size_t from, std::size_t end) {
  const std::size_t m = needle_.size();
  std::size_t boundary = from;  // a known character boundary
  std::size_t pos = from;       // where the next candidate may begin
  const char* base = text_.data();
  while (pos <= end && end - pos >= m) {
    const char* hit = Locate(base + pos, end - pos);
    if (hit == nullptr) return kNoPos;
    const std::size_t candidate = static_cast<std::size_t>(hit - base);
    // A byte below 0x80 that is not a digit always ends a character (it is a
    // one-byte character or a trail byte), so the byte after it is a boundary.
    // Walk back to the nearest such byte, then step forward to the candidate.
    std::size_t anchor = boundary;
    for (std::size_t k = candidate; k > boundary; --k) {
      const auto c = static_cast<unsigned char>(base[k - 1]);
      if (c < 0x80 && !IsDigitByte(c)) {
        anchor = k;
        break;
      }
    }
    std::size_t q = anchor;
    while (q < candidate) q += CharStep(text_, q);
    if (q == candidate) return candidate;
    // The candidate sits inside a character; q is the next boundary after it.
    boundary = q;
    pos = q;
  }
  return kNoPos;
}

}  // namespace detail

namespace {

using detail::BoundaryFinder;
using detail::kNoPos;

// Folding only matters when the needle has a letter; without one the exact
// scan gives the same answer and needs no folded copy of the text.
bool HasLetter(std::string_view s) {
  for (const char c : s) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return true;
  }
  return false;
}

Text FoldCopy(std::string_view s) {
  Text out(s);
  for (char& c : out) c = detail::FoldAscii(c);
  return out;
}

}  // namespace

std::int64_t FindText(std::string_view text, std::string_view needle, std::optional<std::int64_t> start,
                      bool ignore_case) {
  const auto length = static_cast<std::int64_t>(text.size());
  std::int64_t s = start.value_or(1);
  if (s < 1) s = 1;
  if (s > length) return -1;  // empty region
  if (needle.empty()) return 1;
  const auto from = static_cast<std::size_t>(s - 1);
  std::size_t hit;
  if (ignore_case && HasLetter(needle)) {
    const Text folded_text = FoldCopy(text);
    const Text folded_needle = FoldCopy(needle);
    hit = BoundaryFinder(folded_text, folded_needle).Next(from, text.size());
  } else {
    hit = BoundaryFinder(text, needle).Next(from, text.size());
  }
  return hit == kNoPos ? -1 : static_cast<std::int64_t>(hit) + 1;
}

std::int64_t FindTextLast(std::string_view text, std::string_view needle, std::optional<std::int64_t> start,
                          bool ignore_case) {
  const auto length = static_cast<std::int64_t>(text.size());
  std::int64_t region = length;
  if (start) {
    if (*start <= 1) return -1;
    region = std::min(*start - 1, length);
  }
  if (region <= 0) return -1;
  if (needle.empty()) return 1;
  Text folded_text, folded_needle;
  if (ignore_case && HasLetter(needle)) {
    folded_text = FoldCopy(text);
    folded_needle = FoldCopy(needle);
    text = folded_text;
    needle = folded_needle;
  }
  BoundaryFinder finder(text, needle);
  const auto end = static_cast<std::size_t>(region);
  std::size_t last = kNoPos;
  std::size_t from = 0;
  while (true) {
    const std::size_t hit = finder.Next(from, end);
    if (hit == kNoPos) break;
    last = hit;
    from = hit + detail::CharStep(text, hit);
    if (from >= end) break;
  }
  return last == kNoPos ? -1 : static_cast<std::int64_t>(last) + 1;
}

Text ReplaceSubtext(std::string_view text, std::string_view find, std::string_view replacement,
                    ReplaceOptions options) {
  const std::int64_t start_index = options.start && *options.start > 1 ? *options.start - 1 : 0;
  std::int64_t count = options.count.value_or(-1);
  if (text.empty() || find.empty() || start_index >= static_cast<std::int64_t>(text.size()) || count == 0) {
    return Text(text);
  }
  std::string_view scan_text = text;
  std::string_view scan_find = find;
  Text folded_text, folded_find;
  if (!options.case_sensitive && HasLetter(find)) {
    folded_text = FoldCopy(text);
    folded_find = FoldCopy(find);
    scan_text = folded_text;
    scan_find = folded_find;
  }
  BoundaryFinder finder(scan_text, scan_find);
  Text out;
  out.reserve(text.size());
  std::size_t pos = static_cast<std::size_t>(start_index);
  out.append(text.substr(0, pos));
  while (true) {
    const std::size_t hit = finder.Next(pos, text.size());
    if (hit == kNoPos) break;
    out.append(text.substr(pos, hit - pos));
    out.append(replacement);
    pos = hit + find.size();
    if (count != -1) {
      if (count == 1) break;
      --count;
    }
  }
  out.append(text.substr(pos));
  return out;
}

TextArray SplitText(std::string_view text, std::string_view delimiter,
                    std::optional<std::int64_t> max_parts) {
  TextArray parts;
  std::int64_t remaining = -1;  // -1: no maximum
  if (max_parts) remaining = std::max<std::int64_t>(*max_parts, 0);
  if (text.empty() || remaining == 0) return parts;
  if (delimiter.empty()) {
    parts.emplace_back(text);
    return parts;
  }
  BoundaryFinder finder(text, delimiter);
  std::size_t pos = 0;
  while (true) {
    const std::size_t hit = finder.Next(pos, text.size());
    if (hit == kNoPos) break;
    parts.emplace_back(text.substr(pos, hit - pos));
    pos = hit + delimiter.size();
    if (remaining > 0 && --remaining == 0) return parts;
  }
  if (pos < text.size()) parts.emplace_back(text.substr(pos));
  return parts;
}

Text TextBetween(std::string_view text, std::string_view left, std::string_view right,
                 BetweenOptions options) {
  const Text& quote_token = Gbk(u8"#引号");
  const Text left_marker = ReplaceSubtext(left, quote_token, "\"", {.case_sensitive = true});
  const Text right_marker = ReplaceSubtext(right, quote_token, "\"", {.case_sensitive = true});
  std::int64_t p = FindText(text, left_marker, options.start, options.ignore_case);
  if (p == -1) return "";
  p += static_cast<std::int64_t>(left_marker.size());
  const std::int64_t q = FindText(text, right_marker, p, options.ignore_case);
  if (q == -1) return "";
  return TextMid(text, p, q - p);
}

}  // namespace korvath
