// The updater's rows at the foot of the menu. They appear only for an
// application with an update feed; without one they add nothing and take
// no pick.
#pragma once

#include "platform/desktop/status_bar.h"

#include <optional>
#include <string>

namespace kestrune::menu {

// Appends the updater's rows to the drawn menu, after the shell's.
void appendTheUpdaterRows(platform::Menu& menu);

// True when the identifier is one of the updater's rows and the pick was
// handled here; such picks never reach the shell.
bool pickedTheUpdaterRow(const std::string& identifier);

} // namespace kestrune::menu
