// The one place aria2 requests are written: the names of the RPC methods and
// options Korvath uses, and the JSON-RPC envelope around them. Every value
// goes in through a typed call and is escaped when the body is written, so no
// value can close its string and add members of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/text.h"

namespace korvath {

// An aria2 RPC method. aria2 reads the envelope's members by name; Korvath has
// always written "id" first for addUri and after "method" for the others, and
// the bodies are compared byte for byte, so the place is part of the method.
struct Aria2Method {
  std::string_view name;
  bool id_first = false;
};

namespace aria2_method {
inline constexpr Aria2Method kAddUri{"aria2.addUri", /*id_first=*/true};
inline constexpr Aria2Method kAddTorrent{"aria2.addTorrent"};
inline constexpr Aria2Method kAddMetalink{"aria2.addMetalink"};
inline constexpr Aria2Method kGetGlobalOption{"aria2.getGlobalOption"};
inline constexpr Aria2Method kSaveSession{"aria2.saveSession"};
inline constexpr Aria2Method kChangeGlobalOption{"aria2.changeGlobalOption"};
inline constexpr Aria2Method kChangeUri{"aria2.changeUri"};
inline constexpr Aria2Method kGetOption{"aria2.getOption"};
inline constexpr Aria2Method kGetUris{"aria2.getUris"};
inline constexpr Aria2Method kGetVersion{"aria2.getVersion"};
inline constexpr Aria2Method kGetGlobalStat{"aria2.getGlobalStat"};
inline constexpr Aria2Method kPauseAll{"aria2.pauseAll"};
inline constexpr Aria2Method kRemoveDownloadResult{"aria2.removeDownloadResult"};
inline constexpr Aria2Method kTellActive{"aria2.tellActive"};
inline constexpr Aria2Method kTellStatus{"aria2.tellStatus"};
inline constexpr Aria2Method kTellStopped{"aria2.tellStopped"};
inline constexpr Aria2Method kTellWaiting{"aria2.tellWaiting"};
inline constexpr Aria2Method kUnpause{"aria2.unpause"};
}  // namespace aria2_method

// aria2's option names, as its own command line and RPC spell them.
namespace aria2_option {
inline constexpr std::string_view kAllowOverwrite = "allow-overwrite";
inline constexpr std::string_view kAutoFileRenaming = "auto-file-renaming";
inline constexpr std::string_view kCheckIntegrity = "check-integrity";
inline constexpr std::string_view kSelectFile = "select-file";
inline constexpr std::string_view kConnectTimeout = "connect-timeout";
inline constexpr std::string_view kContinue = "continue";
inline constexpr std::string_view kDir = "dir";
inline constexpr std::string_view kFollowTorrent = "follow-torrent";
inline constexpr std::string_view kHeader = "header";
inline constexpr std::string_view kMaxConcurrentDownloads = "max-concurrent-downloads";
inline constexpr std::string_view kMaxConnectionPerServer = "max-connection-per-server";
inline constexpr std::string_view kMaxTries = "max-tries";
inline constexpr std::string_view kMinSplitSize = "min-split-size";
inline constexpr std::string_view kOut = "out";
inline constexpr std::string_view kPause = "pause";
inline constexpr std::string_view kSplit = "split";
inline constexpr std::string_view kTimeout = "timeout";
inline constexpr std::string_view kUserAgent = "user-agent";
}  // namespace aria2_option

// Options in the order they are set. aria2 takes every option value as a
// string, numbers and switches included.
class Aria2Options {
 public:
  Aria2Options& Set(std::string_view name, std::string_view value);
  Aria2Options& Set(std::string_view name, std::int64_t value);  // decimal
  Aria2Options& SetSwitch(std::string_view name, bool on);       // "true" / "false"

  const std::vector<std::pair<std::string, std::string>>& Entries() const { return entries_; }

 private:
  std::vector<std::pair<std::string, std::string>> entries_;
};

// One request: the method, "token:" + the secret as the first parameter, then
// the parameters in the order they are added. Texts are sent in the bytes
// they are given (UTF-8 or system text), only escaped.
class Aria2Request {
 public:
  Aria2Request(const Aria2Method& method, std::string_view secret);
  ~Aria2Request();
  Aria2Request(Aria2Request&&) noexcept;
  Aria2Request& operator=(Aria2Request&&) noexcept;

  Aria2Request& AddText(std::string_view text);
  Aria2Request& AddNumber(std::int64_t number);
  // A JSON array of strings.
  Aria2Request& AddTexts(const std::vector<Text>& texts);
  Aria2Request& AddTexts(const std::vector<std::string>& texts);
  Aria2Request& AddOptions(const Aria2Options& options);  // a JSON object of strings

  // The body as it goes on the wire: compact JSON, no spaces.
  std::string Body() const;

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

// `value` written as the inside of a JSON string: quote, backslash and control
// characters escaped; other bytes (UTF-8 or system text) kept as they are.
std::string JsonStringContent(std::string_view value);

}  // namespace korvath
