// The look every Korvath window shares: template controls that fit their
// pixel rectangles, the loading label and the cover over the page.
#pragma once

namespace korvath {

// Installs the shared styles once per screen.
void InstallShellStyles();

}  // namespace korvath
