// URLs that reach the application from outside: the get-URL event, URLs and
// link files opened with the application, and the host socket's requests.
// Each goes to the shell when its scheme is the application's, or, for a
// link file of a relayed scheme, to whichever application claims it.
#pragma once

#include "links/focus_return.h"
#include "platform/desktop/application_events.h"

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string>
#include <sys/types.h>

namespace kestrune::links {

// The longest parent chain written for a sender.
inline constexpr std::size_t SENDER_CHAIN_LIMIT = 32;

class URLReceiver {
public:
    // `opensLog`: where every arrival is recorded (the descriptor's "opens"),
    // if anywhere; `identity`: the application's, for those records.
    // Links of the application's schemes are told to `focusReturn`.
    URLReceiver(std::string identity, std::optional<std::string> opensLog, FocusReturn& focusReturn);
    URLReceiver(const URLReceiver&) = delete;
    URLReceiver& operator=(const URLReceiver&) = delete;

    // When the application has URL schemes, makes this receiver the get-URL
    // event's handler, for the process's life.
    void handleTheGetURLEvent();

    // The get-URL event's handler.
    void openURL(const platform::AppleEvent& event);

    // One URL from any door, with the event it came with and the link file
    // it was read from, if any.
    void arrived(const std::string& url, const std::optional<platform::AppleEvent>& event, const std::optional<std::string>& file);

    // Who sent an event: {"pid", "path", "chain"}, the chain following real
    // parents upwards, at most SENDER_CHAIN_LIMIT entries;
    // {"pid": null, "chain": []} without a positive sender.
    static nlohmann::json sender(const std::optional<platform::AppleEvent>& event);
    static std::optional<std::string> executable(pid_t pid);
    static std::optional<pid_t> parent(pid_t pid);

private:
    std::string identity_;
    std::optional<std::string> opensLog_;
    FocusReturn& focusReturn_;
};

} // namespace kestrune::links
