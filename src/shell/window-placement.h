// Where the windows go on screens of every size: the manager beside the main
// window where the two fit, and never a window past an edge of the work area
// (the monitor less its panels).
#pragma once

#include "shell/window-geometry.h"

namespace korvath {

// The main window's left edge when the manager opens: a band of 200 pixels
// stays free at the work area's right edge after the two windows. Where that
// would push the main window past the left edge, it goes to that edge; the
// manager then docks beside it, or over its right part when the two are
// wider than the work area.
int MainLeftForManager(const Rect& main, const Rect& manager, const Rect& work);

// The manager docked to the main window's right edge, moved left and up or
// down as far as it takes to stay inside `work`; where it then lies over the
// main window, below that window's buttons.
Rect DockedManager(const Rect& main, const Rect& manager, const Rect& work);

// `window` moved, not resized, to lie inside `work`; a window larger than the
// work area keeps its top-left corner (and so its title bar) inside it.
Rect KeptInside(const Rect& window, const Rect& work);

}  // namespace korvath
