// Regex compile and match on bounded input: byte 0 picks the flags, the
// pattern runs to the first zero byte, the rest is the subject.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "util/regex-object.h"
#include "util/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 4096) return 0;
  const std::uint8_t flags = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t split = rest.find('\0');
  if (split == std::string_view::npos || split > 256) return 0;
  const std::string_view pattern = rest.substr(0, split);
  const std::string_view subject = rest.substr(split + 1);

  korvath::RegexObject regex;
  const korvath::RegexOptions options{.case_sensitive = (flags & 1) != 0,
                                      .multi_line = (flags & 2) != 0,
                                      .global = (flags & 4) != 0,
                                      .quote_token = (flags & 8) != 0};
  const bool created = regex.Create(pattern, subject, options);
  const std::int64_t count = regex.MatchCount();
  if (!created && (count != 0 || regex.SubMatchCount() != 0)) __builtin_trap();
  if (!options.global && count > 1) __builtin_trap();
  // Positions must point at the match text whenever the subject converts losslessly.
  const bool lossless = korvath::Utf8ToGbk(korvath::GbkToUtf8(subject)) == subject;
  for (std::int64_t m = 1; m <= count && m <= 8; ++m) {
    const korvath::RegexHit hit = regex.GetMatchAt(m);
    if (lossless && subject.substr(static_cast<std::size_t>(hit.position), hit.text.size()) != hit.text) {
      __builtin_trap();
    }
    for (std::int64_t g = 1; g <= regex.SubMatchCount() && g <= 4; ++g) regex.GetSubMatchAt(m, g);
  }
  regex.Replace("<$1$2$9$>");
  regex.GetPattern();
  return 0;
}
