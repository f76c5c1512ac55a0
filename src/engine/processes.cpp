#include "engine/processes.h"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace korvath {
namespace {

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string ReadFirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// A zombie has ended already; only its exit status waits to be collected, so
// it must not count as running (our own aria2 becomes one when it exits).
bool IsZombie(const std::string& proc_dir) {
  std::string stat = ReadFirstLine(proc_dir + "/stat");
  // The state follows the command name, which sits in parentheses and may
  // itself hold ")" or spaces.
  auto close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return true;  // vanished
  char state = stat[close + 2];
  return state == 'Z' || state == 'X';
}

std::string ExecutableBaseName(const std::string& proc_dir) {
  char buffer[4096];
  ssize_t n = ::readlink((proc_dir + "/exe").c_str(), buffer, sizeof buffer - 1);
  if (n <= 0) return {};  // another user's process, or a kernel thread
  std::string target(buffer, static_cast<size_t>(n));
  // A replaced or deleted executable reads "/path/name (deleted)".
  constexpr std::string_view kDeleted = " (deleted)";
  if (target.size() > kDeleted.size() && target.ends_with(kDeleted))
    target.resize(target.size() - kDeleted.size());
  auto slash = target.rfind('/');
  return slash == std::string::npos ? target : target.substr(slash + 1);
}

}  // namespace

int FindProcessByName(std::string_view name) {
  if (name.empty()) return 0;
  DIR* proc = ::opendir("/proc");
  if (!proc) return 0;
  int found = 0;
  while (dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    std::string dir = std::string("/proc/") + entry->d_name;
    // comm is cut to 15 bytes, so a longer name only matches through exe.
    bool match = EqualsIgnoringAsciiCase(ReadFirstLine(dir + "/comm"), name) ||
                 EqualsIgnoringAsciiCase(ExecutableBaseName(dir), name);
    if (match && !IsZombie(dir)) {
      found = static_cast<int>(pid);
      break;
    }
  }
  ::closedir(proc);
  return found;
}

bool ProcessRunning(int pid) { return pid > 0 && !IsZombie("/proc/" + std::to_string(pid)); }

std::optional<std::int64_t> ProcessCpuTicks(int pid) {
  if (pid <= 0) return std::nullopt;
  const std::string stat = ReadFirstLine("/proc/" + std::to_string(pid) + "/stat");
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  // After the name: the state and ten more fields, then utime and stime.
  std::istringstream fields(stat.substr(close + 1));
  std::string skipped;
  for (int i = 0; i < 11; ++i) fields >> skipped;
  std::int64_t utime = 0, stime = 0;
  if (!(fields >> utime >> stime)) return std::nullopt;
  return utime + stime;
}

bool TerminateProcessById(int pid) {
  if (!ProcessRunning(pid)) return false;
  if (::kill(pid, SIGTERM) != 0) return false;
  // A stopped process (SIGSTOP, a debugger let go) would hold the signal
  // unhandled for as long as it stays stopped.
  ::kill(pid, SIGCONT);
  return true;
}

bool KillProcessById(int pid) {
  if (!ProcessRunning(pid)) return false;
  return ::kill(pid, SIGKILL) == 0;
}

bool WaitForProcessEnd(Desktop& desktop, int pid, int limit_ms) {
  for (int waited = 0;; waited += 100) {
    // Our own child stays a zombie, and keeps its program file busy, until
    // its exit is collected; for anyone else's process this does nothing.
    if (pid > 0) ::waitpid(pid, nullptr, WNOHANG);
    if (!ProcessRunning(pid)) return true;
    if (waited >= limit_ms) return false;
    desktop.DelayPumping(100);
  }
}

}  // namespace korvath
