// Servers for the moments of start-up: an announcement that holds start-up
// back, and an app page that asks for a file as soon as it loads.
#pragma once

#include "support/recording-server.h"

namespace korvath::testing {

// The announcement comes, empty, only after `delay_ms`; start-up waits for
// it (the program gives up on it after 5 s).
inline void HoldTheNotice(RecordingServer& notice, int delay_ms = 4000) {
  Reply slow = Reply::Ok("", {"Content-Type: text/plain; charset=utf-8"});
  slow.delay_ms = delay_ms;
  notice.SetDefault(slow);
}

// The page shows "文件名：early.bin" and "文件大小：5 B" and asks for
// /dl/early.bin?bkt=1 while it loads; /dl/ answers the 5 bytes "12345".
inline void ServeAPageAskingForAFileAtOnce(RecordingServer& app) {
  app.SetResponder([](const RecordedRequest& r) {
    if (r.Target().rfind("/dl/", 0) == 0)
      return Reply::Ok("12345", {"Content-Type: application/octet-stream"});
    return Reply::Ok(
        "<!DOCTYPE html><html><head><meta charset='utf-8'></head><body>"
        "<p>\xe6\x96\x87\xe4\xbb\xb6\xe5\x90\x8d\xef\xbc\x9a"
        "early.bin</p>"  // 文件名：
        "<p>\xe6\x96\x87\xe4\xbb\xb6\xe5\xa4\xa7\xe5\xb0\x8f\xef\xbc\x9a"
        "5 B</p>"  // 文件大小：
        "<script>const x = new XMLHttpRequest(); x.open('GET', '/dl/early.bin?bkt=1'); x.send();</script>"
        "</body></html>",
        {"Content-Type: text/html; charset=utf-8", "Cache-Control: no-store"});
  });
}

}  // namespace korvath::testing
