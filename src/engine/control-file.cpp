#include "engine/control-file.h"

#include <sys/stat.h>

#include <algorithm>

#include "util/file-io.h"

namespace korvath {
namespace {

// Version 1 files hold their numbers in network order, version 0 in the
// writer's own (little-endian on every machine Korvath runs on).
std::uint64_t Number(const unsigned char* at, int bytes, bool big_endian) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    const int index = big_endian ? i : bytes - 1 - i;
    value = (value << 8) | at[index];
  }
  return value;
}

// aria2 fetches and marks pieces in blocks of this size.
constexpr std::uint64_t kBlockLength = 16 * 1024;

// One past the last set bit of `bytes` bits, the most significant bit of the
// first byte first; 0 when none is set.
std::uint64_t LastSetBit(const unsigned char* bytes, std::uint64_t count) {
  for (std::uint64_t byte = count; byte-- > 0;) {
    if (bytes[byte] == 0) continue;
    int bit = 7;
    while (!((bytes[byte] >> (7 - bit)) & 1)) --bit;
    return byte * 8 + static_cast<std::uint64_t>(bit) + 1;
  }
  return 0;
}

bool Exists(const std::string& path, struct stat& info) { return ::lstat(path.c_str(), &info) == 0; }

}  // namespace

std::optional<ControlFileInfo> ReadControlFile(const std::string& path) {
  // Everything up to the bitfield: a few hundred bytes even for huge files
  // (one bit per piece), so a cap keeps a stray large file from being read.
  // A FIFO or device under the name is no control file aria2 wrote.
  constexpr std::size_t kMaxHeader = 1 << 20;
  const std::optional<std::string> data = ReadPlainFile(path, kMaxHeader).bytes;
  if (!data) return std::nullopt;

  std::size_t at = 0;
  auto take = [&](std::size_t bytes) -> const unsigned char* {
    if (data->size() - at < bytes) return nullptr;
    const auto* field = reinterpret_cast<const unsigned char*>(data->data()) + at;
    at += bytes;
    return field;
  };
  const unsigned char* version = take(2);
  if (!version || version[0] != 0 || version[1] > 1) return std::nullopt;
  const bool big = version[1] == 1;
  if (!take(4)) return std::nullopt;  // extension flags
  const unsigned char* hash_length = take(4);
  if (!hash_length || !take(Number(hash_length, 4, big))) return std::nullopt;
  const unsigned char* piece_length = take(4);
  const unsigned char* total_length = take(8);
  const unsigned char* upload_length = take(8);
  const unsigned char* bitfield_length = take(4);
  // A later, shorter field may still fit where an earlier one did not.
  if (!piece_length || !total_length || !upload_length || !bitfield_length) return std::nullopt;
  const std::uint64_t pieces_bytes = Number(bitfield_length, 4, big);
  const unsigned char* bitfield = take(pieces_bytes);
  if (!bitfield) return std::nullopt;

  const std::uint64_t piece = Number(piece_length, 4, big);
  const std::uint64_t total = Number(total_length, 8, big);
  if (piece == 0 || total > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
  ControlFileInfo info{.total_length = static_cast<std::int64_t>(total)};
  auto reach = [&](std::uint64_t end) {
    if (end > total) end = total;
    if (static_cast<std::int64_t>(end) > info.complete_end)
      info.complete_end = static_cast<std::int64_t>(end);
  };
  if (const std::uint64_t bit = LastSetBit(bitfield, pieces_bytes)) reach(bit * piece);
  // Whole pieces held; the last piece may be shorter than the others.
  std::uint64_t held = 0;
  for (std::uint64_t n = 0; n < pieces_bytes * 8; ++n) {
    if (!((bitfield[n / 8] >> (7 - n % 8)) & 1)) continue;
    const std::uint64_t start = n * piece;
    if (start < total) held += std::min(piece, total - start);
  }
  info.completed = static_cast<std::int64_t>(held);

  // Pieces still being fetched, one bit per block: with several connections
  // most of what aria2 holds is here until a piece is whole.
  const unsigned char* in_flight = take(4);
  if (!in_flight) return std::nullopt;
  for (std::uint64_t n = Number(in_flight, 4, big); n > 0; --n) {
    const unsigned char* index = take(4);
    const unsigned char* length = take(4);
    const unsigned char* blocks_length = take(4);
    const unsigned char* blocks = blocks_length ? take(Number(blocks_length, 4, big)) : nullptr;
    if (!index || !length || !blocks) return std::nullopt;
    const std::uint64_t start = Number(index, 4, big) * piece;
    if (const std::uint64_t bit = LastSetBit(blocks, Number(blocks_length, 4, big))) {
      const std::uint64_t end = start + bit * kBlockLength;
      const std::uint64_t piece_end = start + Number(length, 4, big);
      reach(end < piece_end ? end : piece_end);
    }
    // Blocks of a piece not yet whole count too: they are on disk.
    const unsigned char* b = blocks;
    std::uint64_t got = 0;
    for (std::uint64_t k = 0; k < Number(blocks_length, 4, big) * 8; ++k)
      if ((b[k / 8] >> (7 - k % 8)) & 1) got += kBlockLength;
    const std::uint64_t piece_size = Number(length, 4, big);
    info.completed += static_cast<std::int64_t>(std::min(got, piece_size));
  }
  if (info.completed > info.total_length) info.completed = info.total_length;
  return info;
}

PartialState PartialFileState(const std::string& file_path) {
  struct stat file {
  }, control{};
  const bool has_file = Exists(file_path, file);
  const bool has_control = Exists(file_path + kControlFileSuffix, control);
  if (!has_file && !has_control) return PartialState::kNone;
  if (!has_control) return PartialState::kWithoutControl;
  const std::optional<ControlFileInfo> info = ReadControlFile(file_path + kControlFileSuffix);
  if (!info) return PartialState::kDamaged;
  if (has_file && (!S_ISREG(file.st_mode) || file.st_size < info->complete_end))
    return PartialState::kDamaged;
  return PartialState::kContinuable;
}

}  // namespace korvath
