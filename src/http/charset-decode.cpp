#include "http/charset-decode.h"

#include <iconv.h>

#include <cerrno>

#include "util/regex-object.h"

namespace korvath {

Text DeclaredCharset(std::string_view text) {
  RegexObject regex;
  if (!regex.Create("<meta.+?charset=[^\\w]?([-\\w]+)", TextLeft(text, 1024))) return {};
  return regex.GetSubMatch(1, 1);
}

std::optional<Text> DecodeCharset(const Bytes& body, std::string_view charset) {
  const std::string from(charset);
  iconv_t cd = iconv_open("GB18030", from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;

  const char* in = reinterpret_cast<const char*>(body.data());
  std::size_t in_left = body.size();
  // A UTF-8 byte-order mark is a marker, not text.
  const Text lowered = ToLower(charset);
  if ((lowered == "utf-8" || lowered == "utf8") && in_left >= 3 &&
      static_cast<unsigned char>(in[0]) == 0xEF && static_cast<unsigned char>(in[1]) == 0xBB &&
      static_cast<unsigned char>(in[2]) == 0xBF) {
    in += 3;
    in_left -= 3;
  }

  Text out;
  char buffer[4096];
  while (in_left > 0) {
    char* dst = buffer;
    std::size_t dst_left = sizeof buffer;
    const std::size_t rc = iconv(cd, const_cast<char**>(&in), &in_left, &dst, &dst_left);
    out.append(buffer, static_cast<std::size_t>(dst - buffer));
    if (rc != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) continue;
    // Invalid or cut-off input: one byte becomes "?" and decoding goes on.
    out += '?';
    ++in;
    --in_left;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  {
    char* dst = buffer;
    std::size_t dst_left = sizeof buffer;
    iconv(cd, nullptr, nullptr, &dst, &dst_left);
    out.append(buffer, static_cast<std::size_t>(dst - buffer));
  }
  iconv_close(cd);
  const auto zero = out.find('\0');
  if (zero != Text::npos) out.resize(zero);
  return out;
}

}  // namespace korvath
