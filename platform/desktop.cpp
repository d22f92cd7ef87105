#include "platform/desktop.h"

#include "platform/bundle.h"
#include "platform/files.h"
#include "platform/standard_error.h"

#include <cstdlib>
#include <string_view>
#include <unistd.h>

namespace platform {

DesktopIdentity ownDesktopIdentity()
{
    const Bundle& bundle = Bundle::main();
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

// The server the environment names when it answers; else the live desktop
// when it is asked for, or when the session offers one and it is not
// refused; else the headless desktop.
std::unique_ptr<Desktop> chooseTheDesktop()
{
    auto identity = ownDesktopIdentity();
    const char* socketPath = std::getenv(DESKTOP_SOCKET_VARIABLE);
    if (socketPath && *socketPath) {
        auto served = connectToTheDesktopServer(socketPath, identity);
        if (served)
            return std::move(*served);
        sayOnStandardError(std::string("desktop server unreachable at ") + socketPath + " ("
                           + served.failure().description() + "); the headless desktop serves");
        return makeHeadlessDesktop(identity);
    }
    const char* live = std::getenv(LIVE_DESKTOP_VARIABLE);
    std::string_view wanted = live ? live : "";
    if (wanted == "on" || (wanted != "off" && theSessionOffersALiveDesktop())) {
        auto loaded = loadTheLiveDesktop(identity);
        if (loaded)
            return std::move(*loaded);
        const Failure& failure = loaded.failure();
        std::string reason = failure.description();
        if (failure.call == "stat")
            reason = failure.subject + ": " + reason;
        sayOnStandardError("live desktop unavailable (" + reason + "); the headless desktop serves");
    }
    return makeHeadlessDesktop(identity);
}

// The desktop of this process, chosen on first use.
Desktop& chosenDesktop()
{
    static std::unique_ptr<Desktop> chosen = chooseTheDesktop();
    return *chosen;
}

} // namespace

Workspace& workspace()
{
    return chosenDesktop().workspace();
}

WindowServer& windowServer()
{
    return chosenDesktop().windowServer();
}

StatusBar& statusBar()
{
    return chosenDesktop().statusBar();
}

HotKeys& hotKeys()
{
    return chosenDesktop().hotKeys();
}

Panels& panels()
{
    return chosenDesktop().panels();
}

Alerts& alerts()
{
    return chosenDesktop().alerts();
}

ApplicationEvents& applicationEvents()
{
    return chosenDesktop().applicationEvents();
}

} // namespace platform
