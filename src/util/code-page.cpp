// Code-page conversions over iconv. The system code page (936) is served by
// GB18030, which keeps every GBK byte sequence and can hold every Unicode
// character, so only input that is invalid in its own encoding is replaced.
#include <errno.h>
#include <iconv.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "util/text-step.h"
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

// Private-use code points that glibc's GB18030 table cannot encode. Eighteen
// have the four-byte codes GB18030-2022 gives them (their former two-byte
// codes now stand for standard characters); the other six take the four-byte
// codes of the supplementary characters that glibc reads from their two-byte
// codes, which glibc only ever decodes. Either way every code point survives
// a trip through the system text.
struct PrivateUseCode {
  char32_t code_point;
  char bytes[4];
};
constexpr PrivateUseCode kPrivateUseCodes[] = {
    {0xE78D, {'\x84', '\x31', '\x82', '\x36'}}, {0xE78E, {'\x84', '\x31', '\x82', '\x38'}},
    {0xE78F, {'\x84', '\x31', '\x82', '\x37'}}, {0xE790, {'\x84', '\x31', '\x82', '\x39'}},
    {0xE791, {'\x84', '\x31', '\x83', '\x30'}}, {0xE792, {'\x84', '\x31', '\x83', '\x31'}},
    {0xE793, {'\x84', '\x31', '\x83', '\x32'}}, {0xE794, {'\x84', '\x31', '\x83', '\x33'}},
    {0xE795, {'\x84', '\x31', '\x83', '\x34'}}, {0xE796, {'\x84', '\x31', '\x83', '\x35'}},
    {0xE816, {'\x95', '\x32', '\x90', '\x31'}}, {0xE817, {'\x95', '\x32', '\x90', '\x33'}},
    {0xE818, {'\x95', '\x32', '\x97', '\x30'}}, {0xE81E, {'\x82', '\x35', '\x90', '\x37'}},
    {0xE826, {'\x82', '\x35', '\x90', '\x38'}}, {0xE82B, {'\x82', '\x35', '\x90', '\x39'}},
    {0xE82C, {'\x82', '\x35', '\x91', '\x30'}}, {0xE831, {'\x95', '\x36', '\xB9', '\x37'}},
    {0xE832, {'\x82', '\x35', '\x91', '\x31'}}, {0xE83B, {'\x96', '\x30', '\xBA', '\x35'}},
    {0xE843, {'\x82', '\x35', '\x91', '\x32'}}, {0xE854, {'\x82', '\x35', '\x91', '\x33'}},
    {0xE855, {'\x96', '\x35', '\xB6', '\x30'}}, {0xE864, {'\x82', '\x35', '\x91', '\x34'}},
};

const PrivateUseCode* FindByCodePoint(char32_t cp) {
  for (const auto& entry : kPrivateUseCodes) {
    if (entry.code_point == cp) return &entry;
  }
  return nullptr;
}

const PrivateUseCode* FindByBytes(std::string_view s) {
  if (s.size() < 4) return nullptr;
  for (const auto& entry : kPrivateUseCodes) {
    if (std::memcmp(entry.bytes, s.data(), 4) == 0) return &entry;
  }
  return nullptr;
}

enum class Encoding { kGb18030, kUtf8, kUtf16, kOther };

Encoding EncodingOf(const char* name) {
  if (std::strcmp(name, "GB18030") == 0) return Encoding::kGb18030;
  if (std::strcmp(name, "UTF-8") == 0) return Encoding::kUtf8;
  if (std::strcmp(name, "UTF-16LE") == 0) return Encoding::kUtf16;
  return Encoding::kOther;
}

// The code point at the start of `s` and its length in bytes, or length 0.
std::pair<char32_t, std::size_t> DecodeOne(Encoding encoding, std::string_view s) {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  if (encoding == Encoding::kUtf8 && s.size() >= 3 && at(0) >= 0xE0 && at(0) <= 0xEF &&
      (at(1) & 0xC0) == 0x80 && (at(2) & 0xC0) == 0x80) {
    return {static_cast<char32_t>(((at(0) & 0x0F) << 12) | ((at(1) & 0x3F) << 6) | (at(2) & 0x3F)), 3};
  }
  if (encoding == Encoding::kUtf16 && s.size() >= 2) {
    return {static_cast<char32_t>(at(0) | (at(1) << 8)), 2};
  }
  return {0, 0};
}

// Appends a BMP code point in the given encoding; false when it has no form there.
bool EncodeOne(Encoding encoding, char32_t cp, std::string& out) {
  if (encoding == Encoding::kUtf8) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
    return true;
  }
  if (encoding == Encoding::kUtf16) {
    out += static_cast<char>(cp & 0xFF);
    out += static_cast<char>(cp >> 8);
    return true;
  }
  return false;
}

// Bytes to skip for an invalid unit: for UTF-8 the lead byte and the
// continuation bytes that follow it (one replacement per broken sequence).
std::size_t InvalidUnitLength(Encoding encoding, std::string_view s) {
  if (encoding == Encoding::kUtf16) return std::min<std::size_t>(2, s.size());
  if (encoding != Encoding::kUtf8) return 1;
  const auto lead = static_cast<unsigned char>(s[0]);
  const std::size_t expected = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  std::size_t n = 1;
  while (n < expected && n < s.size() && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) ++n;
  return n;
}

// One converter per direction per thread: iconv_open is far too slow to call
// for every short text, and a descriptor is not safe to share across threads.
class Converter {
 public:
  Converter(const char* to, const char* from)
      : cd_(iconv_open(to, from)),
        to_(EncodingOf(to)),
        from_(EncodingOf(from)),
        replacement_(Replacement(to)) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  std::string Convert(std::string_view in) {
    std::string out;
    if (!ok()) return out;
    out.reserve(in.size() * 2 + 16);
    if (from_ != Encoding::kGb18030) {
      Run(in, out);
      return out;
    }
    // glibc reads some of the private-use four-byte codes as other characters
    // (or not at all), so they are cut out and converted here.
    std::size_t segment = 0;
    std::size_t i = 0;
    while (i < in.size()) {
      const std::size_t step = detail::CharStep(in, i);
      if (step == 4) {
        if (const PrivateUseCode* entry = FindByBytes(in.substr(i)); entry != nullptr) {
          Run(in.substr(segment, i - segment), out);
          if (!EncodeOne(to_, entry->code_point, out)) out += replacement_;
          segment = i + 4;
        }
      }
      i += step;
    }
    Run(in.substr(segment), out);
    return out;
  }

 private:
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  static std::string Replacement(const char* to) {
    return EncodingOf(to) == Encoding::kUtf16 ? std::string("?\0", 2) : std::string("?");
  }

  // Converts all of `in`, appending to `out`; invalid or untranslatable units
  // become the replacement character.
  void Run(std::string_view in, std::string& out) {
    if (in.empty()) return;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    std::size_t used = out.size();
    out.resize(used + in.size() * 2 + 16);
    char* src = const_cast<char*>(in.data());
    std::size_t src_left = in.size();
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
      // EILSEQ, or EINVAL for a unit cut short by the end of the input.
      const std::string_view rest(src, src_left);
      std::string fallback;
      std::size_t skip = 0;
      if (to_ == Encoding::kGb18030) {
        const auto [cp, length] = DecodeOne(from_, rest);
        if (const PrivateUseCode* entry = length ? FindByCodePoint(cp) : nullptr; entry != nullptr) {
          fallback.assign(entry->bytes, 4);
          skip = length;
        }
      }
      if (skip == 0) {
        fallback = replacement_;
        skip = errno == EINVAL ? src_left : InvalidUnitLength(from_, rest);
      }
      out.resize(used);
      out += fallback;
      used = out.size();
      out.resize(used + src_left * 2 + 16);
      src += skip;
      src_left -= skip;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    out.resize(used);
  }

  iconv_t cd_;
  Encoding to_;
  Encoding from_;
  std::string replacement_;
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

}  // namespace

Bytes TextToWide(std::string_view text, int code_page) {
  const char* from = IconvName(code_page);
  std::string wide;
  if (from != nullptr) {
    wide = ConverterFor("UTF-16LE", from).Convert(UpToNul(text));
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
  return Text(ConverterFor(to, "UTF-16LE").Convert(wide));
}

Text Utf8ToGbk(std::string_view utf8) {
  return Text(ConverterFor("GB18030", "UTF-8").Convert(UpToNul(utf8)));
}

std::string GbkToUtf8(std::string_view text) {
  return ConverterFor("UTF-8", "GB18030").Convert(UpToNul(text));
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
