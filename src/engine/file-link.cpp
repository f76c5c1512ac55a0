#include "engine/file-link.h"

#include <optional>

namespace korvath {
namespace {

struct LinkParts {
  std::string_view path;
  std::optional<std::string_view> fid;
};

LinkParts PartsOf(std::string_view link) {
  link = link.substr(0, link.find('#'));
  std::string_view query;
  if (const std::size_t mark = link.find('?'); mark != std::string_view::npos) {
    query = link.substr(mark + 1);
    link = link.substr(0, mark);
  }
  // After "scheme://", the host and port run to the first "/".
  if (const std::size_t scheme = link.find("://"); scheme != std::string_view::npos) {
    link = link.substr(scheme + 3);
    const std::size_t slash = link.find('/');
    link = slash == std::string_view::npos ? std::string_view() : link.substr(slash);
  }
  LinkParts parts{.path = link.empty() ? std::string_view("/") : link};
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    // The first "fid" decides, as a server reading the query would take it.
    if (pair.starts_with("fid=") || pair == "fid") {
      parts.fid = pair.size() > 4 ? pair.substr(4) : std::string_view();
      break;
    }
  }
  return parts;
}

}  // namespace

bool SameStoredFile(std::string_view a, std::string_view b) {
  const LinkParts one = PartsOf(a), other = PartsOf(b);
  return one.path == other.path && one.fid == other.fid;
}

bool LinksFetchStoredFile(const std::vector<Text>& uris, std::string_view link) {
  if (uris.empty()) return false;
  for (const Text& uri : uris) {
    if (!SameStoredFile(uri, link)) return false;
  }
  return true;
}

}  // namespace korvath
