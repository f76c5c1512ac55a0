#include "engine/aria2-bootstrap.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "engine/aria2-home.h"
#include "engine/processes.h"
#include "platform/event-log.h"
#include "platform/problem-log.h"
#include "util/file-io.h"
#include "util/random-key.h"
#include "util/text.h"

namespace korvath {
namespace {

constexpr std::string_view kAria2Name = "aria2c.exe";
constexpr int kWriteTries = 11;
constexpr int kDetectionLooks = 11;
// How long (in 100 ms waits) an ended leftover aria2 may keep the port.
constexpr int kPortReleaseWaits = 50;
// How long our aria2 may take to listen once it runs, and how often we try.
constexpr std::int64_t kListenWaitMs = 1000;
constexpr int kListenRetryMs = 4;

// Only when nothing of that name exists: the user's own settings survive, and
// O_EXCL|O_NOFOLLOW keeps us from writing through a link.
void WriteConfIfMissing(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return;
  Text contents = Gbk(u8"#本文件是aria2的自定义配置文件，由FenlowKorvath创建") + "\r\n" +
                  Gbk(u8"#您可以在这里自定义aria2参数") + "\r\n";
  WriteAll(fd, contents);
  ::close(fd);
}

std::string JoinedArgv(const std::vector<std::string>& argv) {
  std::string joined;
  for (const std::string& arg : argv) {
    if (!joined.empty()) joined += ' ';
    joined += arg;
  }
  return joined;
}

// Any user of the machine may read a process's command line, and aria2
// masks its secret there only once it has parsed its options: a secret on
// the command line can be read during the first milliseconds of every start.
// It goes in a file of the user's alone instead, holding the user's
// aria2.conf followed by our secret (aria2 keeps the last value of an option
// given twice in one file, so ours wins over one the user set). The file goes
// in `dir` (RunConfDir); "" when it could not be written.
// `head` comes before the user's lines, so that theirs win over it.
std::string WriteRunConf(const std::string& user_conf_path, const std::string& dir, const std::string& secret,
                         const std::string& head) {
  // Without a secret aria2 would take every caller.
  if (secret.empty()) return "";
  std::string contents = head + ReadWholeFile(user_conf_path).value_or("");
  if (!contents.empty() && !contents.ends_with('\n')) contents += '\n';
  contents += "rpc-secret=" + secret + "\n";
  for (int tries = 0; tries < 3; ++tries) {
    std::string path = dir + "/korvath-aria2-" + RandomHexKey().substr(0, 12) + ".conf";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return "";
    }
    // The mode of a new file may be narrowed by the umask, never widened;
    // fchmod only makes sure of it.
    const bool written = ::fchmod(fd, 0600) == 0 && WriteAll(fd, contents).error == 0;
    if (::close(fd) != 0 || !written) {
      ::unlink(path.c_str());
      return "";
    }
    return path;
  }
  return "";
}

// $XDG_RUNTIME_DIR is the user's own and never on disk; without it, the
// aria2 home.
std::string RunConfDir(const std::string& home_dir) {
  std::error_code ec;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && runtime[0] == '/' && std::filesystem::is_directory(runtime, ec)) return runtime;
  return home_dir;
}

// Starts aria2 in our own working directory (its downloads go there) as the
// leader of its own process group, so a Ctrl-C in the terminal reaches only
// Korvath, which pauses the downloads before it ends aria2. Returns the pid or 0.
pid_t Launch(const std::string& program, const std::vector<std::string>& arguments,
             const std::string& output) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : arguments) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  // Sockets and files of ours must not live on in aria2 (a listening socket
  // inherited there would keep its port taken after we end).
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD, SIGQUIT})
    sigaddset(&defaults, signal_number);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

  pid_t pid = 0;
  int error = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : 0;
}

// Whether our own child still runs; an ended one is reaped here, its wait
// status kept in `ended_status`.
bool ChildRunning(pid_t child, std::optional<int>& ended_status) {
  if (child <= 0) return false;
  int status = 0;
  pid_t r = ::waitpid(child, &status, WNOHANG);
  if (r == child) ended_status = status;
  return r == 0;
}

// Where aria2's two files go: the program directory, or the user's data
// directory when that one refuses writes.
struct Aria2Home {
  std::string dir;
  std::string exe_path;
  std::string conf_path;
};

Aria2Home HomeIn(const std::string& dir) {
  return {.dir = dir, .exe_path = dir + "/" + std::string(kAria2Name), .conf_path = dir + "/aria2.conf"};
}

// Warns about a running Dravenet and ends an aria2 left from an earlier run.
// Returns the pid of that aria2 (0 when there was none): it may still hold
// the program file or the port for a moment.
int EndEarlierAria2(Desktop& desktop, EngineState& state, int end_limit_ms) {
  state.aria2_pid = FindProcessByName(kAria2Name);

  if (FindProcessByName("Dravenet.exe") != 0) {
    NoticeBox(desktop, Gbk(u8"Dravenet可能会和本程序引起冲突，建议您不要同时开启这两款下载器。"),
              kMbIconError);
  }

  const int ended = state.aria2_pid;
  // aria2 needs one to two seconds to shut down after SIGTERM (it saves its
  // control files first), longer than the 1.1 s of writes below: without this
  // wait a start soon after an earlier run would often find the file busy.
  if (ended != 0 && TerminateProcessById(ended)) WaitForProcessEnd(desktop, ended, end_limit_ms);
  state.aria2_pid = 0;
  return ended;
}

// The program directory as an absolute path without a trailing "/".
std::string AbsoluteProgramDir(const std::string& given_dir) {
  // An empty directory means the current one; taken literally it would put
  // the program at the root of the file system.
  std::filesystem::path given = given_dir.empty() ? "." : given_dir;
  std::error_code ignored;
  std::string program_dir = std::filesystem::absolute(given, ignored).lexically_normal().string();
  if (program_dir.empty()) program_dir = given.string();
  while (program_dir.size() > 1 && program_dir.ends_with('/')) program_dir.pop_back();
  return program_dir;
}

// The bytes of the aria2 program to supply; nullopt (with its message shown)
// when there is none.
std::optional<std::string> ReadAria2Program(Desktop& desktop, const StartAria2Params& params) {
  std::optional<std::string> source = params.aria2_program ? params.aria2_program : FindAria2Program();
  std::optional<std::string> program_bytes = source ? ReadWholeFile(*source) : std::nullopt;
  if (!program_bytes || program_bytes->empty()) {
    MessageBox(desktop,
               Gbk(u8"找不到aria2下载程序，无法下载。请先安装Debian软件包“aria2”（sudo apt install aria2），"
                   u8"或用环境变量KORVATH_ARIA2C指定aria2c程序的位置。"),
               kMbIconError);
    return std::nullopt;
  }
  return program_bytes;
}

// Copies the program to home.exe_path, retrying while a running copy keeps
// the file busy. A program directory that refuses writes moves `home` to the
// user's data directory once (the first time with a message saying where).
// False when it cannot be written; its message has been shown.
bool SupplyProgram(Desktop& desktop, Aria2Home& home, const std::string& program_bytes, int ended) {
  bool moved = false;
  for (int tries = 0;;) {
    // When the aria2 just ended was our own child (a second start in one
    // run), its exit must be collected: until then the file stays busy.
    if (ended > 0) ::waitpid(ended, nullptr, WNOHANG);
    const int error = WriteProgramFile(home.exe_path, program_bytes);
    if (error == 0) return true;
    if (IsNotWritableError(error) && !moved) {
      // An installed, read-only program directory: the files go to the
      // user's own data directory instead, and the user is told where once.
      const std::string user_dir = UserDataDir();
      std::error_code made;
      std::filesystem::create_directories(user_dir, made);
      if (!user_dir.empty() && !made && user_dir != home.dir) {
        moved = true;
        const bool first_time = !std::filesystem::exists(user_dir + "/aria2.conf", made);
        desktop.Log().Record("aria2_home", {{"from", home.dir}, {"to", user_dir}});
        if (first_time) {
          MessageBox(desktop,
                     Gbk(u8"程序所在的目录") + Utf8ToGbk(home.dir) +
                         Gbk(u8"不能写入，aria2c.exe和aria2.conf改为保存在") + Utf8ToGbk(user_dir) +
                         Gbk(u8"。"),
                     kMbIconInformation);
        }
        home = HomeIn(user_dir);
        continue;
      }
    }
    if (IsNotWritableError(error)) {
      MessageBox(desktop, Gbk(u8"无法写入") + Utf8ToGbk(home.exe_path) + Gbk(u8"：目录不能写入。"),
                 kMbIconError);
      return false;
    }
    if (IsNotPlainFileError(error)) {
      MessageBox(desktop,
                 Utf8ToGbk(home.exe_path) +
                     Gbk(u8"不是普通文件（可能是指向别处的链接），为了不改写它所指的文件，aria2没有启动。"
                         u8"请删除或改名这个文件后重新启动本程序。"),
                 kMbIconError);
      return false;
    }
    if (IsNoSpaceError(error)) {
      MessageBox(desktop,
                 Gbk(u8"磁盘空间不足，无法写入") + Utf8ToGbk(home.exe_path) +
                     Gbk(u8"。请腾出空间后重新启动本程序。"),
                 kMbIconError);
      return false;
    }
    desktop.DelayPumping(100);
    if (++tries >= kWriteTries) {
      MessageBox(desktop, Gbk(u8"当前目录下的aria2c.exe被占用"));
      return false;
    }
  }
}

// Options and the secret must never go to a stranger that holds aria2's
// port: aria2 would fail to listen, yet count as started for a moment. A
// leftover aria2 told to end before may need a moment to let go. False (with
// the holder named in a message) when the port stays taken.
bool WaitForFreePort(Desktop& desktop, int port, int ended, const StartAria2Params& params) {
  std::vector<PortListener> holders = ListenersOnPort(port);
  for (int waits = 0; !holders.empty() && ended != 0 && waits < kPortReleaseWaits; ++waits) {
    if (ended > 0) ::waitpid(ended, nullptr, WNOHANG);
    desktop.DelayPumping(100);
    holders = ListenersOnPort(port);
  }
  if (!holders.empty()) {
    desktop.Log().Record("aria2_port_held", {{"port", std::int64_t{port}}});
    if (params.port_held)
      params.port_held(holders);
    else
      MessageBox(desktop, PortHeldMessage(port, holders), kMbIconError);
    return false;
  }
  return true;
}

// Launches aria2 with the secret given in `run_conf` (see WriteRunConf);
// records "aria2_started". Returns the child's pid, 0 when it could not be
// started.
pid_t LaunchAria2(Desktop& desktop, const EngineState& state, const Aria2Home& home,
                  const std::string& run_conf, const std::string& output) {
  std::vector<std::string> arguments = Aria2Arguments(state, run_conf);
  pid_t child = Launch(home.exe_path, arguments, output);
  if (child > 0) {
    std::vector<std::string> argv{home.exe_path};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    desktop.Log().Record("aria2_started", {{"pid", std::int64_t{child}}, {"argv", JoinedArgv(argv)}});
  }
  return child;
}

// aria2 that refuses its settings (a bad value in aria2.conf) ends within
// milliseconds: counted as started, every later call would fail and blame
// the firewall instead. Its exit is reported with the file to check.
bool ReportEarlyExit(Desktop& desktop, EngineState& state, int status, const std::string& conf_path) {
  state.aria2_pid = 0;
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  MessageBox(desktop,
             Gbk(u8"aria2启动后立即退出（退出码") + ToText(code) +
                 Gbk(u8"），可能是配置文件中的设置有误，请检查：") + Utf8ToGbk(conf_path),
             kMbIconError);
  return false;
}

// Looks for our aria2 among the running processes, 100 ms apart, until it
// is seen (no pause after the look that sees it); sets state.aria2_pid. False (message shown) when it never
// runs or ends at once.
bool WaitUntilRunning(Desktop& desktop, EngineState& state, pid_t child, const std::string& conf_path) {
  for (int looks = 0;;) {
    if (state.aria2_pid != 0) return true;
    // Only our own child is our aria2. Another process of that name (the
    // user's own, another user's) would count as started although ours never
    // ran or is gone, every request would then fail, and shut-down would end
    // that stranger.
    std::optional<int> ended_status;
    state.aria2_pid = ChildRunning(child, ended_status) ? child : 0;
    // Ended before this look saw it: its exit status is only here.
    if (ended_status) return ReportEarlyExit(desktop, state, *ended_status, conf_path);
    // Found: no pause after the look that found it, it would only delay
    // every start.
    if (state.aria2_pid != 0) return true;
    desktop.DelayPumping(100);
    if (++looks >= kDetectionLooks) {
      if (state.aria2_pid != 0) return true;
      MessageBox(desktop, Gbk(u8"检测不到aria2"));
      return false;
    }
  }
}

// It may also end just after the first look saw it, so our own aria2 is
// watched until it accepts a connection on `port`, for a second at most.
// aria2 listens within milliseconds of starting: tried every few
// milliseconds, the options follow at once instead of up to a whole pause
// later. False (message shown) when it ends meanwhile; one still not
// listening counts as ready.
bool WaitUntilListening(Desktop& desktop, EngineState& state, pid_t child, int port,
                        const std::string& conf_path) {
  const std::int64_t give_up = MonotonicMs() + kListenWaitMs;
  while (state.aria2_pid == child) {
    int status = 0;
    if (::waitpid(child, &status, WNOHANG) == child)
      return ReportEarlyExit(desktop, state, status, conf_path);
    if (AcceptsConnections(port) || MonotonicMs() >= give_up) break;
    desktop.DelayPumping(kListenRetryMs);
  }
  return true;
}

}  // namespace

std::vector<std::string> Aria2Arguments(const EngineState& state, const std::string& conf_path) {
  Text parameters =
      "--enable-rpc=true --rpc-allow-origin-all=true --rpc-listen-port=" + Text(state.rpc_port) +
      " --conf-path=aria2.conf -q --disable-ipv6=true";
  std::vector<std::string> arguments;
  for (const Text& part : SplitText(parameters, " ")) {
    if (part.empty()) continue;
    // Absolute: aria2 must read the file we wrote, not a (usually missing)
    // one in whatever directory Korvath was started from.
    arguments.push_back(part == "--conf-path=aria2.conf" ? "--conf-path=" + conf_path : std::string(part));
  }
  // aria2 writes its control files once a minute by default; killed between
  // two writes it would continue from a minute-old state, or, with no control
  // file yet, take the preallocated file for finished. Once a second keeps
  // what a kill can lose to a second of fetching again.
  arguments.push_back("--auto-save-interval=1");
  return arguments;
}

// aria2's log, as lines for the head of its run conf: warnings and errors
// unless aria2.conf or the download manager asks for more. The file is
// started afresh past 1 MB (three older ones kept) and must be a plain file
// of ours: aria2 opening a FIFO there would never start. "" when refused.
std::string Aria2LogLines(Desktop& desktop, const std::string& log_file) {
  constexpr std::size_t kAria2LogBytes = 1 << 20;
  if (PastSize(log_file, 0, kAria2LogBytes)) RotateLogFile(log_file, 3);
  const PlainFileOpening opening = OpenPlainFileForAppending(log_file);
  if (opening.fd.get() < 0) {
    desktop.Log().Record("aria2_log_refused", {{"path", log_file}, {"not_plain", opening.not_plain}});
    return "";
  }
  return "log=" + log_file + "\nlog-level=warn\n";
}

bool StartAria2(Desktop& desktop, EngineState& state, const StartAria2Params& params) {
  state.cookie_header = "Cookie: " + params.cookie;
  const int port = params.port;
  state.rpc_port = std::to_string(port);

  const int ended = EndEarlierAria2(desktop, state, params.earlier_aria2_end_limit_ms);
  Aria2Home home = HomeIn(AbsoluteProgramDir(params.program_dir));
  const std::optional<std::string> program_bytes = ReadAria2Program(desktop, params);
  if (!program_bytes) return false;
  if (!SupplyProgram(desktop, home, *program_bytes, ended)) return false;
  WriteConfIfMissing(home.conf_path);
  if (!WaitForFreePort(desktop, port, ended, params)) return false;
  // A restarted aria2 keeps the secret the running pages already use.
  state.rpc_secret = params.rpc_secret ? *params.rpc_secret : RandomHexKey();
  const std::string run_conf_dir = RunConfDir(home.dir);
  desktop.Log().TreatAsSecret(state.rpc_secret);
  std::string output = params.output_log.value_or("/dev/null");
  std::string log_lines;
  if (params.log_file) {
    log_lines = Aria2LogLines(desktop, *params.log_file);
    // Its console output (a refused option, said before the log opens) goes
    // to the same file, and only when that file is a plain one.
    if (!log_lines.empty() && !params.output_log) output = *params.log_file;
  }
  const std::string run_conf = WriteRunConf(home.conf_path, run_conf_dir, state.rpc_secret, log_lines);
  if (run_conf.empty()) {
    MessageBox(desktop,
               Gbk(u8"无法为aria2写入本次运行的配置文件（") + Utf8ToGbk(run_conf_dir) +
                   Gbk(u8"），aria2没有启动。请确认磁盘有空间、目录可以写入后重新启动本程序。"),
               kMbIconError);
    return false;
  }
  const pid_t child = LaunchAria2(desktop, state, home, run_conf, output);
  // aria2 has read its options once it listens (or has ended); the secret
  // must not stay on disk any longer than that.
  const bool started = WaitUntilRunning(desktop, state, child, home.conf_path) &&
                       WaitUntilListening(desktop, state, child, port, home.conf_path);
  ::unlink(run_conf.c_str());
  return started;
}

}  // namespace korvath
