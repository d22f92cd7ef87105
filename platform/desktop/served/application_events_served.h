// Application events sent by the desktop server: get-URL, open-URLs,
// reopen, quit and Services requests arrive as events and reach the host's
// handlers and delegate; the server is shown which of them the host
// installed. Without the server nothing arrives.
#pragma once

#include "platform/desktop/headless/application_events_headless.h"
#include "platform/desktop/served/server_connection.h"

namespace platform {

class ServedApplicationEvents final : public HeadlessApplicationEvents {
public:
    explicit ServedApplicationEvents(ServerConnection& server);

    void setGetURLHandler(AppleEventHandler handler) override;
    void setApplicationDelegate(ApplicationDelegate delegate) override;
    void setServicesProvider(ServicesProvider provider) override;

private:
    // Shows the server which handlers the host installed.
    void tellTheHandlers();
    // The events of this topic, by name.
    void getURLEvent(const nlohmann::json& event);
    void openURLsEvent(const nlohmann::json& event);
    void reopenEvent(const nlohmann::json& event);
    void quitEvent(const nlohmann::json& event);
    void servicesEvent(const nlohmann::json& event);

    ServerConnection& server_;
};

} // namespace platform
