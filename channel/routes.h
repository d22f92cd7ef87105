// What the shell's messages ask of the host's owners: the requests the
// output reader makes of them, and the owners' entry points it hands them to.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::channel {

// The "focus" value by which the shell says it replies to links.
inline const std::string FOCUS_REPLIES = "replies";

// Which owner a consumed message goes to.
enum class Route : std::uint8_t {
    panel,              // {"panel": {...}}
    hotKeys,            // {"hotkeys": [{...}]}
    appsWatch,          // {"watch":"apps"}
    menu,               // {"menu": [{...}]}
    popUp,              // {"popUp":true}
    badge,              // {"badge": {...}}
    repliesAnnounced,   // {"focus":"replies"}
    urlReply,           // {"url": ..., "result"|"error": ...}, copied too
};

// One consumed message: where it goes and its whole line, which the owner
// reads on the main thread when it acts on it.
struct ChildRequest {
    Route route;
    std::string_view line;
};

// The consumed messages of one read, in line order, their lines kept end to
// end in one buffer: handing a read's worth over costs two allocations, not
// one per message.
class ChildRequests {
public:
    ChildRequests() = default;
    ChildRequests(std::initializer_list<std::pair<Route, std::string_view>> requests);

    void add(Route route, std::string_view line);
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    ChildRequest operator[](std::size_t index) const;
    // The bytes of all the lines.
    std::size_t bytes() const { return lines_.size(); }
    void clear();

private:
    struct Entry {
        Route route;
        std::size_t offset;
        std::size_t length;
    };
    std::string lines_;
    std::vector<Entry> entries_;
};

// The most bytes of routed lines that may wait for the main loop: beyond it
// the reader stops reading until the main loop catches up, and the shell
// waits on its full pipe.
inline constexpr std::size_t MAIN_LOOP_BACKLOG = 8 * 1024 * 1024;

// What the router needs to know beyond the message itself, set once at
// start-up before the first shell is launched; all false unless the shell is
// piped.
struct RoutingSwitches {
    bool hostsTheChildsPanel = false;   // the descriptor's "panel" is "host"
    bool childOwnsHotKeys = false;      // its "hotkeys" is "child"
    bool drawsTheChildsMenu = false;    // its "menu" is "child"
    // Whether a message makes a badge (it is given the message's "badge"
    // member alone, as {"badge": ...}); called on the reader's thread.
    std::function<bool(const nlohmann::json& message)> makesABadge;
};
void setTheRoutingSwitches(RoutingSwitches switches);
const RoutingSwitches& routingSwitches();

// The owners' entry points, filled in at start-up as each owner comes to
// exist and read only on the main thread. Each is given the message's line.
// A request for an owner that has none is dropped.
struct ChildMessageOwners {
    std::function<void(std::string_view line)> panelHostCall;
    std::function<void(std::string_view line)> childHotKeysTake;
    std::function<void()> appsWatchStart;
    std::function<void(std::string_view line)> menuOwnerDraw;
    std::function<void()> menuOwnerPopUpAtTheCursor;
    std::function<void(std::string_view line)> badgeOwnerShow;
    // Sets `childReplies` of the focus-return owner to true.
    std::function<void()> focusReturnChildReplies;
    std::function<void(std::string_view line)> focusReturnReplied;
};
void setTheMessageOwners(ChildMessageOwners owners);

// Hands one request to its owner; on the main thread.
void perform(const ChildRequest& request);

// Queues `requests` on the main queue, to be performed there in order. Off
// the main thread it returns only once no more than MAIN_LOOP_BACKLOG bytes
// wait there.
void performOnTheMainQueue(ChildRequests requests);

// The bytes of routed lines queued and not yet performed.
std::size_t mainLoopBacklog();

} // namespace kestrune::channel
