// Which stored file a share link fetches. The share page hands out a fresh
// link for the same file each time it is opened: another host, another
// signature, another expiry time. What stays is the file's path on the
// storage service and its "fid" parameter, so those two name the file.
#pragma once

#include <string_view>
#include <vector>

#include "util/text.h"

namespace korvath {

// Whether `a` and `b` fetch the same stored file: their paths agree byte for
// byte, and so does their "fid" parameter, or neither has one. The scheme,
// the host, the port and every other parameter do not count.
bool SameStoredFile(std::string_view a, std::string_view b);

// Whether every address of a download (as aria2 lists them) fetches the file
// `link` fetches. A download whose addresses are not known is never the same
// file: a name and a size alone do not make one.
bool LinksFetchStoredFile(const std::vector<Text>& uris, std::string_view link);

}  // namespace korvath
