// The one copy of aria2's tasks that the readers (the record keeper, the
// finished-download notices) read instead of asking aria2 for its lists.
// It follows aria2's notifications: a notice about a task fetches that task
// alone (aria2.tellStatus, several in one system.multicall). aria2 tells
// nobody when a task is added, a result removed or a queued task resumed;
// its counts then disagree with the store's, and the whole lists are read
// again, as they are once a minute anyway. Without notifications (no
// WebSocket answers) the counts are asked at every tick instead, over HTTP.
// Every question is asked through `ask` and answered later on the main loop;
// one at a time, so that answers apply in the order they were asked.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/aria2-activity.h"
#include "app/look-schedule.h"
#include "engine/engine-state.h"
#include "engine/task-status.h"

namespace korvath {

struct TaskStoreParams {
  // Sends a JSON-RPC body to aria2; the answer comes later (Aria2Activity::Ask).
  std::function<void(std::string body, Aria2Answer done)> ask;
  // Whether aria2's notifications arrive.
  std::function<bool()> streaming;
  std::function<std::int64_t()> now_ms;  // MonotonicMs when absent
  std::int64_t resync_every_ms = LookSchedule::kResyncMs;
  // Counts that disagree read the whole lists at most this often: a burst
  // of tasks added by the manager costs one reading per interval.
  std::int64_t resync_gap_ms = 2000;
  int page = 1000;  // tasks per page of aria2's lists
  // More tasks than this to fetch one by one: the whole lists are cheaper.
  std::size_t most_fetched = 500;
};

// One task that changed: `before` is null for a task the store did not
// hold, `after` null for one aria2 no longer has.
struct TaskChange {
  const Aria2Task* before = nullptr;
  const Aria2Task* after = nullptr;
};

class TaskStore {
 public:
  // `engine` (its secret) must outlive the store.
  TaskStore(const EngineState& engine, TaskStoreParams params);
  ~TaskStore();
  TaskStore(const TaskStore&) = delete;
  TaskStore& operator=(const TaskStore&) = delete;

  // Asks for the lists now and ticks on the main loop every `every_ms`.
  void StartTicking(unsigned every_ms);

  // A new aria2 (started again, or another one): nothing is known until its
  // lists have been read; answers to what the old one was asked are ignored.
  void Reset();
  // aria2's notification `method` about task `gid`.
  void Notified(std::string_view method, std::string_view gid);
  // aria2's counts.
  void Counted(const Aria2Counts& counts);
  // Asks what is due: the whole lists when never read or a resync is due,
  // the counts while no notification arrives.
  void Tick();

  // Whether the whole lists have been read from this aria2.
  bool synced() const { return synced_; }
  // Grows with every change of what the store holds.
  std::uint64_t version() const { return version_; }
  // When (now_ms) the lists held were asked for: a task aria2 took before
  // then is in them, unless it is gone since.
  std::int64_t listed_at_ms() const { return listed_at_ms_; }

  // The tasks in aria2's order: active, then waiting and paused in their
  // queue, then stopped oldest first.
  std::vector<Aria2Task> Tasks() const;
  // The stopped ones (complete, error, removed), oldest first.
  std::vector<Aria2Task> Stopped() const;
  // Those of Stopped() that had stopped already when the store first read
  // aria2's lists (since it was made or Reset).
  std::vector<Aria2Task> StoppedBeforeFirstListing() const;
  std::size_t size() const { return tasks_.size(); }
  const Aria2Task* Find(std::string_view gid) const;

  // Told every change, after the store holds it.
  void Subscribe(std::function<void(const TaskChange&)> changed);

 private:
  struct Held {
    Aria2Task task;
    std::uint64_t order = 0;
  };
  struct Listing {
    std::vector<Aria2Task> active, waiting, stopped;
    bool more_waiting = false;  // the last page of the list was full
    bool more_stopped = false;
    std::int64_t asked_ms = 0;
  };

  void Pump();
  void Send(std::string body, std::function<void(std::optional<std::string>)> answered);
  void AskLists();
  void AskNextPage();
  void ApplyListing();
  void AskStatuses();
  void Put(Aria2Task task, bool new_order);
  void Remove(const std::string& gid);
  void Tell(const Aria2Task* before, const Aria2Task* after);
  void CompareCounts();
  std::int64_t Now() const;

  const EngineState& engine_;
  TaskStoreParams params_;
  std::map<std::string, Held> tasks_;
  std::vector<std::function<void(const TaskChange&)>> subscribers_;
  std::set<std::string> dirty_;
  std::set<std::string> stopped_before_;
  std::optional<Listing> listing_;  // being read
  std::optional<Aria2Counts> counts_;
  bool busy_ = false;    // a question is out
  bool relist_ = false;  // the lists are to be read again
  bool synced_ = false;
  bool hold_ = false;  // the last question went unanswered: nothing more until the next tick
  std::uint64_t version_ = 0;
  std::uint64_t next_order_ = 0;
  std::uint64_t generation_ = 0;  // of the aria2 followed; answers of an older one are ignored
  std::int64_t listed_at_ms_ = 0;
  std::optional<std::int64_t> last_listing_ms_;
  unsigned ticker_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
}  // namespace korvath
