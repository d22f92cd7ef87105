// The host of a test's bundle, run in the background: the one lifecycle every
// end-to-end test shares. The test's own wrapper derives from it and adds
// what its subject needs (the desktop server, its logs, its shell's files).
#pragma once

#include "support/fixture.h"

#include <chrono>
#include <memory>
#include <string>
#include <sys/types.h>

namespace fixture {

class Host {
public:
    Host() = default;
    // A host still running is asked to end (SIGTERM) and waited for.
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Starts the bundle's installed host `name` with HOME at the bundle's
    // home; its output is gathered as it comes.
    void start(const RunOptions& options, const std::string& name = "Acme");

    pid_t pid() const { return process->pid(); }
    // A file in the bundle's temporary folder, beside the .app.
    std::string file(const std::string& name) const { return bundle.root() + "/" + name; }

    // Asks the host to end (SIGTERM) and gives how it ended.
    Run stop(std::chrono::milliseconds timeout = STOP_TIMEOUT);

    static constexpr std::chrono::milliseconds STOP_TIMEOUT{10000};

    Bundle bundle;
    std::unique_ptr<Started> process;
};

} // namespace fixture
