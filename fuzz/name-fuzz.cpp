// The download's name on arbitrary page text: taken from between the page's
// markers, converted to UTF-8 and made safe as aria2's "out". Besides memory
// safety: the name holds no line feed, and the safe name can only ever be a
// single entry inside the download directory (no separator, no control
// character, never "." or "..", never longer than a file name may be).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/clean-file-name.h"
#include "engine/download-task.h"
#include "intake/intake.h"
#include "util/shown-text.h"
#include "util/text.h"

using namespace korvath;

namespace {

// No bidirectional control or zero-width character is left (in UTF-8:
// E2 80 8B..8F, E2 80 AA..AE, E2 81 A0, E2 81 A6..A9, EF BB BF, D8 9C).
void CheckUnmarked(std::string_view utf8) {
  for (const std::string_view mark :
       {"\xE2\x80\x8B", "\xE2\x80\x8C", "\xE2\x80\x8D", "\xE2\x80\x8E", "\xE2\x80\x8F", "\xE2\x80\xAA",
        "\xE2\x80\xAE", "\xE2\x81\xA0", "\xE2\x81\xA6", "\xE2\x81\xA9", "\xEF\xBB\xBF", "\xD8\x9C"}) {
    if (utf8.find(mark) != std::string_view::npos) std::abort();
  }
}

void CheckSafe(std::string_view safe) {
  if (safe == "." || safe == "..") std::abort();
  if (safe.size() > kMaxSavedNameBytes) std::abort();
  for (std::size_t i = 0; i < safe.size(); ++i) {
    const auto byte = static_cast<unsigned char>(safe[i]);
    if (byte == '/' || byte == '\\' || byte < 0x20 || byte == 0x7f) std::abort();
    if (byte == 0xc2 && i + 1 < safe.size()) {
      const auto next = static_cast<unsigned char>(safe[i + 1]);
      if (next >= 0x80 && next <= 0x9f) std::abort();
    }
  }
}

}  // namespace

// The first byte picks how the rest is used: as a whole page (markers come
// from the fuzzer or the dictionary), or as a name wrapped in the markers.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 65536) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  Text page;
  if (data[0] & 1) {
    page = Gbk(u8"文件名：") + Text(rest) + Gbk(u8"文件大小：");
  } else {
    page = Text(rest);
  }
  const Text name = FileNameFromPageText(page);
  if (name.find('\n') != Text::npos) std::abort();
  if (name.size() > page.size()) std::abort();
  CheckSafe(SafeFileName(GbkToUtf8(name)));
  // Cleaned: unmarked, and named whenever the page named it at all.
  const Text clean = CleanFileName(name);
  CheckUnmarked(GbkToUtf8(clean));
  if (clean.empty() != name.empty()) std::abort();
  // Shown in a notice: one line, unmarked, of a bounded length.
  const std::string shown = OneLineUtf8(rest, 40);
  CheckUnmarked(shown);
  if (shown.find_first_of("\r\n") != std::string::npos || shown.size() > 40 * 4 + 6) std::abort();
  // The raw fuzz bytes straight in as UTF-8, invalid sequences included.
  CheckSafe(SafeFileName(rest));
  return 0;
}
