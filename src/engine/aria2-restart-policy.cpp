#include "engine/aria2-restart-policy.h"

#include <sys/wait.h>

#include <csignal>
#include <cstring>

namespace korvath {

bool Aria2RestartPolicy::MayRestart(std::int64_t now_ms) {
  if (refused_) return false;
  ends_ms_.push_back(now_ms);
  while (!ends_ms_.empty() && now_ms - ends_ms_.front() >= kWindowMs) ends_ms_.pop_front();
  refused_ = static_cast<int>(ends_ms_.size()) >= kMostEnds;
  return !refused_;
}

ChildEnd DescribeChildEnd(int wait_status) {
  if (WIFSIGNALED(wait_status)) return {.signalled = true, .code = WTERMSIG(wait_status)};
  return {.signalled = false, .code = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 0};
}

Text ChildEndText(const ChildEnd& end) {
  if (!end.signalled) return Gbk(u8"退出码") + ToText(end.code);
  // sigabbrev_np names the signal as a user types it for kill(1).
  const char* abbreviation = sigabbrev_np(end.code);
  Text name = abbreviation ? Gbk(u8"（SIG") + abbreviation + Gbk(u8"）") : Text();
  return Gbk(u8"被信号") + ToText(end.code) + name + Gbk(u8"终止");
}

}  // namespace korvath
