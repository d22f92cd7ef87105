#include "platform/desktop/headless/application_events_headless.h"

#include "platform/main_queue.h"

namespace platform {

void HeadlessApplicationEvents::setGetURLHandler(AppleEventHandler handler)
{
    assertOnTheMainThread("setGetURLHandler");
    getURLHandler_ = std::move(handler);
}

std::optional<AppleEvent> HeadlessApplicationEvents::currentAppleEvent()
{
    assertOnTheMainThread("currentAppleEvent");
    return currentEvent_;
}

void HeadlessApplicationEvents::setApplicationDelegate(ApplicationDelegate delegate)
{
    assertOnTheMainThread("setApplicationDelegate");
    delegate_ = std::move(delegate);
    delegateInstalled_ = true;
}

void HeadlessApplicationEvents::setServicesProvider(ServicesProvider provider)
{
    assertOnTheMainThread("setServicesProvider");
    servicesProvider_ = std::move(provider);
}

template <typename Work>
auto HeadlessApplicationEvents::withCurrentEvent(const std::optional<AppleEvent>& event, Work&& work)
{
    // Handlers may nest (a quit during an alert's wait); the outer event comes
    // back when the inner one is done.
    auto outer = currentEvent_;
    currentEvent_ = event;
    struct Restore {
        std::optional<AppleEvent>& slot;
        std::optional<AppleEvent> value;
        ~Restore() { slot = value; }
    } restore{currentEvent_, outer};
    return work();
}

void HeadlessApplicationEvents::deliverGetURL(const AppleEvent& event)
{
    withCurrentEvent(event, [&] {
        if (getURLHandler_) {
            auto handler = getURLHandler_;
            handler(event);
            return;
        }
        // Without a handler of its own the application gets the URL as an
        // opened URL, as AppKit does.
        if (event.directObject && delegate_.openURLs) {
            auto openURLs = delegate_.openURLs;
            openURLs({*event.directObject});
        }
    });
}

void HeadlessApplicationEvents::deliverOpenURLs(const std::vector<std::string>& urls, const std::optional<AppleEvent>& event)
{
    withCurrentEvent(event, [&] {
        if (delegate_.openURLs) {
            auto openURLs = delegate_.openURLs;
            openURLs(urls);
        }
    });
}

bool HeadlessApplicationEvents::askToReopen(const std::optional<AppleEvent>& event)
{
    return withCurrentEvent(event, [&] {
        if (!delegate_.shouldHandleReopen)
            return true;
        auto reopen = delegate_.shouldHandleReopen;
        return reopen(false);
    });
}

TerminateReply HeadlessApplicationEvents::askToTerminate(const std::optional<AppleEvent>& event)
{
    return withCurrentEvent(event, [&] {
        if (!delegate_.shouldTerminate)
            return TerminateReply::now;
        auto shouldTerminate = delegate_.shouldTerminate;
        return shouldTerminate();
    });
}

void HeadlessApplicationEvents::terminateAsAnswered()
{
    if (delegate_.terminate) {
        auto terminate = delegate_.terminate;
        terminate();
    }
}

std::optional<std::string> HeadlessApplicationEvents::askTheServicesProvider(const ServicesRequest& request)
{
    if (!servicesProvider_)
        return std::string("The application provides no services");
    auto provider = servicesProvider_;
    return provider(request);
}

} // namespace platform
