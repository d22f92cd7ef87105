// Alerts shown by the desktop server and answered by its user; the call
// waits as long as the server lives. Without the server, the headless alerts.
#pragma once

#include "platform/desktop/headless/alerts_headless.h"
#include "platform/desktop/served/server_connection.h"

namespace platform {

class ServedAlerts final : public HeadlessAlerts {
public:
    explicit ServedAlerts(ServerConnection& server);

    int runModalAlert(const Alert& alert) override;

private:
    ServerConnection& server_;
};

} // namespace platform
