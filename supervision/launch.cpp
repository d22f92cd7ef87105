#include "supervision/launch.h"

#include "channel/outgoing.h"
#include "channel/reader.h"
#include "platform/exit.h"
#include "platform/files.h"
#include "platform/main_queue.h"
#include "platform/standard_error.h"
#include "supervision/death_log.h"
#include "supervision/exit.h"
#include "supervision/timings.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
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

namespace {
nlohmann::json childExitRecord(const platform::Termination& ended)
{
    nlohmann::json record = {
        {"kind", "child-exit"},
        {"shell", ended.pid},
        {"reason", ended.signaled ? "signal" : "exit"},
        {"status", ended.status},
    };
    if (ended.signaled) {
        if (const char* description = strsignal(ended.status))
            record["signal"] = description;
    }
    return record;
}

class ShellProcess final : public Shell {
public:
    explicit ShellProcess(MadeChild made) : made_(std::move(made)) {}

    platform::Result<void> launch(std::function<void(const platform::Termination&)> ended) override
    {
        channel::listen(*made_.child);
        made_.child->setTerminationHandler([ended = std::move(ended)](platform::Termination termination) {
            // On the waiter thread: the record first, so that it exists even
            // if the decision ends the host at once.
            if (!append(childExitRecord(termination), deathLog(termination.pid)))
                platform::sayOnStandardError("death log unavailable");
            platform::post([ended, termination] { ended(termination); });
        });
        return made_.child->launch();
    }
    pid_t pid() const override { return made_.child->pid(); }
    bool isRunning() const override { return made_.child->isRunning(); }
    void signal(int signalNumber) override { kill(made_.child->pid(), signalNumber); }
    void markEnded() override { made_.child->markEnded(); }
    const std::shared_ptr<channel::ChildInbox>& input() const override { return made_.input; }
    platform::ChildProcess* process() override { return made_.child.get(); }

private:
    MadeChild made_;
};

const std::shared_ptr<channel::ChildInbox> noInbox;
}

ShellFactory shellsOfThisHost()
{
    return [] { return std::make_unique<ShellProcess>(makeChild()); };
}

void makeTheShell()
{
    theSupervisor().makeTheShell();
}

void launchTheShellOrLeave()
{
    theSupervisor().launchTheShellOrLeave();
}

// Subsystems ask before, or without, a supervisor (tools, benchmarks): then
// there is no shell.
platform::ChildProcess* child()
{
    auto* supervisor = theSupervisorIfAny();
    return supervisor && supervisor->shell() ? supervisor->shell()->process() : nullptr;
}

const std::shared_ptr<channel::ChildInbox>& input()
{
    auto* supervisor = theSupervisorIfAny();
    return supervisor ? supervisor->input() : noInbox;
}

bool shellIsRunning()
{
    auto* supervisor = theSupervisorIfAny();
    return supervisor && supervisor->shellIsRunning();
}

pid_t shellPid()
{
    auto* supervisor = theSupervisorIfAny();
    return supervisor ? supervisor->shellPid() : 0;
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
        const auto& inbox = input();
        return inbox && shellIsRunning() && !swapping() ? inbox.get() : nullptr;
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
