// How much processor time a process has used, read from /proc.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

namespace korvath::testing {

// utime + stime of a process, in clock ticks; -1 when it is gone.
inline long CpuTicks(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  auto close = line.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(line.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  // Fields after the name start at 3 (state); utime and stime are 14 and 15.
  for (int n = 3; n <= 15 && rest >> field; ++n) {
    if (n == 14) utime = std::stol(field);
    if (n == 15) stime = std::stol(field);
  }
  return utime + stime;
}

}  // namespace korvath::testing
