// Start-up against the real aria2: files written, the command line, the
// secret, the clean-up of an earlier aria2 and every start-up message.
#include "engine/aria2-bootstrap.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <regex>
#include <set>
#include <thread>

#include "engine/engine-fixture.h"
#include "engine/processes.h"
#include "engine/rpc-client.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;

std::string Aria2Program() {
  auto program = FindAria2Program();
  return program ? *program : std::string();
}

// A process's arguments as /proc shows them to anyone on the machine.
std::vector<std::string> CommandLine(int pid) {
  const std::string cmdline = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
  std::vector<std::string> argv;
  for (size_t at = 0; at < cmdline.size();) {
    size_t end = cmdline.find('\0', at);
    if (end == std::string::npos) end = cmdline.size();
    argv.push_back(cmdline.substr(at, end - at));
    at = end + 1;
  }
  return argv;
}

class StartAria2Test : public testing::Aria2Test {
 protected:
  StartAria2Params Params() {
    return {.cookie = "Zorbit",
            .program_dir = program_dir.string(),
            .output_log = (log_dir / "aria2.out").string()};
  }
  // A copy of sleep placed as aria2c.exe and running. As an earlier aria2 it
  // runs under that name; otherwise through a second name (a hard link), as
  // another program that keeps the file busy and that the clean-up does not
  // recognise.
  int RunBusyCopy(bool as_aria2, bool ignore_term) {
    fs::copy_file("/bin/sleep", program_dir / "aria2c.exe", fs::copy_options::overwrite_existing);
    fs::path run = program_dir / "aria2c.exe";
    if (!as_aria2) {
      run = log_dir / "file-holder";
      fs::create_hard_link(program_dir / "aria2c.exe", run);
    }
    int pid = testing::Spawn(run, {"60"}, ignore_term);
    extra_pids.push_back(pid);
    testing::WaitFor([&] { return FindProcessByName(run.filename().string()) == pid; },
                     std::chrono::seconds(2));
    return pid;
  }
};

TEST_F(StartAria2Test, WritesTheProgramAndConfigurationAndStartsAria2WithASecret) {
  ASSERT_FALSE(Aria2Program().empty()) << "the aria2 package is needed for these tests";
  ASSERT_TRUE(StartAria2(*desktop, state, Params())) << desktop->BoxTexts();
  EXPECT_TRUE(desktop->boxes.empty());
  EXPECT_EQ(state.cookie_header, "Cookie: Zorbit");
  EXPECT_EQ(state.rpc_port, "6800");
  EXPECT_TRUE(std::regex_match(state.rpc_secret, std::regex("[0-9a-f]{32}")));
  ASSERT_GT(state.aria2_pid, 0);
  EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(state.aria2_pid) + "/exe"),
            program_dir / "aria2c.exe");

  EXPECT_EQ(ReadFile(program_dir / "aria2c.exe"), ReadFile(Aria2Program()));
  EXPECT_EQ(Text(ReadFile(program_dir / "aria2.conf")),
            Gbk(u8"#本文件是aria2的自定义配置文件，由FenlowKorvath创建") + "\r\n" +
                Gbk(u8"#您可以在这里自定义aria2参数") + "\r\n");

  // The command line as aria2 got it: the fixed options and the per-run
  // configuration file, already gone; no secret at all.
  std::vector<std::string> argv = CommandLine(state.aria2_pid);
  ASSERT_EQ(argv.size(), 8u);
  const std::string run_conf = argv[4].substr(std::string_view("--conf-path=").size());
  EXPECT_EQ(std::vector<std::string>(argv.begin(), argv.begin() + 4),
            (std::vector<std::string>{(program_dir / "aria2c.exe").string(), "--enable-rpc=true",
                                      "--rpc-allow-origin-all=true", "--rpc-listen-port=6800"}));
  EXPECT_EQ(std::vector<std::string>(argv.begin() + 5, argv.end()),
            (std::vector<std::string>{"-q", "--disable-ipv6=true", "--auto-save-interval=1"}));
  EXPECT_TRUE(run_conf.starts_with('/')) << run_conf;
  EXPECT_FALSE(fs::exists(run_conf)) << run_conf;

  auto started = desktop->Events("aria2_started");
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0]["pid"], state.aria2_pid);
  EXPECT_EQ(desktop->RawLog().find(state.rpc_secret), std::string::npos);

  // aria2 started in our working directory, whatever the program directory is.
  EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(state.aria2_pid) + "/cwd"), work_dir);
}

TEST_F(StartAria2Test, ReturnsAsSoonAsAria2TakesConnectionsWithoutWholePauses) {
  ASSERT_TRUE(StartAria2(*desktop, state, Params())) << desktop->BoxTexts();
  // Already listening when start-up goes on to the options, and no look
  // that found it was followed by a 100 ms pause.
  EXPECT_TRUE(testing::PortListening(6800));
  for (int delay : desktop->delays) EXPECT_LT(delay, 100);
}

TEST_F(StartAria2Test, OptionsReallyReachAria2AndRequestsWithoutTheSecretAreRefused) {
  ASSERT_TRUE(StartAria2(*desktop, state, Params())) << desktop->BoxTexts();
  ASSERT_TRUE(SetGlobalOptions(*desktop, state));
  EXPECT_TRUE(desktop->boxes.empty());

  auto options = testing::Aria2Call(state, "aria2.getGlobalOption")["result"];
  EXPECT_EQ(options["split"], "8");
  EXPECT_EQ(options["max-connection-per-server"], "8");
  EXPECT_EQ(options["max-concurrent-downloads"], "3");
  EXPECT_EQ(options["timeout"], "1");
  EXPECT_EQ(options["connect-timeout"], "1");
  EXPECT_EQ(options["user-agent"], "LogStatistic");
  EXPECT_EQ(options["continue"], "true");
  EXPECT_EQ(options["auto-file-renaming"], "false");
  EXPECT_EQ(options["follow-torrent"], "false");
  EXPECT_EQ(options["min-split-size"], "1048576");

  // What any web page could send: no token, or the old empty one.
  for (const char* body :
       {R"({"jsonrpc":"2.0","id":1,"method":"aria2.getGlobalOption","params":[]})",
        R"({"jsonrpc":"2.0","id":1,"method":"aria2.getGlobalOption","params":["token:"]})"}) {
    std::string reply = testing::CurlPost("http://127.0.0.1:6800/jsonrpc", body);
    EXPECT_NE(reply.find("Unauthorized"), std::string::npos) << reply;
  }

  // A wrong secret gets aria2's error, which reaches the user.
  EngineState wrong = state;
  wrong.rpc_secret = "00000000000000000000000000000000";
  EXPECT_FALSE(SetGlobalOptions(*desktop, wrong));
  ASSERT_EQ(desktop->boxes.size(), 1u);
  EXPECT_TRUE(desktop->boxes[0].text.starts_with(Gbk(u8"aria2在修改配置时发生错误，详细信息：")))
      << GbkToUtf8(desktop->boxes[0].text);
  EXPECT_NE(desktop->boxes[0].text.find("Unauthorized"), std::string::npos);
}

TEST_F(StartAria2Test, AnExistingConfigurationIsKeptAndReadFromAnotherWorkingDirectory) {
  // The user's own setting proves which file aria2 read: the one beside the
  // program, although the working directory holds none.
  std::string mine = "# mine\r\nmax-overall-upload-limit=7K\n\xff\xfe no newline";
  testing::WriteFile(program_dir / "aria2.conf", mine);
  ASSERT_NE(program_dir, work_dir);
  ASSERT_TRUE(StartAria2(*desktop, state, Params())) << desktop->BoxTexts();
  EXPECT_EQ(ReadFile(program_dir / "aria2.conf"), mine);
  EXPECT_FALSE(fs::exists(work_dir / "aria2.conf"));
  ASSERT_TRUE(testing::WaitFor([&] { return testing::PortListening(6800); }, std::chrono::seconds(5)));
  EXPECT_EQ(testing::Aria2Call(state, "aria2.getGlobalOption")["result"]["max-overall-upload-limit"], "7168");
}

// What any user of the machine can do: read the command line and the
// environment of each new process, over and over, while aria2 starts.
TEST_F(StartAria2Test, NoNewProcessShowsTheSecretWhileAria2Starts) {
  const int last_pid = std::stoi(ReadFile("/proc/sys/kernel/ns_last_pid"));
  std::atomic<bool> stop{false};
  std::set<std::string> seen;
  std::set<int> read_pids;
  std::thread watcher([&] {
    while (!stop) {
      // The machine's other work takes process ids too: every id handed out
      // since the start is looked at, a few beyond the newest as well.
      const int newest = std::stoi("0" + ReadFile("/proc/sys/kernel/ns_last_pid"));
      for (int pid = last_pid + 1; pid <= newest + 4; ++pid) {
        const std::string dir = "/proc/" + std::to_string(pid);
        std::string text = ReadFile(dir + "/cmdline") + '\n' + ReadFile(dir + "/environ");
        if (text.size() > 1) {
          read_pids.insert(pid);
          seen.insert(std::move(text));
        }
      }
    }
  });
  const bool started = StartAria2(*desktop, state, Params());
  stop = true;
  watcher.join();
  ASSERT_TRUE(started) << desktop->BoxTexts();
  ASSERT_TRUE(read_pids.contains(state.aria2_pid)) << "the watcher never saw aria2";
  for (const std::string& text : seen) EXPECT_EQ(text.find(state.rpc_secret), std::string::npos) << text;
  EXPECT_EQ(ReadFile("/proc/" + std::to_string(state.aria2_pid) + "/cmdline").find("rpc-secret"),
            std::string::npos);
}

// aria2 is given a stand-in that keeps a copy of the file it was handed, and
// its mode, before it becomes the real aria2.
TEST_F(StartAria2Test, TheSecretTravelsInAFileOnlyTheUserReadsThatIsGoneOnceAria2Listens) {
  const fs::path runtime = testing::MakeTempDir("korvath-runtime");
  const char* old_runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string kept_runtime = old_runtime ? old_runtime : "";
  ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  const fs::path stand_in = log_dir / "aria2c";
  testing::WriteFile(stand_in,
                     "#!/bin/sh\nfor a in \"$@\"; do case \"$a\" in --conf-path=*) f=\"${a#--conf-path=}\"; "
                     "cp \"$f\" '" +
                         (log_dir / "handed.conf").string() + "'; stat -c %a \"$f\" > '" +
                         (log_dir / "mode").string() + "';; esac; done\nexec aria2c \"$@\"\n");
  fs::permissions(stand_in, fs::perms::owner_all);
  const std::string mine = "# mine\r\nmax-overall-upload-limit=7K";
  testing::WriteFile(program_dir / "aria2.conf", mine);
  StartAria2Params params = Params();
  params.aria2_program = stand_in.string();
  const bool started = StartAria2(*desktop, state, params);
  if (old_runtime)
    ::setenv("XDG_RUNTIME_DIR", kept_runtime.c_str(), 1);
  else
    ::unsetenv("XDG_RUNTIME_DIR");
  ASSERT_TRUE(started) << desktop->BoxTexts();
  ASSERT_TRUE(testing::PortListening(6800));

  EXPECT_EQ(ReadFile(log_dir / "handed.conf"), mine + "\nrpc-secret=" + state.rpc_secret + "\n");
  EXPECT_EQ(ReadFile(log_dir / "mode"), "600\n");
  const std::vector<std::string> argv = CommandLine(state.aria2_pid);
  ASSERT_GE(argv.size(), 5u);
  EXPECT_EQ(fs::path(argv[4].substr(std::string_view("--conf-path=").size())).parent_path(), runtime);
  EXPECT_TRUE(fs::is_empty(runtime)) << "the file that carried the secret is still there";
  EXPECT_EQ(testing::Aria2Call(state, "aria2.getGlobalOption")["result"]["max-overall-upload-limit"], "7168");
  fs::remove_all(runtime);
}

// aria2 keeps the last of two values of an option in one file: the user's
// own rpc-secret in aria2.conf must come before ours, never after it.
TEST_F(StartAria2Test, ASecretSetInTheUsersConfigurationDoesNotReplaceOurs) {
  testing::WriteFile(program_dir / "aria2.conf", "rpc-secret=mine\r\n");
  ASSERT_TRUE(StartAria2(*desktop, state, Params())) << desktop->BoxTexts();
  EXPECT_TRUE(testing::Aria2Call(state, "aria2.getVersion").contains("result"));
  EngineState users = state;
  users.rpc_secret = "mine";
  EXPECT_EQ(testing::Aria2Call(users, "aria2.getVersion")["error"]["message"], "Unauthorized");
}

// aria2's log: warnings only by default, the level aria2.conf names when it
// names one, started afresh past 1 MB, and never a FIFO planted in its place.
TEST_F(StartAria2Test, Aria2LogsAtTheLevelChosenIntoAPlainFile) {
  const fs::path log = log_dir / "aria2.log";
  StartAria2Params params = Params();
  params.output_log.reset();
  params.log_file = log.string();
  testing::WriteFile(log, std::string((1 << 20) + 1, 'x'));
  ASSERT_TRUE(StartAria2(*desktop, state, params)) << desktop->BoxTexts();
  nlohmann::json options = testing::Aria2Call(state, "aria2.getGlobalOption")["result"];
  EXPECT_EQ(options["log"], log.string());
  EXPECT_EQ(options["log-level"], "warn");
  EXPECT_EQ(fs::file_size(log_dir / "aria2.log.1"), (1u << 20) + 1);
  EXPECT_LT(fs::file_size(log), 4096u);

  testing::WriteFile(program_dir / "aria2.conf", "log-level=info\r\n");
  ASSERT_TRUE(StartAria2(*desktop, state, params)) << desktop->BoxTexts();
  EXPECT_EQ(testing::Aria2Call(state, "aria2.getGlobalOption")["result"]["log-level"], "info");
  EXPECT_TRUE(testing::WaitFor([&] { return ReadFile(log).find("[INFO]") != std::string::npos; },
                               std::chrono::seconds(2)));
  EXPECT_EQ(ReadFile(log).find(state.rpc_secret), std::string::npos);

  fs::remove(log);
  ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
  ASSERT_TRUE(StartAria2(*desktop, state, params)) << desktop->BoxTexts();
  EXPECT_EQ(testing::Aria2Call(state, "aria2.getGlobalOption")["result"].value("log", ""), "");
  EXPECT_EQ(desktop->Events("aria2_log_refused").size(), 1u);
}

TEST_F(StartAria2Test, ANonAsciiProgramDirectoryIsLoggedAsItIsNamed) {
  const fs::path dir = program_dir / reinterpret_cast<const char*>(u8"下载器");
  fs::create_directory(dir);
  ASSERT_TRUE(StartAria2(*desktop, state, {.cookie = "Zorbit", .program_dir = dir.string()}))
      << desktop->BoxTexts();
  auto started = desktop->Events("aria2_started");
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(
      started[0]["argv"].get<std::string>().rfind((dir / "aria2c.exe").string() + " --enable-rpc=true", 0),
      0u)
      << started[0]["argv"];
}

TEST_F(StartAria2Test, AnEarlierAria2IsEndedAndEveryStartHasANewSecret) {
  ASSERT_TRUE(StartAria2(*desktop, state, Params())) << desktop->BoxTexts();
  int first_pid = state.aria2_pid;
  std::string first_secret = state.rpc_secret;
  ASSERT_TRUE(testing::WaitFor([&] { return testing::PortListening(6800); }, std::chrono::seconds(5)));

  bool restarted = StartAria2(*desktop, state, Params());
  if (!restarted) extra_pids.push_back(first_pid);
  ASSERT_TRUE(restarted) << desktop->BoxTexts();
  EXPECT_NE(state.aria2_pid, first_pid);
  EXPECT_NE(state.rpc_secret, first_secret);
  // The first one got SIGTERM and, being our child, was collected: its file
  // was free to be written again.
  EXPECT_NE(::kill(first_pid, 0), 0);
  EXPECT_EQ(FindProcessByName("aria2c.exe"), state.aria2_pid);
  EXPECT_TRUE(desktop->boxes.empty());
  EXPECT_TRUE(SetGlobalOptions(*desktop, state));
}

TEST_F(StartAria2Test, AProcessNamedInCapitalsCountsAsAnEarlierAria2) {
  fs::copy_file("/bin/sleep", program_dir / "ARIA2C.EXE");
  int pid = testing::Spawn(program_dir / "ARIA2C.EXE", {"60"});
  extra_pids.push_back(pid);
  ASSERT_TRUE(
      testing::WaitFor([&] { return FindProcessByName("aria2c.exe") == pid; }, std::chrono::seconds(2)));
  ASSERT_TRUE(StartAria2(*desktop, state, Params())) << desktop->BoxTexts();
  // Ended by SIGTERM, and (being our child) already collected.
  EXPECT_NE(::kill(pid, 0), 0);
  EXPECT_EQ(errno, ESRCH);
  EXPECT_NE(state.aria2_pid, pid);
  std::erase(extra_pids, pid);
}

TEST_F(StartAria2Test, ABusyProgramFileIsRetriedElevenTimesThenReported) {
  int busy = RunBusyCopy(/*as_aria2=*/false, /*ignore_term=*/false);
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(StartAria2(*desktop, state, Params()));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1100));
  EXPECT_EQ(desktop->delays, std::vector<int>(11, 100));
  ASSERT_EQ(desktop->boxes.size(), 1u);
  EXPECT_EQ(desktop->boxes[0].text, Gbk(u8"当前目录下的aria2c.exe被占用"));
  EXPECT_EQ(testing::RecordingDesktop::CaptionOf(desktop->boxes[0]), Gbk(u8"信息："));
  EXPECT_EQ(desktop->boxes[0].flags, 0);
  EXPECT_EQ(::kill(busy, 0), 0);  // not named aria2c.exe: left alone
  EXPECT_TRUE(desktop->Events("aria2_started").empty());
}

// Something else under the program's name is never written through: a link
// to a file of the user's, or a pipe that would hold start-up forever.
TEST_F(StartAria2Test, ANameThatIsNotAPlainFileIsReportedAndWhatItPointsToIsKept) {
  const fs::path precious = log_dir / "notes.txt";
  testing::WriteFile(precious, "the user's own words\n");
  fs::create_symlink(precious, program_dir / "aria2c.exe");
  EXPECT_FALSE(StartAria2(*desktop, state, Params()));
  EXPECT_EQ(ReadFile(precious), "the user's own words\n");
  ASSERT_EQ(desktop->boxes.size(), 1u);
  EXPECT_EQ(desktop->boxes[0].text,
            Utf8ToGbk((program_dir / "aria2c.exe").string()) +
                Gbk(u8"不是普通文件（可能是指向别处的链接），为了不改写它所指的文件，aria2没有启动。"
                    u8"请删除或改名这个文件后重新启动本程序。"));
  EXPECT_EQ(desktop->boxes[0].flags, kMbIconError);

  fs::remove(program_dir / "aria2c.exe");
  ASSERT_EQ(::mkfifo((program_dir / "aria2c.exe").c_str(), 0600), 0);
  EXPECT_FALSE(StartAria2(*desktop, state, Params()));
  ASSERT_EQ(desktop->boxes.size(), 2u);
  EXPECT_EQ(desktop->boxes[1].text, desktop->boxes[0].text);
  EXPECT_TRUE(desktop->Events("aria2_started").empty());
}

TEST_F(StartAria2Test, AnEarlierAria2ThatWillNotEndIsWaitedForThenReported) {
  EXPECT_EQ(StartAria2Params{}.earlier_aria2_end_limit_ms, 5000);
  int busy = RunBusyCopy(/*as_aria2=*/true, /*ignore_term=*/true);
  auto started = std::chrono::steady_clock::now();
  StartAria2Params params = Params();
  params.earlier_aria2_end_limit_ms = 600;
  EXPECT_FALSE(StartAria2(*desktop, state, params));
  // Up to the limit for it to end, then the eleven writes.
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1700));
  ASSERT_EQ(desktop->boxes.size(), 1u);
  EXPECT_EQ(desktop->boxes[0].text, Gbk(u8"当前目录下的aria2c.exe被占用"));
  EXPECT_EQ(::kill(busy, 0), 0);  // it ignored SIGTERM and still runs
  ::kill(busy, SIGKILL);
}

TEST_F(StartAria2Test, AnEarlierAria2ThatEndsSlowlyIsWaitedFor) {
  int busy = RunBusyCopy(/*as_aria2=*/true, /*ignore_term=*/true);
  // It gives up its file only after 2 s, longer than the writes are tried.
  desktop->on_pump = [&] {
    if (desktop->delays.size() == 20) {
      ::kill(busy, SIGKILL);
      ::waitpid(busy, nullptr, 0);
    }
  };
  ASSERT_TRUE(StartAria2(*desktop, state, Params())) << desktop->BoxTexts();
  EXPECT_TRUE(desktop->boxes.empty());
  EXPECT_EQ(ReadFile(program_dir / "aria2c.exe"), ReadFile(Aria2Program()));
}

TEST_F(StartAria2Test, AProgramFileFreedDuringTheRetriesIsWritten) {
  int busy = RunBusyCopy(/*as_aria2=*/false, /*ignore_term=*/false);
  desktop->on_pump = [&] {
    if (desktop->delays.size() == 3) {
      ::kill(busy, SIGKILL);
      ::waitpid(busy, nullptr, 0);
    }
  };
  ASSERT_TRUE(StartAria2(*desktop, state, Params())) << desktop->BoxTexts();
  EXPECT_TRUE(desktop->boxes.empty());
  // Three failed writes (the third freed the file), then the detection looks.
  EXPECT_GE(desktop->delays.size(), 4u);
  EXPECT_EQ(ReadFile(program_dir / "aria2c.exe"), ReadFile(Aria2Program()));
}

TEST_F(StartAria2Test, AProgramThatCannotRunIsReportedAsNotDetected) {
  // A damaged program file: written out fine, but the system cannot run it.
  testing::WriteFile(log_dir / "aria2c", "not a program\n");
  fs::permissions(log_dir / "aria2c", fs::perms::owner_all);
  // Meanwhile some other program under the same name starts (the user's own,
  // or another user's): it is not our aria2, nor one to end at shut-down.
  fs::create_directory(log_dir / "other");
  fs::copy_file("/bin/sleep", log_dir / "other" / "aria2c.exe");
  int other = 0;
  desktop->on_pump = [&] {
    if (other != 0) return;
    other = testing::Spawn(log_dir / "other" / "aria2c.exe", {"60"});
    extra_pids.push_back(other);
    testing::WaitFor([&] { return FindProcessByName("aria2c.exe") == other; }, std::chrono::seconds(2));
  };
  EXPECT_FALSE(StartAria2(*desktop, state,
                          {.cookie = "Zorbit",
                           .program_dir = program_dir.string(),
                           .aria2_program = (log_dir / "aria2c").string()}));
  EXPECT_EQ(desktop->delays, std::vector<int>(11, 100));
  ASSERT_EQ(desktop->boxes.size(), 1u);
  EXPECT_EQ(desktop->boxes[0].text, Gbk(u8"检测不到aria2"));
  EXPECT_EQ(desktop->boxes[0].flags, 0);
  EXPECT_EQ(state.aria2_pid, 0);
  ASSERT_NE(other, 0);
  EXPECT_EQ(::kill(other, 0), 0);
}

TEST_F(StartAria2Test, AnEmptyProgramDirectoryMeansTheCurrentOne) {
  ASSERT_TRUE(StartAria2(*desktop, state, {.cookie = "Zorbit", .program_dir = ""})) << desktop->BoxTexts();
  EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(state.aria2_pid) + "/exe"), work_dir / "aria2c.exe");
  EXPECT_TRUE(fs::exists(work_dir / "aria2.conf"));
}

TEST_F(StartAria2Test, AMissingAria2ProgramNamesThePackageToInstall) {
  EXPECT_FALSE(StartAria2(*desktop, state,
                          {.cookie = "Zorbit",
                           .program_dir = program_dir.string(),
                           .aria2_program = (work_dir / "no-such-aria2c").string()}));
  ASSERT_EQ(desktop->boxes.size(), 1u);
  const Text& text = desktop->boxes[0].text;
  EXPECT_NE(text.find(Gbk(u8"找不到aria2")), std::string::npos);
  EXPECT_NE(text.find("apt install aria2"), std::string::npos);
  EXPECT_EQ(desktop->boxes[0].flags, kMbIconError);
  EXPECT_FALSE(fs::exists(program_dir / "aria2c.exe"));
  EXPECT_EQ(state.aria2_pid, 0);
}

TEST_F(StartAria2Test, AConflictingDownloaderIsWarnedAboutAndStartUpGoesOn) {
  desktop->has_window = true;
  fs::copy_file("/bin/sleep", work_dir / "Dravenet.exe");
  int pid = testing::Spawn(work_dir / "Dravenet.exe", {"60"});
  extra_pids.push_back(pid);
  ASSERT_TRUE(
      testing::WaitFor([&] { return FindProcessByName("dravenet.exe") == pid; }, std::chrono::seconds(2)));
  ASSERT_TRUE(StartAria2(*desktop, state, Params())) << desktop->BoxTexts();
  ASSERT_EQ(desktop->boxes.size(), 1u);
  EXPECT_EQ(desktop->boxes[0].text,
            Gbk(u8"Dravenet可能会和本程序引起冲突，建议您不要同时开启这两款下载器。"));
  EXPECT_EQ(desktop->boxes[0].caption, Gbk(u8"友情提醒"));
  EXPECT_EQ(desktop->boxes[0].flags, kMbIconError);
  EXPECT_TRUE(desktop->boxes[0].owned);
  EXPECT_EQ(::kill(pid, 0), 0);  // only a warning: it is left running
}

TEST(FindAria2Program, TheOperatorsChoiceWinsAndIsNotSilentlyReplaced) {
  auto saved = [](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
  };
  auto old_choice = saved("KORVATH_ARIA2C");
  auto old_path = saved("PATH");
  auto dir = testing::MakeTempDir("korvath-path");
  fs::copy_file("/bin/true", dir / "aria2c");
  testing::WriteFile(dir / "not-executable", "x");

  ::setenv("KORVATH_ARIA2C", "/bin/true", 1);
  EXPECT_EQ(FindAria2Program(), "/bin/true");
  ::setenv("KORVATH_ARIA2C", (dir / "not-executable").c_str(), 1);
  EXPECT_EQ(FindAria2Program(), std::nullopt);
  ::unsetenv("KORVATH_ARIA2C");
  ::setenv("PATH", ("/nonexistent:" + dir.string()).c_str(), 1);
  EXPECT_EQ(FindAria2Program(), (dir / "aria2c").string());
  ::setenv("PATH", "/nonexistent", 1);
  EXPECT_EQ(FindAria2Program(), std::nullopt);

  if (old_choice) ::setenv("KORVATH_ARIA2C", old_choice->c_str(), 1);
  if (old_path) ::setenv("PATH", old_path->c_str(), 1);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace korvath
