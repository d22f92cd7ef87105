// One topic of the desktop server (the workspace, the window server, ...):
// its state, its requests, and its part in what the session does as a whole.
#pragma once

#include "records.h"

#include <optional>
#include <string>

namespace desktop {

class Topic {
public:
    virtual ~Topic() = default;

    // Applies the topic's members of a session file; the reason when one is
    // wrong (the session may then be partly applied).
    virtual std::optional<std::string> load(const json&) { return std::nullopt; }
    // Adds the topic's members to the state.
    virtual void describe(json&) {}
    // Adds what the host drew and did in this topic to its record.
    virtual void describeHost(const HostRecord&, json&) {}
    // The host's connection ended: what it showed goes, what it did stays.
    virtual void hostLeft(HostRecord&) {}
    // The application with this process id terminated.
    virtual void applicationQuit(pid_t) {}
    // A connection of any role ended (after hostLeft for a host's).
    virtual void connectionClosed(const Connection&) {}
};

} // namespace desktop
