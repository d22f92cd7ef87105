#include "platform/desktop/headless/alerts_headless.h"

#include "platform/main_queue.h"

namespace platform {

int HeadlessAlerts::runModalAlert(const Alert&)
{
    assertOnTheMainThread("runModalAlert");
    return 0;
}

} // namespace platform
