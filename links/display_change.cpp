#include "links/display_change.h"

#include "links/delivery.h"
#include "links/settings.h"
#include "links/url.h"
#include "platform/desktop/window_server.h"
#include "platform/main_queue.h"

#include <nlohmann/json.hpp>

namespace kestrune::links {

namespace {
std::optional<std::string> changeURL;
}

void watchTheDisplays(const nlohmann::json& info)
{
    platform::assertOnTheMainThread("watchTheDisplays");
    changeURL.reset();
    if (info.is_object()) {
        if (auto found = info.find(displayChangeKey); found != info.end() && found->is_string()) {
            auto text = found->get<std::string>();
            auto scheme = schemeOf(text);
            if (scheme && schemes().count(*scheme))
                changeURL = std::move(text);
        }
    }
    if (changeURL)
        platform::windowServer().setDisplayReconfigurationHandler(displaysReconfigured);
}

const std::optional<std::string>& displayChangeURL()
{
    return changeURL;
}

void displaysReconfigured(uint32_t, uint32_t flags)
{
    if (flags & platform::DISPLAY_BEGIN_CONFIGURATION_FLAG)
        return;
    if (changeURL)
        deliver(*changeURL, displayChangeSource);
}

} // namespace kestrune::links
