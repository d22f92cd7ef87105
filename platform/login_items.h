// Login items: the launch agents a bundle ships in Contents/Library/LaunchAgents,
// started when the user logs in. How the system keeps a registration is the
// system's own (on Linux an autostart entry, platform/linux/login_items.cpp).
#pragma once

#include "platform/bundle.h"
#include "platform/result.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

enum class AgentStatus {
    notRegistered,      // no entry, or one that starts another copy of the application
    enabled,            // an entry that starts this bundle's agent
    requiresApproval,   // an entry the user switched off
    notFound,           // the property list is not in the bundle
};

// The bundle's Contents/Library/LaunchAgents.
std::string launchAgentsFolder(const Bundle& bundle);

// One launch agent of a bundle as a login item.
class AgentService {
public:
    // The agent whose property list is `plistName` in the bundle's
    // Contents/Library/LaunchAgents.
    AgentService(const Bundle& bundle, std::string plistName);

    const std::string& plistName() const { return plistName_; }

    // Where the system keeps this agent's registration.
    std::string entryPath() const;

    // Registers the agent, so that it starts at login. A registration the
    // user switched off stays switched off.
    Result<void> registerTheAgent() const;

    // Removes the agent's registration, whichever copy of the application
    // it starts. Succeeds also when there was none.
    Result<void> unregisterTheAgent() const;

    AgentStatus status() const;

private:
    std::string plistPath() const;

    std::string bundlePath_;
    std::string agentsFolder_;
    std::string identity_;
    std::string displayName_;
    std::string plistName_;
};

} // namespace platform
