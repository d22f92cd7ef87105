// What the desktop server keeps of its peers: their connections and, for
// hosts, the record that stays after they leave. Every topic reads them.
#pragma once

#include "platform/desktop.h"

#include <asio/local/stream_protocol.hpp>
#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <deque>
#include <string>

namespace desktop {

using nlohmann::json;
using Socket = asio::local::stream_protocol::socket;

// A views library is loaded inside a host process and connects by itself.
enum class Role { none, host, application, client, views };

// The role as the protocol and the log name it.
const char* nameOf(Role role);

struct Connection {
    explicit Connection(Socket s)
        : socket(std::move(s))
    {
    }
    uint64_t number = 0;
    Socket socket;
    std::array<char, 65536> buffer{};
    std::string inbound;
    bool discarding = false;
    std::deque<std::string> outbound;
    std::size_t outboundBytes = 0;
    std::string sending;       // the lines of the write under way
    bool writing = false;
    bool closed = false;
    Role role = Role::none;
    pid_t peerPid = 0;
    pid_t pid = 0;   // the application it speaks for
};

// A modal call of a host, answered when the user acts.
struct PendingCall {
    json request;      // the host's request
    json body;         // what is on screen
    int64_t since = 0;
};

// A host as the session knows it, connected or gone. What it drew and did
// is kept by the topics, under its connection number.
struct HostRecord {
    uint64_t connection = 0;
    platform::RunningApplication identity;
    bool connected = true;
    // It waits in a modal call (an alert or a pop-up menu).
    bool inModalCall = false;
    json answers = json::array();
    json malformed = json::array();
};

} // namespace desktop
