// Running the korvath program under test: its environment, its event log,
// its windows on the X display, and its end.
#pragma once

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness/aria2-machine-lock.h"
#include "harness/cpu-ticks.h"
#include "harness/run-command.h"

namespace korvath::testing {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

inline std::string BuildDir() {
  const char* b = std::getenv("KORVATH_BUILD_DIR");
  // Absolute, because the program is started from its own working directory.
  return b ? fs::absolute(b).string() : fs::current_path().string();
}

inline std::string ScreenshotDir() {
  std::string dir = BuildDir() + "/screenshots";
  // build/screenshots for the main build; a helper's own build dir otherwise.
  if (const char* src = std::getenv("KORVATH_SOURCE_DIR")) dir = std::string(src) + "/build/screenshots";
  fs::create_directories(dir);
  return dir;
}

inline std::string MakeTempDir(const std::string& tag) {
  std::string templ = (fs::temp_directory_path() / ("korvath-" + tag + "-XXXXXX")).string();
  char* made = mkdtemp(templ.data());
  return made ? std::string(made) : std::string();
}

inline bool ProcessAlive(int pid) {
  if (pid <= 0) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return false;
  std::string line;
  std::getline(stat, line);
  auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

inline bool WaitUntil(const std::function<bool()>& done, int timeout_ms, int step_ms = 50) {
  auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
  }
}

// ---- the X display -------------------------------------------------------

struct XRect {
  int left = 0, top = 0, width = 0, height = 0;
};

class XDisplay {
 public:
  // Windows come and go while they are looked at; Xlib's default handler
  // would end the whole test binary on the first BadWindow and leave its
  // korvath and aria2 running for every later test. A failed request simply
  // reads as nothing.
  XDisplay() : display_(OpenWithRetries()) {
    XSetErrorHandler(+[](Display*, XErrorEvent*) { return 0; });
  }
  ~XDisplay() {
    if (display_) XCloseDisplay(display_);
  }
  bool ok() const { return display_ != nullptr; }
  Display* get() const { return display_; }

  // Xvfb under load (many test processes connecting and leaving at once)
  // now and then refuses a connection for a moment: asked again it answers.
  static Display* OpenWithRetries() {
    for (int tries = 0; tries < 50; ++tries) {
      if (Display* display = XOpenDisplay(nullptr)) return display;
      ::usleep(100 * 1000);
    }
    return nullptr;
  }

  int ScreenWidth() const { return DisplayWidth(display_, DefaultScreen(display_)); }
  int ScreenHeight() const { return DisplayHeight(display_, DefaultScreen(display_)); }

  std::string Title(Window w) const {
    Atom net_name = XInternAtom(display_, "_NET_WM_NAME", False);
    Atom utf8 = XInternAtom(display_, "UTF8_STRING", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    std::string title;
    if (XGetWindowProperty(display_, w, net_name, 0, 1024, False, utf8, &type, &format, &count, &after,
                           &data) == Success &&
        data) {
      title.assign(reinterpret_cast<char*>(data), count);
      XFree(data);
      return title;
    }
    char* name = nullptr;
    if (XFetchName(display_, w, &name) && name) {
      title = name;
      XFree(name);
    }
    return title;
  }

  int Pid(Window w) const {
    Atom atom = XInternAtom(display_, "_NET_WM_PID", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    int pid = 0;
    if (XGetWindowProperty(display_, w, atom, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after,
                           &data) == Success &&
        data) {
      if (count == 1) pid = static_cast<int>(*reinterpret_cast<unsigned long*>(data));
      XFree(data);
    }
    return pid;
  }

  bool Viewable(Window w) const {
    XWindowAttributes a;
    return XGetWindowAttributes(display_, w, &a) && a.map_state == IsViewable;
  }

  // Visible top-level windows of `pid` (children of the root), bottom to top.
  std::vector<Window> WindowsOf(int pid) const {
    std::vector<Window> out;
    Window root_ret, parent;
    Window* children = nullptr;
    unsigned int n = 0;
    XSync(display_, False);
    if (!XQueryTree(display_, DefaultRootWindow(display_), &root_ret, &parent, &children, &n)) return out;
    for (unsigned i = 0; i < n; ++i)
      if (Pid(children[i]) == pid && Viewable(children[i])) out.push_back(children[i]);
    if (children) XFree(children);
    return out;
  }

  std::optional<Window> Find(int pid, const std::string& title) const {
    for (Window w : WindowsOf(pid))
      if (Title(w) == title) return w;
    return std::nullopt;
  }

  std::optional<Window> WaitFor(int pid, const std::string& title, int timeout_ms = 15000) const {
    std::optional<Window> found;
    WaitUntil([&] { return (found = Find(pid, title)).has_value(); }, timeout_ms);
    return found;
  }

  XRect Geometry(Window w) const {
    XWindowAttributes a{};
    XGetWindowAttributes(display_, w, &a);
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(display_, w, DefaultRootWindow(display_), 0, 0, &x, &y, &child);
    return {x, y, a.width, a.height};
  }

  std::optional<Window> TransientFor(Window w) const {
    Window owner = 0;
    if (XGetTransientForHint(display_, w, &owner) && owner) return owner;
    return std::nullopt;
  }

  std::vector<std::string> States(Window w) const {
    Atom state = XInternAtom(display_, "_NET_WM_STATE", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    std::vector<std::string> out;
    if (XGetWindowProperty(display_, w, state, 0, 64, False, XA_ATOM, &type, &format, &count, &after,
                           &data) == Success &&
        data) {
      auto* atoms = reinterpret_cast<Atom*>(data);
      for (unsigned long i = 0; i < count; ++i) {
        char* name = XGetAtomName(display_, atoms[i]);
        out.emplace_back(name ? name : "");
        if (name) XFree(name);
      }
      XFree(data);
    }
    return out;
  }

  // What the close box does: WM_DELETE_WINDOW to the window.
  void RequestClose(Window w) const {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_, w, False, NoEventMask, &e);
    XFlush(display_);
  }

 private:
  Display* display_;
};

// A real click through the X server (XTest), at a point of the window.
inline void ClickAt(Window w, int x, int y) {
  RunCommand("xdotool mousemove --window " + std::to_string(w) + " " + std::to_string(x) + " " +
             std::to_string(y) + " click 1");
}

inline void MoveWindow(Window w, int left, int top) {
  RunCommand("xdotool windowmove " + std::to_string(w) + " " + std::to_string(left) + " " +
             std::to_string(top));
}

// One ImageMagick statistic ("mean", "minima", "standard_deviation") of the
// grey levels (0 black, 1 white) in a rectangle of the window; -1 when the
// window cannot be read.
inline double GrayStatistic(Window w, int left, int top, int width, int height,
                            const std::string& statistic) {
  std::string out =
      RunCommand("import -window " + std::to_string(w) + " -crop " + std::to_string(width) + "x" +
                 std::to_string(height) + "+" + std::to_string(left) + "+" + std::to_string(top) +
                 " -colorspace gray -format '%[fx:" + statistic + "]' info: 2>/dev/null");
  return out.empty() ? -1 : std::stod(out);
}

// Real key presses (XTest) into the window, after giving it the keyboard
// focus; `keys` in xdotool's names ("Return", "Tab Return").
inline void PressKeys(Window w, const std::string& keys) {
  RunCommand("xdotool windowfocus " + std::to_string(w) + " sleep 0.1 key --delay 60 " + keys);
}

// The processes whose parent is `pid` (the program's web and network
// processes, its aria2).
inline std::vector<int> ChildPids(int pid) {
  std::vector<int> out;
  for (auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    std::getline(stat, line);
    auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    std::string state;
    int ppid = 0;
    if (rest >> state >> ppid && ppid == pid) out.push_back(std::stoi(name));
  }
  return out;
}

// Share of one core the program and its child processes used over `ms`.
inline double CpuShare(int pid, int ms) {
  std::map<int, long> before;
  before[pid] = CpuTicks(pid);
  for (int child : ChildPids(pid)) before[child] = CpuTicks(child);
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  long used = 0;
  for (auto& [p, ticks] : before) {
    const long now = CpuTicks(p);
    if (now >= 0 && ticks >= 0) used += now - ticks;
  }
  return used * 1000.0 / sysconf(_SC_CLK_TCK) / ms;
}

inline void Screenshot(Window w, const std::string& name) {
  RunCommand("import -window " + std::to_string(w) + " '" + ScreenshotDir() + "/" + name +
             ".png' 2>/dev/null");
}

// ---- the program ---------------------------------------------------------

// Which program to start, and with what arguments: the build's korvath,
// without any, unless a test names another (an installed copy, say).
struct KorvathLaunch {
  std::string program;
  std::vector<std::string> args;
};

class KorvathProcess {
 public:
  // Starts korvath in a fresh working directory with an event log, automatic
  // message boxes and `env` on top of the test's own environment.
  explicit KorvathProcess(std::map<std::string, std::string> env = {}, bool auto_dialogs = true,
                          const KorvathLaunch& launch = {}) {
    work_dir_ = MakeTempDir("run");
    log_path_ = work_dir_ + "/events.jsonl";
    env["KORVATH_EVENT_LOG"] = log_path_;
    if (auto_dialogs && !env.count("KORVATH_DIALOGS")) env["KORVATH_DIALOGS"] = "auto";
    // Each run keeps its own record of unfinished downloads, not the user's.
    if (!env.count("XDG_STATE_HOME")) env["XDG_STATE_HOME"] = work_dir_ + "/state";
    // ... and its own settings: a user's settings file must not steer a test.
    if (!env.count("XDG_CONFIG_HOME")) env["XDG_CONFIG_HOME"] = work_dir_ + "/config";
    const std::string program = launch.program.empty() ? Program() : launch.program;
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& arg : launch.args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      // A test killed by its time limit takes its program (and so the web
      // processes) with it.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      setpgid(0, 0);
      for (auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
      if (chdir(work_dir_.c_str()) != 0) _exit(126);
      int out = open((work_dir_ + "/output.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
      }
      execv(program.c_str(), argv.data());
      _exit(127);
    }
  }
  ~KorvathProcess() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    // aria2 outlives a killed korvath; end ours so the next test finds port 6800 free.
    if (int aria2 = Aria2Pid(); aria2 > 0 && ProcessAlive(aria2)) kill(aria2, SIGKILL);
    std::error_code ec;
    if (!std::getenv("KORVATH_KEEP_TEST_DIRS")) fs::remove_all(work_dir_, ec);
  }

  static std::string Program() { return BuildDir() + "/src/shell/korvath"; }

  int pid() const { return pid_; }
  const std::string& work_dir() const { return work_dir_; }

  std::vector<Json> Events() const {
    std::vector<Json> out;
    std::ifstream in(log_path_);
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty()) continue;
      Json j = Json::parse(line, nullptr, false);
      if (!j.is_discarded()) out.push_back(std::move(j));
    }
    return out;
  }

  // Events whose "event" is `name` and whose fields include `fields`.
  std::vector<Json> EventsNamed(const std::string& name, const Json& fields = Json::object()) const {
    std::vector<Json> out;
    for (auto& e : Events()) {
      if (e.value("event", "") != name) continue;
      bool match = true;
      for (auto& [k, v] : fields.items())
        if (!e.contains(k) || e[k] != v) match = false;
      if (match) out.push_back(e);
    }
    return out;
  }

  bool WaitForEvent(const std::string& name, const Json& fields = Json::object(),
                    int timeout_ms = 20000) const {
    return WaitUntil([&] { return !EventsNamed(name, fields).empty(); }, timeout_ms);
  }

  // "event:step" names in log order, for comparing sequences.
  std::vector<std::string> Sequence(const std::vector<std::string>& wanted_events) const {
    std::vector<std::string> out;
    for (auto& e : Events()) {
      std::string name = e.value("event", "");
      for (auto& w : wanted_events) {
        if (name != w) continue;
        std::string detail;
        if (e.contains("step"))
          detail = e["step"].get<std::string>();
        else if (e.contains("method"))
          detail = e["method"].get<std::string>();
        else if (e.contains("name") && e.contains("action"))
          detail = e["name"].get<std::string>() + "/" + e["action"].get<std::string>();
        else if (e.contains("text"))
          detail = e["text"].get<std::string>();
        out.push_back(detail.empty() ? name : name + ":" + detail);
      }
    }
    return out;
  }

  int Aria2Pid() const {
    auto started = EventsNamed("aria2_started");
    return started.empty() ? 0 : started.back().value("pid", 0);
  }

  // The exit code, or nullopt when the program is still running after the wait.
  std::optional<int> WaitExit(int timeout_ms = 20000) {
    if (exited_) return exit_code_;
    int status = 0;
    bool done = WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout_ms);
    if (!done) return std::nullopt;
    exited_ = true;
    exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return exit_code_;
  }

  void Signal(int sig) const { kill(pid_, sig); }

  std::string Output() const {
    std::ifstream in(work_dir_ + "/output.txt");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  // Held from before the program starts until it and its aria2 are gone.
  Aria2MachineLock machine_lock_;
  int pid_ = -1;
  bool exited_ = false;
  int exit_code_ = -1;
  std::string work_dir_;
  std::string log_path_;
};

}  // namespace korvath::testing
