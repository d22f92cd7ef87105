// The application events of a session where nobody sends any: the handlers
// and the delegate are kept, and the served application events hand the
// server's events to them through the delivery calls below.
#pragma once

#include "platform/desktop/application_events.h"

namespace platform {

class HeadlessApplicationEvents : public ApplicationEvents {
public:
    void setGetURLHandler(AppleEventHandler handler) override;
    std::optional<AppleEvent> currentAppleEvent() override;
    void setApplicationDelegate(ApplicationDelegate delegate) override;
    void setServicesProvider(ServicesProvider provider) override;

protected:
    // Each runs with the event as the current Apple event.
    void deliverGetURL(const AppleEvent& event);
    void deliverOpenURLs(const std::vector<std::string>& urls, const std::optional<AppleEvent>& event);
    bool askToReopen(const std::optional<AppleEvent>& event);
    TerminateReply askToTerminate(const std::optional<AppleEvent>& event);
    std::optional<std::string> askTheServicesProvider(const ServicesRequest& request);
    // A quit was answered now: the delegate's terminate, if any, ends the host.
    void terminateAsAnswered();

    bool hasGetURLHandler() const { return static_cast<bool>(getURLHandler_); }
    bool hasServicesProvider() const { return static_cast<bool>(servicesProvider_); }
    bool hasDelegate() const { return delegateInstalled_; }

private:
    // Runs `work` with `event` as the current Apple event.
    template <typename Work>
    auto withCurrentEvent(const std::optional<AppleEvent>& event, Work&& work);

    AppleEventHandler getURLHandler_;
    ApplicationDelegate delegate_;
    bool delegateInstalled_ = false;
    ServicesProvider servicesProvider_;
    std::optional<AppleEvent> currentEvent_;
};

} // namespace platform
