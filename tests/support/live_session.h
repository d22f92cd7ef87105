// A real X11 session for a test, of its own: Xvfb on a free display, openbox
// as its window manager and a private session bus. Hosts run in it with the
// live desktop's library; the test plays the user through X (XTEST) and the
// bus. Where Xvfb, openbox or dbus-daemon are missing, the tests that need
// the session are skipped with a line saying so.
#pragma once

#include "support/fixture.h"

#include <xcb/xcb.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace fixture {

std::string liveDesktopLibrary();

// The lines of a host's standard error about trouble with the live desktop,
// leaving out the one that says no tray runs (most tests start none).
std::string liveDesktopTrouble(const std::string& err);

class LiveSession {
public:
    // What keeps a session from being started here; nothing when it can be.
    static std::optional<std::string> whyUnavailable();

    // Starts the display, the window manager (unless told not to) and the bus.
    explicit LiveSession(bool windowManager = true);
    ~LiveSession();
    LiveSession(const LiveSession&) = delete;
    LiveSession& operator=(const LiveSession&) = delete;

    const std::string& display() const { return display_; }           // ":7"
    const std::string& busAddress() const { return busAddress_; }     // "unix:path=…"
    // `options` with the display, the bus and the live desktop's library in
    // the environment.
    RunOptions withSession(RunOptions options = {}) const;

    // The window manager and the bus, stopped and started again mid-test.
    void stopWindowManager();
    void startWindowManager();
    void stopBus();

    // A connection of the test's own to the display (closed with the session).
    xcb_connection_t* x();
    xcb_window_t root();

private:
    std::string folder_;
    std::string display_;
    std::string busAddress_;
    std::unique_ptr<Started> server_;
    std::unique_ptr<Started> windowManager_;
    std::unique_ptr<Started> bus_;
    xcb_connection_t* x_ = nullptr;
};

} // namespace fixture

// Skips the test, with the reason, where no session can be started.
#define SKIP_WITHOUT_A_LIVE_SESSION()                                                                                  \
    do {                                                                                                               \
        if (auto why = ::fixture::LiveSession::whyUnavailable())                                                       \
            GTEST_SKIP() << "live desktop tests skipped: " << *why;                                                    \
    } while (0)
