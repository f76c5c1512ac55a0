// The machine-wide lock on aria2's port 6800, held by every test and
// benchmark that starts the program or an aria2 there.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace korvath::testing {

// Port 6800 and the name "aria2c.exe" are machine-wide, and CTest's resource
// lock only orders the tests of one ctest run: several builds tested at once
// would end each other's aria2. This lock orders every holder on the machine.
// Within one test process it nests (a test holding it may start the program,
// which holds it too), since a second flock on a new descriptor would wait on
// the first for ever.
class Aria2MachineLock {
 public:
  Aria2MachineLock() {
    Held& held = HeldByThisProcess();
    if (held.depth++ > 0) {
      locked_ = held.locked;
      return;
    }
    held.fd = ::open("/tmp/korvath-aria2-6800.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (held.fd >= 0) {
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(240);
      while (!(held.locked = ::flock(held.fd, LOCK_EX | LOCK_NB) == 0) &&
             std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }
    locked_ = held.locked;
  }
  ~Aria2MachineLock() {
    Held& held = HeldByThisProcess();
    if (--held.depth > 0) return;
    if (held.fd >= 0) ::close(held.fd);  // closing releases the lock
    held = Held{};
  }
  Aria2MachineLock(const Aria2MachineLock&) = delete;
  Aria2MachineLock& operator=(const Aria2MachineLock&) = delete;
  bool locked() const { return locked_; }
  // For a benchmark, which holds the lock for its whole run: locked(), and
  // when not, the reason on stderr.
  bool LockedOrSaid() const {
    if (!locked_)
      std::fputs("another test or benchmark held port 6800 for four minutes; try again when it ends\n",
                 stderr);
    return locked_;
  }

 private:
  struct Held {
    int fd = -1;
    int depth = 0;
    bool locked = false;
  };
  static Held& HeldByThisProcess() {
    static Held held;
    return held;
  }
  bool locked_ = false;
};

}  // namespace korvath::testing
