// What the headless topics of one desktop share: who the host is, and the
// work they queue for later, which must not outlive them.
#pragma once

#include "platform/desktop.h"

#include <functional>
#include <memory>

namespace platform {

class HeadlessState {
public:
    explicit HeadlessState(DesktopIdentity identity);

    const DesktopIdentity& identity() const { return identity_; }
    // Runs `work` on the main queue later, unless this state is gone by then.
    void later(std::function<void()> work);

private:
    DesktopIdentity identity_;
    // Work queued by later() holds this weakly.
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

} // namespace platform
