// Loading the live desktop: its library is opened only when the live desktop
// is chosen, so a host on the headless desktop or the desktop server maps
// neither xcb nor sd-bus and starts as fast as before.
#include "platform/linux/desktop/live_loader.h"

#include "platform/bundle.h"
#include "platform/dynamic_library.h"
#include "platform/files.h"

#include <cstdlib>

namespace platform {

// An X display and a session bus, named by the environment (the bus also by
// the runtime folder's socket).
bool theSessionOffersALiveDesktop()
{
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display)
        return false;
    if (const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS"); bus && *bus)
        return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime && *runtime && isSocket(appendingComponent(runtime, "bus"));
}

std::string liveDesktopLibraryPath()
{
    if (const char* named = std::getenv(LIVE_DESKTOP_LIBRARY_VARIABLE); named && *named)
        return named;
    const std::string& bundle = Bundle::main().path();
    if (bundle.size() > 4 && bundle.compare(bundle.size() - 4, 4, ".app") == 0)
        return appendingComponent(appendingComponent(bundle, "Contents/Frameworks"), LIVE_DESKTOP_LIBRARY_NAME);
    return appendingComponent(deletingLastComponent(runningExecutablePath()), LIVE_DESKTOP_LIBRARY_NAME);
}

Result<std::unique_ptr<Desktop>> loadTheLiveDesktop(DesktopIdentity identity)
{
    auto library = loadLibrary(liveDesktopLibraryPath());
    if (!library)
        return library.failure();
    auto entry = symbolOf(*library, LIVE_DESKTOP_ENTRY);
    if (!entry)
        return entry.failure();
    std::string error;
    Desktop* desktop = reinterpret_cast<LiveDesktopEntry>(*entry)(identity, error);
    if (!desktop)
        return failureBecause(LIVE_DESKTOP_ENTRY, error.empty() ? "the session refused the live desktop" : error);
    return std::unique_ptr<Desktop>(desktop);
}

} // namespace platform
