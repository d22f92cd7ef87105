#include "supervision/exit.h"

#include "platform/exit.h"
#include "platform/relaunch.h"
#include "platform/standard_error.h"
#include "socket/dead_socket.h"
#include "supervision/launch.h"

#include <csignal>
#include <cstdlib>

namespace kestrune::supervision {

bool swapping()
{
    auto* supervisor = theSupervisorIfAny();
    return supervisor && supervisor->swapping();
}

// A tool or a benchmark without a supervisor has no swap to serve.
void setTheSwapSeams(SwapSeams seams)
{
    if (auto* supervisor = theSupervisorIfAny())
        supervisor->setTheSwapSeams(std::move(seams));
}

void setWhatClosesWithTheShell(std::function<void()> close)
{
    theSupervisor().setWhatClosesWithTheShell(std::move(close));
}

void removeTheShellsSocket()
{
    if (auto socket = runtimeValue("socket"))
        socket::removeDeadSocket(*socket);
}

void restarts()
{
    const ShellSettings& settings = shellSettings();
    std::vector<std::string> arguments = settings.commandLine;
    for (const auto& argument : settings.commandLine) {
        if (argument == "--witness-wrapper") {
            arguments.push_back("--restart-witness-after");
            break;
        }
    }

    const char* service = std::getenv("XPC_SERVICE_NAME");
    if (service && service == settings.identity) {
        // The service manager restarts the host's own service and, doing so,
        // ends this process first.
        signal(SIGTERM, SIG_DFL);
        if (auto restarted = platform::restartTheService(settings.identity); !restarted)
            platform::sayOnStandardError("kickstart failed: " + restarted.failure().description());
        platform::leave(platform::EXIT_RESTARTING);
    }

    auto opened = platform::openTheApplication(settings.bundlePath, arguments);
    if (!opened) {
        platform::sayOnStandardError(opened.failure().description());
        platform::leave(platform::EXIT_LAUNCH_FAILED);
    }
    platform::leave(*opened);
}

} // namespace kestrune::supervision
