#include "platform/linux/desktop/live/window_server_live.h"

#include "platform/linux/desktop/live/ewmh_windows.h"
#include "platform/main_queue.h"

#include <nlohmann/json.hpp>
#include <xcb/randr.h>

#include <algorithm>
#include <cstdlib>
#include <set>

namespace platform {

namespace {

struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeReply>;

// The overlap of two rectangles; nothing when they do not meet.
std::optional<Rect> overlap(const Rect& a, const Rect& b)
{
    double left = std::max(a.x, b.x), top = std::max(a.y, b.y);
    double right = std::min(a.x + a.width, b.x + b.width), bottom = std::min(a.y + a.height, b.y + b.height);
    if (right <= left || bottom <= top)
        return std::nullopt;
    return Rect{left, top, right - left, bottom - top};
}

} // namespace

LiveWindowServer::LiveWindowServer(XConnection& x)
    : x_(x)
{
    if (x_.gone())
        return;
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(x_.connection(), &xcb_randr_id);
    if (extension && extension->present) {
        auto cookie = xcb_randr_query_version(x_.connection(), 1, 5);
        Reply<xcb_randr_query_version_reply_t> version(xcb_randr_query_version_reply(x_.connection(), cookie, nullptr));
        if (version) {
            randr_ = true;
            monitorsRequest_ = version->major_version > 1 || version->minor_version >= 5;
            randrEvents_ = extension->first_event;
        }
    }
    x_.dispatchSoon();
    last_ = screens();
    if (!randr_)
        return;
    auto changed = [this](const xcb_generic_event_t&) {
        if (changeOwed_)
            return;
        changeOwed_ = true;
        // A change comes as a burst of events; the handler hears it once.
        post([this, weak = std::weak_ptr<int>(lifetime_)] {
            if (weak.expired())
                return;
            changeOwed_ = false;
            if (live())
                screensChanged();
        });
    };
    x_.onEvent(uint8_t(randrEvents_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY), changed);
    x_.onEvent(uint8_t(randrEvents_ + XCB_RANDR_NOTIFY), changed);
    xcb_randr_select_input(x_.connection(), x_.root(),
                           XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE
                               | XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    x_.flush();
}

bool LiveWindowServer::live()
{
    return !x_.gone() && x_.healthy();
}

std::vector<LiveWindowServer::Monitor> LiveWindowServer::monitors()
{
    std::vector<Monitor> found;
    auto* connection = x_.connection();
    if (randr_ && monitorsRequest_) {
        auto cookie = xcb_randr_get_monitors(connection, x_.root(), 1);
        Reply<xcb_randr_get_monitors_reply_t> reply(xcb_randr_get_monitors_reply(connection, cookie, nullptr));
        if (reply) {
            for (auto each = xcb_randr_get_monitors_monitors_iterator(reply.get()); each.rem;
                 xcb_randr_monitor_info_next(&each)) {
                const auto* info = each.data;
                Monitor monitor;
                // The first output names the display, as it outlives a mode
                // change; a monitor without one goes by its name.
                const xcb_randr_output_t* outputs = xcb_randr_monitor_info_outputs(info);
                monitor.display = xcb_randr_monitor_info_outputs_length(info) > 0 ? outputs[0] : info->name;
                monitor.frame = {double(info->x), double(info->y), double(info->width), double(info->height)};
                monitor.primary = info->primary;
                if (info->width > 0 && info->height > 0)
                    found.push_back(monitor);
            }
        }
    } else if (randr_) {
        auto resourcesCookie = xcb_randr_get_screen_resources_current(connection, x_.root());
        auto primaryCookie = xcb_randr_get_output_primary(connection, x_.root());
        Reply<xcb_randr_get_screen_resources_current_reply_t> resources(
            xcb_randr_get_screen_resources_current_reply(connection, resourcesCookie, nullptr));
        Reply<xcb_randr_get_output_primary_reply_t> primary(
            xcb_randr_get_output_primary_reply(connection, primaryCookie, nullptr));
        if (resources) {
            const xcb_randr_crtc_t* crtcs = xcb_randr_get_screen_resources_current_crtcs(resources.get());
            int count = xcb_randr_get_screen_resources_current_crtcs_length(resources.get());
            std::vector<xcb_randr_get_crtc_info_cookie_t> cookies;
            for (int i = 0; i < count; ++i)
                cookies.push_back(xcb_randr_get_crtc_info(connection, crtcs[i], resources->config_timestamp));
            for (auto cookie : cookies) {
                Reply<xcb_randr_get_crtc_info_reply_t> crtc(xcb_randr_get_crtc_info_reply(connection, cookie, nullptr));
                if (!crtc || !crtc->mode || crtc->width == 0 || crtc->height == 0
                    || xcb_randr_get_crtc_info_outputs_length(crtc.get()) == 0)
                    continue;
                Monitor monitor;
                monitor.display = xcb_randr_get_crtc_info_outputs(crtc.get())[0];
                monitor.frame = {double(crtc->x), double(crtc->y), double(crtc->width), double(crtc->height)};
                monitor.primary = primary && primary->output == monitor.display;
                found.push_back(monitor);
            }
        }
    }
    x_.dispatchSoon();
    if (found.empty()) {
        // The root alone, as one display.
        const xcb_screen_t* screen = x_.screen();
        found.push_back({1, {0, 0, double(screen->width_in_pixels), double(screen->height_in_pixels)}, true});
    }
    std::stable_partition(found.begin(), found.end(), [](const Monitor& monitor) { return monitor.primary; });
    return found;
}

std::optional<Rect> LiveWindowServer::workArea()
{
    auto& ewmh = x_.ewmh();
    auto areaCookie = xcb_get_property(x_.connection(), 0, x_.root(), ewmh._NET_WORKAREA, XCB_ATOM_CARDINAL, 0, 4 * 64);
    auto desktopCookie = xcb_get_property(x_.connection(), 0, x_.root(), ewmh._NET_CURRENT_DESKTOP, XCB_ATOM_CARDINAL, 0, 1);
    Reply<xcb_get_property_reply_t> area(xcb_get_property_reply(x_.connection(), areaCookie, nullptr));
    Reply<xcb_get_property_reply_t> desktop(xcb_get_property_reply(x_.connection(), desktopCookie, nullptr));
    x_.dispatchSoon();
    if (!area || area->format != 32)
        return std::nullopt;
    auto* values = static_cast<const uint32_t*>(xcb_get_property_value(area.get()));
    size_t count = size_t(std::max(xcb_get_property_value_length(area.get()), 0)) / 4;
    size_t current = 0;
    if (desktop && desktop->format == 32 && xcb_get_property_value_length(desktop.get()) >= 4)
        current = *static_cast<const uint32_t*>(xcb_get_property_value(desktop.get()));
    if (count < 4)
        return std::nullopt;
    if ((current + 1) * 4 > count)
        current = 0;
    const uint32_t* rect = values + current * 4;
    return Rect{double(int32_t(rect[0])), double(int32_t(rect[1])), double(rect[2]), double(rect[3])};
}

std::vector<Screen> LiveWindowServer::screens()
{
    assertOnTheMainThread("screens");
    if (!live())
        return HeadlessWindowServer::screens();
    auto found = monitors();
    auto area = workArea();
    // The first screen's lower-left corner is the origin; y grows upwards.
    const Rect& first = found.front().frame;
    auto toScreen = [&](const Rect& rect) {
        return Rect{rect.x - first.x, (first.y + first.height) - (rect.y + rect.height), rect.width, rect.height};
    };
    std::vector<Screen> list;
    for (const auto& monitor : found) {
        Rect visible = monitor.frame;
        if (area) {
            if (auto inside = overlap(monitor.frame, *area))
                visible = *inside;
        }
        list.push_back({monitor.display, toScreen(monitor.frame), toScreen(visible)});
    }
    return list;
}

Point LiveWindowServer::mouseLocation()
{
    assertOnTheMainThread("mouseLocation");
    if (!live())
        return HeadlessWindowServer::mouseLocation();
    auto cookie = xcb_query_pointer(x_.connection(), x_.root());
    Reply<xcb_query_pointer_reply_t> pointer(xcb_query_pointer_reply(x_.connection(), cookie, nullptr));
    x_.dispatchSoon();
    if (!pointer)
        return HeadlessWindowServer::mouseLocation();
    const Rect first = monitors().front().frame;
    return {double(pointer->root_x) - first.x, (first.y + first.height) - double(pointer->root_y)};
}

std::optional<std::vector<nlohmann::json>> LiveWindowServer::onScreenWindows()
{
    assertOnTheMainThread("onScreenWindows");
    if (!live())
        return HeadlessWindowServer::onScreenWindows();
    auto* connection = x_.connection();
    std::vector<nlohmann::json> list;
    // Without a window manager nothing is managed, so nothing is listed.
    if (!windowManagerCheckWindow(x_))
        return list;
    auto managed = clientWindows(x_).value_or(std::vector<xcb_window_t>{});
    std::reverse(managed.begin(), managed.end());

    // The override-redirect windows on top of the root (badges, menus) of
    // processes that name themselves: above every managed window.
    std::vector<xcb_window_t> unmanaged;
    {
        Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(connection, xcb_query_tree(connection, x_.root()), nullptr));
        if (tree) {
            const xcb_window_t* children = xcb_query_tree_children(tree.get());
            int count = xcb_query_tree_children_length(tree.get());
            std::vector<xcb_get_window_attributes_cookie_t> cookies;
            for (int i = count - 1; i >= 0; --i)
                cookies.push_back(xcb_get_window_attributes(connection, children[i]));
            for (int i = count - 1, k = 0; i >= 0; --i, ++k) {
                Reply<xcb_get_window_attributes_reply_t> attributes(
                    xcb_get_window_attributes_reply(connection, cookies[size_t(k)], nullptr));
                if (attributes && attributes->override_redirect && attributes->map_state == XCB_MAP_STATE_VIEWABLE)
                    unmanaged.push_back(children[i]);
            }
        }
    }
    std::vector<xcb_window_t> windows = unmanaged;
    windows.insert(windows.end(), managed.begin(), managed.end());
    auto described = readClientWindows(x_, windows);

    struct Asked {
        xcb_get_window_attributes_cookie_t attributes;
        xcb_get_geometry_cookie_t geometry;
        xcb_translate_coordinates_cookie_t place;
        xcb_get_property_cookie_t extents;
    };
    std::vector<Asked> asked;
    for (xcb_window_t window : windows) {
        asked.push_back({xcb_get_window_attributes(connection, window), xcb_get_geometry(connection, window),
                         xcb_translate_coordinates(connection, window, x_.root(), 0, 0),
                         xcb_get_property(connection, 0, window, x_.ewmh()._NET_FRAME_EXTENTS, XCB_ATOM_CARDINAL, 0, 4)});
    }
    const Rect first = monitors().front().frame;
    struct Listed {
        int layer;
        nlohmann::json window;
    };
    std::vector<Listed> listed;
    for (size_t i = 0; i < windows.size(); ++i) {
        Reply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(connection, asked[i].attributes, nullptr));
        Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(connection, asked[i].geometry, nullptr));
        Reply<xcb_translate_coordinates_reply_t> place(xcb_translate_coordinates_reply(connection, asked[i].place, nullptr));
        Reply<xcb_get_property_reply_t> extents(xcb_get_property_reply(connection, asked[i].extents, nullptr));
        const ClientWindow& window = described[i];
        bool overrideRedirect = i < unmanaged.size();
        // Gone meanwhile, not shown, or the desktop itself: not listed.
        if (!attributes || !geometry || !place || !window.exists || attributes->map_state != XCB_MAP_STATE_VIEWABLE
            || window.desktop || (overrideRedirect && window.pid == 0))
            continue;
        Rect bounds{double(place->dst_x), double(place->dst_y), double(geometry->width), double(geometry->height)};
        if (extents && extents->format == 32 && xcb_get_property_value_length(extents.get()) == 16) {
            auto* edge = static_cast<const uint32_t*>(xcb_get_property_value(extents.get()));
            bounds = {bounds.x - edge[0], bounds.y - edge[2], bounds.width + edge[0] + edge[1],
                      bounds.height + edge[2] + edge[3]};
        }
        bounds.x -= first.x;
        bounds.y -= first.y;
        int layer = overrideRedirect || window.dock ? STATUS_WINDOW_LEVEL
                    : window.above                  ? FLOATING_WINDOW_LEVEL
                                                    : NORMAL_WINDOW_LEVEL;
        std::string name = !window.windowClass.empty() ? window.windowClass
                           : !window.instance.empty()  ? window.instance
                                                       : window.title;
        nlohmann::json entry = {
            {WINDOW_NUMBER, window.window},
            {WINDOW_OWNER_NAME, name},
            {WINDOW_LAYER, layer},
            {WINDOW_BOUNDS, boundsOf(bounds)},
        };
        if (window.pid > 0)
            entry[WINDOW_OWNER_PID] = window.pid;
        listed.push_back({layer, std::move(entry)});
    }
    x_.dispatchSoon();
    // Higher layers in front, each layer in stacking order.
    std::stable_sort(listed.begin(), listed.end(), [](const Listed& a, const Listed& b) { return a.layer > b.layer; });
    for (auto& each : listed)
        list.push_back(std::move(each.window));
    return list;
}

void LiveWindowServer::screensChanged()
{
    auto before = last_;
    auto now = screens();
    last_ = now;
    auto find = [](const std::vector<Screen>& list, uint32_t display) -> const Screen* {
        for (const auto& screen : list) {
            if (screen.display == display)
                return &screen;
        }
        return nullptr;
    };
    std::set<uint32_t> displays;
    for (const auto& screen : before)
        displays.insert(screen.display);
    for (const auto& screen : now)
        displays.insert(screen.display);
    std::vector<std::pair<uint32_t, uint32_t>> changes;
    for (uint32_t display : displays) {
        const Screen* old = find(before, display);
        const Screen* current = find(now, display);
        uint32_t flags = 0;
        if (!old) {
            flags |= DISPLAY_ADD_FLAG | DISPLAY_ENABLED_FLAG;
        } else if (!current) {
            flags |= DISPLAY_REMOVE_FLAG | DISPLAY_DISABLED_FLAG;
        } else {
            if (old->frame.x != current->frame.x || old->frame.y != current->frame.y)
                flags |= DISPLAY_MOVED_FLAG;
            if (old->frame.width != current->frame.width || old->frame.height != current->frame.height)
                flags |= DISPLAY_SET_MODE_FLAG;
        }
        bool wasMain = !before.empty() && before.front().display == display;
        bool isMain = !now.empty() && now.front().display == display;
        if (wasMain != isMain && current)
            flags |= DISPLAY_SET_MAIN_FLAG;
        if (flags)
            changes.push_back({display, flags | DISPLAY_DESKTOP_SHAPE_CHANGED_FLAG});
    }
    // First the round that announces the change, then what changed.
    for (const auto& [display, flags] : changes)
        deliverDisplayChange(display, DISPLAY_BEGIN_CONFIGURATION_FLAG);
    for (const auto& [display, flags] : changes)
        deliverDisplayChange(display, flags);
}

} // namespace platform
