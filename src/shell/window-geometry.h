// Window placement in the integer pixels the windows' templates use.
#pragma once

typedef struct _GtkWindow GtkWindow;
typedef struct _GtkWidget GtkWidget;
typedef struct _GtkOverlay GtkOverlay;

namespace korvath {

struct Rect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  bool operator==(const Rect&) const = default;
};

// Width and height of the primary screen.
struct ScreenSize {
  int width = 0;
  int height = 0;
};
ScreenSize PrimaryScreenSize();

// The work area (the monitor less its panels) of the monitor that holds the
// centre of `window`, or the nearest one; the primary one's before any
// window exists.
Rect WorkAreaAt(const Rect& window);

// The outer rectangle of a window: its frame when the window manager draws
// one, else the window itself. Before the window is mapped, the position
// last asked for and the size it was given.
Rect OuterRect(GtkWindow* window);

// Moves the window's outer top-left corner; a move to where it already is
// does nothing, so it raises no position-changed event.
void MoveWindowTo(GtkWindow* window, int left, int top);

// Truncation toward zero of a double-precision result, as every geometry
// formula of the windows asks.
int Truncate(double value);

// Template controls: children of a GtkOverlay placed at fixed rectangles.
// Overlay children do not count toward the window's size, so a control may
// reach past the window's edge (the loading cover does) without growing a
// window that must keep its template size.
void PlaceControl(GtkOverlay* overlay, GtkWidget* control, Rect rect);

// A placed control whose text no longer fits its rectangle (the desktop's
// text scale went up) grows to hold it, right and down from its corner.
// `before` is the control left of it in the same row, placed the same way,
// or nullptr: a control after one that grew keeps the template's gap to it.
// Text that fits leaves the template rectangle exactly as it is.
void GrowWithText(GtkWidget* control, GtkWidget* before = nullptr);

// Close and minimise boxes, no maximise: the window manager reads these when
// `window` is realized. A `resizable` window also keeps its borders' resizing.
void OfferCloseAndMinimiseOnly(GtkWindow* window, bool resizable = false);
void MoveControl(GtkWidget* control, Rect rect);
Rect ControlRect(GtkWidget* control);

}  // namespace korvath
