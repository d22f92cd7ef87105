#include "platform/desktop.h"

#include "platform/bundle.h"
#include "platform/desktop_json.h"
#include "platform/files.h"
#include "platform/standard_error.h"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

namespace platform {

std::optional<Rect> rectFromBounds(const nlohmann::json& bounds)
{
    if (!bounds.is_object())
        return std::nullopt;
    Rect rect;
    const std::pair<const char*, double*> members[] = {
        {"X", &rect.x}, {"Y", &rect.y}, {"Width", &rect.width}, {"Height", &rect.height}};
    for (auto [key, target] : members) {
        auto found = bounds.find(key);
        if (found == bounds.end() || !found->is_number())
            return std::nullopt;
        *target = found->get<double>();
    }
    return rect;
}

nlohmann::json boundsOf(const Rect& rect)
{
    return {{"X", wire::numberJson(rect.x)}, {"Y", wire::numberJson(rect.y)}, {"Width", wire::numberJson(rect.width)},
            {"Height", wire::numberJson(rect.height)}};
}

MenuItem separatorItem()
{
    MenuItem item;
    item.separator = true;
    item.enabled = false;
    return item;
}

std::optional<std::string> fourCharText(uint32_t code)
{
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        char c = char((code >> shift) & 0xff);
        if (c < 0x20 || c > 0x7e)
            return std::nullopt;
        text.push_back(c);
    }
    return text;
}

std::optional<uint32_t> fourCharCodeOf(const std::string& text)
{
    if (text.size() != 4)
        return std::nullopt;
    uint32_t code = 0;
    for (char c : text) {
        if (c < 0x20 || c > 0x7e)
            return std::nullopt;
        code = (code << 8) | uint8_t(c);
    }
    return code;
}

DesktopIdentity ownDesktopIdentity()
{
    auto bundle = Bundle::main();
    DesktopIdentity identity;
    identity.pid = getpid();
    identity.bundleIdentifier = bundle.identifier();
    // The name the workspace shows: the display name, the bundle name, or
    // the executable's name.
    identity.localizedName = bundle.string("CFBundleDisplayName");
    if (!identity.localizedName)
        identity.localizedName = bundle.string("CFBundleName");
    if (!identity.localizedName)
        identity.localizedName = lastComponent(runningExecutablePath());
    identity.bundlePath = bundle.path();
    auto flag = [&](const char* key) {
        auto found = bundle.info().find(key);
        return found != bundle.info().end() && found->is_boolean() && found->get<bool>();
    };
    if (flag("LSBackgroundOnly"))
        identity.activationPolicy = ActivationPolicy::prohibited;
    else if (flag("LSUIElement"))
        identity.activationPolicy = ActivationPolicy::accessory;
    return identity;
}

namespace {

// The server the environment names when it answers, else the headless desktop.
std::unique_ptr<Desktop> chooseTheDesktop()
{
    auto identity = ownDesktopIdentity();
    const char* socketPath = std::getenv(DESKTOP_SOCKET_VARIABLE);
    if (!socketPath || !*socketPath)
        return makeHeadlessDesktop(identity);
    std::string error;
    if (auto served = connectToTheDesktopServer(socketPath, identity, error))
        return served;
    sayOnStandardError(std::string("desktop server unreachable at ") + socketPath + " (" + error
                       + "); the headless desktop serves");
    return makeHeadlessDesktop(identity);
}
}

Desktop& desktop()
{
    static std::unique_ptr<Desktop> chosen = chooseTheDesktop();
    return *chosen;
}

} // namespace platform
