// What the system asks of the application: Apple events (get-URL, open,
// reopen, quit), the application's delegate that answers them, and the
// Services menu's requests (NSAppleEventManager, NSApplicationDelegate,
// NSApplication's services provider).
#pragma once

#include "platform/desktop/values.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

inline constexpr uint32_t INTERNET_EVENT_CLASS = fourCharCode("GURL");   // and event id
inline constexpr uint32_t CORE_EVENT_CLASS = fourCharCode("aevt");
inline constexpr uint32_t QUIT_EVENT_ID = fourCharCode("quit");
inline constexpr uint32_t REOPEN_EVENT_ID = fourCharCode("rapp");
inline constexpr uint32_t OPEN_DOCUMENTS_EVENT_ID = fourCharCode("odoc");

// The attributes of an Apple event that the host reads.
struct AppleEvent {
    uint32_t eventClass = 0;
    uint32_t eventID = 0;
    std::optional<std::string> directObject;   // keyword '----', as a string
    std::optional<int32_t> senderPid;          // attribute 'spid'
    std::optional<uint32_t> quitReason;        // attribute 'why?'
    bool operator==(const AppleEvent&) const = default;
};

using AppleEventHandler = std::function<void(const AppleEvent&)>;

enum class TerminateReply { cancel = 0, now = 1, later = 2 };

// The application's delegate. A missing member behaves as AppKit's default:
// opened URLs are dropped, a reopen is handled, a quit terminates now.
// The platform never ends the process itself: a quit answered now (by
// shouldTerminate, or by its absence) calls `terminate`, and with no
// `terminate` the quit is answered and nothing else happens.
struct ApplicationDelegate {
    std::function<void(const std::vector<std::string>& urls)> openURLs;
    std::function<bool(bool hasVisibleWindows)> shouldHandleReopen;
    std::function<TerminateReply()> shouldTerminate;
    // The quit was answered now: the host ends itself, in order.
    std::function<void()> terminate;
};

// A Services request: the message the service names ("openFiles"), its user
// data, and the file URLs on its pasteboard (other pasteboard items left out).
struct ServicesRequest {
    std::string message;
    std::optional<std::string> userData;
    std::vector<std::string> fileURLs;
};
// Answers a request: an error text for the system, or nothing on success.
using ServicesProvider = std::function<std::optional<std::string>(const ServicesRequest&)>;

// Every call is made on the main thread; handlers run on the main queue.
class ApplicationEvents {
public:
    virtual ~ApplicationEvents() = default;

    // The get-URL ('GURL'/'GURL') handler (nullptr removes it). Without one,
    // get-URL events reach the delegate's openURLs.
    virtual void setGetURLHandler(AppleEventHandler handler) = 0;
    // The Apple event being handled, while a handler or delegate call runs.
    virtual std::optional<AppleEvent> currentAppleEvent() = 0;
    virtual void setApplicationDelegate(ApplicationDelegate delegate) = 0;
    // Makes the host the application's services provider (nullptr: none).
    virtual void setServicesProvider(ServicesProvider provider) = 0;
};

// The application events of this process's desktop (see platform/desktop.h).
ApplicationEvents& applicationEvents();

} // namespace platform
