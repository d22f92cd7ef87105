// The requests of the process that hosts the menu, one per line on the host
// socket: refresh the published menu, hand over a URL, or invoke a row.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace kestrune::socket {

// The longest URL a request may hand over, in UTF-8 bytes: the same bound
// as a link file's, so that no door takes a longer URL than another.
inline constexpr std::size_t HOST_URL_LIMIT = 32768;

// How deep a request may nest. Requests are flat; nesting only ever comes
// in members that are ignored, and parsing stops at this depth.
inline constexpr int REQUEST_NESTING_LIMIT = 32;

// What the requests need from the subsystems above the socket, set once at
// start-up. A seam left empty answers as though its owner did not exist yet:
// no menu drawn, no row, no URL of ours, no shell.
struct HostRequestSeams {
    // The menu owner: whether it has drawn the shell's menu at least once.
    std::function<bool()> drawnOnce;
    // The menu owner: writes the published menu again; whether it was written.
    std::function<bool()> publish;
    // The menu owner: the current title of the row the shell lists under
    // `id`, when there is such a row and its title is a string.
    std::function<std::optional<std::string>(const std::string& id)> titleOf;
    // The menu owner: sends the shell the pick of row `id`; whether the
    // shell's inbox took it.
    std::function<bool(const std::string& id)> send;
    // The links: whether `url` has a scheme and it is one of the
    // application's (compared without letter case).
    std::function<bool(const std::string& url)> isOneOfOurURLs;
    // The links: takes an accepted URL as one that arrived from outside,
    // with no event and no file, to be delivered to the shell.
    std::function<void(const std::string& url)> arrived;
    // The shell's process id while its process is running.
    std::function<std::optional<pid_t>()> runningShell;
};

// Start-up: the seams every later request goes through. On the main thread.
void setTheHostRequestSeams(HostRequestSeams seams);

// The reply to one request line, given without its line feed. Any bytes are
// a request: what is not a JSON object is answered {"error":"not-json"}.
// On the main thread.
nlohmann::ordered_json answer(std::string_view line);

// `reply` as it goes back on the socket: compact, its keys in the order
// they were put in, any text that is not UTF-8 replaced, then a line feed.
std::string replyLine(const nlohmann::ordered_json& reply);

} // namespace kestrune::socket
