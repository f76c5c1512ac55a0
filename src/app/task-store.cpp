#include "app/task-store.h"

#include <glib.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <utility>

#include "platform/event-log.h"

namespace korvath {
namespace {

using json = nlohmann::json;

// Only what the readers use: a task's peers, bitfield and pieces can make a
// whole list megabytes long.
const json& Keys() {
  static const json keys = {"gid",       "status",       "dir",         "files",
                            "errorCode", "errorMessage", "totalLength", "completedLength"};
  return keys;
}

json Call(const EngineState& engine, const char* method, json params) {
  json call = {{"methodName", method}, {"params", json::array()}};
  if (!engine.rpc_secret.empty()) call["params"].push_back("token:" + engine.rpc_secret);
  for (json& each : params) call["params"].push_back(std::move(each));
  return call;
}

std::string Multicall(json calls) {
  json request = {{"jsonrpc", "2.0"}, {"id", "store"}, {"method", "system.multicall"}};
  request["params"] = json::array({std::move(calls)});
  return request.dump();
}

Text TextOf(const json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? Utf8ToGbk(it->get<std::string>()) : Text();
}

std::int64_t LengthOf(const json& object, const char* key) {
  // aria2 writes lengths as decimal strings.
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return 0;
  std::int64_t value = 0;
  for (char c : it->get_ref<const std::string&>()) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value;
}

// One status object as ParseTaskList reads it.
std::optional<Aria2Task> TaskOf(const json& status) {
  if (!status.is_object()) return std::nullopt;
  Aria2Task task{.gid = TextOf(status, "gid"),
                 .status = TextOf(status, "status"),
                 .dir = TextOf(status, "dir"),
                 .error_code = TextOf(status, "errorCode"),
                 .error_message = TextOf(status, "errorMessage"),
                 .total_length = LengthOf(status, "totalLength"),
                 .completed_length = LengthOf(status, "completedLength")};
  if (task.gid.empty()) return std::nullopt;
  const auto files = status.find("files");
  if (files != status.end() && files->is_array()) {
    for (const json& file : *files) {
      if (!file.is_object()) continue;
      Text path = TextOf(file, "path");
      if (&file == &files->front()) {
        task.path = path;
        const auto uris = file.find("uris");
        if (uris != file.end() && uris->is_array()) {
          for (const json& uri : *uris) {
            // aria2 lists an address once per connection it may open to it.
            Text text = uri.is_object() ? TextOf(uri, "uri") : Text();
            if (!text.empty() && std::find(task.uris.begin(), task.uris.end(), text) == task.uris.end())
              task.uris.push_back(std::move(text));
          }
        }
      }
      if (!path.empty()) task.paths.push_back(std::move(path));
    }
  }
  return task;
}

// A page of a list inside a multicall's answer: [[task, ...]].
std::optional<std::vector<Aria2Task>> ListOf(const json& answer) {
  if (!answer.is_array() || answer.size() != 1 || !answer[0].is_array()) return std::nullopt;
  std::vector<Aria2Task> tasks;
  for (const json& status : answer[0])
    if (std::optional<Aria2Task> task = TaskOf(status)) tasks.push_back(std::move(*task));
  return tasks;
}

// The multicall's answers, one per call; nullopt for anything else.
std::optional<json> AnswersOf(const std::optional<std::string>& reply, std::size_t calls) {
  if (!reply) return std::nullopt;
  json parsed = json::parse(*reply, nullptr, false);
  if (!parsed.is_object()) return std::nullopt;
  auto result = parsed.find("result");
  if (result == parsed.end() || !result->is_array() || result->size() != calls) return std::nullopt;
  return std::move(*result);
}

bool Same(const Aria2Task& a, const Aria2Task& b) {
  return a.gid == b.gid && a.status == b.status && a.dir == b.dir && a.path == b.path && a.paths == b.paths &&
         a.uris == b.uris && a.error_code == b.error_code && a.error_message == b.error_message &&
         a.total_length == b.total_length && a.completed_length == b.completed_length;
}

// aria2's three lists, in its order.
int GroupOf(const Text& status) {
  if (status == "active") return 0;
  if (status == "waiting" || status == "paused") return 1;
  return 2;
}

}  // namespace

TaskStore::TaskStore(const EngineState& engine, TaskStoreParams params)
    : engine_(engine), params_(std::move(params)) {}

TaskStore::~TaskStore() {
  *alive_ = false;
  if (ticker_) g_source_remove(ticker_);
}

void TaskStore::StartTicking(unsigned every_ms) {
  if (ticker_) g_source_remove(ticker_);
  ticker_ = g_timeout_add(
      every_ms,
      +[](gpointer self) -> gboolean {
        static_cast<TaskStore*>(self)->Tick();
        return G_SOURCE_CONTINUE;
      },
      this);
  Pump();
}

std::int64_t TaskStore::Now() const { return params_.now_ms ? params_.now_ms() : MonotonicMs(); }

void TaskStore::Reset() {
  ++generation_;
  busy_ = hold_ = relist_ = synced_ = false;
  listing_.reset();
  counts_.reset();
  dirty_.clear();
  last_listing_ms_.reset();
  // What the old aria2 held is gone with it; a reader must not take it for
  // the new one's.
  std::vector<std::string> gids;
  for (const auto& [gid, held] : tasks_) gids.push_back(gid);
  for (const std::string& gid : gids) Remove(gid);
  Pump();
}

void TaskStore::Notified(std::string_view method, std::string_view gid) {
  (void)method;  // whatever it says, the task is read again
  if (gid.empty()) return;
  dirty_.insert(std::string(gid));
  Pump();
}

void TaskStore::Counted(const Aria2Counts& counts) {
  counts_ = counts;
  CompareCounts();
  Pump();
}

void TaskStore::Tick() {
  hold_ = false;
  // Without notifications the counts are all there is to go by.
  if (!busy_ && synced_ && !(params_.streaming && params_.streaming())) {
    json request = {{"jsonrpc", "2.0"}, {"id", "store"}, {"method", "aria2.getGlobalStat"}};
    request["params"] = json::array();
    if (!engine_.rpc_secret.empty()) request["params"].push_back("token:" + engine_.rpc_secret);
    Send(request.dump(), [this](std::optional<std::string> reply) {
      const json parsed = reply ? json::parse(*reply, nullptr, false) : json();
      const auto result = parsed.is_object() ? parsed.find("result") : parsed.end();
      if (!parsed.is_object() || result == parsed.end() || !result->is_object()) {
        hold_ = true;
        return;
      }
      auto count = [&](const char* key) { return LengthOf(*result, key); };
      counts_ = Aria2Counts{.active = count("numActive"),
                            .waiting = count("numWaiting"),
                            .stopped = count("numStopped"),
                            .stopped_total = count("numStoppedTotal")};
      CompareCounts();
    });
    return;
  }
  Pump();
}

void TaskStore::CompareCounts() {
  // Counts are compared only when they came while the store had nothing to
  // catch up on: aria2 sends a notification before the counts that include
  // its change, so the store then holds everything the counts do.
  if (!counts_ || !synced_ || busy_ || !dirty_.empty()) return;
  Aria2Counts held;
  for (const auto& [gid, each] : tasks_) {
    const int group = GroupOf(each.task.status);
    (group == 0 ? held.active : group == 1 ? held.waiting : held.stopped) += 1;
  }
  const Aria2Counts& told = *counts_;
  if (held.active != told.active || held.waiting != told.waiting || held.stopped != told.stopped)
    relist_ = true;
  counts_.reset();
}

void TaskStore::Pump() {
  if (busy_ || hold_ || !params_.ask) return;
  const std::int64_t now = Now();
  const bool resync_due = !synced_ || !last_listing_ms_ || now - *last_listing_ms_ >= params_.resync_every_ms;
  const bool relist_due = relist_ && now - last_listing_ms_.value_or(now) >= params_.resync_gap_ms;
  if (resync_due || relist_due || dirty_.size() > params_.most_fetched) {
    AskLists();
    return;
  }
  if (!dirty_.empty()) AskStatuses();
}

void TaskStore::Send(std::string body, std::function<void(std::optional<std::string>)> answered) {
  busy_ = true;
  params_.ask(std::move(body), [this, alive = std::weak_ptr<bool>(alive_), generation = generation_,
                                answered = std::move(answered)](std::optional<std::string> reply) {
    const std::shared_ptr<bool> still = alive.lock();
    if (!still || !*still || generation != generation_) return;
    busy_ = false;
    answered(std::move(reply));
    Pump();
  });
}

void TaskStore::AskLists() {
  // What was noted so far is in the lists about to be asked for.
  dirty_.clear();
  relist_ = false;
  listing_ = Listing{.asked_ms = Now()};
  last_listing_ms_ = listing_->asked_ms;
  const int page = params_.page;
  json calls = json::array({Call(engine_, "aria2.tellActive", json::array({Keys()})),
                            Call(engine_, "aria2.tellWaiting", json::array({0, page, Keys()})),
                            Call(engine_, "aria2.tellStopped", json::array({0, page, Keys()}))});
  Send(Multicall(std::move(calls)), [this](const std::optional<std::string>& reply) {
    const std::optional<json> answers = AnswersOf(reply, 3);
    std::optional<std::vector<Aria2Task>> active, waiting, stopped;
    if (answers) {
      active = ListOf((*answers)[0]);
      waiting = ListOf((*answers)[1]);
      stopped = ListOf((*answers)[2]);
    }
    if (!active || !waiting || !stopped) {
      listing_.reset();
      hold_ = true;
      return;
    }
    const auto full = [&](const std::vector<Aria2Task>& list) {
      return list.size() == static_cast<std::size_t>(params_.page);
    };
    listing_->more_waiting = full(*waiting);
    listing_->more_stopped = full(*stopped);
    listing_->active = std::move(*active);
    listing_->waiting = std::move(*waiting);
    listing_->stopped = std::move(*stopped);
    AskNextPage();
  });
}

void TaskStore::AskNextPage() {
  const bool more_waiting = listing_->more_waiting;
  const bool more_stopped = listing_->more_stopped;
  if (!more_waiting && !more_stopped) {
    ApplyListing();
    return;
  }
  const int page = params_.page;
  json calls = json::array();
  if (more_waiting) {
    const auto offset = static_cast<std::int64_t>(listing_->waiting.size());
    calls.push_back(Call(engine_, "aria2.tellWaiting", json::array({offset, page, Keys()})));
  }
  if (more_stopped) {
    const auto offset = static_cast<std::int64_t>(listing_->stopped.size());
    calls.push_back(Call(engine_, "aria2.tellStopped", json::array({offset, page, Keys()})));
  }
  const std::size_t count = calls.size();
  Send(Multicall(std::move(calls)),
       [this, more_waiting, more_stopped, count](const std::optional<std::string>& reply) {
         const std::optional<json> answers = AnswersOf(reply, count);
         std::size_t at = 0;
         std::optional<std::vector<Aria2Task>> waiting, stopped;
         if (answers && more_waiting) waiting = ListOf((*answers)[at++]);
         if (answers && more_stopped) stopped = ListOf((*answers)[at++]);
         if (!answers || (more_waiting && !waiting) || (more_stopped && !stopped)) {
           listing_.reset();
           hold_ = true;
           return;
         }
         // A page that comes back short ends its list.
         const auto add = [&](std::optional<std::vector<Aria2Task>>& page, std::vector<Aria2Task>& list,
                              bool& more) {
           if (!page) return;
           more = page->size() == static_cast<std::size_t>(params_.page);
           for (Aria2Task& task : *page) list.push_back(std::move(task));
         };
         add(waiting, listing_->waiting, listing_->more_waiting);
         add(stopped, listing_->stopped, listing_->more_stopped);
         AskNextPage();
       });
}

void TaskStore::ApplyListing() {
  Listing listing = std::move(*listing_);
  listing_.reset();
  std::set<std::string> listed;
  for (std::vector<Aria2Task>* list : {&listing.active, &listing.waiting, &listing.stopped}) {
    for (Aria2Task& task : *list) {
      // A task that moved from one list to the next between two pages is
      // held once, where it was seen first.
      if (!listed.insert(std::string(std::string_view(task.gid))).second) continue;
      Put(std::move(task), /*new_order=*/true);
    }
  }
  std::vector<std::string> gone;
  for (const auto& [gid, held] : tasks_)
    if (!listed.count(gid)) gone.push_back(gid);
  for (const std::string& gid : gone) Remove(gid);
  // What had stopped before the first listing ended before anyone here
  // watched: a reader that starts later tells it from what ends after.
  if (!synced_) {
    stopped_before_.clear();
    for (const Aria2Task& task : listing.stopped)
      stopped_before_.insert(std::string(std::string_view(task.gid)));
  }
  synced_ = true;
  listed_at_ms_ = listing.asked_ms;
  // Even an unchanged listing is news: a task handed over before it was
  // asked for and absent from it is gone.
  ++version_;
}

void TaskStore::AskStatuses() {
  std::vector<std::string> gids(dirty_.begin(), dirty_.end());
  dirty_.clear();
  json calls = json::array();
  for (const std::string& gid : gids)
    calls.push_back(Call(engine_, "aria2.tellStatus", json::array({gid, Keys()})));
  Send(Multicall(std::move(calls)), [this, gids](const std::optional<std::string>& reply) {
    const std::optional<json> answers = AnswersOf(reply, gids.size());
    if (!answers) {
      // Asked again after the next tick, unless a listing comes first.
      dirty_.insert(gids.begin(), gids.end());
      hold_ = true;
      return;
    }
    for (std::size_t i = 0; i < gids.size(); ++i) {
      const json& answer = (*answers)[i];
      std::optional<Aria2Task> task;
      if (answer.is_array() && answer.size() == 1) task = TaskOf(answer[0]);
      if (task && std::string_view(task->gid) == gids[i]) {
        Put(std::move(*task), /*new_order=*/false);
      } else if (answer.is_object() && answer.contains("code")) {
        // aria2 no longer knows the task: its result was removed.
        Remove(gids[i]);
      }
    }
    ++version_;
    CompareCounts();
  });
}

void TaskStore::Put(Aria2Task task, bool new_order) {
  const std::string gid(std::string_view(task.gid));
  const auto it = tasks_.find(gid);
  if (it == tasks_.end()) {
    const Held& held = tasks_[gid] = Held{std::move(task), ++next_order_};
    ++version_;
    Tell(nullptr, &held.task);
    return;
  }
  Held& held = it->second;
  // A task that stops joins the end of the stopped list, as in aria2's.
  const bool stopped_now = GroupOf(task.status) == 2 && GroupOf(held.task.status) != 2;
  if (new_order || stopped_now) held.order = ++next_order_;
  if (Same(held.task, task)) return;
  const Aria2Task before = std::exchange(held.task, std::move(task));
  ++version_;
  Tell(&before, &held.task);
}

void TaskStore::Remove(const std::string& gid) {
  const auto it = tasks_.find(gid);
  if (it == tasks_.end()) return;
  const Aria2Task before = std::move(it->second.task);
  tasks_.erase(it);
  ++version_;
  Tell(&before, nullptr);
}

void TaskStore::Tell(const Aria2Task* before, const Aria2Task* after) {
  const TaskChange change{.before = before, .after = after};
  for (const auto& subscriber : subscribers_) subscriber(change);
}

void TaskStore::Subscribe(std::function<void(const TaskChange&)> changed) {
  subscribers_.push_back(std::move(changed));
}

std::vector<Aria2Task> TaskStore::Tasks() const {
  std::vector<const Held*> held;
  held.reserve(tasks_.size());
  for (const auto& [gid, each] : tasks_) held.push_back(&each);
  std::sort(held.begin(), held.end(), [](const Held* a, const Held* b) {
    const int ga = GroupOf(a->task.status), gb = GroupOf(b->task.status);
    return ga != gb ? ga < gb : a->order < b->order;
  });
  std::vector<Aria2Task> tasks;
  tasks.reserve(held.size());
  for (const Held* each : held) tasks.push_back(each->task);
  return tasks;
}

std::vector<Aria2Task> TaskStore::Stopped() const {
  std::vector<Aria2Task> tasks = Tasks();
  std::erase_if(tasks, [](const Aria2Task& task) { return GroupOf(task.status) != 2; });
  return tasks;
}

std::vector<Aria2Task> TaskStore::StoppedBeforeFirstListing() const {
  std::vector<Aria2Task> tasks = Stopped();
  std::erase_if(tasks, [this](const Aria2Task& task) {
    return !stopped_before_.count(std::string(std::string_view(task.gid)));
  });
  return tasks;
}

const Aria2Task* TaskStore::Find(std::string_view gid) const {
  const auto it = tasks_.find(std::string(gid));
  return it == tasks_.end() ? nullptr : &it->second.task;
}

}  // namespace korvath
