#include "support/host.h"

#include <csignal>

namespace fixture {

Host::~Host()
{
    if (process && !process->ended())
        stop();
}

void Host::start(const RunOptions& options, const std::string& name)
{
    process = std::make_unique<Started>(bundle.contents("MacOS/" + name), options, bundle.home());
}

Run Host::stop(std::chrono::milliseconds timeout)
{
    process->signal(SIGTERM);
    return process->wait(timeout);
}

} // namespace fixture
