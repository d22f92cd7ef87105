#include "platform/desktop/headless/headless_state.h"

#include "platform/main_queue.h"

namespace platform {

HeadlessState::HeadlessState(DesktopIdentity identity)
    : identity_(std::move(identity))
{
}

void HeadlessState::later(std::function<void()> work)
{
    post([alive = std::weak_ptr<int>(lifetime_), work = std::move(work)] {
        if (alive.lock())
            work();
    });
}

} // namespace platform
