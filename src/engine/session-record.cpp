#include "engine/session-record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "engine/aria2-request.h"
#include "engine/control-file.h"
#include "engine/download-place.h"
#include "engine/download-task.h"
#include "engine/partial-file-check.h"
#include "engine/rpc-client.h"
#include "engine/session-metadata.h"
#include "engine/stated-sizes.h"
#include "engine/task-status.h"
#include "util/file-io.h"
#include "util/json-object.h"
#include "util/xdg-dirs.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;

constexpr int kRecordVersion = 1;
// aria2 pages its lists; Korvath asks for this many at a time.
constexpr int kPage = 1000;

// Every page of one of aria2's paged lists; not ok when any page failed.
template <typename Ask>
TaskList AllPages(Ask ask) {
  TaskList all{.ok = true};
  for (int offset = 0;; offset += kPage) {
    TaskList page = ask(offset);
    if (!page.ok) return {};
    size_t got = page.tasks.size();
    for (auto& task : page.tasks) all.tasks.push_back(std::move(task));
    if (got < static_cast<size_t>(kPage)) return all;
  }
}

// The file's name inside its directory, as aria2 has it now; `sources.out`
// when aria2 has no path for it yet.
Text OutOf(const TaskSources& sources, const Aria2Task& task) {
  if (task.path.empty()) return sources.out ? sources.out(task) : Text();
  std::string_view path = task.path;
  if (!task.dir.empty() && path.starts_with(task.dir) && path.size() > task.dir.size() &&
      path[task.dir.size()] == '/') {
    return Text(path.substr(task.dir.size() + 1));
  }
  size_t slash = path.rfind('/');
  return Text(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool Unfinished(const Text& status) {
  return status == "active" || status == "waiting" || status == "paused" || status == "error";
}

// Writes `text` to a file that did not exist; false when `path` is taken
// (errno EEXIST) or the write failed.
bool WriteNewFile(const std::string& path, std::string_view text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool ok = WriteAll(fd, text).error == 0 && ::fsync(fd) == 0;
  if (::close(fd) != 0 || !ok) {
    const int error = errno;
    ::unlink(path.c_str());
    errno = error == EEXIST ? EIO : error;
    return false;
  }
  return true;
}

// Keeps a damaged record under the first free name of record.bad,
// record.bad-2, …: every damaged record may hold the only trace of someone's
// downloads, so no kept copy is ever replaced. With `text` the record is
// copied (it stays in place until the next write replaces it), without it
// moved. The name it was kept under, or "" when it could not be kept.
std::string KeepAside(const std::string& path, const std::optional<std::string>& text) {
  for (int number = 1; number < 1000; ++number) {
    std::string name = path + ".bad" + (number == 1 ? std::string() : "-" + std::to_string(number));
    if (text ? WriteNewFile(name, *text) : MoveWithoutReplacing(path, name) == 0) return name;
    if (errno != EEXIST) return {};
  }
  return {};
}

void RecordBad(Desktop& desktop, const char* reason, int bad_entries, const std::string& kept) {
  desktop.Log().Record("session_record_bad", {{"reason", std::string(reason)},
                                              {"bad_entries", static_cast<std::int64_t>(bad_entries)},
                                              {"kept", kept}});
}

// Where a task's file is (UTF-8), as aria2 will name it; "" when aria2
// names it itself.
std::string TargetPath(const SessionTask& task) {
  if (task.out.empty()) return {};
  const std::string out = SafeFileName(GbkToUtf8(task.out));
  return out.empty() ? std::string() : GbkToUtf8(task.dir) + "/" + out;
}

// aria2 told the download complete, and removes the control file when the
// last byte is written: a plain file of the whole recorded length with no
// control file beside it was finished, even when aria2 ended before anyone
// was told.
bool FinishedBeforeTheEnd(const SessionTask& task, const std::string& target) {
  if (task.state != "complete" || task.length <= 0 || target.empty()) return false;
  struct stat file {
  }, control{};
  if (::lstat(target.c_str(), &file) != 0 || !S_ISREG(file.st_mode)) return false;
  if (::lstat((target + ".aria2").c_str(), &control) == 0 || errno != ENOENT) return false;
  return file.st_size == task.length;
}

}  // namespace

std::string SessionRecordPath(std::string_view rpc_url) {
  const std::string base = XdgStateHome();
  if (base.empty()) return {};
  if (rpc_url.empty()) return base + "/korvath/session.json";
  // One record per remote aria2, named by a hash of its address (FNV-1a):
  // the address itself may hold characters no file name can.
  std::uint64_t hash = 1469598103934665603ull;
  for (unsigned char byte : rpc_url) hash = (hash ^ byte) * 1099511628211ull;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name = "session-";
  for (int shift = 60; shift >= 0; shift -= 4) name += kHex[(hash >> shift) & 15];
  return base + "/korvath/" + name + ".json";
}

std::string MetadataFolder() {
  const std::string base = XdgStateHome();
  return base.empty() ? std::string() : base + "/korvath/metadata";
}

void KeepFinished(std::vector<SessionTask>& finished, const std::vector<SessionTask>& more, int keep) {
  for (const SessionTask& task : more) {
    std::erase_if(finished, [&](const SessionTask& f) {
      return (!task.gid.empty() && f.gid == task.gid) || (!task.out.empty() && SameTarget(f, task));
    });
    finished.push_back(task);
    finished.back().state = "complete";
  }
  if (keep < 0) keep = 0;
  if (finished.size() > static_cast<size_t>(keep)) finished.erase(finished.begin(), finished.end() - keep);
}

std::string SessionRecordText(const std::vector<SessionTask>& tasks,
                              const std::vector<SessionTask>& finished) {
  // Built directly rather than through JsonObject's paths: the record is
  // written at every hand-over and change, and with ten thousand tasks the
  // path walk per field cost a quarter of a second each time.
  using json = nlohmann::ordered_json;
  auto entries = [](const std::vector<SessionTask>& tasks) {
    json list = json::array();
    for (const SessionTask& task : tasks) {
      json uris = json::array();
      for (const Text& uri : task.uris) uris.push_back(GbkToUtf8(uri));
      json entry = {{"uris", std::move(uris)},
                    {"dir", GbkToUtf8(task.dir)},
                    {"out", GbkToUtf8(task.out)},
                    {"state", GbkToUtf8(task.state)}};
      if (!task.refused.empty()) entry["refused"] = GbkToUtf8(task.refused);
      if (task.length > 0) entry["length"] = task.length;
      if (!task.gid.empty()) entry["gid"] = GbkToUtf8(task.gid);
      if (!task.kind.empty()) entry["kind"] = GbkToUtf8(task.kind);
      if (!task.select.empty()) entry["select"] = GbkToUtf8(task.select);
      list.push_back(std::move(entry));
    }
    return list;
  };
  json record = {{"version", kRecordVersion}, {"tasks", entries(tasks)}};
  if (!finished.empty()) record["finished"] = entries(finished);
  return record.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

bool SameTarget(const SessionTask& a, const SessionTask& b) { return a.dir == b.dir && a.out == b.out; }

std::optional<ParsedSessionRecord> ParseSessionRecord(std::string_view text_utf8) {
  JsonObject json;
  if (!json.Parse(Utf8ToGbk(text_utf8)) || json.GetType() != kJsonObject) return std::nullopt;
  if (json.GetType("version") != kJsonNumber || json.GetNumber("version") != kRecordVersion)
    return std::nullopt;
  if (json.GetType("tasks") != kJsonArray) return std::nullopt;
  ParsedSessionRecord record;
  for (const char* list : {"tasks", "finished"}) {
    if (json.GetType(list) != kJsonArray) continue;
    const std::int64_t count = json.Count(list);
    for (std::int64_t i = 0; i < count; ++i) {
      const Text at = Text(list) + "[" + ToText(i) + "]";
      auto whole = [&] {
        for (const char* field : {".dir", ".out", ".state"}) {
          if (json.GetType(at + field) != kJsonString) return false;
        }
        const std::int64_t uri_count = json.Count(at + ".uris");
        if (json.GetType(at + ".uris") != kJsonArray || uri_count == 0) return false;
        for (std::int64_t u = 0; u < uri_count; ++u) {
          if (json.GetType(at + ".uris[" + ToText(u) + "]") != kJsonString) return false;
        }
        return true;
      };
      if (!whole()) {
        ++record.bad_entries;
        continue;
      }
      SessionTask task{.dir = json.GetProperty(at + ".dir"),
                       .out = json.GetProperty(at + ".out"),
                       .state = json.GetProperty(at + ".state")};
      if (json.GetType(at + ".refused") == kJsonString) task.refused = json.GetProperty(at + ".refused");
      if (json.GetType(at + ".length") == kJsonNumber && json.GetNumber(at + ".length") > 0)
        task.length = static_cast<std::int64_t>(json.GetNumber(at + ".length"));
      if (json.GetType(at + ".gid") == kJsonString) task.gid = json.GetProperty(at + ".gid");
      if (json.GetType(at + ".kind") == kJsonString) task.kind = json.GetProperty(at + ".kind");
      if (json.GetType(at + ".select") == kJsonString) task.select = json.GetProperty(at + ".select");
      const std::int64_t uri_count = json.Count(at + ".uris");
      for (std::int64_t u = 0; u < uri_count; ++u)
        task.uris.push_back(json.GetProperty(at + ".uris[" + ToText(u) + "]"));
      (Text(list) == "tasks" ? record.tasks : record.finished).push_back(std::move(task));
    }
  }
  return record;
}

std::vector<SessionTask> WithHeldTasks(std::vector<SessionTask> listed, std::vector<SessionTask>& held) {
  std::erase_if(held, [&](const SessionTask& task) {
    return std::any_of(listed.begin(), listed.end(),
                       [&](const SessionTask& l) { return SameTarget(l, task); });
  });
  listed.insert(listed.end(), held.begin(), held.end());
  return listed;
}

std::string RestoreTaskBody(const EngineState& state, const SessionTask& task, std::string_view metadata,
                            bool nothing_on_disk) {
  // Added in the record's order, those that were running or waiting queue up
  // again as they were; a task the user paused is not started by a restart.
  const bool pause = task.state != "active" && task.state != "waiting";
  if (task.kind == "torrent" || task.kind == "metalink") {
    Aria2Options options;
    options.Set(aria2_option::kDir, GbkToUtf8(task.dir));
    if (!task.select.empty()) options.Set(aria2_option::kSelectFile, GbkToUtf8(task.select));
    // Without a control file (a torrent that was seeding) aria2 would not
    // take the files on disk for its own; checked, it goes on from them.
    options.SetSwitch(aria2_option::kCheckIntegrity, true).SetSwitch(aria2_option::kPause, pause);
    Aria2Request request(task.kind == "torrent" ? aria2_method::kAddTorrent : aria2_method::kAddMetalink,
                         state.rpc_secret);
    request.AddText(Base64(metadata));
    if (task.kind == "torrent") request.AddTexts(std::vector<std::string>{});
    return request.AddOptions(options).Body();
  }
  // The addresses go back to aria2 in the bytes it reported them in.
  std::vector<std::string> uris;
  for (const Text& uri : task.uris) uris.push_back(GbkToUtf8(uri));
  if (task.kind == "magnet") {
    Aria2Options options;
    options.Set(aria2_option::kDir, GbkToUtf8(task.dir));
    if (!task.select.empty()) options.Set(aria2_option::kSelectFile, GbkToUtf8(task.select));
    return Aria2Request(aria2_method::kAddUri, state.rpc_secret)
        .AddTexts(uris)
        .AddOptions(options.SetSwitch(aria2_option::kPause, pause))
        .Body();
  }
  Aria2Options options = TaskOptions(state, GbkToUtf8(task.dir), SafeFileName(GbkToUtf8(task.out)));
  options.SetSwitch(aria2_option::kPause, pause);
  // A download that never wrote a byte may wait long in the queue: a file
  // that turns up under its name meanwhile is not its partial file.
  if (nothing_on_disk && !task.out.empty()) {
    SetAtNameOptions(options, DownloadTask::AtName::kRefuse);
  } else {
    options.SetSwitch(aria2_option::kContinue, true);
  }
  return Aria2Request(aria2_method::kAddUri, state.rpc_secret).AddTexts(uris).AddOptions(options).Body();
}

std::optional<std::vector<SessionTask>> ListUnfinishedTasks(Desktop& desktop, const EngineState& state,
                                                            std::string_view base_dir,
                                                            std::vector<SessionTask>* finished) {
  TaskList active, waiting, stopped;
  // Each question is asked only when the one before was answered: an aria2
  // that is gone costs one refused connection, not three.
  bool answered =
      (active = TellActive(desktop, state)).ok &&
      (waiting = AllPages([&](int offset) { return TellWaiting(desktop, state, offset, kPage); })).ok &&
      (stopped = AllPages([&](int offset) { return TellStopped(desktop, state, offset, kPage); })).ok;
  if (!answered) return std::nullopt;

  // Torrents, metalinks and magnets have no addresses of their own: aria2's
  // session file says what they were made from, asked for once per listing.
  std::optional<std::map<std::string, Aria2SessionEntry>> entries;
  TaskSources sources{
      .out = [&](const Aria2Task& task) { return TaskOption(desktop, state, task.gid, "out"); },
      .made = [&](const Aria2Task& task) -> MetadataSource {
        if (!entries) {
          const std::string folder = MetadataFolder();
          entries = folder.empty() ? std::map<std::string, Aria2SessionEntry>{}
                                   : AskAria2Session(desktop, state, folder + "/aria2-session.txt");
        }
        auto it = entries->find(GbkToUtf8(task.gid));
        return it == entries->end() ? MetadataSource{} : KeepMetadata(it->second, MetadataFolder());
      }};
  std::vector<Aria2Task> all = std::move(active.tasks);
  for (TaskList* list : {&waiting, &stopped})
    for (Aria2Task& task : list->tasks) all.push_back(std::move(task));
  return SessionTasksOf(all, base_dir, sources, finished);
}

std::vector<SessionTask> SessionTasksOf(const std::vector<Aria2Task>& tasks, std::string_view base_dir,
                                        const TaskSources& sources, std::vector<SessionTask>* finished) {
  const Text base = Utf8ToGbk(base_dir);
  std::vector<SessionTask> record;
  // A task still being paused when the lists are read moves from the active
  // list to the waiting one between the two answers; listed twice, it would
  // come back as two downloads into one file.
  std::set<Text> recorded;
  for (const Aria2Task& task : tasks) {
    const bool done = task.status == "complete";
    // A finished task is listed only for a caller that asks for them.
    if (done ? finished == nullptr : !Unfinished(task.status)) continue;
    if (!recorded.insert(task.gid).second) continue;
    SessionTask entry{.uris = task.uris,
                      .dir = AbsoluteTaskDir(task.dir, base),
                      .state = task.status,
                      .length = task.total_length,
                      .gid = task.gid};
    if (task.uris.empty() || task.uris.front().starts_with("magnet:")) {
      if (done) {
        // Kept to be listed, never added back: its name is all it needs.
        entry.out = OutOf(sources, task);
        entry.kind = "torrent";
      } else {
        MetadataSource made = sources.made ? sources.made(task) : MetadataSource{};
        // Nothing to add it back from (a metalink's own file aria2 did not
        // keep): the record could only lose it later.
        if (made.kind.empty()) continue;
        entry.uris = {made.uri};
        entry.kind = made.kind;
        entry.select = made.select;
      }
    } else {
      entry.out = OutOf(sources, task);
    }
    (done ? *finished : record).push_back(std::move(entry));
  }
  // tellStopped lists the newest last.
  return record;
}

SessionSaveResult SaveSessionRecord(Desktop& desktop, const EngineState& state, const std::string& path,
                                    std::string_view base_dir, SessionSaveExtras extras) {
  if (path.empty()) {
    desktop.Log().Record("session_not_saved", {{"reason", std::string("no_state_directory")}});
    return {};
  }
  std::vector<SessionTask> finished;
  std::optional<std::vector<SessionTask>> record = ListUnfinishedTasks(desktop, state, base_dir, &finished);
  if (!record) {
    // The last complete record is the better one to keep.
    desktop.Log().Record("session_not_saved", {{"reason", std::string("aria2_unanswered")}});
    return {};
  }
  if (extras.before) {
    for (SessionTask& task : *record) {
      auto it = std::find_if(extras.before->begin(), extras.before->end(),
                             [&](const SessionTask& b) { return b.gid == task.gid; });
      if (it != extras.before->end()) task.state = it->state;
    }
  }
  KeepFinished(extras.finished, finished, extras.keep_finished);
  record = WithHeldTasks(std::move(*record), extras.held);
  if (!WriteFileAtomically(path, SessionRecordText(*record, extras.finished))) {
    desktop.Log().Record("session_not_saved", {{"reason", std::string("write_failed")}});
    return {};
  }
  desktop.Log().Record("session_saved", {{"count", static_cast<std::int64_t>(record->size())},
                                         {"reason", std::string("shutdown")}});
  return {.saved = true, .count = static_cast<int>(record->size())};
}

SessionRestoreResult RestoreSessionRecord(Desktop& desktop, const EngineState& state, const std::string& path,
                                          const StatedSizes* places) {
  SessionRestoreResult result;
  std::error_code ec;
  if (path.empty() || !fs::exists(path, ec)) {
    desktop.Log().Record("session_restored", {{"count", std::int64_t{0}}, {"failed", std::int64_t{0}}});
    return result;
  }
  const std::optional<std::string> text = ReadWholeFile(path);
  std::optional<ParsedSessionRecord> record;
  if (text) record = ParseSessionRecord(*text);
  if (!record) {
    // Kept, not copied: a record that is not one would only be kept again
    // at every start.
    result.kept_aside = KeepAside(path, std::nullopt);
    result.bad_record = true;
    RecordBad(desktop, text ? "malformed" : "unreadable", 0, result.kept_aside);
    return result;
  }
  if (record->bad_entries > 0) {
    result.bad_entries = record->bad_entries;
    result.kept_aside = KeepAside(path, text);
    RecordBad(desktop, "bad_entries", record->bad_entries, result.kept_aside);
  }

  std::set<std::string> targets;
  for (const SessionTask& task : record->tasks) targets.insert(TargetPath(task));
  auto taken = [&](const std::string& candidate) { return targets.count(candidate) > 0; };
  for (SessionTask& task : record->tasks) {
    auto refuse = [&](Text reason) {
      task.refused = std::move(reason);
      desktop.Log().Record("session_task_refused", {{"out", task.out}, {"reason", task.refused}});
      result.refused.push_back(task);
      ++result.failed;
    };
    // aria2 opens the file by its path: through a folder swapped for a link
    // since the last run it would continue someone else's file, and the
    // checks below would judge, or set aside, that file. Only a recorded
    // place is compared: a task added in the manager has none, and a
    // download folder the user made a link stays usable.
    const std::string recorded_target = task.kind.empty() ? TargetPath(task) : std::string();
    const std::optional<DownloadPlace> began =
        places && !recorded_target.empty() ? places->PlaceOf(recorded_target) : std::nullopt;
    if (began && began->folder && ChangeOfPlace(recorded_target, began) != PlaceChange::kNone) {
      refuse(
          Gbk(u8"下载文件夹或文件已不是开始下载时的那个（可能被换成了指向别处的链接），没有继续下载，也没有改"
              u8"动那里的文件"));
      continue;
    }
    if (const std::string target = TargetPath(task);
        task.kind.empty() && FinishedBeforeTheEnd(task, target)) {
      desktop.Log().Record("session_task_finished", {{"path", target}, {"length", task.length}});
      result.finished.push_back(task);
      continue;
    }
    if (const std::string target = TargetPath(task); task.kind.empty() && !target.empty()) {
      const PartialFileCheck check = ClearUncontinuablePartialFile(target, taken);
      if (check.outcome == PartialFileCheck::kCannotSetAside) {
        refuse(Gbk(u8"不完整的旧文件无法移开（") + Utf8ToGbk(std::strerror(check.error)) + Gbk(u8"）"));
        continue;
      }
      if (check.outcome == PartialFileCheck::kSetAside) {
        desktop.Log().Record("partial_file_set_aside", {{"path", target}, {"kept_as", check.kept_as}});
        result.set_aside.push_back({.path = target, .kept_as = check.kept_as});
      }
    }
    std::optional<std::string> metadata;
    if (task.kind == "torrent" || task.kind == "metalink") {
      metadata = ReadWholeFile(GbkToUtf8(task.uris.front()));
      if (!metadata) {
        refuse(Gbk(u8"种子或 Metalink 文件已不在：") + task.uris.front());
        continue;
      }
    }
    const std::string target = TargetPath(task);
    const bool nothing_on_disk = !target.empty() && PartialFileState(target) == PartialState::kNone;
    JsonObject json;
    json.ParseUtf8(SendRpc(
        desktop, state, RestoreTaskBody(state, task, metadata ? *metadata : std::string(), nothing_on_disk)));
    // addMetalink answers with a list of gids.
    const Text gid =
        json.GetType("result") == kJsonArray ? json.GetProperty("result[0]") : json.GetProperty("result");
    if (!gid.empty()) {
      ++result.restored;
      if (const std::string target = TargetPath(task); task.kind.empty() && !target.empty()) {
        // aria2 reads the control file only when the task runs; until then
        // the page shows what it says.
        SessionRestoreResult::Size size{.total = task.length};
        if (const std::optional<ControlFileInfo> control = ReadControlFile(target + kControlFileSuffix)) {
          size = {.total = control->total_length, .completed = control->completed};
        }
        if (size.total > 0) result.sizes.emplace_back(gid, size);
      }
    } else if (json.GetType("error.message") == kJsonString) {
      refuse(json.GetProperty("error.message"));
    } else {
      refuse(Gbk(u8"aria2没有回应"));
    }
  }
  result.kept_finished = std::move(record->finished);
  desktop.Log().Record("session_restored", {{"count", static_cast<std::int64_t>(result.restored)},
                                            {"failed", static_cast<std::int64_t>(result.failed)}});
  return result;
}

}  // namespace korvath
