#include "links/termination_relay.h"

#include "links/link_file.h"
#include "links/receiver.h"
#include "links/settings.h"
#include "links/url.h"
#include "platform/exit.h"
#include "platform/main_queue.h"
#include "supervision/launch.h"
#include "supervision/signals.h"

#include <memory>

namespace kestrune::links {

namespace {
std::unique_ptr<TerminationRelay> theRelay;
}

void TerminationRelay::open(const std::vector<std::string>& urls)
{
    platform::assertOnTheMainThread("TerminationRelay::open");
    auto event = platform::applicationEvents().currentAppleEvent();
    for (const auto& url : urls) {
        if (schemeOf(url) == "file") {
            if (auto link = linkOf(url))
                receiver().arrived(*link, event, filePathOf(url));
            continue;
        }
        if (url.size() <= linkFileBytes)
            receiver().arrived(url, event, std::nullopt);
    }
}

bool TerminationRelay::shouldHandleReopen()
{
    platform::assertOnTheMainThread("TerminationRelay::shouldHandleReopen");
    supervision::reopenRequested();
    return false;
}

platform::TerminateReply TerminationRelay::shouldTerminate()
{
    platform::assertOnTheMainThread("TerminationRelay::shouldTerminate");
    if (!supervision::shellIsRunning())
        return platform::TerminateReply::now;
    supervision::quitInOrder();
    return platform::TerminateReply::cancel;
}

void makeTheRelay()
{
    platform::assertOnTheMainThread("makeTheRelay");
    theRelay = std::make_unique<TerminationRelay>();
    platform::ApplicationDelegate delegate;
    delegate.openURLs = [](const std::vector<std::string>& urls) { theRelay->open(urls); };
    delegate.shouldHandleReopen = [](bool) { return theRelay->shouldHandleReopen(); };
    delegate.shouldTerminate = [] { return theRelay->shouldTerminate(); };
    // The platform hands a quit answered "now" back here: nothing runs, so
    // the host simply leaves.
    delegate.terminate = [] { platform::leave(platform::EXIT_DONE); };
    platform::applicationEvents().setApplicationDelegate(std::move(delegate));
}

} // namespace kestrune::links
