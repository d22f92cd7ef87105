// The badge panel: one small rounded label that floats above every window,
// takes no clicks and never activates the host, made on the first badge and
// reused for every later one.
#pragma once

#include "overlays/badge.h"

#include "platform/desktop/panels.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace platform {
class Timer;
}

namespace kestrune::overlays {

class BadgeOwner {
public:
    BadgeOwner();
    ~BadgeOwner();
    BadgeOwner(const BadgeOwner&) = delete;
    BadgeOwner& operator=(const BadgeOwner&) = delete;

    // A "badge" message line, read on the main thread.
    void showLine(std::string_view line);
    // Puts the badge over the target's front window for `ms` milliseconds;
    // nothing when the target has no window on screen or there is no screen.
    void show(const Badge& badge);
    // A new badge panel.
    platform::PanelId made();

    std::optional<platform::PanelId> panel() const { return panel_; }
    uint64_t generation() const { return generation_; }

private:
    std::optional<platform::PanelId> panel_;
    uint64_t generation_ = 0;
    // The newest badge's hide timer. Replacing it cancels the older one,
    // which would have found a newer generation and left the panel alone
    // anyway.
    std::unique_ptr<platform::Timer> hideTimer_;
};

// The look of the badge panel.
platform::PanelStyle badgePanelStyle();

} // namespace kestrune::overlays
