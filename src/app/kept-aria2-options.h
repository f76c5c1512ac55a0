// The user's aria2 options as the engine sends them: the body before every
// download, and the rest at each start of our own aria2.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/rpc-client.h"
#include "platform/desktop.h"

namespace korvath {

// The options sent before every download: the user's values where the
// settings file keeps one (already checked), the program's own otherwise.
GlobalOptions TaskGlobalOptions(const std::map<std::string, std::string>& kept);

// Sends the user's other aria2 options to a freshly started aria2; a value
// aria2 refuses is named in a box, the others still take effect.
void SendKeptOptions(Desktop& desktop, const EngineState& state,
                     const std::map<std::string, std::string>& kept);

}  // namespace korvath
