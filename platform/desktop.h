// The desktop: what AppKit, Carbon, CoreGraphics and the Apple-event manager
// give a menu-bar host on macOS, split by topic. The host's subsystems reach
// a topic through its function (workspace(), windowServer(), statusBar(),
// hotKeys(), panels(), alerts(), applicationEvents()) and nothing below it.
// Three implementations serve every topic: the embedded headless desktop
// (the default, platform/desktop/headless), the desktop server, a separate
// program named by the environment (platform/desktop/served), and the live
// desktop of the system's own session (on Linux an X11 session with a
// session bus, platform/linux/desktop/live).
//
// The calls are shaped after what the host does with them, not after
// AppKit's classes: a menu is a value the host builds and hands over whole, a
// status item or a panel is a number with a state the host sets and can read
// back, and everything the system tells the host (notifications, hot-key
// presses, picks, Apple events) arrives through observers and handlers that
// run on the main queue. Every call is made on the main thread.
#pragma once

#include "platform/result.h"

#include "platform/desktop/alerts.h"
#include "platform/desktop/application_events.h"
#include "platform/desktop/hot_keys.h"
#include "platform/desktop/panels.h"
#include "platform/desktop/status_bar.h"
#include "platform/desktop/values.h"
#include "platform/desktop/window_server.h"
#include "platform/desktop/workspace.h"

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

namespace platform {

// The environment variable that names the desktop server's socket.
inline constexpr const char* DESKTOP_SOCKET_VARIABLE = "KESTRUNE_DESKTOP_SOCKET";
// How long a call that is not modal waits for the server's answer, in
// milliseconds (default DESKTOP_ANSWER_MS); past it the server counts as gone.
inline constexpr const char* DESKTOP_TIMEOUT_VARIABLE = "KESTRUNE_DESKTOP_TIMEOUT_MS";
inline constexpr int DESKTOP_ANSWER_MS = 5000;
// The version of the protocol spoken with the desktop server.
inline constexpr int DESKTOP_PROTOCOL = 1;
// Whether the live desktop serves: "on" forces it, "off" keeps it away, and
// anything else (or nothing) lets the session decide (see below).
inline constexpr const char* LIVE_DESKTOP_VARIABLE = "KESTRUNE_LIVE_DESKTOP";

// One desktop: its topics, living as long as it does.
class Desktop {
public:
    virtual ~Desktop() = default;

    virtual Workspace& workspace() = 0;
    virtual WindowServer& windowServer() = 0;
    virtual StatusBar& statusBar() = 0;
    virtual HotKeys& hotKeys() = 0;
    virtual Panels& panels() = 0;
    virtual Alerts& alerts() = 0;
    virtual ApplicationEvents& applicationEvents() = 0;
};

// The topic functions (workspace() and the others) give the topics of the
// desktop of this process, chosen once on first use: the desktop server
// whose socket the environment names (DESKTOP_SOCKET_VARIABLE); else the live
// desktop when LIVE_DESKTOP_VARIABLE says "on", or says nothing and the
// session offers one; else the headless desktop.
// A named server or a live desktop that cannot be had is said once on
// standard error, and the headless desktop serves.

// Who the host is, as it introduces itself to the desktop.
struct DesktopIdentity {
    pid_t pid = 0;
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> localizedName;
    std::optional<std::string> bundlePath;
    // The policy the system gives the application at launch.
    ActivationPolicy activationPolicy = ActivationPolicy::regular;
};

// This process, from its main bundle: its Info.plist's LSBackgroundOnly
// makes it prohibited at launch, LSUIElement an accessory.
DesktopIdentity ownDesktopIdentity();

// The embedded default: one screen, no other applications, no windows, hot
// keys that register and never fire, alerts answered with their first button.
std::unique_ptr<Desktop> makeHeadlessDesktop(DesktopIdentity identity);
std::unique_ptr<Desktop> makeHeadlessDesktop();

// A desktop backed by the server at `socketPath`; nothing, with the reason in
// `error`, when the server cannot be reached or refuses the host.
Result<std::unique_ptr<Desktop>> connectToTheDesktopServer(const std::string& socketPath, DesktopIdentity identity);

// Whether this process runs in a session with a live desktop of its own, so
// that it serves unless refused (on Linux: a named X display and a session
// bus).
bool theSessionOffersALiveDesktop();

// Makes the live desktop of the system's session; nothing, with the reason,
// when it cannot be had (on Linux: its library or the session).
Result<std::unique_ptr<Desktop>> loadTheLiveDesktop(DesktopIdentity identity);

} // namespace platform
