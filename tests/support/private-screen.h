// An X screen of the test's own size: an Xvfb made the display of this
// process, and so of every program it starts, while the object lives.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace korvath::testing {

class PrivateScreen {
 public:
  PrivateScreen(int width, int height) {
    if (const char* display = std::getenv("DISPLAY")) before_ = display;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return;
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(ends[1], 9);  // dup2 clears close-on-exec: Xvfb writes its number here
      ::execlp("Xvfb", "Xvfb", "-displayfd", "9", "-screen", "0", screen.c_str(), "-nolisten", "tcp",
               static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(ends[1]);
    std::string number;
    pollfd wait{ends[0], POLLIN, 0};
    char c;
    while (::poll(&wait, 1, 10000) == 1 && ::read(ends[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(ends[0]);
    if (number.empty()) return;
    name_ = ":" + number;
    ::setenv("DISPLAY", name_.c_str(), 1);
  }
  ~PrivateScreen() {
    if (before_)
      ::setenv("DISPLAY", before_->c_str(), 1);
    else
      ::unsetenv("DISPLAY");
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  PrivateScreen(const PrivateScreen&) = delete;
  PrivateScreen& operator=(const PrivateScreen&) = delete;

  bool ok() const { return !name_.empty(); }

 private:
  std::optional<std::string> before_;
  std::string name_;
  pid_t pid_ = -1;
};

}  // namespace korvath::testing
