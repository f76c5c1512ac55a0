// The start the window and shut-down tests share: the program on an app page
// and a notice service of the test's own, waited for until its main window is
// up and its start-up has reached "ready".
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "harness/korvath-harness.h"
#include "support/recording-server.h"

namespace korvath::testing {

class RunningKorvath : public ::testing::Test {
 protected:
  RunningKorvath() {
    // Never cached, so every Home and Refresh reaches the server and counts.
    app.SetDefault(
        Reply::Ok("<html><body>app</body></html>", {"Content-Type: text/html", "Cache-Control: no-store"}));
    // No announcement: no message box stands between start-up and the test.
    notice.SetDefault(Reply::Ok("", {"Content-Type: text/plain; charset=utf-8"}));
  }

  // Starts korvath on the two servers, with `env` on top, and waits for its
  // main window and its "ready" step. Call it through ASSERT_NO_FATAL_FAILURE.
  void StartKorvath(std::map<std::string, std::string> env = {}) {
    ASSERT_TRUE(x.ok());
    env["KORVATH_APP_URL"] = app.Url("/app/");
    env["KORVATH_NOTICE_URL"] = notice.Url("/getpassword");
    korvath = std::make_unique<KorvathProcess>(env);
    auto w = x.WaitFor(korvath->pid(), "Korvath - Fenlow");
    ASSERT_TRUE(w) << korvath->Output();
    main = *w;
    ASSERT_TRUE(korvath->WaitForEvent("startup_step", {{"step", "ready"}})) << korvath->Output();
  }

  XDisplay x;
  RecordingServer app;
  RecordingServer notice;
  std::unique_ptr<KorvathProcess> korvath;
  Window main = 0;
};

}  // namespace korvath::testing
