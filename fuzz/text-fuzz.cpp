// Feeds arbitrary bytes to the text scanners and the URL decoder. Besides
// memory safety it checks the properties every caller relies on: results lie
// inside the text, on a character boundary, and agree with each other.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "util/text.h"

namespace {

using namespace korvath;

void CheckAt(bool condition, int line) {
  if (!condition) {
    std::fprintf(stderr, "text-fuzz: property at line %d does not hold\n", line);
    std::abort();
  }
}
#define Check(condition) CheckAt((condition), __LINE__)

// True when a walk from `from` reaches `at` stepping whole characters.
bool OnBoundary(std::string_view text, std::size_t from, std::size_t at) {
  std::size_t i = from;
  while (i < at) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t step = c < 0x80 ? 1 : 2;
    if (c >= 0x81 && c <= 0xFE && i + 3 < text.size()) {
      const auto b1 = static_cast<unsigned char>(text[i + 1]);
      const auto b2 = static_cast<unsigned char>(text[i + 2]);
      const auto b3 = static_cast<unsigned char>(text[i + 3]);
      if (b1 >= 0x30 && b1 <= 0x39 && b2 >= 0x81 && b2 <= 0xFE && b3 >= 0x30 && b3 <= 0x39) step = 4;
    }
    i += step;
  }
  return i == at;
}

}  // namespace

// Input layout: 2 bytes of parameters, then needle and text separated by the
// first 0x00 (or the last 4 bytes as needle when there is none). Text holds no
// zero byte, so the text ends at the next one.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t flags = data[0];
  const std::int64_t start = static_cast<std::int8_t>(data[1]);
  std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
  std::string_view needle, text;
  if (const std::size_t zero = rest.find('\0'); zero != std::string_view::npos) {
    needle = rest.substr(0, zero);
    text = rest.substr(zero + 1);
    text = text.substr(0, text.find('\0'));
  } else {
    needle = rest.substr(rest.size() - std::min<std::size_t>(4, rest.size()));
    text = rest;
  }
  const bool ignore_case = flags & 1;

  const std::int64_t first = FindText(text, needle, start, ignore_case);
  if (first != -1 && !needle.empty()) {
    const std::size_t from = static_cast<std::size_t>(std::max<std::int64_t>(start, 1) - 1);
    Check(first >= 1 && static_cast<std::size_t>(first - 1) + needle.size() <= text.size());
    Check(OnBoundary(text, from, static_cast<std::size_t>(first - 1)));
    if (!ignore_case) Check(text.substr(first - 1, needle.size()) == needle);
  }
  const std::int64_t last = FindTextLast(text, needle, std::nullopt, ignore_case);
  if (!needle.empty()) {
    // Both scans walk from the first byte when no start is given.
    const std::int64_t first_whole = FindText(text, needle, std::nullopt, ignore_case);
    Check((first_whole == -1) == (last == -1));
    Check(last == -1 || last >= first_whole);
    if (last != -1) Check(OnBoundary(text, 0, static_cast<std::size_t>(last - 1)));
  }

  const Text replaced = ReplaceSubtext(
      text, needle, "#", {.start = start, .count = (flags >> 1) & 3, .case_sensitive = (flags & 8) != 0});
  if (needle.size() == 1 && !ignore_case) Check(replaced.size() == text.size());

  const auto max = (flags & 16) ? std::optional<std::int64_t>(flags >> 5) : std::nullopt;
  const TextArray parts = SplitText(text, needle, max);
  std::size_t total = 0;
  for (const Text& part : parts) total += part.size();
  Check(total <= text.size());
  if (!needle.empty() && !max) {
    // Joining the parts gives the text back, less at most one trailing delimiter.
    Text joined;
    for (std::size_t i = 0; i < parts.size(); ++i) {
      if (i > 0) joined += needle;
      joined += parts[i];
    }
    Check(joined == text || joined + Text(needle) == text);
  }

  const Text between =
      TextBetween(text, needle.substr(0, needle.size() / 2), needle.substr(needle.size() / 2),
                  {.start = start, .ignore_case = ignore_case});
  Check(between.size() <= text.size());

  const Text decoded = UrlDecode(text, (flags & 32) != 0);
  if (!(flags & 32)) {
    Check(decoded.size() <= text.size());
    Check(decoded.find('\0') == Text::npos);
  }
  Check(UrlDecode(UrlEncode(decoded, (flags & 64) != 0)) == decoded);
  return 0;
}
