// The updater: an application whose shell is frozen into its own executable
// and whose Info.plist names a feed updates itself through the updater that
// lives in the views library. The host starts it with the feed, offers two
// rows at the foot of the menu, and asks it for a check when the user picks
// the first row or the host gets the update-check signal. Every step is a
// record in the host's death log. Without a feed none of this exists.
#pragma once

#include "platform/desktop/status_bar.h"

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string>

namespace kestrune::menu {

inline const std::string updateFeedKey = "SUFeedURL";
inline const std::string checkForUpdatesRow = "host.check-for-updates";
inline const std::string builtWithRow = "host.built-with-kestrune";
inline const std::string builtWithURL = "https://kestrune.dev";

// Start-up: the feed (the Info.plist's non-empty SUFeedURL, for a frozen
// shell only), the build, and whether the user's first language is Turkish.
void setTheUpdaterValues(const nlohmann::json& info, bool frozen);
const std::optional<std::string>& updateFeed();
bool speaksTurkish();
bool updaterStarted();

// Whether a preferred language is Turkish, with or without a region.
bool isTurkish(const std::string& language);

// Once, on the main queue after the main loop started: hands the feed to the
// library's updater and records how that went.
void startTheUpdaterOfTheFeed();

// Appends the separator and the two updater rows to the drawn menu, after
// the shell's; nothing without a feed.
void appendTheUpdaterRows(platform::Menu& menu);

// True when the identifier is one of the updater's rows and the pick was
// handled here; such picks never reach the shell.
bool pickedTheUpdaterRow(const std::string& identifier);

// Asks the library's updater for a check now, recording the code with who
// asked ("menu" or "shell"); nothing when the library or its entry is
// missing.
void checkForUpdatesFromTheMenu(const std::string& from = "menu");
// The update-check signal: a check with the application brought forward, or
// a record that it was ignored.
void checkForUpdatesFromTheShell();

} // namespace kestrune::menu
