// The user at a live session, played by a test through its own X
// connection: keys pressed with XTEST, and top-level windows that the window
// manager manages like any application's.
#pragma once

#include <xcb/xcb.h>

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace fixture {

// X keysyms the tests press.
namespace keysym {
inline constexpr xcb_keysym_t SHIFT = 0xffe1, CONTROL = 0xffe3, ALT = 0xffe9, SUPER = 0xffeb;
inline constexpr xcb_keysym_t CAPS_LOCK = 0xffe5, NUM_LOCK = 0xff7f;
}

// The first key carrying `symbol` on the session's keyboard now; 0 when none.
xcb_keycode_t keycodeOf(xcb_connection_t* x, xcb_keysym_t symbol);

// Holds the modifier keys, presses and releases the key, lets the modifiers
// go, and waits until the server has handled all of it.
void pressChordOnKeycode(xcb_connection_t* x, const std::vector<xcb_keysym_t>& modifiers, xcb_keycode_t key);
// The same on the first key carrying `key`.
void pressChord(xcb_connection_t* x, const std::vector<xcb_keysym_t>& modifiers, xcb_keysym_t key);

// The state of the keyboard's modifiers and locks (a mask of X modifiers).
uint16_t modifierState(xcb_connection_t* x);

// An atom of the session, interned.
xcb_atom_t atomOf(xcb_connection_t* x, const std::string& name);

// A window of the test's own, mapped, with the properties an application
// sets: WM_CLASS, _NET_WM_PID (when given), _NET_WM_NAME and, when given, a
// desktop entry id in _GTK_APPLICATION_ID.
class TestWindow {
public:
    struct Options {
        std::string instance;
        std::string windowClass;
        pid_t pid = 0;
        std::string title;
        std::string applicationId;
        int width = 400, height = 300;
    };
    TestWindow(xcb_connection_t* x, const Options& options);
    TestWindow(xcb_connection_t* x, const std::string& instance, const std::string& windowClass, pid_t pid,
               const std::string& title, const std::string& applicationId = "")
        : TestWindow(x, Options{instance, windowClass, pid, title, applicationId, 400, 300})
    {
    }
    ~TestWindow();
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    xcb_window_t id() const { return window_; }
    // True once the window manager lists it among its clients.
    bool managed() const;
    // Waits until it is managed, asking again to map it now and then: a
    // window manager still starting drops the requests that come meanwhile.
    bool becomesManaged() const;
    // Asks the window manager to bring it forward, as a pager does.
    void activate() const;
    // Unmaps and destroys it now.
    void destroy();

private:
    xcb_connection_t* x_;
    xcb_window_t window_ = 0;
};

// The window the window manager says is active; 0 for none.
xcb_window_t activeWindowOf(xcb_connection_t* x);

// A frame's rectangle in root coordinates, border included: the top-level
// window that holds `window` (itself when the window manager framed none).
struct Frame {
    int x = 0, y = 0, width = 0, height = 0;
};
std::optional<Frame> frameOf(xcb_connection_t* x, xcb_window_t window);

} // namespace fixture
