#include "http/charset-decode.h"

#include <iconv.h>

#include <cerrno>

#include "util/regex-object.h"

namespace korvath {
namespace {

bool HasBytesNoCase(std::string_view text, std::string_view needle) {
  auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
  for (std::size_t i = 0; i + needle.size() <= text.size(); ++i) {
    std::size_t k = 0;
    while (k < needle.size() &&
           lower(static_cast<unsigned char>(text[i + k])) == lower(static_cast<unsigned char>(needle[k])))
      ++k;
    if (k == needle.size()) return true;
  }
  return false;
}

}  // namespace

Text DeclaredCharset(std::string_view text) {
  const Text head = TextLeft(text, 1024);
  // Most replies (JSON, plain text) hold no "charset=" at all; the pattern
  // cannot match them, so the expression is not even compiled.
  // The search is byte-wise on purpose: a match needs these ASCII bytes
  // literally, however the expression pairs the bytes around them.
  if (!HasBytesNoCase(head, "charset=") || !HasBytesNoCase(head, "<meta")) return {};
  RegexObject regex;
  if (!regex.Create("<meta.+?charset=[^\\w]?([-\\w]+)", head)) return {};
  return regex.GetSubMatch(1, 1);
}

std::optional<Text> DecodeCharset(const Bytes& body, std::string_view charset) {
  const Text lowered = ToLower(charset);
  // Pages labelled GB2312 are written in GBK, and the platform's decoder
  // reads the label as GBK: strict GB2312 would lose every character only
  // GBK has and misread the bytes after it.
  const std::string from = lowered == "gb2312" ? "GBK" : std::string(charset);
  iconv_t cd = iconv_open("GB18030", from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;

  const char* in = reinterpret_cast<const char*>(body.data());
  std::size_t in_left = body.size();
  // A UTF-8 byte-order mark is a marker, not text.
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
