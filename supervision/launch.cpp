#include "supervision/launch.h"

#include "channel/outgoing.h"
#include "channel/reader.h"
#include "platform/exit.h"
#include "platform/files.h"
#include "platform/standard_error.h"
#include "supervision/death_log.h"
#include "supervision/exit.h"
#include "supervision/timings.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <unistd.h>

namespace kestrune::supervision {

namespace {
ShellSettings settings;
bool isPiped = false;
bool drawsTheMenu = false;
platform::Environment shellEnvironment;
bool hosted = false;
double rootWait = 0;
std::optional<std::string> views;
std::vector<std::string> shellArguments;   // after the program path, the same for every shell

std::unique_ptr<platform::ChildProcess> current;
std::shared_ptr<channel::ChildInbox> currentInput;
std::chrono::steady_clock::time_point startedAt;

// Ordinary decimal notation only; anything else, or a value that is not
// finite, reads as no wait.
double secondsFrom(const std::string& text)
{
    if (text.empty())
        return 0;
    errno = 0;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(value))
        return 0;
    return value;
}
}

bool isCallerSession(const std::string& name)
{
    if (callerSessionNames.count(name))
        return true;
    for (const auto& start : callerSessionPrefixes) {
        if (name.rfind(start, 0) == 0)
            return true;
    }
    return false;
}

std::string resolvedRuntimeValue(const std::string& value, const std::string& base)
{
    if (value.rfind("~/", 0) == 0)
        return platform::expandingTilde(value);
    if (value.rfind("Contents/", 0) == 0)
        return platform::appendingComponent(base, value);
    return value;
}

ShellEnvironment shellEnvironmentFrom(const EnvironmentInputs& inputs)
{
    ShellEnvironment result;
    auto& env = result.environment;

    // 1. The host's own environment without the caller's session, without
    //    variables that inject code into the runtime, and without the
    //    host's own test timings (a host the shell starts keeps its own).
    for (const auto& [name, value] : inputs.inherited) {
        if (isCallerSession(name) || codeInjectingNames.count(name) || isATimingVariable(name))
            continue;
        env[name] = value;
    }

    // 2. A script shell finds its runtime's siblings first.
    if (!inputs.frozen) {
        std::string runtimeFolder = platform::deletingLastComponent(inputs.executable);
        while (runtimeFolder.size() > 1 && runtimeFolder.back() == '/')
            runtimeFolder.pop_back();
        auto inheritedPath = env.find("PATH");
        env["PATH"] = runtimeFolder + ":" + (inheritedPath != env.end() ? inheritedPath->second : "/usr/bin:/bin:/usr/sbin:/sbin");
    }

    // 3.
    env[inputs.prefix + "LAUNCHER_PID"] = std::to_string(inputs.hostPid);

    // 4. to 6. Hosting by the parent, and the wait for a new root.
    auto hosted = env.find("MENU_BAR_HOSTED");
    result.hostedByItsParent = inputs.parentPid != 1 && hosted != env.end() && hosted->second == "1";
    if (result.hostedByItsParent)
        env[inputs.prefix + "HOSTED"] = "1";
    env.erase("MENU_BAR_HOSTED");
    if (auto wait = env.find("MENU_BAR_ROOT_WAIT_SECONDS"); wait != env.end()) {
        if (result.hostedByItsParent)
            result.rootWaitSeconds = secondsFrom(wait->second);
        env.erase(wait);
    }

    // 7. The signal that announces the shell hears reopen requests.
    env[inputs.prefix + "REOPEN_READY_SIGNAL"] = "USR2";

    // 8.
    env[inputs.prefix + "BUNDLE_PATH"] = inputs.bundlePath;

    // 9. The descriptor's folders and switches.
    const std::pair<const char*, std::string> copied[] = {
        {"logs", inputs.prefix + "LOG_ROOT"},
        {"data", "KESTRUNE_HOME"},
        {"socket", inputs.prefix + "SOCKET_PATH"},
        {"copy", inputs.prefix + "COPY_OUTPUT_DIR"},
    };
    for (const auto& [member, name] : copied) {
        if (auto found = inputs.runtime.find(member); found != inputs.runtime.end())
            env[name] = found->second;
    }
    if (auto temporary = inputs.runtime.find("temporary"); temporary != inputs.runtime.end() && temporary->second == "true")
        env[inputs.prefix + "TEMPORARY"] = "1";

    // 10. The descriptor's own entries, only when every one is a string.
    if (auto extra = inputs.runtimeObject.find("environment");
        inputs.runtimeObject.is_object() && extra != inputs.runtimeObject.end() && extra->is_object()) {
        bool allStrings = true;
        for (const auto& [name, value] : extra->items())
            allStrings = allStrings && value.is_string();
        if (allStrings) {
            for (const auto& [name, value] : extra->items())
                env[name] = resolvedRuntimeValue(value.get<std::string>(), inputs.bundlePath);
        }
    }

    // 11. The views library inside the bundle wins over any entry.
    if (inputs.ownViews)
        env["SWIFT_VIEWS_DYLIB"] = *inputs.ownViews;

    return result;
}

MadeChild makeChild()
{
    MadeChild made;
    made.child = std::make_unique<platform::ChildProcess>(settings.executable, shellArguments, shellEnvironment, isPiped);
    if (isPiped) {
        int fd = made.child->takeStandardInput();
        if (fd >= 0)
            made.input = channel::ChildInbox::on(fd);
    }
    return made;
}

void makeTheShell()
{
    auto made = makeChild();
    current = std::move(made.child);
    currentInput = std::move(made.input);
}

void launchTheShellOrLeave()
{
    channel::listen(*current);
    watch(*current);
    if (auto launched = current->launch(); !launched) {
        platform::sayOnStandardError(launched.failure().description());
        platform::leave(platform::EXIT_LAUNCH_FAILED);
    }
    startedAt = std::chrono::steady_clock::now();
}

platform::ChildProcess* child()
{
    return current.get();
}

const std::shared_ptr<channel::ChildInbox>& input()
{
    return currentInput;
}

bool shellIsRunning()
{
    return current && current->isRunning();
}

pid_t shellPid()
{
    return current ? current->pid() : 0;
}

std::chrono::steady_clock::time_point childStartedAt()
{
    return startedAt;
}

void prepareTheShell(ShellSettings given)
{
    settings = std::move(given);
    setTheDeathLog(settings.identity, runtimeValue("log"));

    // 17.
    isPiped = settings.piped;
    drawsTheMenu = isPiped && runtimeValue("menu") == "child";

    // 18. and 19. The environment, with the views library when the bundle
    //     ships one.
    std::string library = platform::appendingComponent(settings.bundlePath, "Contents/Frameworks/libViews.dylib");
    views = platform::fileExists(library) ? std::optional<std::string>(library) : std::nullopt;
    EnvironmentInputs inputs;
    inputs.inherited = platform::processEnvironment();
    inputs.executable = settings.executable;
    inputs.frozen = settings.frozen;
    inputs.prefix = settings.prefix;
    inputs.hostPid = getpid();
    inputs.parentPid = getppid();
    inputs.bundlePath = settings.bundlePath;
    inputs.runtime = settings.runtime;
    inputs.runtimeObject = settings.runtimeObject;
    inputs.ownViews = views;
    auto built = shellEnvironmentFrom(inputs);
    shellEnvironment = std::move(built.environment);
    hosted = built.hostedByItsParent;
    rootWait = built.rootWaitSeconds;

    // Every shell gets the same program and arguments: a script shell runs
    // under its runtime with the script first.
    shellArguments.clear();
    if (!settings.frozen)
        shellArguments.push_back(settings.runtime.at("shell"));
    shellArguments.insert(shellArguments.end(), settings.commandLine.begin(), settings.commandLine.end());

    // Messages go to the current shell only while it runs and no swap is
    // under way.
    channel::setTheOpenInbox([]() -> channel::ChildInbox* {
        return currentInput && shellIsRunning() && !swapping() ? currentInput.get() : nullptr;
    });
}

bool piped()
{
    return isPiped;
}

bool drawsTheChildsMenu()
{
    return drawsTheMenu;
}

bool hostedByItsParent()
{
    return hosted;
}

double rootWaitSeconds()
{
    return rootWait;
}

const platform::Environment& theShellEnvironment()
{
    return shellEnvironment;
}

const std::optional<std::string>& ownViews()
{
    return views;
}

std::optional<std::string> runtimeValue(const std::string& name)
{
    auto found = settings.runtime.find(name);
    if (found == settings.runtime.end())
        return std::nullopt;
    return found->second;
}

const ShellSettings& shellSettings()
{
    return settings;
}

} // namespace kestrune::supervision
