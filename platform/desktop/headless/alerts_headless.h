// The alerts of a session with nobody to answer: the first button is chosen.
#pragma once

#include "platform/desktop/alerts.h"

namespace platform {

class HeadlessAlerts : public Alerts {
public:
    int runModalAlert(const Alert& alert) override;
};

} // namespace platform
