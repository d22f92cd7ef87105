#include "overlays/badge_owner.h"

#include "overlays/window_location.h"

#include "platform/desktop.h"
#include "platform/json_line.h"
#include "platform/main_queue.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>

namespace kestrune::overlays {

namespace {
// Longer than any badge is meant to stay, and short enough for the clock's
// arithmetic: about 95 years.
constexpr int64_t LONGEST_BADGE_MS = 3'000'000'000'000;
// The reader let the line through only when it parsed within this depth.
constexpr int MESSAGE_DEPTH_LIMIT = 1024;
}

platform::PanelStyle badgePanelStyle()
{
    platform::PanelStyle style;
    style.width = badgeSize.width;
    style.height = badgeSize.height;
    style.nonactivating = true;
    style.level = platform::STATUS_WINDOW_LEVEL;
    style.floating = true;
    style.ignoresMouseEvents = true;
    style.hidesOnDeactivate = false;
    style.opaque = false;
    style.hasShadow = true;
    style.collectionBehavior =
        platform::COLLECTION_CAN_JOIN_ALL_SPACES | platform::COLLECTION_TRANSIENT | platform::COLLECTION_IGNORES_CYCLE;
    style.cornerRadius = badgeSize.height / 2;
    style.background = "black 0.78";
    style.fontSize = 14;
    style.fontWeight = platform::FONT_WEIGHT_SEMIBOLD;
    return style;
}

BadgeOwner::BadgeOwner() = default;
BadgeOwner::~BadgeOwner() = default;

void BadgeOwner::showLine(std::string_view line)
{
    platform::assertOnTheMainThread("BadgeOwner::showLine");
    auto message = platform::objectWithin(line, MESSAGE_DEPTH_LIMIT);
    if (!message)
        return;
    if (auto badge = badgeOf(*message))
        show(*badge);
}

void BadgeOwner::show(const Badge& badge)
{
    platform::assertOnTheMainThread("BadgeOwner::show");
    auto window = frontWindowOf(badge.pid);
    if (!window)
        return;
    auto screens = platform::windowServer().screens();
    if (screens.empty())
        return;
    // Window-server coordinates grow downwards from the top of the first
    // screen; the panel's grow upwards from its bottom.
    const double height = screens.front().frame.height;
    const platform::Rect f = badgeFrame(*window);
    if (!panel_)
        panel_ = made();
    auto& panels = platform::panels();
    panels.setPanelText(*panel_, badge.text);
    panels.setPanelFrame(*panel_, {f.x, height - (f.y + f.height), f.width, f.height});
    panels.orderPanelFrontRegardless(*panel_);

    const uint64_t shown = ++generation_;
    const int64_t ms = std::clamp<int64_t>(badge.ms, 0, LONGEST_BADGE_MS);
    hideTimer_ = platform::after(std::chrono::milliseconds(ms), [this, shown] {
        if (generation_ == shown && panel_)
            platform::panels().orderPanelOut(*panel_);
    });
}

platform::PanelId BadgeOwner::made()
{
    platform::assertOnTheMainThread("BadgeOwner::made");
    platform::PanelId made = platform::panels().makePanel(badgePanelStyle());
    platform::panels().setPanelText(made, "");
    return made;
}

} // namespace kestrune::overlays
