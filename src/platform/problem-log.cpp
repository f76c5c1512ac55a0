#include "platform/problem-log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <ctime>
#include <filesystem>

#include "util/file-io.h"
#include "util/xdg-dirs.h"

namespace korvath {
namespace {

constexpr std::string_view kHidden = "[hidden]";

bool SameWordIgnoringCase(std::string_view text, std::size_t at, std::string_view word) {
  if (at + word.size() > text.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[at + i])) != word[i]) return false;
  }
  return true;
}

// Replaces what follows each `word` (any case) up to the first of `stops`
// with kHidden.
std::string MaskValuesAfter(std::string_view text, std::string_view word, std::string_view stops) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    if (SameWordIgnoringCase(text, i, word)) {
      out.append(text.substr(i, word.size()));
      i += word.size();
      while (i < text.size() && text[i] == ' ') out += text[i++];
      std::size_t end = i;
      while (end < text.size() && stops.find(text[end]) == std::string_view::npos) ++end;
      if (end > i) out.append(kHidden);
      i = end;
    } else {
      out += text[i++];
    }
  }
  return out;
}

std::string LocalTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

}  // namespace

ProblemLog::ProblemLog(std::string dir, const std::string& name, Limits limits)
    : dir_(std::move(dir)), path_(dir_ + "/" + name), limits_(limits) {
  // Made at once, so that "打开日志文件夹" finds it before any problem.
  MakeDirectory();
}

void ProblemLog::MakeDirectory() const {
  std::error_code ec;
  if (dir_.empty() || std::filesystem::is_directory(dir_, ec)) return;
  std::filesystem::create_directories(dir_, ec);
  if (!ec) ::chmod(dir_.c_str(), 0700);
}

void ProblemLog::TreatAsSecret(const std::string& secret) {
  if (secret.size() < 4) return;
  const std::lock_guard<std::mutex> hold(mutex_);
  for (const std::string& known : secrets_)
    if (known == secret) return;
  secrets_.push_back(secret);
}

std::string ProblemLog::Masked(std::string_view text) const {
  std::string out(text);
  const std::lock_guard<std::mutex> hold(mutex_);
  for (const std::string& secret : secrets_) {
    for (std::size_t at = out.find(secret); at != std::string::npos;
         at = out.find(secret, at + kHidden.size()))
      out.replace(at, secret.size(), kHidden);
  }
  // A cookie header's value runs to the end of its line or string; aria2's
  // "token:SECRET" is how the secret travels in a request body.
  // A backslash ends a value too: in a JSON string it starts "\n".
  out = MaskValuesAfter(out, "cookie:", "\r\n\"\\");
  out = MaskValuesAfter(out, "cookie=", "\r\n\"\\");
  return MaskValuesAfter(out, "token:", "\r\n\"\\', ");
}

void RotateLogFile(const std::string& path, int kept) {
  // .kept falls off; every other moves one up; the current file becomes .1.
  for (int n = kept - 1; n >= 1; --n)
    ::rename((path + "." + std::to_string(n)).c_str(), (path + "." + std::to_string(n + 1)).c_str());
  if (kept >= 1) {
    ::rename(path.c_str(), (path + ".1").c_str());
  } else {
    ::unlink(path.c_str());
  }
}

bool PastSize(const std::string& path, std::size_t adding, std::size_t max_bytes) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
         static_cast<std::size_t>(info.st_size) + adding > max_bytes;
}

void ProblemLog::Write(std::string_view level, std::string_view text) {
  if (dir_.empty()) return;
  std::string line = LocalTime() + " " + std::string(level) + " " + Masked(text);
  // One record, one line: a reader greps it.
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  line += '\n';
  // One writer at a time, so that two threads never rotate the same file.
  const std::lock_guard<std::mutex> hold(write_mutex_);
  MakeDirectory();
  if (PastSize(path_, line.size(), limits_.max_bytes)) RotateLogFile(path_, limits_.kept);
  // Opened for each line: problems are rare, and a file moved away by hand
  // (or by Rotate) is never written behind the user's back.
  PlainFileOpening file = OpenPlainFileForAppending(path_);
  if (file.fd.get() < 0) return;
  WriteAll(file.fd.get(), line);
}

std::string LogDirectory() {
  const std::string base = XdgStateHome();
  return base.empty() ? "" : base + "/korvath";
}

}  // namespace korvath
