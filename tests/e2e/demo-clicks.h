// Driving the demo share site's file page in a running korvath: finding the
// main window, waiting for the download button to be drawn, clicking it and
// waiting for aria2 to finish the file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "demo-site.h"
#include "harness/korvath-harness.h"
#include "support/loopback-ports.h"

namespace korvath::testing {

inline constexpr const char* kMainTitle = "Korvath - Fenlow";

// A UTF-8 literal as the std::string the event log and the page hold.
inline std::string Utf8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

// A whole file's bytes; "" when it cannot be read.
inline std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What a click test needs before it starts korvath: aria2's port to itself,
// a display, and the demo site serving. Call with ASSERT_NO_FATAL_FAILURE.
inline void PrepareForDemoClicks(const Aria2MachineLock& lock, const XDisplay& x, demo::DemoSite& site) {
  ASSERT_TRUE(lock.locked()) << "another test kept aria2's port for minutes";
  ASSERT_TRUE(x.ok()) << "no X display";
  // The aria2 of the test before may still be letting go of its port.
  ASSERT_TRUE(WaitUntil([] { return !PortListening(6800); }, 15000)) << "port 6800 stays taken";
  ASSERT_GT(site.Start(), 0);
}

// The index of the demo site's first file that `matches`; files().size()
// when none does.
template <class Match>
std::size_t DemoFileIndex(const demo::DemoSite& site, Match matches) {
  std::size_t index = 0;
  while (index < site.files().size() && !matches(site.files()[index])) ++index;
  return index;
}

// The main window of process `pid`, 0 while it has none.
inline Window MainWindowOf(const XDisplay& x, int pid) {
  for (Window w : x.WindowsOf(pid)) {
    if (x.Title(w) == kMainTitle) return w;
  }
  return 0;
}

struct Point {
  int x = 0;
  int y = 0;
};

// The centre of the download button, in a bar along the bottom of the page.
inline Point DownloadButton(const XDisplay& x, Window main) {
  XWindowAttributes a{};
  XGetWindowAttributes(x.get(), main, &a);
  return {a.width / 2, a.height - 32};
}

// The page may be served long before the blue button is painted.
inline bool WaitForDownloadButton(const XDisplay& x, Window main, int timeout_ms = 15000) {
  return WaitUntil(
      [&] {
        const Point button = DownloadButton(x, main);
        return GrayStatistic(main, button.x - 40, button.y - 4, 80, 8, "mean") < 0.7;
      },
      timeout_ms, 100);
}

inline void ClickDownload(const XDisplay& x, Window main) {
  const Point button = DownloadButton(x, main);
  ClickAt(main, button.x, button.y);
}

// The list of shared files is drawn: its first row (below the page's 56
// pixels of top padding and its heading) holds text, and there is no
// download button (that is a file's page).
inline bool WaitForFileList(const XDisplay& x, Window main, int timeout_ms = 15000) {
  return WaitUntil(
      [&] {
        const Point button = DownloadButton(x, main);
        return GrayStatistic(main, 30, 104, 300, 30, "standard_deviation") > 0.05 &&
               GrayStatistic(main, button.x - 40, button.y - 4, 80, 8, "mean") > 0.9;
      },
      timeout_ms, 100);
}

inline void ClickFirstFileInList(Window main) { ClickAt(main, 120, 119); }

// Korvath's own aria2, as a test asks it what the manager page sees. The
// secret reaches aria2 only in a configuration file that is gone once aria2
// listens, so Korvath is given, as the aria2 program it supplies, a script
// that notes the secret from that file and then becomes the real aria2c.
class Aria2SecretNoted {
 public:
  Aria2SecretNoted() {
    std::ofstream(program_) << "#!/bin/sh\nfor a in \"$@\"; do case \"$a\" in --conf-path=*) "
                               "grep '^rpc-secret=' \"${a#--conf-path=}\" | tail -n 1 > '"
                            << noted_ << "';; esac; done\nexec aria2c \"$@\"\n";
    std::filesystem::permissions(program_, std::filesystem::perms::owner_all);
  }
  ~Aria2SecretNoted() { std::filesystem::remove_all(dir_); }
  Aria2SecretNoted(const Aria2SecretNoted&) = delete;
  Aria2SecretNoted& operator=(const Aria2SecretNoted&) = delete;

  // KORVATH_ARIA2C for the program's environment.
  const std::string& program() const { return program_; }
  // The secret of the aria2 started last, "" before one is.
  std::string Secret() const {
    std::ifstream in(noted_);
    constexpr std::string_view kKey = "rpc-secret=";
    for (std::string arg; std::getline(in, arg);) {
      if (arg.starts_with(kKey)) return arg.substr(kKey.size());
    }
    return {};
  }

 private:
  std::string dir_ = MakeTempDir("aria2-args");
  std::string program_ = dir_ + "/aria2c";
  std::string noted_ = dir_ + "/secret";
};

// Waits until aria2 has finished the file: full size, no control file left.
inline bool WaitForFinishedFile(const std::filesystem::path& path, std::uint64_t size,
                                int timeout_ms = 30000) {
  return WaitUntil(
      [&] {
        std::error_code ec;
        return std::filesystem::exists(path, ec) && std::filesystem::file_size(path, ec) == size &&
               !std::filesystem::exists(path.string() + ".aria2", ec);
      },
      timeout_ms, 100);
}

}  // namespace korvath::testing
