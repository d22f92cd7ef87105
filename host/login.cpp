#include "host/login.h"

#include "platform/exit.h"
#include "platform/files.h"
#include "platform/standard_error.h"

#include <algorithm>
#include <cstdio>

namespace kestrune::host {

namespace {

const std::string LOGIN_USAGE = "usage: --login on|off|status";

// A file name between double quotes. Names are put in as they are; only the
// few characters that would break the line as JSON get their escapes.
std::string quoted(const std::string& text)
{
    static const char hex[] = "0123456789abcdef";
    std::string piece = "\"";
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            piece += '\\';
            piece += c;
        } else if (byte < 0x20) {
            piece += "\\u00";
            piece += hex[byte >> 4];
            piece += hex[byte & 0xF];
        } else {
            piece += c;
        }
    }
    return piece + "\"";
}

// The one answer to a command line this mode cannot run.
[[noreturn]] void refuseTheCommandLine()
{
    platform::sayOnStandardError(LOGIN_USAGE);
    platform::leave(platform::EXIT_MISUSED);
}

} // namespace

std::vector<std::string> loginAgentNames(std::vector<std::string> entries, const std::string& identity)
{
    std::vector<std::string> names;
    for (auto& entry : entries) {
        if (entry.size() >= 6 && entry.compare(entry.size() - 6, 6, ".plist") == 0)
            names.push_back(std::move(entry));
    }
    std::sort(names.begin(), names.end());
    if (names.empty())
        names.push_back(identity + ".plist");
    return names;
}

const char* loginStatusText(platform::AgentStatus status)
{
    switch (status) {
    case platform::AgentStatus::enabled: return "enabled";
    case platform::AgentStatus::requiresApproval: return "requiresApproval";
    case platform::AgentStatus::notFound: return "notFound";
    case platform::AgentStatus::notRegistered: break;
    }
    return "notRegistered";
}

std::string loginLine(const std::vector<LoginAgentRow>& agents, const std::string& identity)
{
    const std::string named = identity + ".plist";
    std::string overall;
    bool allEnabled = true;
    for (const auto& agent : agents) {
        allEnabled = allEnabled && agent.status == "enabled";
        if (agent.plist == named && overall.empty())
            overall = agent.status;
    }
    if (overall.empty() && !agents.empty())
        overall = agents.front().status;
    std::string line = "{\"login\":\"" + std::string(allEnabled ? "on" : "off") + "\",\"status\":\"" + overall + "\",\"agents\":[";
    for (std::size_t i = 0; i < agents.size(); ++i) {
        if (i > 0)
            line += ",";
        line += "{\"plist\":" + quoted(agents[i].plist) + ",\"status\":\"" + agents[i].status + "\"}";
    }
    return line + "]}";
}

void runTheLoginCommand(const platform::Bundle& bundle, const std::vector<std::string>& commandLine)
{
    auto identity = bundle.identifier();
    if (commandLine.size() != 2 || !identity)
        refuseTheCommandLine();
    const std::string& verb = commandLine[1];
    if (verb != "on" && verb != "off" && verb != "status")
        refuseTheCommandLine();

    std::vector<platform::AgentService> services;
    for (auto& name : loginAgentNames(platform::entriesOf(platform::launchAgentsFolder(bundle)), *identity))
        services.emplace_back(bundle, std::move(name));

    for (const auto& service : services) {
        platform::Result<void> done;
        if (verb == "on")
            done = service.registerTheAgent();
        else if (verb == "off")
            done = service.unregisterTheAgent();
        if (!done) {
            platform::sayOnStandardError("login " + verb + " " + service.plistName() + " failed: " + done.failure().description());
            platform::leave(platform::EXIT_MISUSED);
        }
    }

    std::vector<LoginAgentRow> rows;
    for (const auto& service : services)
        rows.push_back({service.plistName(), loginStatusText(service.status())});
    std::string line = loginLine(rows, *identity) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    platform::leave(platform::EXIT_DONE);
}

} // namespace kestrune::host
