#include "links/termination_relay.h"

#include "links/link_file.h"
#include "links/settings.h"
#include "links/url.h"
#include "platform/bundle.h"
#include "platform/desktop/alerts.h"
#include "platform/desktop/workspace.h"
#include "platform/exit.h"
#include "platform/files.h"
#include "platform/main_queue.h"
#include "supervision/death_log.h"
#include "supervision/launch.h"
#include "supervision/signals.h"

#include <unistd.h>

namespace kestrune::links {

namespace {
// The name the user knows the application by.
std::string applicationName()
{
    const auto& bundle = platform::Bundle::main();
    if (auto name = bundle.string("CFBundleDisplayName"))
        return *name;
    if (auto name = bundle.string("CFBundleName"))
        return *name;
    return platform::lastComponent(platform::runningExecutablePath());
}
}

TerminationRelay::TerminationRelay(URLReceiver& receiver, FocusReturn& focusReturn)
    : receiver_(receiver)
    , focusReturn_(focusReturn)
{
}

void TerminationRelay::open(const std::vector<std::string>& urls)
{
    platform::assertOnTheMainThread("TerminationRelay::open");
    auto event = platform::applicationEvents().currentAppleEvent();
    for (const auto& url : urls) {
        if (schemeOf(url) == "file") {
            if (auto link = linkOf(url))
                receiver_.arrived(*link, event, filePathOf(url));
            continue;
        }
        if (url.size() <= linkFileBytes)
            receiver_.arrived(url, event, std::nullopt);
    }
}

bool TerminationRelay::shouldHandleReopen()
{
    platform::assertOnTheMainThread("TerminationRelay::shouldHandleReopen");
    focusReturn_.reopened();
    supervision::reopenRequested();
    return false;
}

platform::TerminateReply TerminationRelay::shouldTerminate()
{
    platform::assertOnTheMainThread("TerminationRelay::shouldTerminate");
    // A stop is under way already (a quit confirmed before, one that waited
    // behind the confirmation, or the lost parent): it ends the host, once,
    // with the record it made.
    if (supervision::quitting())
        return platform::TerminateReply::cancel;
    if (!supervision::shellIsRunning())
        return platform::TerminateReply::now;

    const char* asker = quitIsForTheSession() ? "session" : quitIsFromOurOwnBundle() ? "own" : "outside";
    const pid_t shell = supervision::shellPid();
    if (std::string_view(asker) == "own" && !confirmsTheQuit()) {
        supervision::append({{"kind", "quit-cancelled"}, {"shell", shell}}, supervision::deathLog(shell));
        return platform::TerminateReply::cancel;
    }
    // The user may have taken a while to answer: the stop concerns the shell
    // that runs now, and none at all when it has gone meanwhile.
    if (supervision::quitting())
        return platform::TerminateReply::cancel;
    if (!supervision::shellIsRunning())
        return platform::TerminateReply::now;
    const pid_t stopping = supervision::shellPid();
    const auto& targets = supervision::startQuitting();
    supervision::terminateAll(targets);
    supervision::append({{"kind", "quit-confirmed"}, {"asker", asker}, {"shell", stopping}, {"descendants", targets}},
                        supervision::deathLog(stopping));
    supervision::endTheShell("quit");
    // The system does not end the host now: it leaves once the shell is gone.
    return platform::TerminateReply::cancel;
}

bool TerminationRelay::quitIsForTheSession()
{
    auto event = platform::applicationEvents().currentAppleEvent();
    return event && event->quitReason && sessionQuitReasons.count(*event->quitReason) > 0;
}

bool TerminationRelay::quitIsFromOurOwnBundle()
{
    auto event = platform::applicationEvents().currentAppleEvent();
    if (!event || !event->senderPid || *event->senderPid <= 0 || *event->senderPid == getpid())
        return true;
    // The sender's real executable, not what it calls itself: a program
    // cannot pass for one of ours by its name.
    auto path = URLReceiver::executable(*event->senderPid);
    if (!path)
        return false;
    const std::string inside = platform::standardizedPath(platform::Bundle::main().path()) + "/";
    return path->compare(0, inside.size(), inside) == 0;
}

bool TerminationRelay::confirmsTheQuit()
{
    const std::string name = applicationName();
    auto& workspace = platform::workspace();
    const auto before = workspace.activationPolicy();
    // An application that may not be activated cannot bring its alert to
    // the front.
    workspace.setActivationPolicy(platform::ActivationPolicy::accessory);
    workspace.activateIgnoringOtherApps();
    int chosen = platform::alerts().runModalAlert({
        .messageText = "Quit " + name + "?",
        .informativeText = "Every window and helper process of " + name + " will close.",
        .buttons = {"Quit", "Cancel"},
    });
    const bool quits = chosen == 0;
    // A cancelled quit leaves the application as it was, status item and
    // activation included; a confirmed one takes no activation any more.
    workspace.setActivationPolicy(quits ? platform::ActivationPolicy::prohibited : before);
    return quits;
}

void TerminationRelay::becomeTheDelegate()
{
    platform::assertOnTheMainThread("TerminationRelay::becomeTheDelegate");
    platform::ApplicationDelegate delegate;
    delegate.openURLs = [this](const std::vector<std::string>& urls) { open(urls); };
    delegate.shouldHandleReopen = [this](bool) { return shouldHandleReopen(); };
    delegate.shouldTerminate = [this] { return shouldTerminate(); };
    // The platform hands a quit answered "now" back here: no shell runs, so
    // the host simply leaves.
    delegate.terminate = [] { platform::leave(platform::EXIT_DONE); };
    platform::applicationEvents().setApplicationDelegate(std::move(delegate));
}

} // namespace kestrune::links
