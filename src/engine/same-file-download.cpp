#include "engine/same-file-download.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "engine/aria2-request.h"
#include "engine/control-file.h"
#include "engine/download-place.h"
#include "engine/file-link.h"
#include "engine/free-name.h"
#include "engine/rpc-client.h"
#include "engine/task-status.h"
#include "util/json-object.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;

// The most numbered names tried before giving up on finding a free one.
constexpr int kMaxNumber = 9999;

// A task's file as one comparable absolute path (UTF-8 bytes).
std::string FileKey(std::string_view dir_or_path, std::string_view base) {
  return fs::path(GbkToUtf8(AbsoluteTaskDir(dir_or_path, Utf8ToGbk(base)))).lexically_normal().string();
}

bool Succeeded(std::string_view reply) {
  JsonObject json;
  return !reply.empty() && json.Parse(Utf8ToGbk(reply)) && json.GetType("result") != kJsonNull &&
         json.GetType("error") == kJsonNull;
}

// Every address of the task's file as aria2 lists it, each as often as it is
// listed: changeUri removes one listing per address it is given.
std::vector<std::string> ListedUris(Desktop& desktop, const EngineState& state, const Text& gid) {
  const std::string reply =
      SendRpc(desktop, state, Aria2Request(aria2_method::kGetUris, state.rpc_secret).AddText(gid).Body());
  JsonObject json;
  std::vector<std::string> uris;
  if (reply.empty() || !json.Parse(Utf8ToGbk(reply))) return uris;
  const std::int64_t count = json.Count("result");
  for (std::int64_t i = 0; i < count; ++i) {
    Text uri = json.GetProperty("result[" + ToText(i) + "].uri");
    if (!uri.empty()) uris.push_back(GbkToUtf8(uri));
  }
  return uris;
}

bool Call(Desktop& desktop, const EngineState& state, const Aria2Method& method, const Text& gid) {
  return Succeeded(SendRpc(desktop, state, Aria2Request(method, state.rpc_secret).AddText(gid).Body()));
}

// The old task's addresses give way to the new link, which goes first.
bool ChangeLinks(Desktop& desktop, const EngineState& state, const Text& gid, const Text& link) {
  const std::string body = Aria2Request(aria2_method::kChangeUri, state.rpc_secret)
                               .AddText(gid)
                               .AddNumber(1)
                               .AddTexts(ListedUris(desktop, state, gid))
                               .AddTexts({link})
                               .AddNumber(0)
                               .Body();
  return Succeeded(SendRpc(desktop, state, body));
}

// What holds one name: the downloads aria2 lists into it (removed ones can
// never write again and do not count) and what is on disk under it.
struct NameHolders {
  std::vector<const Aria2Task*> tasks;
  bool on_disk = false;     // a file, link or folder under the name or its control file's
  bool not_a_file = false;  // a link or a folder: writing there would reach something else
  PartialState partial = PartialState::kNone;
  std::optional<std::int64_t> control_total;  // what the control file says the whole file is
};

NameHolders HoldersOf(const std::string& path, const std::vector<const Aria2Task*>& tasks,
                      const std::string& base, bool local_files) {
  NameHolders holders;
  for (const Aria2Task* task : tasks) {
    if (task->status != "removed" && !task->path.empty() && FileKey(task->path, base) == path) {
      holders.tasks.push_back(task);
    }
  }
  if (!local_files) return holders;
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0) {
    holders.on_disk = true;
    holders.not_a_file = !S_ISREG(info.st_mode);
  }
  if (::lstat((path + kControlFileSuffix).c_str(), &info) == 0) holders.on_disk = true;
  holders.partial = PartialFileState(path);
  if (holders.partial == PartialState::kContinuable) {
    if (auto control = ReadControlFile(path + kControlFileSuffix))
      holders.control_total = control->total_length;
  }
  return holders;
}

// Whether what holds the name is the file the page offers: the page states
// no size, or the size it states agrees with the whole length known of the
// download (aria2's, the control file's, or an earlier page's). Nothing
// known of the length: the name decides, as it always has.
bool SameSize(const SameFileQuestion& question, const NameHolders& holders, const std::string& path) {
  if (!question.stated) return true;
  for (const Aria2Task* task : holders.tasks) {
    if (task->total_length > 0) return StatedSizeAgrees(*question.stated, task->total_length);
  }
  if (holders.control_total && *holders.control_total > 0) {
    return StatedSizeAgrees(*question.stated, *holders.control_total);
  }
  if (question.known_sizes) {
    if (std::optional<StatedSize> earlier = question.known_sizes->KnownSize(path)) {
      return StatedSizeAgrees(*question.stated, earlier->bytes) ||
             StatedSizeAgrees(*earlier, question.stated->bytes);
    }
  }
  return true;
}

// Whether what holds the name is fetched by the link the page gave: every
// download listed under it, or, with none listed, Korvath's record of the
// partial file. Nothing known of a link: another file.
bool SameLink(const SameFileQuestion& question, const NameHolders& holders, const std::string& path,
              const std::string& base, const Text& link) {
  if (!holders.tasks.empty()) {
    return std::all_of(holders.tasks.begin(), holders.tasks.end(),
                       [&](const Aria2Task* task) { return LinksFetchStoredFile(task->uris, link); });
  }
  if (!question.recorded) return false;
  for (const SessionTask& recorded : *question.recorded) {
    if (recorded.out.empty()) continue;
    const std::string file = FileKey(recorded.dir, base) + "/" + SafeFileName(GbkToUtf8(recorded.out));
    if (file == path && LinksFetchStoredFile(recorded.uris, link)) return true;
  }
  return false;
}

const Aria2Task* WithStatus(const NameHolders& holders, std::initializer_list<std::string_view> statuses) {
  for (const Aria2Task* task : holders.tasks) {
    for (std::string_view status : statuses) {
      if (task->status == status) return task;
    }
  }
  return nullptr;
}

}  // namespace

SameFileOutcome ContinueSameFile(Desktop& desktop, const EngineState& state, const DownloadTask& task,
                                 const SameFileQuestion& question) {
  std::error_code ec;
  const std::string base =
      question.base_dir.empty() ? fs::current_path(ec).string() : std::string(question.base_dir);
  SameFileOutcome outcome{.way = "new_task", .name = task.name};
  auto done = [&]() {
    desktop.Log().Record(
        "same_file",
        {{"name", task.name}, {"way", outcome.way}, {"gid", outcome.gid}, {"saved", outcome.name}});
    return outcome;
  };
  const std::string safe_name = SafeFileName(GbkToUtf8(task.name));
  // Without a name aria2 picks one from the address: nothing to compare.
  if (safe_name.empty()) {
    outcome.at_name = DownloadTask::AtName::kRename;
    return done();
  }
  const std::string folder = FileKey(task.dir, base);

  // An aria2 that does not answer takes no task either, and is asked once;
  // the disk is still looked at, so the worst case is a numbered name, never
  // a lost file.
  TaskList active = TellActive(desktop, state), waiting, stopped;
  if (active.ok) {
    waiting = TellWaiting(desktop, state);
    stopped = TellStopped(desktop, state);
  }
  std::vector<const Aria2Task*> tasks;
  for (const TaskList* list : {&active, &waiting, &stopped}) {
    for (const Aria2Task& each : list->tasks) tasks.push_back(&each);
  }

  for (int number = 1; number <= kMaxNumber; ++number) {
    if (number == 1 && NamedLikeControlFile(safe_name)) continue;
    const std::string name = number == 1 ? safe_name : NumberedName(safe_name, number);
    const std::string path = folder + "/" + name;
    const NameHolders holders = HoldersOf(path, tasks, base, question.local_files);
    outcome.name = Utf8ToGbk(name);
    if (holders.tasks.empty() && !holders.on_disk) {
      outcome.way = number == 1 ? "new_task" : "free_name";
      outcome.at_name = question.local_files ? DownloadTask::AtName::kRefuse : DownloadTask::AtName::kRename;
      return done();
    }
    // A finished download, a file-system link, a file of another length, or
    // one another link fetches is another file, whatever its name.
    if (WithStatus(holders, {"complete"}) || holders.not_a_file || !SameSize(question, holders, path) ||
        !SameLink(question, holders, path, base, task.link)) {
      continue;
    }
    if (const Aria2Task* running = WithStatus(holders, {"active"})) {
      outcome = {.way = "downloading", .gid = running->gid, .continued = true, .name = outcome.name};
      return done();
    }
    // The bytes on disk must be what a control file promises, or aria2
    // would take them (zeros, or another file) as downloaded.
    const bool continuable = !question.local_files || holders.partial == PartialState::kContinuable ||
                             (holders.partial == PartialState::kNone && !holders.tasks.empty());
    if (!continuable) continue;
    // aria2 would open the file by its path again: a folder swapped since the
    // download began (a link to another folder put in its place) would have
    // it write into whatever file of that name is there.
    if (question.local_files) {
      const PlaceChange change = ChangeOfPlace(
          path, question.known_sizes ? question.known_sizes->PlaceOf(path) : std::optional<DownloadPlace>());
      if (change == PlaceChange::kFile) continue;
      if (change == PlaceChange::kFolder) {
        outcome = {.way = "folder_changed", .continued = true, .name = outcome.name};
        return done();
      }
    }
    if (const Aria2Task* resumable = WithStatus(holders, {"paused", "waiting"})) {
      if (!ChangeLinks(desktop, state, resumable->gid, task.link)) continue;
      if (resumable->status == "paused") Call(desktop, state, aria2_method::kUnpause, resumable->gid);
      outcome = {.way = "changed_links", .gid = resumable->gid, .continued = true, .name = outcome.name};
    } else {
      outcome.way = holders.tasks.empty() ? "control_file" : "replaced_failed";
    }
    // A failed twin left in the list could be resumed in the manager later
    // and would then write into the same file.
    for (const Aria2Task* each : holders.tasks) {
      if (each->status == "error") Call(desktop, state, aria2_method::kRemoveDownloadResult, each->gid);
    }
    return done();
  }
  // Ten thousand names taken: aria2 is given none, so it cannot write over one.
  outcome.way = "no_free_name";
  outcome.continued = true;
  return done();
}

}  // namespace korvath
