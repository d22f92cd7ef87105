#include "window_server.h"

#include "session.h"
#include "status_bar.h"
#include "workspace.h"

#include "platform/desktop/headless/window_server_headless.h"

#include <algorithm>
#include <set>

namespace desktop {

namespace {

using platform::Rect;
using platform::Screen;
namespace wire = platform::wire;

// A rectangle from {"x","y","width","height"} or a bounds dictionary.
std::optional<Rect> anyRectOf(const json& value)
{
    if (auto rect = wire::rectOf(value))
        return rect;
    return platform::rectFromBounds(value);
}

} // namespace

WindowServer::WindowServer(Session& session)
    : session_(session)
    , screens_{platform::headlessScreen()}
    , mouse_{screens_[0].frame.width / 2, screens_[0].frame.height / 2}
{
    auto serve = [this](const char* op, const Session::Roles& roles, void (WindowServer::*handle)(Request&)) {
        session_.serve(op, roles, [this, handle](Request& request) { (this->*handle)(request); });
    };
    serve("windowList", Session::anyone, &WindowServer::windowListRequest);
    serve("screens", Session::anyone, &WindowServer::screensRequest);
    serve("mouseLocation", Session::anyone, &WindowServer::mouseLocation);
    serve("setWindows", Session::processes, &WindowServer::setOwnWindows);
    serve("windows", Session::clients, &WindowServer::windowsRequest);
    serve("setScreens", Session::clients, &WindowServer::setScreens);
    serve("reconfigure", Session::clients, &WindowServer::reconfigure);
    serve("setMouse", Session::clients, &WindowServer::setMouse);
}

bool WindowServer::windowsOf(const json& list, std::vector<Window>& windows, std::string& error)
{
    if (!list.is_array()) {
        error = "windows must be a list";
        return false;
    }
    for (const auto& described : list) {
        Window window;
        std::optional<Rect> bounds;
        if (described.is_object() && described.contains("bounds"))
            bounds = anyRectOf(described["bounds"]);
        if (!bounds) {
            error = "a window needs \"bounds\" {\"x\",\"y\",\"width\",\"height\"}";
            return false;
        }
        window.bounds = *bounds;
        window.layer = int(wire::integerAt(described, "layer").value_or(0));
        window.onScreen = wire::booleanAt(described, "onScreen").value_or(true);
        window.desktopElement = wire::booleanAt(described, "desktopElement").value_or(false);
        window.name = wire::stringAt(described, "name").value_or("");
        windows.push_back(window);
    }
    return true;
}

// Screens from their descriptions, display ids given or made up; nothing for a wrong one.
std::optional<std::vector<Screen>> WindowServer::screensOf(const json& list)
{
    if (!list.is_array())
        return std::nullopt;
    std::vector<Screen> screens;
    uint32_t nextDisplay = 1;
    for (const auto& described : list) {
        Screen screen;
        auto frame = described.is_object() && described.contains("frame") ? anyRectOf(described["frame"]) : anyRectOf(described);
        if (!frame || frame->width <= 0 || frame->height <= 0)
            return std::nullopt;
        screen.frame = *frame;
        auto display = wire::integerAt(described, "display");
        if (display && (*display <= 0 || *display > int64_t(UINT32_MAX)))
            return std::nullopt;
        while (!display && std::any_of(screens.begin(), screens.end(), [&](const Screen& s) { return s.display == nextDisplay; }))
            ++nextDisplay;
        screen.display = display ? uint32_t(*display) : nextDisplay++;
        if (std::any_of(screens.begin(), screens.end(), [&](const Screen& s) { return s.display == screen.display; }))
            return std::nullopt;
        // The first screen carries the menu bar.
        screen.visibleFrame = screen.frame;
        if (screens.empty())
            screen.visibleFrame.height = std::max(0.0, screen.frame.height - MENU_BAR_HEIGHT);
        if (described.is_object() && described.contains("visibleFrame")) {
            auto visible = anyRectOf(described["visibleFrame"]);
            if (!visible)
                return std::nullopt;
            screen.visibleFrame = *visible;
        }
        screens.push_back(screen);
    }
    return screens;
}

void WindowServer::setWindowsOf(pid_t pid, const std::vector<Window>& windows)
{
    if (!session_.workspace().appByPid(pid))
        return;
    auto& given = applicationWindows_[pid];
    for (uint32_t number : given)
        removeWindow(number);
    given.clear();
    std::vector<uint32_t> fresh;
    for (auto window : windows) {
        window.number = nextWindow_++;
        window.owner = pid;
        windows_[window.number] = window;
        given.push_back(window.number);
        fresh.push_back(window.number);
    }
    zOrder_.insert(zOrder_.begin(), fresh.begin(), fresh.end());
    // The front application's windows stay in front of everyone else's.
    auto front = session_.workspace().front();
    if (front && *front != pid)
        raiseWindowsOf(*front);
}

json WindowServer::windowsJsonOf(pid_t pid) const
{
    json list = json::array();
    auto given = applicationWindows_.find(pid);
    if (given == applicationWindows_.end())
        return list;
    for (uint32_t number : given->second) {
        const auto& window = windows_.at(number);
        list.push_back({{"number", window.number},
                        {"bounds", wire::toJson(window.bounds)},
                        {"layer", window.layer},
                        {"onScreen", window.onScreen},
                        {"desktopElement", window.desktopElement},
                        {"name", window.name}});
    }
    return list;
}

void WindowServer::raiseWindowsOf(pid_t pid)
{
    std::vector<uint32_t> own, others;
    for (uint32_t number : zOrder_) {
        const auto& window = windows_.at(number);
        (window.owner == pid && !window.statusItem ? own : others).push_back(number);
    }
    zOrder_ = own;
    zOrder_.insert(zOrder_.end(), others.begin(), others.end());
}

uint32_t WindowServer::addWindow(Window window)
{
    window.number = nextWindow_++;
    windows_[window.number] = window;
    zOrder_.push_back(window.number);
    return window.number;
}

void WindowServer::removeWindow(uint32_t number)
{
    windows_.erase(number);
    std::erase(zOrder_, number);
}

void WindowServer::orderFront(uint32_t number)
{
    std::erase(zOrder_, number);
    zOrder_.insert(zOrder_.begin(), number);
}

json WindowServer::windowList()
{
    auto& workspace = session_.workspace();
    std::vector<const Window*> shown;
    for (uint32_t number : zOrder_) {
        const auto& window = windows_.at(number);
        App* app = workspace.appByPid(window.owner);
        if (!app || !window.onScreen || window.desktopElement)
            continue;
        if (app->running.hidden && !window.statusItem)
            continue;
        shown.push_back(&window);
    }
    std::stable_sort(shown.begin(), shown.end(), [](const Window* a, const Window* b) { return a->layer > b->layer; });
    json list = json::array();
    for (const Window* window : shown) {
        App* app = workspace.appByPid(window->owner);
        list.push_back({
            {platform::WINDOW_NUMBER, window->number},
            {platform::WINDOW_OWNER_PID, window->owner},
            {platform::WINDOW_OWNER_NAME, app->running.localizedName.value_or("")},
            {platform::WINDOW_LAYER, window->layer},
            {platform::WINDOW_BOUNDS, platform::boundsOf(window->bounds)},
            {"kCGWindowAlpha", 1.0},
            {"kCGWindowIsOnscreen", true},
        });
    }
    return list;
}

Rect WindowServer::toWindowServer(const Rect& rect) const
{
    double height = screens_.empty() ? 0 : screens_[0].frame.height;
    return {rect.x, height - (rect.y + rect.height), rect.width, rect.height};
}

std::optional<std::string> WindowServer::load(const json& session)
{
    if (session.contains("screens")) {
        auto screens = screensOf(session["screens"]);
        if (!screens)
            return "\"screens\" must be a list of screens";
        screens_ = *screens;
    }
    if (session.contains("mouse")) {
        auto mouse = wire::pointOf(session["mouse"]);
        if (!mouse)
            return "\"mouse\" must be {\"x\",\"y\"}";
        mouse_ = *mouse;
    }
    return std::nullopt;
}

void WindowServer::describe(json& state)
{
    json screens = json::array();
    for (const auto& screen : screens_)
        screens.push_back(wire::toJson(screen));
    state["mouse"] = wire::toJson(mouse_);
    state["screens"] = screens;
    state["windowList"] = windowList();
}

void WindowServer::applicationQuit(pid_t pid)
{
    auto given = applicationWindows_.find(pid);
    if (given == applicationWindows_.end())
        return;
    for (uint32_t number : given->second)
        removeWindow(number);
    applicationWindows_.erase(given);
}

// --- Requests -------------------------------------------------------------------

void WindowServer::windowListRequest(Request& request)
{
    request.reply({{"windows", windowList()}});
}

// The screens, the first holding the menu bar.
void WindowServer::screensRequest(Request& request)
{
    json list = json::array();
    for (const auto& screen : screens_)
        list.push_back(wire::toJson(screen));
    request.reply({{"screens", list}});
}

// The mouse location in screen coordinates.
void WindowServer::mouseLocation(Request& request)
{
    request.reply(wire::toJson(mouse_));
}

// A process replaces its windows.
void WindowServer::setOwnWindows(Request& request)
{
    std::vector<Window> windows;
    std::string error;
    if (!windowsOf(request.message().value("windows", json()), windows, error)) {
        request.refuse(error);
        return;
    }
    setWindowsOf(request.pid(), windows);
    request.reply();
}

// A client replaces an application's windows.
void WindowServer::windowsRequest(Request& request)
{
    App* app = session_.workspace().namedApp(request);
    if (!app)
        return;
    std::vector<Window> windows;
    std::string error;
    if (!windowsOf(request.message().value("windows", json()), windows, error)) {
        request.refuse(error);
        return;
    }
    setWindowsOf(app->running.pid, windows);
    request.reply({{"windowList", windowList()}});
}

// Sets the screens without telling anyone.
void WindowServer::setScreens(Request& request)
{
    auto screens = screensOf(request.message().value("screens", json()));
    if (!screens) {
        request.refuse("\"screens\" must be a list of screens with distinct displays");
        return;
    }
    screens_ = *screens;
    session_.statusBar().layout();
    request.reply();
}

// The displays change: every host gets the callbacks for each affected
// display, with or without the round that announces the change.
void WindowServer::reconfigure(Request& request)
{
    auto screens = screensOf(request.message().value("screens", json()));
    if (!screens) {
        request.refuse("\"screens\" must be a list of screens with distinct displays");
        return;
    }
    // Without the announcing round a test plays the callbacks a host may get
    // with no warning; the host must cope with the changes alone.
    bool begin = true;
    if (auto given = request.message().find("begin"); given != request.message().end()) {
        if (!given->is_boolean()) {
            request.refuse("\"begin\" must be true or false");
            return;
        }
        begin = given->get<bool>();
    }
    auto before = screens_;
    std::vector<std::pair<uint32_t, uint32_t>> changes;
    std::set<uint32_t> displays;
    for (const auto& screen : before)
        displays.insert(screen.display);
    for (const auto& screen : *screens)
        displays.insert(screen.display);
    auto find = [](const std::vector<Screen>& list, uint32_t display) -> const Screen* {
        for (const auto& screen : list) {
            if (screen.display == display)
                return &screen;
        }
        return nullptr;
    };
    for (uint32_t display : displays) {
        const Screen* old = find(before, display);
        const Screen* now = find(*screens, display);
        uint32_t flags = 0;
        if (!old)
            flags |= platform::DISPLAY_ADD_FLAG | platform::DISPLAY_ENABLED_FLAG;
        else if (!now)
            flags |= platform::DISPLAY_REMOVE_FLAG | platform::DISPLAY_DISABLED_FLAG;
        else {
            if (old->frame.x != now->frame.x || old->frame.y != now->frame.y)
                flags |= platform::DISPLAY_MOVED_FLAG;
            if (old->frame.width != now->frame.width || old->frame.height != now->frame.height)
                flags |= platform::DISPLAY_SET_MODE_FLAG;
        }
        bool wasMain = !before.empty() && before[0].display == display;
        bool isMain = !screens->empty() && screens->front().display == display;
        if (wasMain != isMain && now)
            flags |= platform::DISPLAY_SET_MAIN_FLAG;
        if (flags)
            changes.push_back({display, flags | platform::DISPLAY_DESKTOP_SHAPE_CHANGED_FLAG});
    }
    screens_ = *screens;
    session_.statusBar().layout();
    // The system calls back once per display before the change (unless told
    // not to), then once per display with what changed.
    json list = json::array();
    if (begin) {
        for (const auto& [display, flags] : changes)
            list.push_back({{"display", display}, {"flags", platform::DISPLAY_BEGIN_CONFIGURATION_FLAG}});
    }
    for (const auto& [display, flags] : changes)
        list.push_back({{"display", display}, {"flags", flags}});
    if (!changes.empty())
        session_.broadcast({{"event", "displays"}, {"changes", list}});
    request.reply({{"changes", list}});
}

// Moves the mouse.
void WindowServer::setMouse(Request& request)
{
    const std::string refusal = "\"x\" and \"y\" must be numbers";
    auto x = request.required<double>("x", refusal);
    auto y = x ? request.required<double>("y", refusal) : std::nullopt;
    if (!y)
        return;
    mouse_ = {*x, *y};
    request.reply();
}

} // namespace desktop
