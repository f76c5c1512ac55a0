// One regular expression run over one subject, its matches kept for reading.
//
// The dialect is the ECMAScript 3 one: classes, \d \w \s (ASCII), anchors,
// \b, greedy and lazy quantifiers, groups, look-ahead, \1..\9, alternation.
// "." never matches a line feed. The subject and the pattern are system text;
// matching works on characters, so "." takes a whole Chinese character.
// No operation throws or reports an error: failures read as "" or 0.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "util/text.h"

namespace korvath {

struct RegexOptions {
  bool case_sensitive = false;  // by default letters match without regard to case
  bool multi_line = true;       // ^ and $ also at line breaks
  bool global = true;           // every match, else only the first
  bool quote_token = false;     // "#引号" in the pattern stands for a double quote
};

// A match or group read together with where it lies in the subject.
struct RegexHit {
  Text text;
  std::int64_t position = -1;  // zero-based byte offset in the subject; -1 when none
};

class RegexObject {
 public:
  RegexObject();
  ~RegexObject();
  // A copy shares the compiled expression and the matches and copies the subject.
  RegexObject(const RegexObject&);
  RegexObject& operator=(const RegexObject&);
  RegexObject(RegexObject&&) noexcept;
  RegexObject& operator=(RegexObject&&) noexcept;

  // Compiles `pattern` and searches all of `subject`. True when the search
  // ran, also with no match; false for an invalid pattern, after which every
  // reading operation gives "" or 0. A search that runs into the backtracking
  // limit counts as having found nothing more.
  bool Create(std::string_view pattern, std::string_view subject, RegexOptions options = {});

  // The pattern of the last Create (after the quote-token replacement); "" before any.
  Text GetPattern() const;

  // The last subject with its matches (all with `global`, else the first)
  // replaced; "$1".."$9" in `replacement` stand for the groups of each match.
  Text Replace(std::string_view replacement = {}) const;

  std::int64_t MatchCount() const;

  // Numbers are 1-based. "" when there is no such match or group, or when
  // the group took no part in the match.
  Text GetMatch(std::int64_t match) const;
  RegexHit GetMatchAt(std::int64_t match) const;
  Text GetSubMatch(std::int64_t match, std::int64_t group) const;
  RegexHit GetSubMatchAt(std::int64_t match, std::int64_t group) const;

  // The number of groups in the pattern when there is a match; else 0.
  std::int64_t SubMatchCount() const;

 private:
  struct Expression;
  struct Matches;
  std::shared_ptr<const Expression> expression_;
  std::shared_ptr<const Matches> matches_;
  Text subject_;
};

}  // namespace korvath
