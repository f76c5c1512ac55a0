#include "util/json-syntax.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace korvath::json_syntax {
namespace {

bool IsIdentifierChar(char c, bool first) {
  const auto u = static_cast<unsigned char>(c);
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$' || u >= 0x80) return true;
  return !first && c >= '0' && c <= '9';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// A quoted key inside brackets, with the script language's escapes; the
// position is left after the closing quote.
std::optional<std::string> ParseQuotedKey(std::string_view s, std::size_t& i) {
  const char quote = s[i++];
  std::string key;
  while (i < s.size() && s[i] != quote) {
    char c = s[i++];
    if (c == '\n' || c == '\r') return std::nullopt;
    if (c != '\\') {
      key += c;
      continue;
    }
    if (i >= s.size()) return std::nullopt;
    c = s[i++];
    const std::size_t digits = c == 'x' ? 2 : c == 'u' ? 4 : 0;
    if (digits > 0 && i + digits <= s.size()) {
      std::uint32_t cp = 0;
      bool ok = true;
      for (std::size_t k = 0; k < digits; ++k) {
        const int h = HexValue(s[i + k]);
        ok = ok && h >= 0;
        cp = cp * 16 + static_cast<std::uint32_t>(h < 0 ? 0 : h);
      }
      if (ok) {
        AppendUtf8(key, cp);
        i += digits;
        continue;
      }
    }
    switch (c) {
      case 'n':
        key += '\n';
        break;
      case 'r':
        key += '\r';
        break;
      case 't':
        key += '\t';
        break;
      case 'b':
        key += '\b';
        break;
      case 'f':
        key += '\f';
        break;
      case 'v':
        key += '\v';
        break;
      case '0':
        key += '\0';
        break;
      default:
        key += c;
    }
  }
  if (i >= s.size()) return std::nullopt;
  ++i;
  return key;
}

}  // namespace

std::optional<Accessors> ParseAccessors(std::string_view s) {
  Accessors out;
  std::size_t i = 0;
  auto skip_blanks = [&] {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  };
  while (i < s.size()) {
    Accessor step;
    if (s[i] == '.') {
      const std::size_t start = ++i;
      while (i < s.size() && IsIdentifierChar(s[i], i == start)) ++i;
      if (i == start) return std::nullopt;
      step.key = std::string(s.substr(start, i - start));
    } else if (s[i] == '[') {
      ++i;
      skip_blanks();
      if (i >= s.size()) return std::nullopt;
      if (s[i] == '\'' || s[i] == '"') {
        auto key = ParseQuotedKey(s, i);
        if (!key) return std::nullopt;
        step.key = std::move(*key);
      } else {
        const std::size_t start = i;
        if (s[i] == '-') ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
        const std::string_view number = s.substr(start, i - start);
        if (number.empty() || number == "-") return std::nullopt;
        const auto parsed = std::from_chars(number.data(), number.data() + number.size(), step.index);
        // Negative or enormous numbers name a member no array has.
        step.is_index = parsed.ec == std::errc() && step.index >= 0;
        if (!step.is_index) step.key = std::string(number);
      }
      skip_blanks();
      if (i >= s.size() || s[i] != ']') return std::nullopt;
      ++i;
    } else {
      return std::nullopt;
    }
    out.push_back(std::move(step));
  }
  return out;
}

bool NestedTooDeep(std::string_view json, int max_depth) {
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (in_string) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > max_depth) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

// A number as the script language writes it: shortest round-trip digits,
// plain notation from 1e-6 up to 1e21, exponent form outside.
std::string ScriptNumber(double v) {
  if (!std::isfinite(v)) return "null";
  if (v == 0) return "0";
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::scientific);
  const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const std::size_t e = text.find('e');
  std::string sign;
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c == '-')
      sign = "-";
    else if (c != '.')
      digits += c;
  }
  const int exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
  const int k = static_cast<int>(digits.size());
  const int n = exponent + 1;
  if (k <= n && n <= 21) return sign + digits + std::string(static_cast<std::size_t>(n - k), '0');
  if (0 < n && n <= 21) return sign + digits.substr(0, n) + "." + digits.substr(n);
  if (-6 < n && n <= 0) return sign + "0." + std::string(static_cast<std::size_t>(-n), '0') + digits;
  std::string out = sign + digits.substr(0, 1);
  if (k > 1) out += "." + digits.substr(1);
  out += (n - 1 >= 0) ? "e+" : "e-";
  out += std::to_string(std::abs(n - 1));
  return out;
}

// Characters the document's writer escapes as \uXXXX besides control characters.
namespace {

bool EscapedAsUnicode(std::uint32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0xAD || (cp >= 0x600 && cp <= 0x604) ||
         cp == 0x70F || cp == 0x17B4 || cp == 0x17B5 || (cp >= 0x200C && cp <= 0x200F) ||
         (cp >= 0x2028 && cp <= 0x202F) || (cp >= 0x2060 && cp <= 0x206F) || cp == 0xFEFF ||
         (cp >= 0xFFF0 && cp <= 0xFFFF);
}

}  // namespace

void AppendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (i + length > text.size()) length = 1;
    std::uint32_t cp = length == 1 ? lead : lead & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    switch (cp) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (EscapedAsUnicode(cp)) {
          static constexpr char kHex[] = "0123456789abcdef";
          out += "\\u";
          for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(cp >> shift) & 0xF];
        } else {
          out.append(text, i, length);
        }
    }
    i += length;
  }
  out += '"';
}

// The script language's string-to-number rule; NaN when it does not convert.
double StringToNumber(std::string_view text) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double infinity = std::numeric_limits<double>::infinity();
  constexpr std::string_view kBlanks = " \t\n\r\v\f";
  while (!text.empty() && kBlanks.find(text.front()) != std::string_view::npos) text.remove_prefix(1);
  while (!text.empty() && kBlanks.find(text.back()) != std::string_view::npos) text.remove_suffix(1);
  if (text.empty()) return 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    double value = 0;
    for (char c : text.substr(2)) {
      const int h = HexValue(c);
      if (h < 0) return nan;
      value = value * 16 + h;
    }
    return value;
  }
  double sign = 1;
  if (text.front() == '+' || text.front() == '-') {
    sign = text.front() == '-' ? -1 : 1;
    text.remove_prefix(1);
  }
  if (text == "Infinity") return sign * infinity;
  // Only digits, a point and an exponent: from_chars alone would also take
  // "inf" and "nan", and a second sign ("--5").
  if (text.empty() || text.find_first_not_of("0123456789.eE+-") != std::string_view::npos) return nan;
  if (text.front() == '+' || text.front() == '-') return nan;
  double value = 0;
  const auto parsed = std::from_chars(text.data(), text.data() + text.size(), value);
  if (parsed.ptr != text.data() + text.size()) return nan;
  if (parsed.ec == std::errc::result_out_of_range) {
    // Too large becomes Infinity and too small 0, as in the script language.
    const std::size_t e = text.find_first_of("eE");
    const bool tiny = e != std::string_view::npos && e + 1 < text.size() && text[e + 1] == '-';
    return tiny ? 0 : sign * infinity;
  }
  if (parsed.ec != std::errc()) return nan;
  return sign * value;
}

}  // namespace korvath::json_syntax
