#include "host/startup.h"

#include "channel/outgoing.h"
#include "channel/routes.h"
#include "host/descriptor.h"
#include "host/login.h"
#include "hotkeys/child_hot_keys.h"
#include "hotkeys/chords.h"
#include "hotkeys/declared.h"
#include "hotkeys/hot_key_owner.h"
#include "hotkeys/remote.h"
#include "links/apps_watch.h"
#include "links/delivery.h"
#include "links/display_change.h"
#include "links/file_service.h"
#include "links/focus_return.h"
#include "links/receiver.h"
#include "links/settings.h"
#include "links/termination_relay.h"
#include "links/url.h"
#include "menu/menu_owner.h"
#include "menu/updater.h"
#include "overlays/badge.h"
#include "overlays/badge_owner.h"
#include "overlays/panel_host.h"
#include "platform/bundle.h"
#include "platform/desktop.h"
#include "platform/exit.h"
#include "platform/files.h"
#include "platform/main_queue.h"
#include "platform/process.h"
#include "platform/standard_error.h"
#include "socket/requests.h"
#include "supervision/exit.h"
#include "supervision/launch.h"
#include "supervision/root.h"
#include "supervision/signals.h"
#include "supervision/supervisor.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace kestrune::host {

void unavailable(const std::string& message)
{
    platform::sayOnStandardError("runtime is unavailable: " + message);
    platform::leave(platform::EXIT_UNAVAILABLE);
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
    platform::giveLargeBlocksBackWhenFreed();
    // Writes to a shell or a client that went away fail with EPIPE instead
    // of ending the host. The shell itself starts with the default action.
    signal(SIGPIPE, SIG_IGN);

    // 1. to 3.
    const platform::Bundle& bundle = platform::Bundle::main();
    const pid_t bornUnder = getppid();
    const std::vector<std::string> commandLine(argv + (argc > 0 ? 1 : 0), argv + argc);
    const std::string mode = commandLine.empty() ? std::string() : commandLine.front();

    // 4. The login item command tests nothing else first.
    if (mode == "--login")
        runTheLoginCommand(bundle, commandLine);

    // 5. Declared hot keys.
    hotkeys::readTheDeclaredHotKeys(bundle.info());
    // 6. Menu key tables: with the menu drawing.
    // 7. Remote-session settings.
    hotkeys::readTheRemoteSettings(bundle.info());

    // 8.
    if (mode == hotkeys::hotKeyPlanFlag)
        hotkeys::runTheHotKeyPlan(commandLine);

    // 9. Badge constants are compile-time values (badgeSize, badgeTopInset).
    // 10.
    if (mode == overlays::badgePlanFlag)
        overlays::runTheBadgePlan(commandLine);

    // 11. to 15. The runtime descriptor, with "--which-runtime" between
    //     choosing it and reading it.
    const RuntimeDescriptor descriptor = readTheRuntimeDescriptor(bundle, argc > 0 ? argv[0] : "", mode == "--which-runtime");

    // 16. Schemes, services and link files.
    links::readTheLinkSettings(bundle.info());

    // 17. to 19. piped, the environment, the views library.
    supervision::prepareTheShell({
        .identity = descriptor.identity,
        .bundlePath = bundle.path(),
        .commandLine = commandLine,
        .executable = descriptor.executable,
        .frozen = descriptor.frozen,
        .prefix = descriptor.prefix,
        .runtime = descriptor.runtime,
        .runtimeObject = descriptor.runtimeObject,
        .piped = links::takesLinks(),
    });

    // 20. The supervisor, for the life of the process, and its shell, made,
    //     not yet launched.
    const auto supervisionSystem = supervision::theRealSystem(supervision::rootWaitFileOf(descriptor.identity));
    supervision::Supervisor supervisor(supervision::Timings{},
                                       {.byItsParent = supervision::hostedByItsParent(), .rootWaitSeconds = supervision::rootWaitSeconds()},
                                       supervision::shellsOfThisHost(), supervision::theRealClock(), *supervisionSystem);
    supervision::setTheSupervisor(supervisor);
    supervisor.setWhatFollowsASwap([] { channel::tellTheChildTheFront(); });
    supervisor.makeTheShell();

    // 21. and 22. Stop and swap signals.
    supervisor.installTheStopSignals();
    supervisor.installTheSwapSignal();
    // 23. The clock is a constant (platform/clock.h).
    // 24. Link delivery and focus return.
    links::setTheLinkLog(descriptor.identity, descriptor.value("links"));
    links::makeTheFocusReturn();
    // 25. Quitting starts false and the quit reasons are constants; the
    //     reopen menu comes with the menu.

    // 26. The shared application, prohibited until it draws the shell's menu.
    platform::workspace().setActivationPolicy(platform::ActivationPolicy::prohibited);

    // 27. The application delegate, the get-URL handler (with schemes) and
    //     the services provider (with services).
    links::makeTheRelay();
    links::makeTheReceiver(descriptor.identity, descriptor.value("opens"));
    links::makeTheFileService();
    // 28. The display-change URL and its callback.
    links::watchTheDisplays(bundle.info());

    // 29. Where the menu is published and the socket listens, and whether
    //     the shell hears that its menu opened. Whether the shell hears
    //     which application is in front, and the observer of activations.
    const std::string menuDirectory = platform::appendingComponent(platform::applicationSupportFolder(), descriptor.identity);
    menu::MenuSettings menuSettings{
        .identity = descriptor.identity,
        .hosted = supervision::hostedByItsParent(),
        .tellsTheChildItOpened = supervision::drawsTheChildsMenu() && descriptor.value("opened") == "tell",
        .menuFile = platform::appendingComponent(menuDirectory, "menu.json"),
        .menuSocketPath = platform::appendingComponent(menuDirectory, "menu.sock"),
    };
    channel::decideWhetherToTellTheFront(supervision::piped(), descriptor.value("front"));

    // 30. The menu owner, and what the hosting parent's requests on the
    //     socket reach once it listens.
    menu::makeTheMenuOwner(std::move(menuSettings));
    static_assert(socket::HOST_URL_LIMIT == links::linkFileBytes);
    socket::setTheHostRequestSeams({
        .drawnOnce = [] { return menu::menuOwner().drawnOnce(); },
        .publish = [] { return menu::menuOwner().publish(); },
        .titleOf = [](const std::string& id) { return menu::menuOwner().titleOf(id); },
        .send = [](const std::string& id) { return menu::menuOwner().send(id); },
        .isOneOfOurURLs = [](const std::string& url) {
            auto scheme = links::schemeOf(url);
            return scheme && links::schemes().count(*scheme) > 0;
        },
        .arrived = [](const std::string& url) { links::receiver().arrived(url, std::nullopt, std::nullopt); },
        .runningShell = []() -> std::optional<pid_t> {
            if (!supervision::shellIsRunning())
                return std::nullopt;
            return supervision::shellPid();
        },
    });

    // 31. Reopen state and signals.
    supervisor.installTheReopenSignals();

    // 32.
    overlays::makeTheBadgeOwner();

    // 33. The output reader and the termination handler go onto the shell
    //     with its launch (39). What the reader routes, and to whom: the
    //     owners join as their subsystems come.
    const bool piped = supervision::piped();
    channel::setTheRoutingSwitches({
        .hostsTheChildsPanel = piped && descriptor.value("panel") == "host",
        .childOwnsHotKeys = piped && descriptor.value("hotkeys") == "child",
        .drawsTheChildsMenu = supervision::drawsTheChildsMenu(),
        .makesABadge = [](const nlohmann::json& message) { return overlays::badgeOf(message).has_value(); },
    });

    // 34. The key tables and the owner of the declared hot keys; the panel
    //     host, whose panels close with every shell when it hosts them.
    hotkeys::makeTheKeyTables();
    hotkeys::makeTheHotKeyOwner(piped, descriptor.identity);
    overlays::makeThePanelHost(supervision::theShellEnvironment(), bundle.path());
    if (channel::routingSwitches().hostsTheChildsPanel)
        supervisor.setWhatClosesWithTheShell([] { overlays::panelHost().closeAll(); });
    // 35. The updater's values and the update-check signal.
    menu::setTheUpdaterValues(bundle.info(), descriptor.frozen.has_value());
    supervision::installTheUpdateSignal(menu::checkForUpdatesFromTheShell);
    // 36. The shell's hot keys, the apps watch, and the owners of the
    //     shell's messages that exist so far.
    hotkeys::makeTheChildHotKeys(channel::routingSwitches().childOwnsHotKeys);
    links::makeTheAppsWatch();
    channel::ChildMessageOwners owners;
    owners.childHotKeysTake = [](std::string_view line) {
        if (auto* owner = hotkeys::childHotKeys())
            owner->takeLine(line);
    };
    owners.appsWatchStart = [] { links::appsWatch().start(); };
    owners.menuOwnerDraw = [](std::string_view line) { menu::menuOwner().drawLine(line); };
    owners.menuOwnerPopUpAtTheCursor = [] { menu::menuOwner().popUpAtTheCursor(); };
    owners.badgeOwnerShow = [](std::string_view line) { overlays::badgeOwner().showLine(line); };
    owners.panelHostCall = [](std::string_view line) { overlays::panelHost().callLine(line); };
    owners.focusReturnChildReplies = [] { links::focusReturn().childRepliesFromNowOn(); };
    owners.focusReturnReplied = links::takeTheLinkReply;
    channel::setTheMessageOwners(std::move(owners));
    // 37. Supervision timings and the root wait came with the supervisor.

    // 38. The parent, unless launchd started the host.
    supervisor.watchTheParent(bornUnder);

    // 39. and 40.
    supervisor.launchTheShellOrLeave();

    // 41.
    channel::tellTheChildTheFront();
    // 42. The updater starts once the main loop runs.
    platform::post(menu::startTheUpdaterOfTheFeed);

    // 43.
    platform::runTheMainLoop();
}

} // namespace kestrune::host
