// Text from outside (a share page, a remote aria2, a file name) as it may be
// shown in a notice or a message box: on one line, of a length a person
// reads, without characters that hide or reorder what is around them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "util/text.h"

namespace korvath {

// The most characters of an outside text a notice or a box shows.
inline constexpr std::size_t kShownTextChars = 300;

// Bidirectional controls (U+061C, U+200E, U+200F, U+202A..U+202E,
// U+2066..U+2069) and zero-width characters (U+200B..U+200D, U+2060,
// U+FEFF): invisible themselves, they make "invoice\u202Efdp.exe" read as
// "invoiceexe.pdf" or make a blank name look like none.
bool IsHiddenFormatChar(char32_t c);

// `utf8` without hidden format characters, each byte that is no UTF-8
// replaced by U+FFFD, everything else as it was.
std::string WithoutHiddenFormatChars(std::string_view utf8);

// `utf8` without hidden format characters, each run of line breaks and
// other control characters (C0, DEL, C1, U+2028, U+2029) made one space, and
// cut to `max_chars` characters with "……" after a cut. Each byte that is no
// UTF-8 becomes U+FFFD.
std::string OneLineUtf8(std::string_view utf8, std::size_t max_chars = kShownTextChars);

// The same for system text.
Text OneLineText(std::string_view system_text, std::size_t max_chars = kShownTextChars);

}  // namespace korvath
