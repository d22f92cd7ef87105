// Login items: the launch agents a bundle ships in Contents/Library/LaunchAgents,
// started when the user logs in. Here each registered agent is an XDG
// autostart entry.
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

// $XDG_CONFIG_HOME/autostart, or ~/.config/autostart when that variable is
// unset, empty or not an absolute path.
std::string autostartFolder();

// One launch agent of a bundle as a login item.
class AgentService {
public:
    // The agent whose property list is `plistName` in the bundle's
    // Contents/Library/LaunchAgents.
    AgentService(const Bundle& bundle, std::string plistName);

    const std::string& plistName() const { return plistName_; }

    // The autostart entry that stands for this agent.
    std::string entryPath() const;

    // Writes the agent's autostart entry, so that it starts at login. An
    // entry the user switched off stays switched off.
    Result<void> registerTheAgent() const;

    // Removes the agent's autostart entry, whichever copy of the application
    // it starts. Succeeds also when there was no entry.
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
