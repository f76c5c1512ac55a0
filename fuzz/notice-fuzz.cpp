// The notice service's reply on arbitrary bytes: what start-up would show.
// Besides memory safety: nothing is shown without both markers, the shown
// text never holds a marker-bounded remainder of "/n", and it stays within
// the size the header promises (the reply's text with every "/n" doubled).
// The reply's text is converted, well-formed system text: no "/n" can hide
// inside a double-byte character, so none may survive.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "http/wininet-request.h"
#include "notice/notice.h"
#include "util/text.h"

using namespace korvath;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16384) return 0;
  const Bytes body(data, data + size);
  const Text shown = NoticeAnnouncement(body);
  if (shown.empty()) return 0;

  const Text text = Utf8BytesToText(body);
  if (FindText(text, "[gg]") < 1 || FindText(text, "[/gg]") < 1) std::abort();
  if (shown.size() > 2 * text.size()) std::abort();
  if (shown.find("/n") != Text::npos) std::abort();
  return 0;
}
