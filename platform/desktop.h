// The desktop: what AppKit, Carbon, CoreGraphics and the Apple-event manager
// give a menu-bar host on macOS. The host's subsystems call this interface
// and nothing below it. Two implementations serve it: the embedded headless
// desktop (the default) and the desktop server, a separate program named by
// the environment (see desktop() below).
#pragma once

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// The environment variable that names the desktop server's socket.
inline constexpr const char* DESKTOP_SOCKET_VARIABLE = "KESTRUNE_DESKTOP_SOCKET";

enum class ActivationPolicy { regular = 0, accessory = 1, prohibited = 2 };

struct RunningApplication {
    pid_t pid = 0;
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> localizedName;
    std::optional<std::string> bundlePath;
    ActivationPolicy activationPolicy = ActivationPolicy::regular;
    bool terminated = false;
};

struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
};

// Keys of a window description, as the window server names them.
inline constexpr const char* WINDOW_OWNER_PID = "kCGWindowOwnerPID";
inline constexpr const char* WINDOW_LAYER = "kCGWindowLayer";
inline constexpr const char* WINDOW_BOUNDS = "kCGWindowBounds";   // {"X","Y","Width","Height"}

// A bounds dictionary turned into a rectangle; nothing when it is not one.
std::optional<Rect> rectFromBounds(const nlohmann::json& bounds);

class Desktop {
public:
    virtual ~Desktop() = default;

    // Window server: the on-screen windows without desktop elements, front
    // to back, each a dictionary with the keys above; nothing when the
    // window server gives no list.
    virtual std::optional<std::vector<nlohmann::json>> onScreenWindows() = 0;

    // Workspace: the application in front, if any.
    virtual std::optional<RunningApplication> frontmostApplication() = 0;
    // Workspace: calls `observer` on the main queue with the application
    // that became active, each time one does, for the life of the process.
    // The application is absent when the notification carries none.
    virtual void observeActivations(std::function<void(const std::optional<RunningApplication>&)> observer) = 0;

    // Shared application.
    virtual void setActivationPolicy(ActivationPolicy policy) = 0;
    virtual ActivationPolicy activationPolicy() = 0;
};

// The desktop of this process, chosen once on first use: the desktop server
// whose socket the environment names, else the headless desktop.
Desktop& desktop();

// The embedded default: one screen, no other applications, no windows.
std::unique_ptr<Desktop> makeHeadlessDesktop();

} // namespace platform
