#include "engine/session-metadata.h"

#include <filesystem>

#include "engine/aria2-request.h"
#include "engine/rpc-client.h"
#include "util/file-io.h"
#include "util/json-object.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

bool ChangeSaveSession(Desktop& desktop, const EngineState& state, std::string_view file) {
  const std::string reply = SendRpc(desktop, state,
                                    Aria2Request(aria2_method::kChangeGlobalOption, state.rpc_secret)
                                        .AddOptions(Aria2Options().Set("save-session", file))
                                        .Body());
  return reply.find("\"result\"") != std::string::npos;
}

}  // namespace

std::map<std::string, Aria2SessionEntry> ParseAria2Session(std::string_view text) {
  std::map<std::string, Aria2SessionEntry> entries;
  Aria2SessionEntry current;
  auto close = [&] {
    auto gid = current.options.find("gid");
    if (!current.uris.empty() && gid != current.options.end()) entries[gid->second] = std::move(current);
    current = {};
  };
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == ' ' || line.front() == '\t') {
      line.remove_prefix(line.find_first_not_of(" \t"));
      const size_t equals = line.find('=');
      if (equals != std::string_view::npos)
        current.options[std::string(line.substr(0, equals))] = std::string(line.substr(equals + 1));
      continue;
    }
    close();
    while (!line.empty()) {
      const size_t tab = line.find('\t');
      if (tab != 0) current.uris.emplace_back(line.substr(0, tab));
      line = tab == std::string_view::npos ? std::string_view() : line.substr(tab + 1);
    }
  }
  close();
  return entries;
}

std::map<std::string, Aria2SessionEntry> AskAria2Session(Desktop& desktop, const EngineState& state,
                                                         const std::string& scratch) {
  // The user's own save-session, if any, is put back after.
  JsonObject options;
  options.ParseUtf8(
      SendRpc(desktop, state, Aria2Request(aria2_method::kGetGlobalOption, state.rpc_secret).Body()));
  if (options.GetType("result") != kJsonObject) return {};
  const std::string before = GbkToUtf8(options.GetProperty("result['save-session']"));
  std::error_code ec;
  fs::create_directories(fs::path(scratch).parent_path(), ec);
  fs::remove(scratch, ec);
  if (!ChangeSaveSession(desktop, state, scratch)) return {};
  const std::string saved =
      SendRpc(desktop, state, Aria2Request(aria2_method::kSaveSession, state.rpc_secret).Body());
  ChangeSaveSession(desktop, state, before);
  if (saved.find("\"result\"") == std::string::npos) return {};
  const std::optional<std::string> text = ReadWholeFile(scratch);
  fs::remove(scratch, ec);
  return text ? ParseAria2Session(*text) : std::map<std::string, Aria2SessionEntry>{};
}

MetadataSource KeepMetadata(const Aria2SessionEntry& entry, const std::string& folder) {
  if (entry.uris.empty()) return {};
  const std::string& uri = entry.uris.front();
  auto select = [&]() -> Text {
    auto it = entry.options.find("select-file");
    return it == entry.options.end() ? Text() : Utf8ToGbk(it->second);
  };
  if (uri.starts_with("magnet:")) return {.kind = "magnet", .uri = Utf8ToGbk(uri), .select = select()};
  const bool torrent = EndsWith(uri, ".torrent");
  if (!torrent && !EndsWith(uri, ".meta4") && !EndsWith(uri, ".metalink")) return {};
  if (!uri.starts_with("/")) return {};
  std::error_code ec;
  fs::create_directories(folder, ec);
  const fs::path copy = fs::path(folder) / fs::path(uri).filename();
  if (!fs::exists(copy, ec)) {
    const std::optional<std::string> bytes = ReadWholeFile(uri);
    if (!bytes || !WriteFileAtomically(copy.string(), *bytes)) return {};
  }
  return {.kind = torrent ? "torrent" : "metalink", .uri = Utf8ToGbk(copy.string()), .select = select()};
}

std::string Base64(std::string_view bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    std::uint32_t v = 0;
    for (size_t k = 0; k < 3; ++k) v = (v << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0);
    for (size_t k = 0; k < 4; ++k) out += k <= n ? kAlphabet[(v >> (18 - 6 * k)) & 63] : '=';
  }
  return out;
}

}  // namespace korvath
