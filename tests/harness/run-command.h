// A shell command's standard output, for driving command-line tools
// (xdotool, openssl, ps) from tests and benchmarks.
#pragma once

#include <cstdio>
#include <string>

namespace korvath::testing {

inline std::string RunCommand(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

}  // namespace korvath::testing
