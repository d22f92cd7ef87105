#include "host/startup.h"

#include "host/clock.h"
#include "host/descriptor.h"
#include "host/login.h"
#include "hotkeys/declared.h"
#include "links/settings.h"
#include "overlays/badge.h"
#include "platform/desktop/application_events.h"
#include "platform/desktop/workspace.h"
#include "platform/main_queue.h"
#include "supervision/launch.h"
#include "supervision/exit.h"
#include "supervision/root.h"
#include "supervision/signals.h"
#include "links/delivery.h"
#include "channel/outgoing.h"
#include "channel/reader.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace kestrune {

void leave(int status)
{
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(status);
}

void unavailable(const std::string& message)
{
    sayOnStandardError("runtime is unavailable: " + message);
    leave(66);
}

namespace {
// A host started with a standard stream closed would hand that number to the
// first descriptor it opens; the null device keeps 0, 1 and 2 taken.
void keepTheStandardStreamsTaken()
{
    for (int fd = 0; fd < 3; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0)
            continue;
        int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}
}

void startUp(int argc, char** argv)
{
    keepTheStandardStreamsTaken();
    // Writes to a shell or a client that went away fail with EPIPE instead
    // of ending the host. The shell itself starts with the default action.
    signal(SIGPIPE, SIG_IGN);

    // 1. to 3.
    bundle = platform::Bundle::main();
    bornUnder = getppid();
    commandLine.assign(argv + (argc > 0 ? 1 : 0), argv + argc);
    const std::string mode = commandLine.empty() ? std::string() : commandLine.front();

    // 4. The login item command tests nothing else first.
    if (mode == "--login")
        runTheLoginCommand(bundle, commandLine);

    // 5. Declared hot keys.
    declaredHotKeys = hotKeysOf(bundle.info());
    // 6. Menu key tables: with the menu drawing.
    // 7. Remote-session settings: with the remote sessions.

    // 8.
    if (mode == hotKeyPlanFlag)
        runTheHotKeyPlan(commandLine);

    // 9. Badge constants are compile-time values (badgeSize, badgeTopInset).
    // 10.
    if (mode == badgePlanFlag)
        runTheBadgePlan(commandLine);

    // 11. to 15. The runtime descriptor, with "--which-runtime" between
    //     choosing it and reading it.
    readTheRuntimeDescriptor(bundle, argc > 0 ? argv[0] : "", mode == "--which-runtime");

    // 16. Schemes, services and link files.
    readTheLinkSettings(info);

    // 17. to 19. piped, the environment, the views library.
    prepareTheShell(bundle.path(), commandLine);

    // 20. The shell is made, not yet launched.
    auto made = makeChild();
    child = std::move(made.child);
    input = std::move(made.input);

    // 21. and 22. Stop and swap signals.
    installTheStopSignals();
    installTheSwapSignal();
    // 23. The clock is a constant (host/clock.h).
    // 24. Link delivery (focus return comes with it later).
    setTheLinkLog();
    // 25. Quitting; the reopen menu and the quit reasons come with the menu
    //     and the application delegate.
    quitting = false;
    quitTargets.clear();

    // 26. The shared application, prohibited until it draws the shell's menu.
    platform::workspace().setActivationPolicy(platform::ActivationPolicy::prohibited);
    // The platform never ends the process: a quit answered now comes back
    // here, and the host leaves.
    platform::ApplicationDelegate delegate;
    delegate.terminate = [] { leave(0); };
    platform::applicationEvents().setApplicationDelegate(std::move(delegate));

    // 27. and 28. Application delegate and display changes: with the links.

    // 29. Menu and socket locations: with the menu. Whether the shell hears
    //     which application is in front, and the observer of activations.
    decideWhetherToTellTheFront();

    // 30. Menu owner and socket: with the menu.

    // 31. Reopen state and signals.
    childStartedAt = std::chrono::steady_clock::now();
    installTheReopenSignals();

    // 32. The badge owner: with the badges.

    // 33. The output reader, then the termination handler, before the launch.
    listen(*child);
    watch(*child);

    // 34. Hot keys and the panel host: with their subsystems; what the
    //     reader hands the panel host.
    auto descriptorSays = [](const char* key, const char* value) {
        auto found = runtime.find(key);
        return found != runtime.end() && found->second == value;
    };
    hostsTheChildsPanel = piped && descriptorSays("panel", "host");
    // 35. The update-check signal (the updater's values come with it).
    installTheUpdateSignal();
    // 36. Shell hot keys and the apps watch: with their subsystems; what the
    //     reader hands the shell hot keys.
    childOwnsHotKeys = piped && descriptorSays("hotkeys", "child");
    // 37. Supervision timings and the root wait.
    setTheSupervisionTimings();
    setTheRootWaitFile();

    // 38. The parent, unless launchd started the host.
    watchTheParent();

    // 39. and 40.
    if (auto error = child->launch()) {
        sayOnStandardError(*error);
        leave(71);
    }
    childStartedAt = std::chrono::steady_clock::now();

    // 41.
    tellTheChildTheFront();
    // 42. The updater: with the menu.

    // 43.
    platform::runTheMainLoop();
}

} // namespace kestrune
