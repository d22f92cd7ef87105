// Desktop entries, the freedesktop.org files that autostart is made of:
// writing string values and command lines, reading the main group back.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

// Where autostart entries live: $XDG_CONFIG_HOME/autostart, or
// ~/.config/autostart when that variable is unset, empty or not an absolute
// path.
std::string autostartFolder();

// The keys of an entry's [Desktop Entry] group with their values unescaped.
using DesktopEntryKeys = std::map<std::string, std::string>;

// `text` as a string value: backslash, newline, tab and carriage return
// escaped, and a space at either end written "\s" so readers keep it.
std::string desktopEntryValue(std::string_view text);

// A string value as readers see it, the escapes above undone; an unknown
// escape is kept as written.
std::string unescapedDesktopEntryValue(std::string_view value);

// The command line that runs `arguments` (program first) from an Exec key,
// before the string-value escaping: an argument with a reserved character
// (or an empty one) goes between double quotes with ", `, $ and \ escaped,
// and every % is doubled so that none reads as a field code.
std::string execCommandOf(const std::vector<std::string>& arguments);

// The [Desktop Entry] group of `text`. Comments, blank lines, other groups
// and localised keys ("Name[de]") are skipped; of a repeated key the last
// counts, as desktops read it.
DesktopEntryKeys desktopEntryKeysOf(std::string_view text);

// True when `value` is a desktop-entry boolean that reads as `wanted`
// ("true"/"false", and "1"/"0" which desktops accept too).
bool desktopEntryBooleanIs(const std::string& value, bool wanted);

// The keys and values in `entry` by which the user switched it off
// ("Hidden=true", "X-GNOME-Autostart-enabled=false" and the other desktops'
// "X-…-Autostart-enabled"); empty when the entry is on.
std::vector<std::pair<std::string, std::string>> switchOffKeysIn(const DesktopEntryKeys& entry);

} // namespace platform
