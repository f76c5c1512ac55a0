// What a setting saved from the manager's view changes in the running
// program before the next start. The rows of the settings table that say
// "now" are the ones acted on here.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/settings-file.h"

namespace korvath {

// What the running program does with each setting it can put to use at once.
class RunningSettings {
 public:
  virtual ~RunningSettings() = default;
  // The next download sends them, and aria2's next start gets them again.
  virtual void UseAria2Options(const std::map<std::string, std::string>& options) = 0;
  // The next task goes there; tasks already made keep their folder.
  virtual void UseDownloadFolder(const std::optional<std::string>& folder) = 0;
  virtual void UseRemoteFolder(const std::string& folder) = 0;
  virtual void UseNotifications(bool on) = 0;
  virtual void UseAppUrl(const std::string& url) = 0;
};

// Puts the saved values named in `changed` to use in `program`; returns the
// names of those it applied. A variable set for this run still wins, as it
// did at start.
std::vector<std::string> ApplySavedSettings(RunningSettings& program, const Settings& saved,
                                            const std::vector<std::string>& changed);

}  // namespace korvath
