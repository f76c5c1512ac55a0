#include "engine/stated-sizes.h"

#include <algorithm>
#include <filesystem>

#include "util/file-io.h"
#include "util/json-object.h"
#include "util/xdg-dirs.h"

namespace korvath {
namespace {

constexpr int kRecordVersion = 1;

std::string Key(const std::string& path) { return std::filesystem::path(path).lexically_normal().string(); }

}  // namespace

std::string StatedSizesPath() {
  const std::string base = XdgStateHome();
  return base.empty() ? std::string() : base + "/korvath/stated-sizes.json";
}

StatedSizes::StatedSizes(std::string record_path) : record_path_(std::move(record_path)) {
  if (record_path_.empty()) return;
  const std::optional<std::string> text = ReadWholeFile(record_path_);
  JsonObject json;
  if (!text || !json.Parse(Utf8ToGbk(*text)) || json.GetType("version") != kJsonNumber ||
      json.GetNumber("version") != kRecordVersion || json.GetType("files") != kJsonArray) {
    return;
  }
  const std::int64_t count = json.Count("files");
  for (std::int64_t i = 0; i < count; ++i) {
    const Text at = "files[" + ToText(i) + "]";
    if (json.GetType(at + ".path") != kJsonString || json.GetType(at + ".size") != kJsonString) continue;
    sizes_.emplace_back(GbkToUtf8(json.GetProperty(at + ".path")), json.GetProperty(at + ".size"));
  }
}

void StatedSizes::Remember(const std::string& file_path, const std::optional<StatedSize>& size) {
  const std::string key = Key(file_path);
  std::erase_if(sizes_, [&](const auto& entry) { return entry.first == key; });
  sizes_.emplace_back(key, size ? size->shown : Text());
  lengthless_.erase(key);
  if (size) awaiting_length_.insert(key);
  else awaiting_length_.erase(key);
  if (sizes_.size() > kMaxFiles) sizes_.erase(sizes_.begin(), sizes_.end() - kMaxFiles);
  Save();
}

void StatedSizes::Forget(const std::string& file_path) {
  const std::string key = Key(file_path);
  awaiting_length_.erase(key);
  lengthless_.erase(key);
  if (std::erase_if(sizes_, [&](const auto& entry) { return entry.first == key; }) > 0) Save();
}

std::optional<StatedSize> StatedSizes::KnownSize(const std::string& file_path) const {
  const std::string key = Key(file_path);
  auto entry = std::find_if(sizes_.begin(), sizes_.end(), [&](const auto& each) { return each.first == key; });
  if (entry == sizes_.end()) return std::nullopt;
  return ParseSizeText(entry->second);
}

ArrivalVerdict StatedSizes::Verdict(Desktop& desktop, const Text& gid, const std::string& file_path) {
  if (auto known = verdicts_.find(gid); known != verdicts_.end()) return known->second;
  const std::string key = Key(file_path);
  auto entry = std::find_if(sizes_.begin(), sizes_.end(), [&](const auto& each) { return each.first == key; });
  const bool described = entry != sizes_.end();
  const Text shown = described ? entry->second : Text();
  const bool length_unknown = lengthless_.contains(key);
  ArrivalVerdict verdict =
      CheckArrivedFile(described ? ParseSizeText(shown) : std::nullopt, key, length_unknown);
  if (!described && !verdict.missing()) return verdicts_[gid] = {.size = verdict.size};
  desktop.Log().Record("arrival_checked", {{"gid", gid},
                                           {"path", key},
                                           {"stated", shown},
                                           {"got", verdict.size},
                                           {"length_unknown", length_unknown},
                                           {"kind", verdict.kind}});
  if (described) Forget(key);
  return verdicts_[gid] = verdict;
}

void StatedSizes::NoteLength(const std::string& file_path, bool server_sent_length) {
  const std::string key = Key(file_path);
  if (awaiting_length_.erase(key) == 0) return;
  if (!server_sent_length) lengthless_.insert(key);
}

void StatedSizes::Save() const {
  if (record_path_.empty()) return;
  JsonObject json;
  json.SetNumber("version", kRecordVersion);
  json.SetPropertyExpr("files", "[]");
  for (std::size_t i = 0; i < sizes_.size(); ++i) {
    const Text at = "files[" + ToText(static_cast<std::int64_t>(i)) + "]";
    json.Push("{}", "files", /*expression=*/true);
    json.SetProperty(at + ".path", Utf8ToGbk(sizes_[i].first));
    json.SetProperty(at + ".size", sizes_[i].second);
  }
  // Not kept is not lost: the download is then only left unchecked.
  WriteFileAtomically(record_path_, GbkToUtf8(json.ToJson()) + "\n");
}

}  // namespace korvath
