#include "util/regex-object.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace korvath {
namespace {

// Each search call may take this many backtracking steps. Patterns that
// backtrack exponentially ("(a+)+$" on a long run of "a") reach it within
// milliseconds; a sane pattern over a page head needs a small fraction.
constexpr std::uint32_t kMatchLimit = 2'000'000;
constexpr std::uint32_t kDepthLimit = 100'000;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Length of a valid ECMAScript quantifier "{n}", "{n,}" or "{n,m}" at `at`, 0 if none.
std::size_t BraceQuantifierLength(std::string_view p, std::size_t at) {
  std::size_t i = at + 1;
  std::size_t digits = 0;
  while (i < p.size() && IsDigit(p[i])) ++i, ++digits;
  if (digits == 0) return 0;
  if (i < p.size() && p[i] == ',') {
    ++i;
    while (i < p.size() && IsDigit(p[i])) ++i;
  }
  if (i < p.size() && p[i] == '}') return i + 1 - at;
  return 0;
}

// Rewrites an ECMAScript 3 pattern (UTF-8) into the PCRE2 syntax that means
// the same, or gives nullopt for syntax ECMAScript 3 lacks (look-behind,
// named groups, inline options, atomic groups, possessive quantifiers, verbs), so
// such a pattern is refused as it would be by a script engine.
// In multi-line mode "^" and "$" also hold at CR, LF, U+2028 and U+2029, so
// a CR LF page behaves as a script engine sees it.
std::optional<std::string> ToPcrePattern(std::string_view p, bool multi_line) {
  std::string out;
  out.reserve(p.size() + 8);
  bool in_class = false;
  std::size_t i = 0;
  while (i < p.size()) {
    const char c = p[i];
    if (c == '\\') {
      if (i + 1 >= p.size()) return std::nullopt;  // a lone trailing backslash
      const char n = p[i + 1];
      i += 2;
      if (n == 'v') {
        out += "\\x0B";  // PCRE2's \v is a class of vertical space
      } else if (IsAsciiLetter(n) && !std::strchr("bBdDsSwWfnrtcxu", n)) {
        out += n;  // \h, \K, \Q, \p and the like are plain letters in ECMAScript
      } else {
        out += c;
        out += n;
      }
      continue;
    }
    if (in_class) {
      if (c == ']') in_class = false;
      // "[[:alpha:]]" is a POSIX class to PCRE2 but plain characters here.
      out += (c == '[') ? std::string("\\[") : std::string(1, c);
      ++i;
      continue;
    }
    if (c == '[') {
      in_class = true;
      out += c;
      ++i;
      if (i < p.size() && p[i] == '^') out += p[i++];
      continue;
    }
    // "(*" is a PCRE2 verb such as (*ACCEPT) but a syntax error in ECMAScript.
    if (c == '(' && i + 1 < p.size() && p[i + 1] == '*') return std::nullopt;
    if (c == '(' && i + 1 < p.size() && p[i + 1] == '?') {
      if (i + 2 >= p.size() || !std::strchr(":=!", p[i + 2])) return std::nullopt;
      out.append(p.substr(i, 3));
      i += 3;
      continue;
    }
    if (multi_line && (c == '^' || c == '$')) {
      out += (c == '^') ? "(?<![^\\n\\r\\u2028\\u2029])" : "(?![^\\n\\r\\u2028\\u2029])";
      ++i;
      continue;
    }
    std::size_t quantifier = 0;
    if (c == '*' || c == '+' || c == '?') {
      quantifier = 1;
    } else if (c == '{') {
      quantifier = BraceQuantifierLength(p, i);
      if (quantifier == 0) {
        // Not a quantifier, so a literal brace; PCRE2 would read "{,3}" as one.
        out += "\\{";
        ++i;
        continue;
      }
    }
    if (quantifier > 0) {
      out.append(p.substr(i, quantifier));
      i += quantifier;
      if (i < p.size() && p[i] == '?') out += p[i++];
      if (i < p.size() && p[i] == '+') return std::nullopt;  // possessive form
      continue;
    }
    out += c;
    ++i;
  }
  return out;
}

std::size_t NextCharEnd(const std::string& s, std::size_t at) {
  std::size_t end = at + 1;
  while (end < s.size() && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) ++end;
  return end;
}

}  // namespace

struct RegexObject::Expression {
  Text pattern;  // as given to the engine, after the quote-token replacement
  bool global = true;
  std::uint32_t group_count = 0;
};

struct RegexObject::Matches {
  std::string subject_utf8;
  std::uint32_t group_count = 0;
  // Per match: start and end offsets of the match and of each group, in
  // bytes of subject_utf8; PCRE2_UNSET for a group that took no part.
  std::vector<std::vector<std::size_t>> spans;

  std::optional<std::pair<std::size_t, std::size_t>> Span(std::int64_t match, std::int64_t group) const {
    if (match < 1 || match > static_cast<std::int64_t>(spans.size())) return std::nullopt;
    if (group < 0 || group > static_cast<std::int64_t>(group_count)) return std::nullopt;
    const auto& ov = spans[static_cast<std::size_t>(match - 1)];
    const std::size_t start = ov[2 * group];
    const std::size_t end = ov[2 * group + 1];
    if (start == PCRE2_UNSET || end == PCRE2_UNSET || end < start) return std::nullopt;
    return std::make_pair(start, end);
  }

  RegexHit Hit(std::int64_t match, std::int64_t group) const {
    const auto span = Span(match, group);
    if (!span) return {};
    RegexHit hit;
    hit.text = Utf8ToGbk(std::string_view(subject_utf8).substr(span->first, span->second - span->first));
    hit.position =
        static_cast<std::int64_t>(Utf8ToGbk(std::string_view(subject_utf8).substr(0, span->first)).size());
    return hit;
  }
};

RegexObject::RegexObject() = default;
RegexObject::~RegexObject() = default;
RegexObject::RegexObject(const RegexObject&) = default;
RegexObject& RegexObject::operator=(const RegexObject&) = default;
RegexObject::RegexObject(RegexObject&&) noexcept = default;
RegexObject& RegexObject::operator=(RegexObject&&) noexcept = default;

bool RegexObject::Create(std::string_view pattern, std::string_view subject, RegexOptions options) {
  expression_.reset();
  matches_.reset();
  subject_.clear();
  try {
    std::string pattern_utf8 = GbkToUtf8(pattern);
    if (options.quote_token) {
      static constexpr std::string_view kToken = "#\xE5\xBC\x95\xE5\x8F\xB7";  // "#引号"
      for (std::size_t at = pattern_utf8.find(kToken); at != std::string::npos;
           at = pattern_utf8.find(kToken, at + 1)) {
        pattern_utf8.replace(at, kToken.size(), 1, '"');
      }
    }
    auto expression = std::make_shared<Expression>();
    expression->pattern = Utf8ToGbk(pattern_utf8);
    expression->global = options.global;
    expression_ = expression;
    subject_ = Text(subject);

    const std::optional<std::string> translated = ToPcrePattern(pattern_utf8, options.multi_line);
    if (!translated) return false;

    std::uint32_t flags = PCRE2_UTF | PCRE2_ALT_BSUX | PCRE2_MATCH_UNSET_BACKREF | PCRE2_ALLOW_EMPTY_CLASS |
                          PCRE2_NEVER_BACKSLASH_C;
    if (!options.case_sensitive) flags |= PCRE2_CASELESS;
    // "$" is the end of the subject only, not also before a final line feed.
    flags |= PCRE2_DOLLAR_ENDONLY;

    std::unique_ptr<pcre2_compile_context, decltype(&pcre2_compile_context_free)> compile_context(
        pcre2_compile_context_create(nullptr), &pcre2_compile_context_free);
    if (!compile_context) return false;
    pcre2_set_newline(compile_context.get(), PCRE2_NEWLINE_LF);

    int error_code = 0;
    PCRE2_SIZE error_offset = 0;
    std::unique_ptr<pcre2_code, decltype(&pcre2_code_free)> code(
        pcre2_compile(reinterpret_cast<PCRE2_SPTR>(translated->data()), translated->size(), flags,
                      &error_code, &error_offset, compile_context.get()),
        &pcre2_code_free);
    if (!code) return false;
    std::uint32_t group_count = 0;
    pcre2_pattern_info(code.get(), PCRE2_INFO_CAPTURECOUNT, &group_count);
    expression->group_count = group_count;

    std::unique_ptr<pcre2_match_context, decltype(&pcre2_match_context_free)> match_context(
        pcre2_match_context_create(nullptr), &pcre2_match_context_free);
    std::unique_ptr<pcre2_match_data, decltype(&pcre2_match_data_free)> match_data(
        pcre2_match_data_create_from_pattern(code.get(), nullptr), &pcre2_match_data_free);
    if (!match_context || !match_data) return false;
    pcre2_set_match_limit(match_context.get(), kMatchLimit);
    pcre2_set_depth_limit(match_context.get(), kDepthLimit);

    auto matches = std::make_shared<Matches>();
    matches->subject_utf8 = GbkToUtf8(subject);
    matches->group_count = group_count;
    const std::string& s = matches->subject_utf8;
    const auto* data = reinterpret_cast<PCRE2_SPTR>(s.data());
    std::size_t position = 0;
    while (position <= s.size()) {
      // Any failure here (no match, the backtracking limit, a bad offset)
      // ends the search with the matches found so far.
      const int rc =
          pcre2_match(code.get(), data, s.size(), position, 0, match_data.get(), match_context.get());
      if (rc <= 0) break;
      const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(match_data.get());
      matches->spans.emplace_back(ovector, ovector + 2 * (group_count + 1));
      if (!options.global) break;
      const std::size_t start = ovector[0];
      std::size_t end = ovector[1];
      if (end <= start) {
        // An empty match moves the search on by one character, as script engines do.
        if (start >= s.size()) break;
        end = NextCharEnd(s, start);
      }
      position = end;
    }
    matches_ = std::move(matches);
    return true;
  } catch (...) {
    matches_.reset();
    return false;
  }
}

Text RegexObject::GetPattern() const { return expression_ ? expression_->pattern : Text(); }

Text RegexObject::Replace(std::string_view replacement) const {
  if (!expression_ || !matches_) return {};
  if (matches_->spans.empty()) return subject_;
  try {
    const std::string with = GbkToUtf8(replacement);
    const std::string& s = matches_->subject_utf8;
    std::string out;
    std::size_t last = 0;
    for (std::size_t m = 0; m < matches_->spans.size(); ++m) {
      const std::size_t start = matches_->spans[m][0];
      const std::size_t end = matches_->spans[m][1];
      out.append(s, last, start - last);
      for (std::size_t i = 0; i < with.size(); ++i) {
        const int group = (with[i] == '$' && i + 1 < with.size() && with[i + 1] >= '1' && with[i + 1] <= '9')
                              ? with[i + 1] - '0'
                              : 0;
        // "$n" naming a group the pattern lacks stays as written.
        if (group == 0 || static_cast<std::uint32_t>(group) > matches_->group_count) {
          out += with[i];
          continue;
        }
        if (const auto span = matches_->Span(static_cast<std::int64_t>(m) + 1, group)) {
          out.append(s, span->first, span->second - span->first);
        }
        ++i;
      }
      last = end;
    }
    out.append(s, last, std::string::npos);
    return Utf8ToGbk(out);
  } catch (...) {
    return {};
  }
}

std::int64_t RegexObject::MatchCount() const {
  return matches_ ? static_cast<std::int64_t>(matches_->spans.size()) : 0;
}

Text RegexObject::GetMatch(std::int64_t match) const { return GetMatchAt(match).text; }

RegexHit RegexObject::GetMatchAt(std::int64_t match) const {
  try {
    return matches_ ? matches_->Hit(match, 0) : RegexHit{};
  } catch (...) {
    return {};
  }
}

Text RegexObject::GetSubMatch(std::int64_t match, std::int64_t group) const {
  return GetSubMatchAt(match, group).text;
}

RegexHit RegexObject::GetSubMatchAt(std::int64_t match, std::int64_t group) const {
  if (group < 1) return {};
  try {
    return matches_ ? matches_->Hit(match, group) : RegexHit{};
  } catch (...) {
    return {};
  }
}

std::int64_t RegexObject::SubMatchCount() const {
  return (matches_ && !matches_->spans.empty()) ? matches_->group_count : 0;
}

}  // namespace korvath
