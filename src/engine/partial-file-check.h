// A download added again after a restart must not find bytes aria2 would
// take on trust: with "continue" on, aria2 counts a file without a control
// file as downloaded up to its length, and a control file as the truth about
// the file beside it. When either was lost or cut while Korvath was closed,
// the missing part would stay zeros and the file would still be "complete".
#pragma once

#include <functional>
#include <string>

namespace korvath {

struct PartialFileCheck {
  enum Outcome {
    kFine,            // nothing there, or a partial file its control file describes
    kSetAside,        // moved out of the way: the download starts from byte 0
    kCannotSetAside,  // still in the way: the download must not be added
  };
  Outcome outcome = kFine;
  std::string kept_as;  // kSetAside: where the old partial file is now; "" when only a control file was there
  int error = 0;        // kCannotSetAside: the errno that stopped it
};

// Looks at the file a download writes (`file_path`, UTF-8) and its control
// file. A file without a control file, a control file that cannot be read,
// or one that promises more than the file holds: the file is renamed to the
// first free name beside it (FreeFileName; `taken` says which paths other
// downloads own) and the control file removed. An empty file without a
// control file holds nothing to take on trust and is left where it is.
PartialFileCheck ClearUncontinuablePartialFile(const std::string& file_path,
                                               const std::function<bool(const std::string& path)>& taken);

}  // namespace korvath
