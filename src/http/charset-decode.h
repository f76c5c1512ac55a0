// Decoding a response body from the character set its page declares.
#pragma once

#include <optional>
#include <string_view>

#include "util/text.h"

namespace korvath {

// The charset a page declares in a <meta ...charset=...> tag within the first
// 1,024 bytes of `text`; empty when there is none. The tag must sit on one line.
Text DeclaredCharset(std::string_view text);

// `body` decoded from `charset` into system text, cut at the first zero
// character; bytes that are not valid in the charset come out as "?".
// GB2312 is read as GBK. nullopt when the charset is unknown.
std::optional<Text> DecodeCharset(const Bytes& body, std::string_view charset);

}  // namespace korvath
