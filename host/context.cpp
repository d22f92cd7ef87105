#include "host/context.h"

#include "channel/outgoing.h"
#include "channel/routes.h"
#include "hotkeys/child_hot_keys.h"
#include "hotkeys/chords.h"
#include "hotkeys/declared.h"
#include "hotkeys/hot_key_owner.h"
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
#include "platform/desktop.h"
#include "platform/files.h"
#include "platform/main_queue.h"
#include "socket/requests.h"
#include "supervision/exit.h"
#include "supervision/launch.h"
#include "supervision/root.h"
#include "supervision/signals.h"
#include "supervision/supervisor.h"
#include "supervision/timings.h"

namespace kestrune::host {

HostContext::HostContext(const platform::Bundle& bundle, const RuntimeDescriptor& descriptor, const std::vector<std::string>& commandLine)
{
    platform::assertOnTheMainThread("HostContext");
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
    supervisionSystem = supervision::theRealSystem(supervision::rootWaitFileOf(descriptor.identity));
    supervisor = std::make_unique<supervision::Supervisor>(
        supervision::timingsFrom(platform::processEnvironment()),
        supervision::Hosting{.byItsParent = supervision::hostedByItsParent(), .rootWaitSeconds = supervision::rootWaitSeconds()},
        supervision::shellsOfThisHost(), supervision::theRealClock(), *supervisionSystem);
    supervision::setTheSupervisor(*supervisor);
    supervisor->setWhatFollowsASwap([] { channel::tellTheChildTheFront(); });
    supervisor->makeTheShell();

    // 21. and 22. Stop and swap signals.
    supervisor->installTheStopSignals();
    supervisor->installTheSwapSignal();
    // 23. The clock is a constant (platform/clock.h).
    // 24. Link delivery and focus return.
    links::setTheLinkLog(descriptor.identity, descriptor.value("links"));
    focusReturn = std::make_shared<links::FocusReturn>();
    focusReturn->observe();
    // 25. Quitting starts false and the quit reasons are constants; the
    //     reopen menu comes with the menu.

    // 26. The shared application, prohibited until it draws the shell's menu.
    platform::workspace().setActivationPolicy(platform::ActivationPolicy::prohibited);

    // 27. The application delegate, the get-URL handler (with schemes) and
    //     the services provider (with services).
    receiver = std::make_unique<links::URLReceiver>(descriptor.identity, descriptor.value("opens"), *focusReturn);
    relay = std::make_unique<links::TerminationRelay>(*receiver, *focusReturn);
    relay->becomeTheDelegate();
    receiver->handleTheGetURLEvent();
    fileService = std::make_unique<links::FileService>();
    fileService->provideTheServices();
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

    // 30. The menu owner, with the updater whose rows end its menu: both
    //     only read values here (the shell's environment is final since
    //     17), so the panel host they reach the views library through comes
    //     first. Then what the hosting parent's requests on the socket reach
    //     once it listens.
    panelHost = std::make_unique<overlays::PanelHost>(overlays::viewsPathFor(supervision::theShellEnvironment(), bundle.path()));
    updater = std::make_unique<menu::Updater>(bundle.info(), descriptor.frozen.has_value(), *panelHost);
    menuOwner = std::make_shared<menu::MenuOwner>(std::move(menuSettings), *updater);
    menuOwner->hearTheStatusBar();
    static_assert(socket::HOST_URL_LIMIT == links::linkFileBytes);
    socket::setTheHostRequestSeams({
        .drawnOnce = [this] { return menuOwner->drawnOnce(); },
        .publish = [this] { return menuOwner->publish(); },
        .titleOf = [this](const std::string& id) { return menuOwner->titleOf(id); },
        .send = [this](const std::string& id) { return menuOwner->send(id); },
        .isOneOfOurURLs = [](const std::string& url) {
            auto scheme = links::schemeOf(url);
            return scheme && links::schemes().count(*scheme) > 0;
        },
        .arrived = [this](const std::string& url) { receiver->arrived(url, std::nullopt, std::nullopt); },
        .runningShell = []() -> std::optional<pid_t> {
            if (!supervision::shellIsRunning())
                return std::nullopt;
            return supervision::shellPid();
        },
    });

    // 31. Reopen state and signals.
    supervisor->installTheReopenSignals();

    // 32.
    badgeOwner = std::make_unique<overlays::BadgeOwner>();

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

    // 34. The key tables and the owner of the declared hot keys (when the
    //     shell is piped and the bundle declares some); the panel host's
    //     panels close with every shell when it hosts them.
    hotkeys::makeTheKeyTables();
    if (piped && !hotkeys::declaredHotKeys().empty())
        hotKeyOwner = std::make_unique<hotkeys::HotKeyOwner>(hotkeys::declaredHotKeys(), hotkeys::activationFileOf(descriptor.identity));
    if (channel::routingSwitches().hostsTheChildsPanel)
        supervisor->setWhatClosesWithTheShell([this] { panelHost->closeAll(); });
    // 35. The update-check signal.
    supervision::installTheUpdateSignal([this] { updater->checkForUpdatesFromTheShell(); });
    // 36. The shell's hot keys (when it owns them), the apps watch, and the
    //     owners of the shell's messages that exist so far.
    if (channel::routingSwitches().childOwnsHotKeys)
        childHotKeys = std::make_unique<hotkeys::ChildHotKeys>();
    appsWatch = std::make_shared<links::AppsWatch>();
    channel::ChildMessageOwners owners;
    owners.childHotKeysTake = [this](std::string_view line) {
        if (childHotKeys)
            childHotKeys->takeLine(line);
    };
    owners.appsWatchStart = [this] { appsWatch->start(); };
    owners.menuOwnerDraw = [this](std::string_view line) { menuOwner->drawLine(line); };
    owners.menuOwnerPopUpAtTheCursor = [this] { menuOwner->popUpAtTheCursor(); };
    owners.badgeOwnerShow = [this](std::string_view line) { badgeOwner->showLine(line); };
    owners.panelHostCall = [this](std::string_view line) { panelHost->callLine(line); };
    owners.focusReturnChildReplies = [this] { focusReturn->childRepliesFromNowOn(); };
    owners.focusReturnReplied = [this](std::string_view line) { focusReturn->takeReplyLine(line); };
    channel::setTheMessageOwners(std::move(owners));
    // 37. Supervision timings and the root wait came with the supervisor.
}

HostContext::~HostContext() = default;

void HostContext::run(pid_t bornUnder)
{
    // 38. The parent, unless launchd started the host.
    supervisor->watchTheParent(bornUnder);

    // 39. and 40.
    supervisor->launchTheShellOrLeave();

    // 41.
    channel::tellTheChildTheFront();
    // 42. The updater starts once the main loop runs.
    platform::post([this] { updater->startTheUpdaterOfTheFeed(); });

    // 43.
    platform::runTheMainLoop();
}

} // namespace kestrune::host
