#include "menu/updater.h"

namespace kestrune::menu {

// No application has an update feed yet: the updater and its rows come
// with the feed, and until then the menu ends with the shell's rows.
void appendTheUpdaterRows(platform::Menu&)
{
}

// Without updater rows every pick belongs to the shell.
bool pickedTheUpdaterRow(const std::string&)
{
    return false;
}

} // namespace kestrune::menu
