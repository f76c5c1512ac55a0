// The task store over recorded exchanges with aria2: each question the store
// asks is held, and answered with what aria2 answers to it.
#include "app/task-store.h"

#include <gtest/gtest.h>

#include <deque>
#include <nlohmann/json.hpp>

namespace korvath {
namespace {

using json = nlohmann::json;

json Status(const std::string& gid, const std::string& status, const std::string& name = "f") {
  return {{"gid", gid},
          {"status", status},
          {"dir", "/d"},
          {"files",
           json::array({{{"path", "/d/" + name}, {"uris", json::array({{{"uri", "http://h/" + name}}})}}})},
          {"totalLength", "100"},
          {"completedLength", status == "complete" ? "100" : "0"},
          {"errorCode", status == "error" ? "3" : "0"}};
}

// A multicall answer of lists: each list is one call's result.
json Lists(std::initializer_list<json> lists) {
  json result = json::array();
  for (const json& list : lists) result.push_back(json::array({list}));
  return result;
}

class FakeAria2 {
 public:
  TaskStoreParams Params() {
    return {.ask =
                [this](std::string body, Aria2Answer done) {
                  asked.push_back({json::parse(body), std::move(done)});
                },
            .streaming = [this] { return streaming; },
            .now_ms = [this] { return now; },
            .page = 2};
  }
  // The methods of the oldest open question, each call of a multicall.
  std::vector<std::string> Methods() const {
    std::vector<std::string> methods;
    const json& request = asked.front().first;
    if (request["method"] != "system.multicall") return {request["method"].get<std::string>()};
    for (const json& call : request["params"][0]) methods.push_back(call["methodName"].get<std::string>());
    return methods;
  }
  json Params(std::size_t call) const { return asked.front().first["params"][0][call]["params"]; }
  void Answer(const json& result) {
    auto [request, done] = std::move(asked.front());
    asked.pop_front();
    done(json{{"id", request["id"]}, {"jsonrpc", "2.0"}, {"result", result}}.dump());
  }
  void Unanswered() {
    auto done = std::move(asked.front().second);
    asked.pop_front();
    done(std::nullopt);
  }

  std::deque<std::pair<json, Aria2Answer>> asked;
  bool streaming = true;
  std::int64_t now = 1000;
};

const std::vector<std::string> kListing = {"aria2.tellActive", "aria2.tellWaiting", "aria2.tellStopped"};

class TaskStoreTest : public testing::Test {
 protected:
  void SetUp() override {
    engine.rpc_secret = "s3cret";
    store.Subscribe([this](const TaskChange& change) {
      changes.push_back(std::string(change.before ? std::string_view(change.before->status) : "-") + ">" +
                        std::string(change.after ? std::string_view(change.after->status) : "-"));
    });
  }
  // The first listing: A running, B waiting.
  void Synced() {
    store.Tick();
    ASSERT_EQ(aria2.Methods(), kListing);
    aria2.Answer(Lists({json::array({Status("A", "active", "a")}), json::array({Status("B", "waiting", "b")}),
                        json::array()}));
    ASSERT_TRUE(store.synced());
    changes.clear();
  }
  std::string StatusOf(const char* gid) const {
    const Aria2Task* task = store.Find(gid);
    return task ? std::string(std::string_view(task->status)) : "-";
  }

  EngineState engine;
  FakeAria2 aria2;
  TaskStore store{engine, aria2.Params()};
  std::vector<std::string> changes;
};

TEST_F(TaskStoreTest, ANotificationFetchesThatTaskAloneWithTheSecret) {
  Synced();
  store.Notified("aria2.onDownloadPause", "A");
  ASSERT_EQ(aria2.asked.size(), 1u);
  EXPECT_EQ(aria2.Methods(), (std::vector<std::string>{"aria2.tellStatus"}));
  EXPECT_EQ(aria2.Params(0)[0], "token:s3cret");
  EXPECT_EQ(aria2.Params(0)[1], "A");
  aria2.Answer(json::array({json::array({Status("A", "paused", "a")})}));
  EXPECT_EQ(StatusOf("A"), "paused");
  EXPECT_EQ(StatusOf("B"), "waiting");
  EXPECT_EQ(changes, (std::vector<std::string>{"active>paused"}));
  EXPECT_TRUE(aria2.asked.empty());
}

TEST_F(TaskStoreTest, NotificationsWhileAQuestionIsOutAreFetchedTogetherAfterItsAnswer) {
  Synced();
  store.Notified("aria2.onDownloadPause", "A");
  // One question at a time, so that answers apply in the order asked.
  store.Notified("aria2.onDownloadStart", "B");
  store.Notified("aria2.onDownloadStart", "A");
  ASSERT_EQ(aria2.asked.size(), 1u);
  aria2.Answer(json::array({json::array({Status("A", "paused", "a")})}));
  ASSERT_EQ(aria2.asked.size(), 1u);
  EXPECT_EQ(aria2.Methods(), (std::vector<std::string>{"aria2.tellStatus", "aria2.tellStatus"}));
  EXPECT_EQ(aria2.Params(0)[1], "A");
  EXPECT_EQ(aria2.Params(1)[1], "B");
}

TEST_F(TaskStoreTest, CountsThatAgreeAskNothingAndCountsThatDisagreeReadTheListsAtMostOncePerGap) {
  Synced();
  store.Counted({.active = 1, .waiting = 1});
  EXPECT_TRUE(aria2.asked.empty());
  // The manager added a paused task: aria2 tells no one.
  store.Counted({.active = 1, .waiting = 2});
  EXPECT_TRUE(aria2.asked.empty()) << "the lists were just read";
  aria2.now += 2000;
  store.Tick();
  ASSERT_EQ(aria2.Methods(), kListing);
  aria2.Answer(
      Lists({json::array({Status("A", "active", "a")}),
             json::array({Status("B", "waiting", "b"), Status("C", "paused", "c")}), json::array()}));
  aria2.Answer(Lists({json::array()}));  // the page after a full one (two a page here)
  EXPECT_EQ(StatusOf("C"), "paused");
  EXPECT_EQ(changes, (std::vector<std::string>{"->paused"}));
  // ...and removed a result, counted the same way.
  changes.clear();
  aria2.now += 2000;
  store.Counted({.active = 1, .waiting = 1});
  ASSERT_EQ(aria2.Methods(), kListing);
  aria2.Answer(Lists({json::array({Status("A", "active", "a")}), json::array({Status("B", "waiting", "b")}),
                      json::array()}));
  EXPECT_EQ(StatusOf("C"), "-");
  EXPECT_EQ(changes, (std::vector<std::string>{"paused>-"}));
}

TEST_F(TaskStoreTest, AResumeNobodyToldIsCaughtByTheResyncAMinuteLater) {
  Synced();
  store.Notified("aria2.onDownloadPause", "B");
  aria2.Answer(json::array({json::array({Status("B", "paused", "b")})}));
  // Unpaused in the manager: still queued, same counts, no notification.
  store.Counted({.active = 1, .waiting = 1});
  aria2.now += LookSchedule::kResyncMs - 1;
  store.Tick();
  EXPECT_TRUE(aria2.asked.empty());
  aria2.now += 1;
  store.Tick();
  ASSERT_EQ(aria2.Methods(), kListing);
  aria2.Answer(Lists({json::array({Status("A", "active", "a")}), json::array({Status("B", "waiting", "b")}),
                      json::array()}));
  EXPECT_EQ(StatusOf("B"), "waiting");
}

TEST_F(TaskStoreTest, StoppedTasksAreHeldInTheOrderTheyStoppedAndAGoneOneIsDropped) {
  Synced();
  store.Notified("aria2.onDownloadError", "B");
  aria2.Answer(json::array({json::array({Status("B", "error", "b")})}));
  store.Notified("aria2.onDownloadComplete", "A");
  aria2.Answer(json::array({json::array({Status("A", "complete", "a")})}));
  std::vector<std::string> order;
  for (const Aria2Task& task : store.Stopped()) order.push_back(std::string(std::string_view(task.gid)));
  EXPECT_EQ(order, (std::vector<std::string>{"B", "A"}));
  // The manager removed B's result: aria2 no longer knows it.
  store.Notified("aria2.onDownloadStop", "B");
  aria2.Answer(json::array({json{{"code", 1}, {"message", "GID B is not found"}}}));
  EXPECT_EQ(StatusOf("B"), "-");
  EXPECT_EQ(changes.back(), "error>-");
}

TEST_F(TaskStoreTest, AFullPageIsFollowedByTheNextOneFromItsOffsetBeforeTheListsCount) {
  store.Tick();
  aria2.Answer(Lists({json::array(), json::array({Status("W1", "waiting"), Status("W2", "waiting")}),
                      json::array({Status("S1", "complete")})}));
  EXPECT_FALSE(store.synced());
  ASSERT_EQ(aria2.Methods(), (std::vector<std::string>{"aria2.tellWaiting"}));
  EXPECT_EQ(aria2.Params(0)[1], 2);
  aria2.Answer(Lists({json::array({Status("W3", "paused")})}));
  EXPECT_TRUE(store.synced());
  std::vector<std::string> order;
  for (const Aria2Task& task : store.Tasks()) order.push_back(std::string(std::string_view(task.gid)));
  EXPECT_EQ(order, (std::vector<std::string>{"W1", "W2", "W3", "S1"}));
}

TEST_F(TaskStoreTest, AnUnansweredQuestionIsAskedAgainOnlyAtTheNextTick) {
  Synced();
  store.Notified("aria2.onDownloadPause", "A");
  aria2.Unanswered();
  store.Notified("aria2.onDownloadPause", "B");
  EXPECT_TRUE(aria2.asked.empty()) << "an aria2 that is gone is not asked in a loop";
  store.Tick();
  ASSERT_EQ(aria2.Methods().size(), 2u);
}

TEST_F(TaskStoreTest, AfterAResetNothingIsHeldAndTheOldAria2sLateAnswerIsIgnored) {
  Synced();
  store.Notified("aria2.onDownloadPause", "A");
  auto late = std::move(aria2.asked.front().second);
  aria2.asked.clear();
  store.Reset();
  EXPECT_FALSE(store.synced());
  EXPECT_EQ(store.size(), 0u);
  ASSERT_EQ(aria2.Methods(), kListing);
  late(json{{"id", "x"}, {"result", json::array({json::array({Status("A", "paused")})})}}.dump());
  EXPECT_EQ(store.size(), 0u);
  EXPECT_EQ(aria2.asked.size(), 1u);
}

TEST_F(TaskStoreTest, WithoutNotificationsEachTickAsksTheCountsAlone) {
  Synced();
  aria2.streaming = false;
  store.Tick();
  ASSERT_EQ(aria2.Methods(), (std::vector<std::string>{"aria2.getGlobalStat"}));
  aria2.Answer({{"numActive", "1"}, {"numWaiting", "1"}, {"numStopped", "0"}, {"numStoppedTotal", "0"}});
  EXPECT_TRUE(aria2.asked.empty());
  aria2.now += 2000;
  store.Tick();
  aria2.Answer({{"numActive", "0"}, {"numWaiting", "1"}, {"numStopped", "1"}, {"numStoppedTotal", "1"}});
  ASSERT_EQ(aria2.Methods(), kListing);
}

}  // namespace
}  // namespace korvath
