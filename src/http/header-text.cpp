#include "http/header-text.h"

#include <vector>

namespace korvath {
namespace {

constexpr std::string_view kCrLf = "\r\n";

bool Contains(std::string_view text, std::string_view needle, bool ignore_case) {
  return FindText(text, needle, std::nullopt, ignore_case) > 0;
}

inline unsigned char AsciiLower(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (AsciiLower(static_cast<unsigned char>(text[i])) !=
        AsciiLower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

// Response header blocks are network bytes, not system text: a double-byte
// aware scan would pair a trailing high byte of a UTF-8 value with the CR or
// ";" after it and run two lines or two fields together. So they are split
// and searched byte by byte.
std::vector<std::string_view> SplitCrLf(std::string_view text) {
  std::vector<std::string_view> lines;
  if (text.empty()) return lines;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t end = text.find(kCrLf, pos);
    if (end == std::string_view::npos) {
      lines.push_back(text.substr(pos));
      return lines;
    }
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
}

std::size_t FindNoCase(std::string_view text, std::string_view needle, std::size_t from = 0) {
  for (std::size_t i = from; i + needle.size() <= text.size(); ++i) {
    if (StartsWithNoCase(text.substr(i), needle)) return i;
  }
  return std::string_view::npos;
}

Text ReplaceNoCase(std::string_view text, std::string_view needle, std::string_view replacement) {
  Text out;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t hit = FindNoCase(text, needle, pos);
    if (hit == std::string_view::npos) break;
    out.append(text.substr(pos, hit - pos));
    out.append(replacement);
    pos = hit + needle.size();
  }
  out.append(text.substr(pos));
  return out;
}

// TrimBlanks for network bytes: a space is never part of a GBK character, so
// spaces go byte by byte (a stepping walk would keep one that follows the odd
// last high byte of a UTF-8 value), full-width blanks as characters.
Text TrimCookieBlanks(std::string_view text) {
  Text trimmed(text);
  for (;;) {
    const auto first = trimmed.find_first_not_of(' ');
    const auto last = trimmed.find_last_not_of(' ');
    Text next =
        first == Text::npos ? Text() : TrimBlanks(std::string_view(trimmed).substr(first, last - first + 1));
    if (next == trimmed) return next;
    trimmed = std::move(next);
  }
}

}  // namespace

const char* HttpMethodName(int method) {
  static constexpr const char* kNames[] = {"GET",     "POST",   "HEAD",  "PUT",
                                           "OPTIONS", "DELETE", "TRACE", "CONNECT"};
  return method >= 0 && method <= 7 ? kNames[method] : kNames[0];
}

Text NormalizeHeaderNames(std::string_view header_text) {
  Text out;
  for (std::string_view line : SplitCrLf(header_text)) {
    const auto colon = line.find(':');
    if (colon == Text::npos) continue;
    Text fixed(line);
    bool piece_start = true;
    for (std::size_t i = 0; i < colon; ++i) {
      unsigned char c = static_cast<unsigned char>(fixed[i]);
      if (piece_start && c >= 'a' && c <= 'z') fixed[i] = static_cast<char>(c - 32);
      piece_start = c == '-';
    }
    if (!out.empty()) out += kCrLf;
    out += fixed;
  }
  return out;
}

Text WinInetUserAgent(std::string_view header_text) {
  if (!Contains(header_text, "User-Agent:", true)) {
    return "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";
  }
  Text agent = TrimBlanks(TextBetween(Text(header_text) + "\r\n", "User-Agent:", kCrLf));
  if (agent.empty()) {
    const auto colon = header_text.find(':');
    agent = TrimBlanks(header_text.substr(colon == std::string_view::npos ? header_text.size() : colon + 1));
  }
  // The agent becomes a header line of its own; a line break in it would
  // smuggle further lines into the request.
  const auto brk = agent.find_first_of("\r\n");
  if (brk != Text::npos) agent = TrimBlanks(agent.substr(0, brk));
  return agent;
}

Text CompleteWinInetHeaders(std::string_view header_text, std::string_view url, int method,
                            bool ignore_case) {
  Text h(header_text);
  if (h.empty()) h = "Accept: */*";
  if (!Contains(h, "Accept:", ignore_case)) h += "\r\nAccept: */*";
  if (!Contains(h, "Referer:", ignore_case)) h += "\r\nReferer: " + Text(url);
  if (!Contains(h, "Accept-Language:", ignore_case)) h += "\r\nAccept-Language: zh-cn";
  if (method == 1 && !Contains(h, "Content-Type:", ignore_case)) {
    h += "\r\nContent-Type: application/x-www-form-urlencoded";
  }
  return h;
}

Text AppendCookieLine(std::string_view header_text, std::string_view send_cookies) {
  Text h(header_text);
  if (send_cookies.empty()) return h;
  if (Contains(send_cookies, "Cookie:", false)) {
    h += kCrLf;
  } else {
    h += "\r\nCookie: ";
  }
  h += send_cookies;
  return h;
}

Text WinHttpHeaderBlock(std::string_view extra_headers, int method, std::string_view send_cookies) {
  Text block(extra_headers);
  if (!block.empty()) block += kCrLf;
  auto add_missing = [&block](std::string_view search, bool ignore_case, std::string_view line) {
    if (!Contains(block, search, ignore_case)) {
      block += line;
      block += kCrLf;
    }
  };
  add_missing("User-Agent: ", true,
              "User-Agent: Mozilla/5.0 (compatible; MSIE 9.0; Windows NT 6.1; WOW64; Trident/5.0)");
  add_missing("Accept: ", true, "Accept: text/html, application/xhtml+xml, */*");
  add_missing("Accept-Encoding: ", true, "Accept-Encoding: gbk, GB2312");
  add_missing("Accept-Language: ", true, "Accept-Language: zh-cn");
  if (method == 1) add_missing("Content-Type:", false, "Content-Type: application/x-www-form-urlencoded");
  add_missing("Cache-Control: ", true, "Cache-Control: no-cache");
  if (!send_cookies.empty()) add_missing("Cookie: ", true, "Cookie: " + Text(send_cookies));
  return block;
}

Text NormalizeSetCookie(std::string_view raw_headers) {
  return ReplaceNoCase(raw_headers, "Set-Cookie", "Set-Cookie");
}

Text CollectSetCookies(std::string_view raw_headers, CookieLineRule rule) {
  Text cookies;
  for (std::string_view line : SplitCrLf(raw_headers)) {
    bool is_cookie_line = false;
    if (rule == CookieLineRule::kContainsSetCookie) {
      is_cookie_line = line.find("Set-Cookie") != Text::npos;
    } else {
      const auto sep = line.find(": ");
      is_cookie_line = sep != Text::npos && line.substr(0, sep) == "Set-Cookie";
    }
    if (!is_cookie_line) continue;
    Text cookie;
    if (line.find(';') != Text::npos) {
      const std::size_t left = line.find("Set-Cookie:");
      const std::size_t right = left == std::string_view::npos ? left : line.find(';', left + 11);
      if (right != std::string_view::npos) cookie = line.substr(left + 11, right - left - 11);
    } else {
      cookie = ReplaceNoCase(line, "Set-Cookie:", "");
    }
    cookie = TrimCookieBlanks(cookie);
    // A line that names Set-Cookie without carrying one ("Set-Cookie2: x;")
    // yields nothing; an empty entry would only add a stray separator.
    if (cookie.empty()) continue;
    if (!cookies.empty()) cookies += "; ";
    cookies += cookie;
  }
  return cookies;
}

std::optional<Text> LastLocation(std::string_view raw_headers) {
  std::optional<Text> location;
  for (std::string_view line : SplitCrLf(raw_headers)) {
    if (StartsWithNoCase(line, "Location: ")) location = Text(line.substr(10));
  }
  return location;
}

Text StatusTextOf(std::string_view raw_headers) {
  if (raw_headers.size() < 10) return {};
  const std::string_view rest = raw_headers.substr(9);
  return Text(rest.substr(0, rest.find(kCrLf)));
}

}  // namespace korvath
