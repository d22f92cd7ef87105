#include "supervision/launch.h"

#include "host/descriptor.h"
#include "links/settings.h"
#include "platform/files.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <future>
#include <thread>
#include <unistd.h>

namespace kestrune {

namespace {
// How long the end of a shell waits for the reader to see the end of its
// output.
constexpr auto OUTPUT_DRAIN_TIME = std::chrono::milliseconds(500);

std::vector<std::string> shellArguments;   // after the program path, the same for every shell

void closeIfOpen(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

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

ShellEnvironment shellEnvironmentFrom(const EnvironmentInputs& inputs)
{
    ShellEnvironment result;
    auto& env = result.environment;

    // 1. The host's own environment without the caller's session and
    //    without variables that inject code into the runtime.
    for (const auto& [name, value] : inputs.inherited) {
        if (isCallerSession(name) || codeInjectingNames.count(name))
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

Child::Child(std::string program, std::vector<std::string> arguments, platform::Environment env, bool isPiped)
    : program_(std::move(program))
    , arguments_(std::move(arguments))
    , environment_(std::move(env))
    , piped_(isPiped)
{
    if (!piped_)
        return;
    int input[2], output[2];
    if (pipe2(input, O_CLOEXEC) != 0) {
        pipeFailure_ = std::strerror(errno);
        return;
    }
    if (pipe2(output, O_CLOEXEC) != 0) {
        pipeFailure_ = std::strerror(errno);
        close(input[0]);
        close(input[1]);
        return;
    }
    inputRead_ = input[0];
    inputWrite_ = input[1];
    outputRead_ = output[0];
    outputWrite_ = output[1];
}

Child::~Child()
{
    closeIfOpen(inputRead_);
    closeIfOpen(inputWrite_);
    closeIfOpen(outputRead_);
    closeIfOpen(outputWrite_);
}

std::optional<std::string> Child::launch()
{
    platform::Launch request;
    request.program = program_;
    request.arguments = arguments_;
    request.environment = environment_;
    int nullDevice = -1;
    if (pipeFailure_)
        return *pipeFailure_;
    if (piped_) {
        request.standardInput = inputRead_;
        request.standardOutput = outputWrite_;
    } else {
        nullDevice = open("/dev/null", O_RDONLY | O_CLOEXEC);
        request.standardInput = nullDevice;
    }
    auto launched = platform::launch(request);
    if (nullDevice >= 0)
        close(nullDevice);
    // The shell's ends belong to the shell now; keeping them open here would
    // hide the end of its output and of its input from both sides.
    closeIfOpen(inputRead_);
    closeIfOpen(outputWrite_);
    if (auto* error = std::get_if<std::string>(&launched)) {
        closeIfOpen(inputWrite_);
        closeIfOpen(outputRead_);
        return program_ + ": " + *error;
    }
    pid_ = std::get<pid_t>(launched);
    // The reader says when it has seen the end of the shell's output, so that
    // what the shell wrote last is out before anyone acts on its end.
    std::shared_future<void> outputRead;
    if (outputReader_) {
        int fd = takeStandardOutput();
        if (fd >= 0) {
            std::promise<void> done;
            outputRead = done.get_future().share();
            std::thread([reader = outputReader_, fd, done = std::move(done)]() mutable {
                reader(fd);
                done.set_value();
            }).detach();
        }
    }
    if (terminationHandler_) {
        // Only this thread waits for this process id; other children of the
        // host have reapers of their own.
        std::thread([pid = pid_, handler = terminationHandler_, outputRead] {
            int status = 0;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            // A process the shell started may hold its output open for ever:
            // wait for the last lines only a little.
            if (outputRead.valid())
                outputRead.wait_for(OUTPUT_DRAIN_TIME);
            Termination end;
            end.pid = pid;
            end.signaled = WIFSIGNALED(status);
            end.status = end.signaled ? WTERMSIG(status) : WEXITSTATUS(status);
            handler(end);
        }).detach();
    }
    return std::nullopt;
}

int Child::takeStandardInput()
{
    int fd = inputWrite_;
    inputWrite_ = -1;
    return fd;
}

int Child::takeStandardOutput()
{
    int fd = outputRead_;
    outputRead_ = -1;
    return fd;
}

MadeChild makeChild()
{
    MadeChild made;
    made.child = std::make_unique<Child>(executable, shellArguments, environment, piped);
    if (piped) {
        int fd = made.child->takeStandardInput();
        if (fd >= 0)
            made.input = ChildInbox::on(fd);
    }
    return made;
}

void prepareTheShell(const std::string& bundlePath, const std::vector<std::string>& commandLine)
{
    // 17.
    piped = !schemes.empty() || !services.empty();
    auto menu = runtime.find("menu");
    drawsTheChildsMenu = piped && menu != runtime.end() && menu->second == "child";

    // 18. and 19. The environment, with the views library when the bundle
    //     ships one.
    std::string views = platform::appendingComponent(bundlePath, "Contents/Frameworks/libViews.dylib");
    if (platform::fileExists(views))
        ownViews = views;
    EnvironmentInputs inputs;
    inputs.inherited = platform::processEnvironment();
    inputs.executable = executable;
    inputs.frozen = frozen;
    inputs.prefix = prefix;
    inputs.hostPid = getpid();
    inputs.parentPid = getppid();
    inputs.bundlePath = bundlePath;
    inputs.runtime = runtime;
    inputs.runtimeObject = runtimeObject;
    inputs.ownViews = ownViews;
    auto built = shellEnvironmentFrom(inputs);
    environment = std::move(built.environment);
    hostedByItsParent = built.hostedByItsParent;
    rootWaitSeconds = built.rootWaitSeconds;

    // Every shell gets the same program and arguments: a script shell runs
    // under its runtime with the script first.
    shellArguments.clear();
    if (!frozen)
        shellArguments.push_back(runtime.at("shell"));
    shellArguments.insert(shellArguments.end(), commandLine.begin(), commandLine.end());
}

} // namespace kestrune
