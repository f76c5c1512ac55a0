// AboutWindow's contents, apart from showing it: tests look at it in their
// own process.
#pragma once

#include <gtk/gtk.h>

#include "platform/event-log.h"
#include "shell/main-window.h"

namespace korvath {

// Builds the about window, not yet shown: the two donation pictures and the
// line of thanks at their template places, below them the program's name,
// version, licence and addresses. Escape closes it, as its close button does.
// Modal and transient for `parent` when one is given.
GtkWindow* BuildAboutWindow(GtkWindow* parent);

// Opens the about window modally over `main`; returns when it is closed.
void ShowAboutWindow(MainWindow& main, EventLog& log);

}  // namespace korvath
