// The page's questions about Korvath's own record: the completed downloads
// it keeps listed across restarts (aria2 cannot hold a finished task added
// back), and what the tasks added back at start-up hold on disk.
#pragma once

#include <string>

namespace korvath {

class EngineSession;

// The name the page posts to: window.webkit.messageHandlers.korvathRecord.
inline constexpr const char* kRecordMessage = "korvathRecord";

// {} -> {"finished":[{gid,dir,name,path,length}], "sizes":{gid:{total,completed}}}
// {"forget":[gid,...]} -> {"ok":true|false}: those leave the kept list.
std::string RecordReply(const std::string& request_json, const EngineSession& session);

}  // namespace korvath
