// The task store against the real aria2, through Aria2Activity's questions:
// the recorded exchanges of task-store-test.cpp are only worth as much as
// their likeness to aria2's own answers.
#include <glib.h>
#include <gtest/gtest.h>

#include "app/aria2-activity.h"
#include "app/task-store.h"
#include "engine/aria2-bootstrap.h"
#include "engine/engine-fixture.h"
#include "engine/rpc-client.h"

namespace korvath {
namespace {

template <typename Condition>
bool PumpUntil(Condition condition, int limit_ms) {
  const std::int64_t end = MonotonicMs() + limit_ms;
  while (!condition() && MonotonicMs() < end)
    if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(5000);
  return condition();
}

class TaskStoreOverAria2 : public testing::Aria2Test {};

TEST_F(TaskStoreOverAria2, ListsOverHttpBeforeTheSocketThenFollowsCountsAndNotifications) {
  ASSERT_TRUE(StartAria2(*desktop, state, {.cookie = "Zorbit", .program_dir = program_dir.string()}));
  for (const char* name : {"a", "b", "c"}) {
    const auto added = testing::Aria2Call(
        state, "aria2.addUri",
        {{"http://127.0.0.1:9/" + std::string(name)}, {{"pause", "true"}, {"dir", work_dir.string()}}});
    ASSERT_TRUE(added.contains("result")) << added.dump();
  }
  const std::string first = testing::Aria2Call(state, "aria2.tellWaiting", {0, 1})["result"][0]["gid"];

  TaskStore* followed = nullptr;
  Aria2Activity activity(
      desktop->Log(),
      {.notified = [&](std::string_view method, std::string_view gid) { followed->Notified(method, gid); },
       .counted = [&](const Aria2Counts& counts) { followed->Counted(counts); }},
      {.ask_every_ms = 200});
  activity.Follow(state);
  TaskStore store(state,
                  {.ask = [&](std::string body, Aria2Answer done) { activity.Ask(body, std::move(done)); },
                   .streaming = [&] { return activity.streaming(); }});
  followed = &store;
  store.StartTicking(200);
  ASSERT_TRUE(PumpUntil([&] { return store.synced() && activity.streaming(); }, 10000));
  ASSERT_EQ(store.size(), 3u);
  EXPECT_EQ(store.Find(first)->status, "paused");
  EXPECT_EQ(store.Find(first)->uris, std::vector<Text>{"http://127.0.0.1:9/a"});

  // Removed while paused: aria2 tells no one and keeps no result; the
  // counts disagree with the store's and the lists are read again.
  testing::Aria2Call(state, "aria2.remove", {first});
  ASSERT_TRUE(PumpUntil([&] { return store.Find(first) == nullptr; }, 10000));
  EXPECT_EQ(store.size(), 2u);
  // Resumed: aria2 tells the start, and the store asks for that task alone.
  const std::string second = testing::Aria2Call(state, "aria2.tellWaiting", {0, 1})["result"][0]["gid"];
  testing::Aria2Call(state, "aria2.unpause", {second});
  ASSERT_TRUE(PumpUntil([&] { return store.Find(second)->status != "paused"; }, 10000)) << desktop->RawLog();
  std::vector<std::pair<std::string, bool>> asked;
  for (const auto& e : desktop->Events("aria2_question")) {
    EXPECT_TRUE(e["ok"].get<bool>()) << e.dump();
    asked.emplace_back(e["method"], e["socket"]);
  }
  ASSERT_GE(asked.size(), 3u);
  EXPECT_EQ(asked.front(), (std::pair<std::string, bool>{"aria2.tellActive", false}));
  EXPECT_EQ(asked.back(), (std::pair<std::string, bool>{"aria2.tellStatus", true}));
}

}  // namespace
}  // namespace korvath
