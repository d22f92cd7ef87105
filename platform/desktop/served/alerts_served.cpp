#include "platform/desktop/served/alerts_served.h"

#include "platform/desktop/wire.h"
#include "platform/main_queue.h"

#include <algorithm>

namespace platform {

ServedAlerts::ServedAlerts(ServerConnection& server)
    : server_(server)
{
}

int ServedAlerts::runModalAlert(const Alert& alert)
{
    assertOnTheMainThread("runModalAlert");
    if (auto reply = server_.call({{"op", "alert"}, {"alert", wire::toJson(alert)}}, true)) {
        auto button = wire::integerAt(*reply, "button");
        int64_t count = std::max<int64_t>(1, int64_t(alert.buttons.size()));
        if (button && *button >= 0 && *button < count)
            return int(*button);
    }
    return HeadlessAlerts::runModalAlert(alert);
}

} // namespace platform
