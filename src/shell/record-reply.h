// The page's questions about Korvath's own record: the completed downloads
// it keeps listed across restarts (aria2 cannot hold a finished task added
// back), and what the tasks added back at start-up hold on disk.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>
#include <unordered_set>
#include <vector>

namespace korvath {

class EngineSession;

// The name the page posts to: window.webkit.messageHandlers.korvathRecord.
inline constexpr const char* kRecordMessage = "korvathRecord";

// The order the manager page worked out that tasks were added in (aria2
// keeps no time of adding), by gid, for as long as the program runs: a
// window opened again goes on from it instead of guessing anew from aria2's
// lists. One program, one aria2 at a time: the page is its only writer.
class AddedOrder {
 public:
  // Far beyond any list the page can show; the oldest go first.
  static constexpr std::size_t kMost = 100000;
  // Appends the gids not yet placed.
  void Add(const nlohmann::json& more);
  const std::vector<std::string>& gids() const { return gids_; }

 private:
  std::vector<std::string> gids_;
  std::unordered_set<std::string> held_;
};

// {} -> {"finished":[{gid,dir,name,path,length}], "sizes":{gid:{total,completed}}}
// {"forget":[gid,...]} -> {"ok":true|false}: those leave the kept list.
// {"added":[gid,...]} -> {"ok":true}: the places the page gave, appended.
// {"order":true} -> as {}, with "added": every place given so far.
std::string RecordReply(const std::string& request_json, const EngineSession& session, AddedOrder& order);

}  // namespace korvath
