#include "platform/desktop/served/window_server_served.h"

#include "platform/desktop/wire.h"

#include <nlohmann/json.hpp>

namespace platform {

using nlohmann::json;

ServedWindowServer::ServedWindowServer(ServerConnection& server)
    : server_(server)
{
    server_.onEvent("displays", [this](const json& event) { displaysEvent(event); });
}

std::optional<std::vector<json>> ServedWindowServer::onScreenWindows()
{
    assertOnTheMainThread("onScreenWindows");
    if (auto reply = server_.call({{"op", "windowList"}})) {
        auto windows = reply->find("windows");
        if (windows != reply->end() && windows->is_null())
            return std::nullopt;
        if (windows != reply->end() && windows->is_array())
            return windows->get<std::vector<json>>();
    }
    return HeadlessWindowServer::onScreenWindows();
}

std::vector<Screen> ServedWindowServer::screens()
{
    assertOnTheMainThread("screens");
    if (auto reply = server_.call({{"op", "screens"}})) {
        auto list = reply->find("screens");
        if (list != reply->end() && list->is_array()) {
            std::vector<Screen> screens;
            bool whole = true;
            for (const auto& entry : *list) {
                auto screen = wire::screenOf(entry);
                if (!screen) {
                    whole = false;
                    break;
                }
                screens.push_back(*screen);
            }
            if (whole)
                return screens;
        }
    }
    return HeadlessWindowServer::screens();
}

Point ServedWindowServer::mouseLocation()
{
    assertOnTheMainThread("mouseLocation");
    if (auto reply = server_.call({{"op", "mouseLocation"}})) {
        if (auto point = wire::pointOf(*reply))
            return *point;
    }
    return HeadlessWindowServer::mouseLocation();
}

void ServedWindowServer::setDisplayReconfigurationHandler(DisplayReconfigurationHandler handler)
{
    bool installed = static_cast<bool>(handler);
    HeadlessWindowServer::setDisplayReconfigurationHandler(std::move(handler));
    // The server shows which handlers the host installed.
    server_.tell({{"op", "handlers"}, {"displayReconfiguration", installed}});
}

void ServedWindowServer::displaysEvent(const json& event)
{
    auto changes = event.find("changes");
    if (changes == event.end() || !changes->is_array()) {
        server_.complain("display changes without a list", wire::lineOf(event));
        return;
    }
    for (const auto& change : *changes) {
        auto display = wire::integerAt(change, "display");
        auto flags = wire::integerAt(change, "flags");
        if (display && flags && *display >= 0 && *display <= UINT32_MAX && *flags >= 0 && *flags <= UINT32_MAX)
            deliverDisplayChange(uint32_t(*display), uint32_t(*flags));
    }
}

} // namespace platform
