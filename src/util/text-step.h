// Character stepping shared by the text scanners (private to util).
//
// A byte >= 0x80 leads a two-byte character. GB18030 adds four-byte characters
// (lead, digit, lead, digit); stepping those as two double-byte units would let
// a match begin at their third byte, so a complete four-byte sequence is
// stepped as one unit. Valid GBK never has a digit as trail byte, so GBK text
// steps exactly as before.
#pragma once

#include <cstddef>
#include <string_view>

namespace korvath::detail {

inline bool IsDigitByte(unsigned char c) { return c >= 0x30 && c <= 0x39; }
inline bool IsLead4(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

// Length of the character at `i` (1, 2 or 4); may run past the end when a
// lead byte ends the text, which ends every scan.
inline std::size_t CharStep(std::string_view s, std::size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return 1;
  if (i + 3 < s.size() && IsLead4(c) && IsDigitByte(static_cast<unsigned char>(s[i + 1])) &&
      IsLead4(static_cast<unsigned char>(s[i + 2])) && IsDigitByte(static_cast<unsigned char>(s[i + 3]))) {
    return 4;
  }
  return 2;
}

inline char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

inline constexpr std::size_t kNoPos = static_cast<std::size_t>(-1);

// Finds needle (non-empty) in text at a character boundary, the match lying
// wholly before `end`. `from` must itself be a character boundary. Jumps to
// candidates with memchr/memmem and settles each candidate's boundary in time
// linear in the bytes since the previous one.
class BoundaryFinder {
 public:
  BoundaryFinder(std::string_view text, std::string_view needle) : text_(text), needle_(needle) {}
  std::size_t Next(std::size_t from, std::size_t end);

 private:
  const char* Locate(const char* p, std::size_t length);

  std::string_view text_;
  std::string_view needle_;
  bool use_memmem_ = false;
  std::size_t compared_ = 0;
  std::size_t scanned_ = 0;
};

}  // namespace korvath::detail
