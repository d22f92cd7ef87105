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

namespace kestrune::overlays {
class PanelHost;
}

namespace kestrune::menu {

inline const std::string updateFeedKey = "SUFeedURL";
inline const std::string checkForUpdatesRow = "host.check-for-updates";
inline const std::string builtWithRow = "host.built-with-kestrune";
inline const std::string builtWithURL = "https://kestrune.dev";

// Whether a preferred language is Turkish, with or without a region.
bool isTurkish(const std::string& language);

class Updater {
public:
    // The feed (the Info.plist's non-empty SUFeedURL, for a frozen shell
    // only), the build, and whether the user's first language is Turkish.
    // The updater lives in the library that `views` loads.
    Updater(const nlohmann::json& info, bool frozen, overlays::PanelHost& views);
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    const std::optional<std::string>& updateFeed() const { return feed_; }
    bool speaksTurkish() const { return turkish_; }
    bool updaterStarted() const { return started_; }

    // Once, on the main queue after the main loop started: hands the feed to
    // the library's updater and records how that went.
    void startTheUpdaterOfTheFeed();

    // Appends the separator and the two updater rows to the drawn menu,
    // after the shell's; nothing without a feed.
    void appendTheUpdaterRows(platform::Menu& menu) const;

    // True when the identifier is one of the updater's rows and the pick was
    // handled here; such picks never reach the shell.
    bool pickedTheUpdaterRow(const std::string& identifier);

    // Asks the library's updater for a check now, recording the code with
    // who asked ("menu" or "shell"); nothing when the library or its entry
    // is missing.
    void checkForUpdatesFromTheMenu(const std::string& from = "menu");
    // The update-check signal: a check with the application brought
    // forward, or a record that it was ignored.
    void checkForUpdatesFromTheShell();

private:
    overlays::PanelHost& views_;
    std::optional<std::string> feed_;
    std::string build_;
    bool turkish_ = false;
    bool started_ = false;
};

} // namespace kestrune::menu
