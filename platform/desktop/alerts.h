// Alerts: modal questions to the user with a row of buttons (NSAlert).
#pragma once

#include <string>
#include <vector>

namespace platform {

struct Alert {
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttons;   // in order; none gives one "OK" button
    bool operator==(const Alert&) const = default;
};

// Every call is made on the main thread.
class Alerts {
public:
    virtual ~Alerts() = default;

    // Runs the alert modally; the index of the button chosen.
    virtual int runModalAlert(const Alert& alert) = 0;
};

// The alerts of this process's desktop (see platform/desktop.h).
Alerts& alerts();

} // namespace platform
