#include "platform/relaunch.h"

#include "platform/bundle.h"
#include "platform/files.h"
#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform {

namespace {
// Runs a tool with the host's streams and waits for it: its exit status.
Result<int> runAndWait(const std::string& program, const std::vector<std::string>& arguments)
{
    Launch request;
    request.program = program;
    request.arguments = arguments;
    request.environment = processEnvironment();
    auto launched = launch(request);
    if (!launched)
        return failureBecause("posix_spawn", program + ": " + launched.failure().description(), program, launched.failure().error);
    pid_t pid = *launched;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

std::vector<char*> pointersTo(std::vector<std::string>& texts)
{
    std::vector<char*> pointers;
    for (auto& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// The built-in launcher: the bundle's executable, started the way the
// system starts an application: its own session, no parent in this host,
// default signal handling, only the standard streams.
Result<int> launchDetached(const std::string& bundlePath, const std::vector<std::string>& arguments)
{
    std::string executable = runningExecutablePath();
    Bundle bundle = Bundle::containing(executable);
    if (auto name = bundle.string("CFBundleExecutable"); name && bundle.path() == bundlePath)
        executable = appendingComponent(bundlePath, "Contents/MacOS/" + *name);
    else if (bundle.path() != bundlePath)
        return failureBecause("execve", bundlePath + " is not this application's bundle", bundlePath);

    // Everything the new process needs is made before fork: after it, only
    // async-signal-safe calls run.
    std::vector<std::string> argumentTexts{executable};
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<std::string> environmentTexts;
    for (const auto& [name, value] : processEnvironment())
        environmentTexts.push_back(name + "=" + value);
    auto argv = pointersTo(argumentTexts);
    auto envp = pointersTo(environmentTexts);

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return failureOf("pipe2", errno);
    pid_t middle = fork();
    if (middle < 0) {
        int error = errno;
        close(report[0]);
        close(report[1]);
        return failureOf("fork", error);
    }
    if (middle == 0) {
        setsid();
        pid_t final = fork();
        if (final != 0)
            _exit(final < 0 ? 1 : 0);
        struct sigaction defaults {};
        defaults.sa_handler = SIG_DFL;
        for (int number = 1; number < NSIG; ++number)
            sigaction(number, &defaults, nullptr);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        int keep = report[1];
        if (keep != 3) {
            dup3(keep, 3, O_CLOEXEC);
            keep = 3;
        }
        syscall(SYS_close_range, 4U, ~0U, 0U);
        execve(argv[0], argv.data(), envp.data());
        int error = errno;
        [[maybe_unused]] ssize_t ignored = ::write(keep, &error, sizeof error);
        _exit(127);
    }
    close(report[1]);
    int status = 0;
    while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t got;
    do {
        got = read(report[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got == static_cast<ssize_t>(sizeof error))
        return failureBecause("execve", executable + ": " + std::strerror(error), executable, error);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return failureBecause("fork", "the new instance could not be started");
    return 0;
}
}

Result<int> openTheApplication(const std::string& bundlePath, const std::vector<std::string>& arguments)
{
    if (const char* tool = std::getenv(OPEN_TOOL_VARIABLE); tool && *tool) {
        std::vector<std::string> toolArguments{"-g", "-n", bundlePath};
        if (!arguments.empty()) {
            toolArguments.push_back("--args");
            toolArguments.insert(toolArguments.end(), arguments.begin(), arguments.end());
        }
        return runAndWait(tool, toolArguments);
    }
    return launchDetached(bundlePath, arguments);
}

Result<void> restartTheService(const std::string& identity)
{
    // systemd is the service manager here: the host's service is the user
    // unit named after the bundle identifier, and a restart stops this
    // process before starting the new one, as a kickstart -k does.
    const char* tool = std::getenv(SERVICE_TOOL_VARIABLE);
    std::string program = tool && *tool ? tool : "/usr/bin/systemctl";
    auto result = runAndWait(program, {"--user", "restart", identity + ".service"});
    if (!result)
        return result.failure();
    return {};
}

} // namespace platform
