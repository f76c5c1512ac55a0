// The download's name on arbitrary page text: taken from between the page's
// markers, converted to UTF-8 and made safe as aria2's "out". Besides memory
// safety: the name holds no line feed, and the safe name can only ever be a
// single entry inside the download directory (no separator, no control
// character, never "." or "..", never longer than a file name may be).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/download-task.h"
#include "intake/intake.h"
#include "util/text.h"

using namespace korvath;

namespace {

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
  // The raw fuzz bytes straight in as UTF-8, invalid sequences included.
  CheckSafe(SafeFileName(rest));
  return 0;
}
