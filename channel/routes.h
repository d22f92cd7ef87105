// What the shell's messages ask of the host's owners: the requests the
// output reader makes of them, and the owners' entry points it hands them to.
#pragma once

#include "overlays/badge.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kestrune {

// Set once at start-up, false unless the shell is piped: the descriptor's
// "panel" is "host", its "hotkeys" is "child".
inline bool hostsTheChildsPanel = false;
inline bool childOwnsHotKeys = false;
// The "focus" value by which the shell says it replies to links.
inline const std::string FOCUS_REPLIES = "replies";

// One request per consumed message, carrying the message's parsed values.
struct PanelCalled { nlohmann::json call; };                 // {"panel": {...}}
struct HotKeysDeclared { nlohmann::json hotKeys; };          // {"hotkeys": [{...}]}
struct AppsWatchAsked {};                                    // {"watch":"apps"}
struct MenuDrawingAsked { nlohmann::json rows; };            // {"menu": [{...}]}
struct PopUpAsked {};                                        // {"popUp":true}
struct BadgeAsked { Badge badge; };                          // {"badge": {...}}
struct RepliesAnnounced {};                                  // {"focus":"replies"}
struct UrlReplied {                                          // {"url": ..., "result"|"error": ...}
    std::string url;
    std::optional<std::string> focus;
    std::optional<int32_t> panel;
};
using ChildRequest = std::variant<PanelCalled, HotKeysDeclared, AppsWatchAsked, MenuDrawingAsked, PopUpAsked, BadgeAsked,
                                  RepliesAnnounced, UrlReplied>;

// The owners' entry points, filled in at start-up as each owner comes to
// exist and read only on the main thread. A request for an owner that has
// none is dropped.
struct ChildMessageOwners {
    std::function<void(const nlohmann::json& call)> panelHostCall;
    std::function<void(const nlohmann::json& hotKeys)> childHotKeysTake;
    std::function<void()> appsWatchStart;
    std::function<void(const nlohmann::json& rows)> menuOwnerDraw;
    std::function<void()> menuOwnerPopUpAtTheCursor;
    std::function<void(const Badge& badge)> badgeOwnerShow;
    // Sets `childReplies` of the focus-return owner to true.
    std::function<void()> focusReturnChildReplies;
    std::function<void(const std::string& url, const std::optional<std::string>& focus, const std::optional<int32_t>& panel)>
        focusReturnReplied;
};
inline ChildMessageOwners childMessageOwners;

// Hands one request to its owner; on the main thread.
void perform(const ChildRequest& request);

// Queues `requests` on the main queue, to be performed there in order.
void performOnTheMainQueue(std::vector<ChildRequest> requests);

} // namespace kestrune
