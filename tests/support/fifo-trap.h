// A FIFO planted where a file is expected. Code that opens it the ordinary
// way waits for a partner forever; a test of that code must fail instead of
// hanging with it.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <utility>

namespace korvath::testing {

// Makes a FIFO at `path`; false when the system refuses.
inline bool MakeFifo(const std::string& path) { return ::mkfifo(path.c_str(), 0600) == 0; }

// What `call` returns when it returns within `limit`; nullopt when it was
// still waiting. A call stuck in opening or reading `fifo` is then let go by
// opening its other ends, so the test ends with a failure, not a hang.
template <class Call>
auto WithinTime(const std::string& fifo, Call call, std::chrono::milliseconds limit = std::chrono::seconds(5))
    -> std::optional<decltype(call())> {
  auto running = std::async(std::launch::async, std::move(call));
  if (running.wait_for(limit) == std::future_status::ready) return running.get();
  // A waiting reader counts as one already, so a writer opened without
  // waiting meets it, and its closing is the reader's end of file; a waiting
  // writer is met by a reader the same way.
  while (running.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
    for (int flags : {O_WRONLY | O_NONBLOCK, O_RDONLY | O_NONBLOCK}) {
      const int end = ::open(fifo.c_str(), flags | O_CLOEXEC);
      if (end >= 0) ::close(end);
    }
  }
  running.get();
  return std::nullopt;
}

}  // namespace korvath::testing
