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
    // Records written before places were kept have none: those downloads
    // are checked by path, as they were.
    DownloadPlace place;
    if (json.GetType(at + ".folder") == kJsonString)
      place.folder = ParseIdentityText(GbkToUtf8(json.GetProperty(at + ".folder")));
    if (json.GetType(at + ".file") == kJsonString)
      place.file = ParseIdentityText(GbkToUtf8(json.GetProperty(at + ".file")));
    sizes_.push_back({GbkToUtf8(json.GetProperty(at + ".path")), json.GetProperty(at + ".size"), place});
  }
}

auto StatedSizes::Find(const std::string& key) -> std::vector<Entry>::iterator {
  return std::find_if(sizes_.begin(), sizes_.end(), [&](const Entry& each) { return each.path == key; });
}

auto StatedSizes::Find(const std::string& key) const -> std::vector<Entry>::const_iterator {
  return std::find_if(sizes_.begin(), sizes_.end(), [&](const Entry& each) { return each.path == key; });
}

void StatedSizes::Remember(const std::string& file_path, const std::optional<StatedSize>& size,
                           bool continues) {
  const std::string key = Key(file_path);
  DownloadPlace place;
  if (auto earlier = Find(key); continues && earlier != sizes_.end()) place = earlier->place;
  // Taken now, before aria2 may even have the task: a folder swapped after
  // the click is then not taken for the download's.
  if (!place.folder) place.folder = PlaceNow(key).folder;
  std::erase_if(sizes_, [&](const Entry& entry) { return entry.path == key; });
  sizes_.push_back({key, size ? size->shown : Text(), place});
  lengthless_.erase(key);
  if (size)
    awaiting_length_.insert(key);
  else
    awaiting_length_.erase(key);
  if (!place.file)
    awaiting_place_.insert(key);
  else
    awaiting_place_.erase(key);
  if (sizes_.size() > kMaxFiles) sizes_.erase(sizes_.begin(), sizes_.end() - kMaxFiles);
  Save();
}

void StatedSizes::Forget(const std::string& file_path) {
  const std::string key = Key(file_path);
  awaiting_length_.erase(key);
  awaiting_place_.erase(key);
  lengthless_.erase(key);
  if (std::erase_if(sizes_, [&](const Entry& entry) { return entry.path == key; }) > 0) Save();
}

std::optional<StatedSize> StatedSizes::KnownSize(const std::string& file_path) const {
  auto entry = Find(Key(file_path));
  if (entry == sizes_.end()) return std::nullopt;
  return ParseSizeText(entry->shown);
}

std::optional<DownloadPlace> StatedSizes::PlaceOf(const std::string& file_path) const {
  auto entry = Find(Key(file_path));
  if (entry == sizes_.end()) return std::nullopt;
  return entry->place;
}

void StatedSizes::NoteWriting(const std::string& file_path) {
  const std::string key = Key(file_path);
  if (awaiting_place_.erase(key) == 0) return;
  auto entry = Find(key);
  if (entry == sizes_.end()) return;
  const DownloadPlace now = PlaceNow(key);
  // Another folder than the click's: what is there is not the download's,
  // and the check at the end says so.
  if (entry->place.folder && now.folder != entry->place.folder) return;
  entry->place = now;
  Save();
}

ArrivalVerdict StatedSizes::Verdict(Desktop& desktop, const Text& gid, const std::string& file_path) {
  if (auto known = verdicts_.find(gid); known != verdicts_.end()) return known->second;
  const std::string key = Key(file_path);
  auto entry = Find(key);
  const bool described = entry != sizes_.end();
  const Text shown = described ? entry->shown : Text();
  const DownloadPlace place = described ? entry->place : DownloadPlace();
  const bool length_unknown = lengthless_.contains(key);
  ArrivalVerdict verdict =
      CheckArrivedFile(described ? ParseSizeText(shown) : std::nullopt, key, length_unknown, place);
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
    json.SetProperty(at + ".path", Utf8ToGbk(sizes_[i].path));
    json.SetProperty(at + ".size", sizes_[i].shown);
    if (sizes_[i].place.folder)
      json.SetProperty(at + ".folder", Utf8ToGbk(IdentityText(sizes_[i].place.folder)));
    if (sizes_[i].place.file) json.SetProperty(at + ".file", Utf8ToGbk(IdentityText(sizes_[i].place.file)));
  }
  // Not kept is not lost: the download is then only left unchecked.
  WriteFileAtomically(record_path_, GbkToUtf8(json.ToJson()) + "\n");
}

}  // namespace korvath
