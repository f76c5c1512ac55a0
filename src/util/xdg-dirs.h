// The per-user base directories of the XDG rules, with one rule for all:
// a variable that is not an absolute path is ignored, and the fallback below
// $HOME is used only when $HOME itself is absolute.
#pragma once

#include <string>

namespace korvath {

// $XDG_STATE_HOME, else $HOME/.local/state; "" when neither is usable.
std::string XdgStateHome();

// $XDG_DATA_HOME, else $HOME/.local/share; "" when neither is usable.
std::string XdgDataHome();

}  // namespace korvath
