// Torrents, metalinks and magnets have no address aria2 could be given
// again: what makes them is a file the user gave aria2 once, or a magnet
// link. aria2 writes both into its own session file, by gid; Korvath asks for
// that file for the moment, and keeps a copy of each torrent or metalink.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine-state.h"
#include "platform/desktop.h"
#include "util/text.h"

namespace korvath {

// One task of aria2's session file: its addresses (for a torrent or metalink
// the path of the file aria2 kept) and options (" key=value" lines).
struct Aria2SessionEntry {
  std::vector<std::string> uris;  // UTF-8
  std::map<std::string, std::string> options;
};

// The entries of a session file's text, by their "gid" option.
std::map<std::string, Aria2SessionEntry> ParseAria2Session(std::string_view text);

// The session file of aria2 now, written to `scratch` by aria2.saveSession
// with save-session set for the moment and put back after; empty when aria2
// did not write it.
std::map<std::string, Aria2SessionEntry> AskAria2Session(Desktop& desktop, const EngineState& state,
                                                         const std::string& scratch);

// "torrent", "metalink" or "magnet" for an entry, and its one address: a
// torrent or metalink file is copied to `folder` (once: the name is aria2's
// hash of its bytes) and that copy's path is given. "" kind when the entry
// is none of these or its file could not be kept.
struct MetadataSource {
  Text kind;
  Text uri;
  Text select;
};
MetadataSource KeepMetadata(const Aria2SessionEntry& entry, const std::string& folder);

// Standard base64, as aria2.addTorrent and aria2.addMetalink take a file.
std::string Base64(std::string_view bytes);

}  // namespace korvath
