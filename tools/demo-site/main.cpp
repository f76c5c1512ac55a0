// korvath-demo-site: serves the offline demo share site on 127.0.0.1 until it
// receives SIGTERM or SIGINT. The first line on stdout is the port it listens on.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "demo-site.h"

namespace {

void Usage(std::FILE* out) {
  std::fputs(
      "usage: korvath-demo-site [--port N] [--files-dir DIR] [--notice TEXT]\n"
      "  --port N         port on 127.0.0.1 (default 0: the system picks one)\n"
      "  --files-dir DIR  offer the files of DIR instead of the built-in samples\n"
      "  --notice TEXT    the whole reply of /getpassword\n"
      "The first line printed is the port.\n",
      out);
}

}  // namespace

int main(int argc, char** argv) {
  korvath::demo::DemoSiteOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "korvath-demo-site: %s needs a value\n", arg.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--port") {
      char* end = nullptr;
      const char* text = value();
      long port = std::strtol(text, &end, 10);
      if (*text == '\0' || *end != '\0' || port < 0 || port > 65535) {
        std::fprintf(stderr, "korvath-demo-site: bad port '%s'\n", text);
        return 2;
      }
      options.port = static_cast<int>(port);
    } else if (arg == "--files-dir") {
      std::string error;
      if (!korvath::demo::FilesInDirectory(value(), options.files, error)) {
        std::fprintf(stderr, "korvath-demo-site: %s\n", error.c_str());
        return 2;
      }
    } else if (arg == "--notice") {
      options.notice_reply = value();
    } else if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else {
      Usage(stderr);
      return 2;
    }
  }

  // Block the signals before any thread starts so that only sigwait sees them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  korvath::demo::DemoSite site(options);
  int port = site.Start();
  if (port < 0) {
    std::fprintf(stderr, "korvath-demo-site: cannot listen on 127.0.0.1:%d\n", options.port);
    return 1;
  }
  std::printf("%d\n", port);
  std::fflush(stdout);
  std::fprintf(stderr, "korvath-demo-site: %s (notice: %s)\n", site.AppUrl().c_str(),
               site.NoticeUrl().c_str());

  int received = 0;
  sigwait(&signals, &received);
  site.Stop();
  return 0;
}
