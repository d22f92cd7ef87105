#include "platform/desktop/headless/window_server_headless.h"

#include "platform/main_queue.h"

#include <nlohmann/json.hpp>

namespace platform {

Screen headlessScreen()
{
    // A 1440 by 900 display with a 24-point menu bar.
    return {1, {0, 0, 1440, 900}, {0, 0, 1440, 876}};
}

std::optional<std::vector<nlohmann::json>> HeadlessWindowServer::onScreenWindows()
{
    assertOnTheMainThread("onScreenWindows");
    return std::vector<nlohmann::json>{};
}

int HeadlessWindowServer::statusWindowLevel()
{
    return STATUS_WINDOW_LEVEL;
}

std::vector<Screen> HeadlessWindowServer::screens()
{
    assertOnTheMainThread("screens");
    return {headlessScreen()};
}

Point HeadlessWindowServer::mouseLocation()
{
    assertOnTheMainThread("mouseLocation");
    auto screen = headlessScreen();
    return {screen.frame.width / 2, screen.frame.height / 2};
}

void HeadlessWindowServer::setDisplayReconfigurationHandler(DisplayReconfigurationHandler handler)
{
    assertOnTheMainThread("setDisplayReconfigurationHandler");
    displayHandler_ = std::move(handler);
}

void HeadlessWindowServer::deliverDisplayChange(uint32_t display, uint32_t flags)
{
    if (displayHandler_) {
        auto handler = displayHandler_;
        handler(display, flags);
    }
}

} // namespace platform
