#include "platform/linux/desktop/live/ewmh_windows.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace platform {

namespace {

struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};
using PropertyReply = std::unique_ptr<xcb_get_property_reply_t, FreeReply>;

// The longest list or text read from one property, in 32-bit units: enough
// for tens of thousands of windows or a long title, never without bound.
constexpr uint32_t LONGEST_PROPERTY = 1 << 16;
constexpr uint32_t LONGEST_TEXT = 1024;

xcb_get_property_cookie_t askFor(XConnection& x, xcb_window_t window, xcb_atom_t property, xcb_atom_t type,
                                 uint32_t length)
{
    return xcb_get_property(x.connection(), 0, window, property, type, 0, length);
}

PropertyReply replyTo(XConnection& x, xcb_get_property_cookie_t cookie)
{
    return PropertyReply(xcb_get_property_reply(x.connection(), cookie, nullptr));
}

// The 32-bit values of a reply (windows, atoms, cardinals).
std::vector<uint32_t> valuesOf(const PropertyReply& reply)
{
    if (!reply || reply->format != 32)
        return {};
    auto* values = static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
    int count = xcb_get_property_value_length(reply.get()) / 4;
    return std::vector<uint32_t>(values, values + std::max(count, 0));
}

// The bytes of an 8-bit reply.
std::string textOf(const PropertyReply& reply)
{
    if (!reply || reply->format != 8)
        return {};
    auto* text = static_cast<const char*>(xcb_get_property_value(reply.get()));
    return std::string(text, size_t(std::max(xcb_get_property_value_length(reply.get()), 0)));
}

// The window a WINDOW property names; 0 when none.
xcb_window_t windowIn(XConnection& x, xcb_window_t window, xcb_atom_t property)
{
    auto values = valuesOf(replyTo(x, askFor(x, window, property, XCB_ATOM_WINDOW, 1)));
    return values.empty() ? 0 : values[0];
}

} // namespace

std::optional<xcb_window_t> windowManagerCheckWindow(XConnection& x)
{
    xcb_atom_t check = x.ewmh()._NET_SUPPORTING_WM_CHECK;
    xcb_window_t named = windowIn(x, x.root(), check);
    xcb_window_t itself = named ? windowIn(x, named, check) : 0;
    x.dispatchSoon();
    if (!named || itself != named)
        return std::nullopt;
    return named;
}

std::optional<std::vector<xcb_window_t>> clientWindows(XConnection& x)
{
    auto stacking = askFor(x, x.root(), x.ewmh()._NET_CLIENT_LIST_STACKING, XCB_ATOM_WINDOW, LONGEST_PROPERTY);
    auto plain = askFor(x, x.root(), x.ewmh()._NET_CLIENT_LIST, XCB_ATOM_WINDOW, LONGEST_PROPERTY);
    auto stacked = replyTo(x, stacking);
    auto listed = replyTo(x, plain);
    x.dispatchSoon();
    if (stacked && stacked->format == 32)
        return valuesOf(stacked);
    if (listed && listed->format == 32)
        return valuesOf(listed);
    return std::nullopt;
}

xcb_window_t activeWindow(XConnection& x)
{
    xcb_window_t window = windowIn(x, x.root(), x.ewmh()._NET_ACTIVE_WINDOW);
    x.dispatchSoon();
    return window;
}

std::vector<ClientWindow> readClientWindows(XConnection& x, const std::vector<xcb_window_t>& windows)
{
    auto& ewmh = x.ewmh();
    const xcb_atom_t gtkId = x.atom("_GTK_APPLICATION_ID");
    const xcb_atom_t kdeFile = x.atom("_KDE_NET_WM_DESKTOP_FILE");
    struct Asked {
        xcb_get_property_cookie_t pid, wmClass, name, oldName, gtk, kde, state, type;
    };
    std::vector<Asked> asked;
    asked.reserve(windows.size());
    for (xcb_window_t window : windows) {
        asked.push_back({
            askFor(x, window, ewmh._NET_WM_PID, XCB_ATOM_CARDINAL, 1),
            askFor(x, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, LONGEST_TEXT),
            askFor(x, window, ewmh._NET_WM_NAME, ewmh.UTF8_STRING, LONGEST_TEXT),
            askFor(x, window, XCB_ATOM_WM_NAME, XCB_ATOM_ANY, LONGEST_TEXT),
            askFor(x, window, gtkId, XCB_ATOM_ANY, LONGEST_TEXT),
            askFor(x, window, kdeFile, XCB_ATOM_ANY, LONGEST_TEXT),
            askFor(x, window, ewmh._NET_WM_STATE, XCB_ATOM_ATOM, 64),
            askFor(x, window, ewmh._NET_WM_WINDOW_TYPE, XCB_ATOM_ATOM, 64),
        });
    }
    std::vector<ClientWindow> read;
    read.reserve(windows.size());
    for (size_t i = 0; i < windows.size(); ++i) {
        ClientWindow window;
        window.window = windows[i];
        auto pid = replyTo(x, asked[i].pid);
        auto wmClass = replyTo(x, asked[i].wmClass);
        auto name = replyTo(x, asked[i].name);
        auto oldName = replyTo(x, asked[i].oldName);
        auto gtk = replyTo(x, asked[i].gtk);
        auto kde = replyTo(x, asked[i].kde);
        auto state = replyTo(x, asked[i].state);
        auto type = replyTo(x, asked[i].type);
        // A window that is gone answers every request with an error.
        window.exists = pid != nullptr;
        if (!window.exists) {
            read.push_back(window);
            continue;
        }
        auto pids = valuesOf(pid);
        if (!pids.empty() && pids[0] > 0 && pids[0] < uint32_t(1) << 31)
            window.pid = pid_t(pids[0]);
        // "instance\0class\0".
        std::string classes = textOf(wmClass);
        size_t split = classes.find('\0');
        window.instance = classes.substr(0, split);
        if (split != std::string::npos) {
            std::string rest = classes.substr(split + 1);
            window.windowClass = rest.substr(0, rest.find('\0'));
        }
        window.title = textOf(name);
        if (window.title.empty())
            window.title = textOf(oldName);
        std::string desktopId = textOf(gtk);
        if (desktopId.empty())
            desktopId = textOf(kde);
        desktopId = desktopId.substr(0, desktopId.find('\0'));
        const std::string ending = ".desktop";
        if (desktopId.size() > ending.size() && desktopId.compare(desktopId.size() - ending.size(), ending.size(), ending) == 0)
            desktopId.erase(desktopId.size() - ending.size());
        window.desktopId = desktopId;
        for (uint32_t atom : valuesOf(state)) {
            window.hidden = window.hidden || atom == ewmh._NET_WM_STATE_HIDDEN;
            window.above = window.above || atom == ewmh._NET_WM_STATE_ABOVE;
        }
        for (uint32_t atom : valuesOf(type)) {
            window.dock = window.dock || atom == ewmh._NET_WM_WINDOW_TYPE_DOCK;
            window.desktop = window.desktop || atom == ewmh._NET_WM_WINDOW_TYPE_DESKTOP;
        }
        read.push_back(window);
    }
    x.dispatchSoon();
    return read;
}

void selectMoreEvents(XConnection& x, xcb_window_t window, uint32_t mask)
{
    auto cookie = xcb_get_window_attributes(x.connection(), window);
    std::unique_ptr<xcb_get_window_attributes_reply_t, FreeReply> attributes(
        xcb_get_window_attributes_reply(x.connection(), cookie, nullptr));
    x.dispatchSoon();
    uint32_t current = attributes ? attributes->your_event_mask : 0;
    if ((current & mask) == mask)
        return;
    uint32_t value = current | mask;
    xcb_change_window_attributes(x.connection(), window, XCB_CW_EVENT_MASK, &value);
    x.flush();
}

void selectEventsOnForeignWindow(XConnection& x, xcb_window_t window, uint32_t mask)
{
    auto cookie = xcb_change_window_attributes_checked(x.connection(), window, XCB_CW_EVENT_MASK, &mask);
    xcb_discard_reply(x.connection(), cookie.sequence);
}

} // namespace platform
