#include "support/live_user.h"

#include <xcb/xcb_keysyms.h>
#include <xcb/xtest.h>

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace fixture {

namespace {

// Waits until the server has handled every request sent so far.
void roundTrip(xcb_connection_t* x)
{
    free(xcb_get_input_focus_reply(x, xcb_get_input_focus(x), nullptr));
}

void fake(xcb_connection_t* x, uint8_t type, xcb_keycode_t key)
{
    xcb_test_fake_input(x, type, key, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
}

xcb_window_t rootOf(xcb_connection_t* x)
{
    return xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
}

} // namespace

xcb_keycode_t keycodeOf(xcb_connection_t* x, xcb_keysym_t symbol)
{
    xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(x);
    xcb_keycode_t* keycodes = xcb_key_symbols_get_keycode(symbols, symbol);
    xcb_keycode_t first = keycodes ? keycodes[0] : 0;
    free(keycodes);
    xcb_key_symbols_free(symbols);
    return first == XCB_NO_SYMBOL ? 0 : first;
}

void pressChordOnKeycode(xcb_connection_t* x, const std::vector<xcb_keysym_t>& modifiers, xcb_keycode_t key)
{
    std::vector<xcb_keycode_t> held;
    for (xcb_keysym_t modifier : modifiers)
        held.push_back(keycodeOf(x, modifier));
    for (xcb_keycode_t modifier : held)
        fake(x, XCB_KEY_PRESS, modifier);
    fake(x, XCB_KEY_PRESS, key);
    fake(x, XCB_KEY_RELEASE, key);
    for (auto modifier = held.rbegin(); modifier != held.rend(); ++modifier)
        fake(x, XCB_KEY_RELEASE, *modifier);
    roundTrip(x);
}

void pressChord(xcb_connection_t* x, const std::vector<xcb_keysym_t>& modifiers, xcb_keysym_t key)
{
    pressChordOnKeycode(x, modifiers, keycodeOf(x, key));
}

uint16_t modifierState(xcb_connection_t* x)
{
    auto* pointer = xcb_query_pointer_reply(x, xcb_query_pointer(x, rootOf(x)), nullptr);
    uint16_t state = pointer ? pointer->mask & 0xff : 0;
    free(pointer);
    return state;
}

xcb_atom_t atomOf(xcb_connection_t* x, const std::string& name)
{
    auto* reply = xcb_intern_atom_reply(x, xcb_intern_atom(x, 0, uint16_t(name.size()), name.data()), nullptr);
    xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    free(reply);
    return atom;
}

TestWindow::TestWindow(xcb_connection_t* x, const Options& options)
    : x_(x)
{
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(x)).data;
    window_ = xcb_generate_id(x);
    uint32_t background = screen->white_pixel;
    xcb_create_window(x, XCB_COPY_FROM_PARENT, window_, screen->root, 50, 50, uint16_t(options.width),
                      uint16_t(options.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL,
                      &background);
    std::string classes = options.instance + '\0' + options.windowClass + '\0';
    xcb_change_property(x, XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                        uint32_t(classes.size()), classes.data());
    if (options.pid > 0) {
        uint32_t pid = uint32_t(options.pid);
        xcb_change_property(x, XCB_PROP_MODE_REPLACE, window_, atomOf(x, "_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1, &pid);
    }
    if (!options.title.empty()) {
        xcb_change_property(x, XCB_PROP_MODE_REPLACE, window_, atomOf(x, "_NET_WM_NAME"), atomOf(x, "UTF8_STRING"), 8,
                            uint32_t(options.title.size()), options.title.data());
    }
    if (!options.applicationId.empty()) {
        xcb_change_property(x, XCB_PROP_MODE_REPLACE, window_, atomOf(x, "_GTK_APPLICATION_ID"),
                            atomOf(x, "UTF8_STRING"), 8, uint32_t(options.applicationId.size()),
                            options.applicationId.data());
    }
    xcb_map_window(x, window_);
    roundTrip(x);
}

TestWindow::~TestWindow()
{
    destroy();
}

void TestWindow::destroy()
{
    if (!window_)
        return;
    xcb_destroy_window(x_, window_);
    roundTrip(x_);
    window_ = 0;
}

bool TestWindow::managed() const
{
    xcb_atom_t list = atomOf(x_, "_NET_CLIENT_LIST");
    auto* reply = xcb_get_property_reply(x_, xcb_get_property(x_, 0, rootOf(x_), list, XCB_ATOM_WINDOW, 0, 4096), nullptr);
    bool found = false;
    if (reply && reply->format == 32) {
        auto* windows = static_cast<const xcb_window_t*>(xcb_get_property_value(reply));
        for (int i = 0; i < xcb_get_property_value_length(reply) / 4; ++i)
            found = found || windows[i] == window_;
    }
    free(reply);
    return found;
}

bool TestWindow::becomesManaged() const
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (managed())
            return true;
        if (attempt % 10 == 9) {
            xcb_map_window(x_, window_);
            roundTrip(x_);
        }
        usleep(100000);
    }
    return managed();
}

void TestWindow::activate() const
{
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window_;
    message.type = atomOf(x_, "_NET_ACTIVE_WINDOW");
    message.data.data32[0] = 2;
    message.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(x_, 0, rootOf(x_), XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                   reinterpret_cast<const char*>(&message));
    roundTrip(x_);
}

xcb_window_t activeWindowOf(xcb_connection_t* x)
{
    xcb_atom_t active = atomOf(x, "_NET_ACTIVE_WINDOW");
    auto* reply = xcb_get_property_reply(x, xcb_get_property(x, 0, rootOf(x), active, XCB_ATOM_WINDOW, 0, 1), nullptr);
    xcb_window_t window = 0;
    if (reply && reply->format == 32 && xcb_get_property_value_length(reply) == 4)
        window = *static_cast<const xcb_window_t*>(xcb_get_property_value(reply));
    free(reply);
    return window;
}

std::optional<Frame> frameOf(xcb_connection_t* x, xcb_window_t window)
{
    xcb_window_t root = rootOf(x);
    // Up the tree to the child of the root.
    for (int depth = 0; depth < 16; ++depth) {
        auto* tree = xcb_query_tree_reply(x, xcb_query_tree(x, window), nullptr);
        if (!tree)
            return std::nullopt;
        xcb_window_t parent = tree->parent;
        free(tree);
        if (parent == root)
            break;
        window = parent;
    }
    auto* geometry = xcb_get_geometry_reply(x, xcb_get_geometry(x, window), nullptr);
    if (!geometry)
        return std::nullopt;
    Frame frame{geometry->x, geometry->y, geometry->width + 2 * geometry->border_width,
                geometry->height + 2 * geometry->border_width};
    free(geometry);
    return frame;
}

} // namespace fixture
