#include "platform/login_items.h"

#include "platform/files.h"
#include "platform/linux/desktop_entry.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// Launch-agent property lists are a few hundred bytes; anything this large is not one.
constexpr std::size_t PROPERTY_LIST_LIMIT = 16 * 1024 * 1024;
// Autostart entries are a few lines; a larger file is not one of ours.
constexpr std::size_t ENTRY_LIMIT = 1024 * 1024;

// An entry names the bundle it starts, because a moved or second copy of the application must not count as registered by this one.
const std::string BUNDLE_KEY = "X-Kestrune-Bundle";
// The property list an entry was made from, for the person who finds it in their autostart folder.
const std::string AGENT_KEY = "X-Kestrune-Agent";

// A file (or a link to one), not a folder or a device.
bool isRegularFile(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// True when `text` ends with `ending`.
bool endsWith(std::string_view text, std::string_view ending)
{
    return text.size() >= ending.size() && text.substr(text.size() - ending.size()) == ending;
}

// A name that stays one file name inside the folder it is meant for.
std::string asOneComponent(std::string name)
{
    for (char& c : name) {
        if (c == '/')
            c = '_';
    }
    return name;
}

// A property list's command, or why it has none.
struct Command {
    std::vector<std::string> arguments;
    std::string error;
};

// The command a property list runs: Program (when present) in place of the
// first of ProgramArguments, as launchd does; a value of the wrong kind
// counts as absent.
Command commandIn(const nlohmann::json& list, const std::string& plistName)
{
    Command command;
    if (auto found = list.find("ProgramArguments"); found != list.end() && found->is_array()) {
        bool allTexts = true;
        for (const auto& argument : *found)
            allTexts = allTexts && argument.is_string();
        if (allTexts) {
            for (const auto& argument : *found)
                command.arguments.push_back(argument.get<std::string>());
        }
    }
    std::optional<std::string> program;
    if (auto found = list.find("Program"); found != list.end() && found->is_string() && !found->get<std::string>().empty())
        program = found->get<std::string>();
    if (!program && command.arguments.empty()) {
        command.error = plistName + " has neither ProgramArguments nor Program";
        return command;
    }
    if (program) {
        if (command.arguments.empty())
            command.arguments.push_back(*program);
        else
            command.arguments.front() = *program;
    }
    const std::string& executable = command.arguments.front();
    if (executable.empty())
        command.error = plistName + " names an empty program";
    // Desktop entries cannot run a program whose name or path has "=" in it.
    else if (executable.find('=') != std::string::npos)
        command.error = plistName + " names the program " + executable + ", which an autostart entry cannot start because of the \"=\" in it";
    return command;
}

// The system's text for `error`, or `otherwise` when no call set one.
std::string errorText(int error, const char* otherwise)
{
    return error ? std::strerror(error) : otherwise;
}

} // namespace

std::string launchAgentsFolder(const Bundle& bundle)
{
    return appendingComponent(bundle.path(), "Contents/Library/LaunchAgents");
}

std::string autostartFolder()
{
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    std::string base = configHome && configHome[0] == '/' ? std::string(configHome) : appendingComponent(homeFolder(), ".config");
    return appendingComponent(base, "autostart");
}

std::vector<std::pair<std::string, std::string>> switchOffKeysIn(const DesktopEntryKeys& entry)
{
    std::vector<std::pair<std::string, std::string>> keys;
    for (const auto& [key, value] : entry) {
        bool hidden = key == "Hidden" && desktopEntryBooleanIs(value, true);
        bool disabled = key.rfind("X-", 0) == 0 && endsWith(key, "-Autostart-enabled") && desktopEntryBooleanIs(value, false);
        if (hidden || disabled)
            keys.emplace_back(key, value);
    }
    return keys;
}

AgentService::AgentService(const Bundle& bundle, std::string plistName)
    : bundlePath_(bundle.path()),
      agentsFolder_(launchAgentsFolder(bundle)),
      identity_(bundle.identifier().value_or("")),
      displayName_(bundle.string("CFBundleName").value_or(bundle.identifier().value_or(lastComponent(bundle.path())))),
      plistName_(std::move(plistName))
{
}

std::string AgentService::plistPath() const
{
    return appendingComponent(agentsFolder_, plistName_);
}

std::string AgentService::entryPath() const
{
    std::string agent = endsWith(plistName_, ".plist") ? plistName_.substr(0, plistName_.size() - 6) : plistName_;
    // The application's identity comes first so that two applications that ship agents of the same name never share an entry.
    std::string name = identity_.empty() ? agent : identity_ + "-" + agent;
    return appendingComponent(autostartFolder(), asOneComponent(name + ".desktop"));
}

AgentStatus AgentService::status() const
{
    if (plistName_.find('/') != std::string::npos || !isRegularFile(plistPath()))
        return AgentStatus::notFound;
    auto text = contentsOf(entryPath(), ENTRY_LIMIT);
    if (!text)
        return AgentStatus::notRegistered;
    DesktopEntryKeys entry = desktopEntryKeysOf(*text);
    if (!switchOffKeysIn(entry).empty())
        return AgentStatus::requiresApproval;
    auto bundle = entry.find(BUNDLE_KEY);
    return bundle != entry.end() && bundle->second == bundlePath_ ? AgentStatus::enabled : AgentStatus::notRegistered;
}

Result<void> AgentService::registerTheAgent() const
{
    std::string path = plistPath();
    if (plistName_.find('/') != std::string::npos || !isRegularFile(path))
        return failureBecause("stat", "no property list " + plistName_ + " in " + agentsFolder_, path);
    errno = 0;
    auto bytes = contentsOf(path, PROPERTY_LIST_LIMIT);
    if (!bytes)
        return failureBecause("read", "cannot read " + path + ": " + errorText(errno, "too large"), path, errno);
    auto list = propertyListFrom(*bytes);
    if (!list)
        return failureBecause("propertyListFrom", plistName_ + " is not a property list", path);
    if (!list->is_object())
        return failureBecause("propertyListFrom", plistName_ + " does not hold a dictionary", path);
    Command command = commandIn(*list, plistName_);
    if (!command.error.empty())
        return failureBecause("ProgramArguments", command.error, path);

    std::string autostart = autostartFolder();
    errno = 0;
    if (!makeFolders(autostart))
        return failureBecause("mkdir", "cannot create the autostart folder " + autostart + ": " + errorText(errno, "not a folder"), autostart, errno);

    // The user's switch from an earlier entry survives, as a login item the user turned off stays off.
    std::vector<std::pair<std::string, std::string>> switchedOff;
    std::string target = entryPath();
    if (auto earlier = contentsOf(target, ENTRY_LIMIT))
        switchedOff = switchOffKeysIn(desktopEntryKeysOf(*earlier));

    std::string entry = "[Desktop Entry]\n"
                        "Type=Application\n"
                        "Name=" + desktopEntryValue(displayName_) + "\n"
                        "Exec=" + desktopEntryValue(execCommandOf(command.arguments)) + "\n" +
                        BUNDLE_KEY + "=" + desktopEntryValue(bundlePath_) + "\n" +
                        AGENT_KEY + "=" + desktopEntryValue(plistName_) + "\n";
    for (const auto& [key, value] : switchedOff)
        entry += key + "=" + desktopEntryValue(value) + "\n";
    if (auto written = replaceAtomically(target, entry); !written)
        return failureBecause(written.failure().call, "cannot write " + target + ": " + written.failure().description(), target,
                              written.failure().error);
    return {};
}

Result<void> AgentService::unregisterTheAgent() const
{
    // An agent that was never registered is already off: no error, so that
    // "off" can be repeated and reaches every agent.
    std::string target = entryPath();
    if (unlink(target.c_str()) == 0 || errno == ENOENT || errno == ENOTDIR)
        return {};
    int error = errno;
    return failureBecause("unlink", "cannot remove " + target + ": " + std::strerror(error), target, error);
}

} // namespace platform
