#include "shell/task-files-deletion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <system_error>
#include <utility>

#include "engine/aria2-request.h"
#include "engine/rpc-client.h"
#include "engine/task-status.h"
#include "shell/page-reply.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string U8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

std::string Reply(bool ok, const std::string& error, const json& deleted = json::array()) {
  json reply = {{"ok", ok}};
  if (ok)
    reply["deleted"] = deleted;
  else
    reply["error"] = error;
  return PageReplyText(reply);
}

fs::path Absolute(const std::string& p) {
  std::error_code ec;
  fs::path path(p);
  if (path.is_relative()) path = fs::current_path(ec) / path;
  return path.lexically_normal();
}

// The names below `folder` that lead to `path`, component by component (so
// "/d/ab" is not taken as inside "/d/a"); nullopt when the path is not below
// it or does not end in a name.
std::optional<std::vector<std::string>> Below(const fs::path& path, const fs::path& folder) {
  auto p = path.begin(), f = folder.begin();
  for (; f != folder.end(); ++f, ++p) {
    if (f->empty()) continue;  // the trailing "" of "/d/a/"
    if (p == path.end() || *p != *f) return std::nullopt;
  }
  std::vector<std::string> names;
  for (; p != path.end(); ++p) {
    const std::string name = p->string();
    if (name.empty() || name == "." || name == "..") return std::nullopt;
    names.push_back(name);
  }
  if (names.empty()) return std::nullopt;
  return names;
}

const char* StateWord(const std::string& status) {
  if (status == "active") return reinterpret_cast<const char*>(u8"下载中");
  if (status == "waiting") return reinterpret_cast<const char*>(u8"等待中");
  if (status == "paused") return reinterpret_cast<const char*>(u8"已暂停");
  if (status == "complete") return reinterpret_cast<const char*>(u8"已完成");
  if (status == "error") return reinterpret_cast<const char*>(u8"出错");
  if (status == "removed") return reinterpret_cast<const char*>(u8"已删除");
  return reinterpret_cast<const char*>(u8"状态不明");
}

// The other task that still lists `victim` as its file, or as the file
// whose control file `victim` is, or whose control file is `victim`.
const OtherTask* Claimant(const fs::path& victim, const std::vector<OtherTask>& others) {
  const std::string v = victim.string();
  for (const OtherTask& other : others)
    for (const std::string& p : other.paths) {
      if (p.empty()) continue;
      const std::string theirs = Absolute(p).string();
      if (v == theirs || v == theirs + ".aria2") return &other;
    }
  return nullptr;
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// One file to remove: the real folder it lies in, held open from the check
// to the removal, so a folder swapped for a link in between is never used.
struct Victim {
  std::string shown;  // the path as the reply names it
  Fd folder;          // -1: the file is gone already
  std::string name;
};

std::string CannotDelete(const std::string& shown, int error) {
  return Reply(false, U8(u8"无法删除“") + shown + U8(u8"”：") + std::system_category().message(error) +
                          U8(u8"。请检查文件权限。"));
}

}  // namespace

std::string DeleteTaskFilesReply(const std::string& request_json, const TaskFilesLookup& lookup) {
  const json request = json::parse(request_json, nullptr, false);
  if (!request.is_object() || !request.contains("gid") || !request["gid"].is_string() ||
      !request.contains("paths") || !request["paths"].is_array() || request["paths"].empty())
    return Reply(false, U8(u8"删除请求不完整，没有删除任何文件。"));
  const std::string gid = request["gid"];
  std::optional<TaskFiles> task = lookup(gid);
  if (!task) return Reply(false, U8(u8"aria2 中找不到这个任务，没有删除任何文件。请刷新后再试。"));
  if (task->status != "complete" && task->status != "error" && task->status != "removed")
    return Reply(false, U8(u8"任务还没有停止，没有删除任何文件。请先删除任务再删除文件。"));
  if (task->dir.empty()) return Reply(false, U8(u8"任务没有下载文件夹，没有删除任何文件。"));
  const std::optional<std::vector<OtherTask>> others = task->others ? task->others() : std::nullopt;
  if (!others) return Reply(false, U8(u8"问不到 aria2 还有哪些任务，没有删除任何文件。请稍后再试。"));

  const fs::path folder = Absolute(task->dir);
  std::vector<fs::path> owned;
  for (const auto& p : task->paths)
    if (!p.empty()) owned.push_back(Absolute(p));

  struct Accepted {
    std::string text;
    fs::path path;
    std::vector<std::string> names;  // below the task's folder
  };
  std::vector<Accepted> accepted;
  for (const auto& item : request["paths"]) {
    if (!item.is_string()) return Reply(false, U8(u8"删除请求不完整，没有删除任何文件。"));
    const std::string text = item;
    const fs::path path = Absolute(text);
    if (std::find(owned.begin(), owned.end(), path) == owned.end())
      return Reply(false, U8(u8"“") + text + U8(u8"”不是这个任务的文件，没有删除任何文件。"));
    std::optional<std::vector<std::string>> names = Below(path, folder);
    if (!names) return Reply(false, U8(u8"“") + text + U8(u8"”不在任务的下载文件夹里，没有删除任何文件。"));
    // A second click while a file downloads makes a second task for the
    // same path: the first one's file and control file are not this one's.
    for (const fs::path& victim : {path, fs::path(path.string() + ".aria2")})
      if (const OtherTask* other = Claimant(victim, *others))
        return Reply(false, U8(u8"“") + victim.string() + U8(u8"”还被另一个任务“") + other->name +
                                U8(u8"”（") + StateWord(other->status) +
                                U8(u8"）使用，没有删除任何文件。请先删除那个任务。"));
    accepted.push_back({text, path, std::move(*names)});
  }

  // Links in the folder's own path are the user's and are followed here,
  // once; below it every folder is opened without following a link, and the
  // files are checked and removed through those same handles.
  const Fd top(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (top.get() < 0) {
    if (errno == ENOENT) return Reply(true, "");  // the folder and everything in it are gone already
    return Reply(false, U8(u8"读不到任务的下载文件夹，没有删除任何文件。"));
  }
  std::vector<Victim> victims;
  for (const Accepted& a : accepted) {
    const std::string outside = U8(u8"“") + a.text + U8(u8"”不在任务的下载文件夹里，没有删除任何文件。");
    Victim victim{.shown = a.path.string(),
                  .folder = Fd(::fcntl(top.get(), F_DUPFD_CLOEXEC, 0)),
                  .name = a.names.back()};
    if (victim.folder.get() < 0) return Reply(false, U8(u8"读不到任务的下载文件夹，没有删除任何文件。"));
    for (size_t i = 0; i + 1 < a.names.size() && victim.folder.get() >= 0; ++i) {
      Fd next(
          ::openat(victim.folder.get(), a.names[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      const int error = errno;
      if (next.get() < 0 && error != ENOENT) {
        // ELOOP or ENOTDIR: a link or a file where a folder should be.
        if (error == ELOOP || error == ENOTDIR) return Reply(false, outside);
        return CannotDelete(a.text, error);
      }
      victim.folder = std::move(next);
    }
    if (victim.folder.get() >= 0) {
      struct stat st {};
      if (::fstatat(victim.folder.get(), victim.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode)) return Reply(false, outside);
      } else if (const int error = errno; error != ENOENT) {
        return CannotDelete(a.text, error);
      }
    }
    victims.push_back(std::move(victim));
  }

  json deleted = json::array();
  for (const Victim& victim : victims) {
    if (victim.folder.get() < 0) continue;  // a folder on its way is gone: so is the file
    for (const std::string& suffix : {std::string(), std::string(".aria2")}) {
      const std::string name = victim.name + suffix;
      const std::string shown = victim.shown + suffix;
      struct stat st {};
      if (::fstatat(victim.folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        continue;  // gone already, a folder or a link: left alone
      // A link put here since the check is removed itself, never followed.
      if (::unlinkat(victim.folder.get(), name.c_str(), 0) != 0) {
        const int error = errno;
        if (error == ENOENT) continue;
        return CannotDelete(shown, error);
      }
      deleted.push_back(shown);
    }
  }
  return Reply(true, "", deleted);
}

namespace {

// Every task but `gid`. Waiting before running before stopped, the way
// tasks move, so one that moves on while the lists are read is seen twice
// rather than not at all.
std::optional<std::vector<OtherTask>> OtherTasks(Desktop& desktop, const EngineState& state,
                                                 const std::string& gid) {
  constexpr int kPage = 1000;
  std::vector<Aria2Task> tasks;
  // Page by page: a long queue or history is more than one reply.
  auto take = [&tasks](const auto& tell) {
    for (int offset = 0;; offset += kPage) {
      TaskList page = tell(offset);
      if (!page.ok) return false;
      for (Aria2Task& t : page.tasks) tasks.push_back(std::move(t));
      if (page.tasks.size() < kPage) return true;
    }
  };
  if (!take([&](int offset) { return TellWaiting(desktop, state, offset, kPage); })) return std::nullopt;
  TaskList active = TellActive(desktop, state);
  if (!active.ok) return std::nullopt;
  for (Aria2Task& t : active.tasks) tasks.push_back(std::move(t));
  if (!take([&](int offset) { return TellStopped(desktop, state, offset, kPage); })) return std::nullopt;
  std::vector<OtherTask> others;
  for (const Aria2Task& t : tasks) {
    if (std::string_view(t.gid) == gid) continue;
    OtherTask other{.gid = std::string(t.gid),
                    .name = GbkToUtf8(TaskDisplayName(t)),
                    .status = std::string(t.status),
                    .paths = {}};
    for (const Text& p : t.paths) other.paths.push_back(GbkToUtf8(p));
    others.push_back(std::move(other));
  }
  return others;
}

}  // namespace

TaskFilesLookup Aria2TaskFiles(Desktop& desktop, const EngineState& state) {
  return [&desktop, &state](const std::string& gid) -> std::optional<TaskFiles> {
    Aria2Request request(aria2_method::kTellStatus, state.rpc_secret);
    request.AddText(gid).AddTexts(std::vector<std::string>{"status", "dir", "files"});
    const json reply = json::parse(SendRpc(desktop, state, request.Body()), nullptr, false);
    if (!reply.is_object() || !reply.contains("result") || !reply["result"].is_object()) return std::nullopt;
    const json& r = reply["result"];
    TaskFiles task{.status = r.value("status", ""), .dir = r.value("dir", ""), .paths = {}};
    if (r.contains("files") && r["files"].is_array())
      for (const auto& f : r["files"])
        if (f.is_object() && f.contains("path") && f["path"].is_string()) task.paths.push_back(f["path"]);
    task.others = [&desktop, &state, gid] { return OtherTasks(desktop, state, gid); };
    return task;
  };
}

}  // namespace korvath
