#include "shell/window-placement.h"

#include <algorithm>

#include "shell/window-geometry.h"

namespace korvath {
namespace {

// The main window's buttons lie above this line.
constexpr int kButtonStrip = 50;

// `low` wins over `high`: a window too big to fit keeps its corner, and so
// its title bar, on the screen.
int Within(int value, int low, int high) { return std::max(low, std::min(value, high)); }

Rect At(Rect r, int top) {
  r.top = top;
  return r;
}

}  // namespace

int MainLeftForManager(const Rect& main, const Rect& manager, const Rect& work) {
  const int left = Truncate(double(work.left) + work.width - manager.width - main.width - 200);
  return std::max(work.left, left);
}

Rect DockedManager(const Rect& main, const Rect& manager, const Rect& work) {
  Rect docked = manager;
  docked.left = main.left + main.width;
  docked.top = main.top;
  docked = KeptInside(docked, work);
  // Over the main window, it leaves the button strip free: 下载管理 there
  // is how the user closes it again.
  if (docked.left < main.left + main.width) docked = KeptInside(At(docked, main.top + kButtonStrip), work);
  return docked;
}

Rect KeptInside(const Rect& window, const Rect& work) {
  Rect kept = window;
  kept.left = Within(window.left, work.left, work.left + work.width - window.width);
  kept.top = Within(window.top, work.top, work.top + work.height - window.height);
  return kept;
}

}  // namespace korvath
