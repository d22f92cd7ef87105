// The window server of the simulated session: the windows of applications,
// status items and panels in their stacking order, the screens and their
// reconfiguration, and the mouse.
#pragma once

#include "menu_bar.h"
#include "request.h"
#include "topic.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace desktop {

class Session;

struct Window {
    uint32_t number = 0;
    pid_t owner = 0;
    platform::Rect bounds;        // the window server's coordinates
    int layer = 0;
    bool onScreen = true;
    bool desktopElement = false;
    bool statusItem = false;      // stays on screen while its owner hides
    std::string name;
};

class WindowServer final : public Topic {
public:
    explicit WindowServer(Session& session);

    // Windows from their descriptions; false with the reason for a wrong one.
    bool windowsOf(const json& list, std::vector<Window>& windows, std::string& error);
    // Replaces what the session or the process gave an application; the new
    // windows come to the front in the order given.
    void setWindowsOf(pid_t pid, const std::vector<Window>& windows);
    // The windows given to an application, as the state shows them.
    json windowsJsonOf(pid_t pid) const;
    // Brings the application's windows in front of all others.
    void raiseWindowsOf(pid_t pid);
    // A window of a host's own (a status item, a panel), behind all others;
    // its number.
    uint32_t addWindow(Window window);
    void removeWindow(uint32_t number);
    Window& window(uint32_t number) { return windows_.at(number); }
    // Puts the window in front of all others.
    void orderFront(uint32_t number);
    // The on-screen windows without desktop elements, as the window server lists them.
    json windowList();
    const std::vector<platform::Screen>& screens() const { return screens_; }
    // The screen-coordinate rectangle in the window server's coordinates.
    platform::Rect toWindowServer(const platform::Rect& rect) const;

    std::optional<std::string> load(const json& session) override;
    void describe(json& state) override;
    void applicationQuit(pid_t pid) override;

private:
    std::optional<std::vector<platform::Screen>> screensOf(const json& list);

    void windowListRequest(Request& request);
    void screensRequest(Request& request);
    void mouseLocation(Request& request);
    void setOwnWindows(Request& request);
    void windowsRequest(Request& request);
    void setScreens(Request& request);
    void reconfigure(Request& request);
    void setMouse(Request& request);

    Session& session_;
    std::map<uint32_t, Window> windows_;
    std::vector<uint32_t> zOrder_;   // front to back
    uint32_t nextWindow_ = 100;
    std::map<pid_t, std::vector<uint32_t>> applicationWindows_;
    std::vector<platform::Screen> screens_;
    platform::Point mouse_;
};

} // namespace desktop
