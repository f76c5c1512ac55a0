// Code-page conversions over iconv. The system code page (936) is served by
// GB18030, which keeps every GBK byte sequence and can hold every Unicode
// character, so only input that is invalid in its own encoding is replaced.
#include <errno.h>
#include <iconv.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "util/text.h"

namespace korvath {
namespace {

const char* IconvName(int code_page) {
  switch (code_page) {
    case 0:      // the ANSI code page
    case 936:    // GBK: GB18030 is its superset
    case 54936:  // GB18030 itself
      return "GB18030";
    case 65001:
      return "UTF-8";
    case 1200:
      return "UTF-16LE";
    case 20127:
      return "ASCII";
    case 28591:
      return "ISO-8859-1";
    default:
      return nullptr;
  }
}

// One converter per direction per thread: iconv_open is far too slow to call
// for every short text, and a descriptor is not safe to share across threads.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts all of `in`. An invalid or untranslatable input unit is skipped
  // (`unit` bytes) and `replacement` is written instead.
  std::string Run(std::string_view in, std::size_t unit, std::string_view replacement) {
    std::string out;
    if (!ok()) return out;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    out.resize(in.size() * 2 + 16);
    char* src = const_cast<char*>(in.data());
    std::size_t src_left = in.size();
    std::size_t used = 0;
    while (src_left > 0) {
      char* dst = out.data() + used;
      std::size_t dst_left = out.size() - used;
      const std::size_t r = iconv(cd_, &src, &src_left, &dst, &dst_left);
      used = out.size() - dst_left;
      if (r != static_cast<std::size_t>(-1)) break;
      if (errno == E2BIG) {
        out.resize(out.size() * 2 + 16);
        continue;
      }
      // EILSEQ or EINVAL (a truncated unit at the end): replace and go on.
      if (out.size() - used < replacement.size() + 8) out.resize(out.size() * 2 + 16);
      std::memcpy(out.data() + used, replacement.data(), replacement.size());
      used += replacement.size();
      const std::size_t skip = std::min(unit, src_left);
      src += skip;
      src_left -= skip;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    // Flush any shift state (none for these encodings, but cheap).
    while (true) {
      char* dst = out.data() + used;
      std::size_t dst_left = out.size() - used;
      const std::size_t r = iconv(cd_, nullptr, nullptr, &dst, &dst_left);
      used = out.size() - dst_left;
      if (r == static_cast<std::size_t>(-1) && errno == E2BIG) {
        out.resize(out.size() * 2 + 16);
        continue;
      }
      break;
    }
    out.resize(used);
    return out;
  }

 private:
  iconv_t cd_;
};

Converter& ConverterFor(const char* to, const char* from) {
  thread_local std::map<std::pair<std::string, std::string>, std::unique_ptr<Converter>> cache;
  auto& slot = cache[{to, from}];
  if (!slot) slot = std::make_unique<Converter>(to, from);
  return *slot;
}

// The text of a NUL-terminated string: conversions, like the platform's, end
// at the first zero byte.
std::string_view UpToNul(std::string_view s) {
  const std::size_t nul = s.find('\0');
  return nul == std::string_view::npos ? s : s.substr(0, nul);
}

const std::string_view kWideQuestion("?\0", 2);

}  // namespace

Bytes TextToWide(std::string_view text, int code_page) {
  const char* from = IconvName(code_page);
  std::string wide;
  if (from != nullptr) {
    wide = ConverterFor("UTF-16LE", from).Run(UpToNul(text), 1, kWideQuestion);
  } else {
    // An unknown code page still carries its ASCII through.
    for (char c : UpToNul(text)) {
      wide.push_back(static_cast<unsigned char>(c) < 0x80 ? c : '?');
      wide.push_back('\0');
    }
  }
  Bytes out(wide.begin(), wide.end());
  out.push_back(0);
  out.push_back(0);
  return out;
}

Text WideToText(const Bytes& utf16le, int code_page) {
  std::size_t units = utf16le.size() / 2;
  for (std::size_t i = 0; i < units; ++i) {
    if (utf16le[2 * i] == 0 && utf16le[2 * i + 1] == 0) {
      units = i;
      break;
    }
  }
  const std::string_view wide(reinterpret_cast<const char*>(utf16le.data()), units * 2);
  const char* to = IconvName(code_page);
  if (to == nullptr) to = "ASCII";
  return ConverterFor(to, "UTF-16LE").Run(wide, 2, "?");
}

Text Utf8ToGbk(std::string_view utf8) {
  return ConverterFor("GB18030", "UTF-8").Run(UpToNul(utf8), 1, "?");
}

Text GbkToUtf8(std::string_view text) {
  return ConverterFor("UTF-8", "GB18030").Run(UpToNul(text), 1, "?");
}

const Text& Gbk(const char8_t* utf8_literal) {
  // Keyed by content, not address, so a caller's changing buffer can never
  // return a stale conversion. Never destroyed: callers may hold references
  // until the very end of the program.
  static std::mutex mutex;
  static auto* cache = new std::map<std::u8string, std::unique_ptr<Text>, std::less<>>();
  const std::u8string_view key(utf8_literal == nullptr ? u8"" : utf8_literal);
  std::lock_guard lock(mutex);
  auto it = cache->find(key);
  if (it == cache->end()) {
    const std::string_view bytes(reinterpret_cast<const char*>(key.data()), key.size());
    it = cache->emplace(std::u8string(key), std::make_unique<Text>(Utf8ToGbk(bytes))).first;
  }
  return *it->second;
}

}  // namespace korvath
