// The login item command: "--login on|off|status".
#pragma once

#include "platform/bundle.h"
#include "platform/login_items.h"

#include <string>
#include <vector>

namespace kestrune::host {

// The agents' property-list names among `entries` (the names in the bundle's
// Contents/Library/LaunchAgents): those ending in ".plist", in ascending
// order; the single name `identity` + ".plist" when there is none.
std::vector<std::string> loginAgentNames(std::vector<std::string> entries, const std::string& identity);

// "enabled", "requiresApproval", "notFound" or "notRegistered".
const char* loginStatusText(platform::AgentStatus status);

struct LoginAgentRow {
    std::string plist;
    std::string status;   // a status text
};

// The command's answer without its line feed: {"login","status","agents"}
// with the overall status taken from the agent named `identity` + ".plist",
// else from the first agent.
std::string loginLine(const std::vector<LoginAgentRow>& agents, const std::string& identity);

// Registers, unregisters or reports the bundle's launch agents as login
// items, prints one JSON line and exits.
[[noreturn]] void runTheLoginCommand(const platform::Bundle& bundle, const std::vector<std::string>& commandLine);

} // namespace kestrune::host
