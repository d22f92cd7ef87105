#include "support/live_session.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace fixture {

namespace {

using namespace std::chrono_literals;

// The program's path on PATH; "" when it is not installed.
std::string installed(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos)
            end = folders.size();
        std::string candidate = folders.substr(start, end - start) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

// The first line a program wrote on standard output, waiting for it.
std::string firstLineOf(Started& program, std::chrono::milliseconds timeout)
{
    std::string line;
    eventually(
        [&] {
            std::string out = program.out();
            size_t end = out.find('\n');
            if (end == std::string::npos)
                return program.ended();
            line = out.substr(0, end);
            return true;
        },
        timeout);
    return line;
}

} // namespace

std::string liveDesktopLibrary()
{
    return KESTRUNE_LIVE_DESKTOP_LIBRARY;
}

std::string liveDesktopTrouble(const std::string& err)
{
    std::string trouble;
    size_t start = 0;
    while (start < err.size()) {
        size_t end = err.find('\n', start);
        if (end == std::string::npos)
            end = err.size();
        std::string line = err.substr(start, end - start);
        if (line.find("live desktop") != std::string::npos && line.find("no tray on the session bus") == std::string::npos)
            trouble += line + "\n";
        start = end + 1;
    }
    return trouble;
}

std::optional<std::string> LiveSession::whyUnavailable()
{
    for (const char* program : {"Xvfb", "openbox", "dbus-daemon"}) {
        if (installed(program).empty())
            return std::string(program) + " is not installed (the README's test command installs it)";
    }
    return std::nullopt;
}

LiveSession::LiveSession(bool windowManager)
{
    char pattern[] = "/tmp/kestrune-live-XXXXXX";
    if (!mkdtemp(pattern))
        throw std::runtime_error("mkdtemp");
    folder_ = pattern;

    // -displayfd picks a free display and names it on standard output.
    RunOptions display;
    display.arguments = {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset"};
    display.timeout = 3600s;
    server_ = std::make_unique<Started>(installed("Xvfb"), display, folder_);
    std::string number = firstLineOf(*server_, 20s);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos)
        throw std::runtime_error("Xvfb named no display: " + server_->err());
    display_ = ":" + number;

    RunOptions bus;
    bus.arguments = {"--session", "--nofork", "--print-address=1", "--address=unix:path=" + folder_ + "/bus"};
    bus.timeout = 3600s;
    bus_ = std::make_unique<Started>(installed("dbus-daemon"), bus, folder_);
    busAddress_ = firstLineOf(*bus_, 20s);
    if (busAddress_.empty())
        throw std::runtime_error("dbus-daemon gave no address: " + bus_->err());

    if (windowManager)
        startWindowManager();
}

LiveSession::~LiveSession()
{
    if (x_)
        xcb_disconnect(x_);
    windowManager_.reset();
    bus_.reset();
    server_.reset();
    std::string command = "rm -rf '" + folder_ + "'";
    if (std::system(command.c_str()) != 0) {
    }
}

RunOptions LiveSession::withSession(RunOptions options) const
{
    options.environment["DISPLAY"] = display_;
    options.environment["DBUS_SESSION_BUS_ADDRESS"] = busAddress_;
    options.environment["KESTRUNE_LIVE_DESKTOP_LIBRARY"] = liveDesktopLibrary();
    return options;
}

void LiveSession::startWindowManager()
{
    RunOptions manager;
    manager.arguments = {"--sm-disable"};
    manager.environment["DISPLAY"] = display_;
    manager.timeout = 3600s;
    windowManager_ = std::make_unique<Started>(installed("openbox"), manager, folder_);
    // The window manager is in place once it names itself on the root
    // window (_NET_SUPPORTING_WM_CHECK).
    xcb_connection_t* connection = x();
    auto atom = [&](const char* name) {
        auto reply = xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, strlen(name), name), nullptr);
        xcb_atom_t value = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        free(reply);
        return value;
    };
    xcb_atom_t check = atom("_NET_SUPPORTING_WM_CHECK");
    bool ready = eventually(
        [&] {
            auto cookie = xcb_get_property(connection, 0, root(), check, XCB_ATOM_WINDOW, 0, 1);
            auto reply = xcb_get_property_reply(connection, cookie, nullptr);
            bool named = reply && xcb_get_property_value_length(reply) == 4;
            free(reply);
            return named || windowManager_->ended();
        },
        20s);
    if (!ready || windowManager_->ended())
        throw std::runtime_error("openbox did not start: " + windowManager_->err());
}

void LiveSession::stopWindowManager()
{
    windowManager_.reset();
}

void LiveSession::stopBus()
{
    bus_.reset();
}

xcb_connection_t* LiveSession::x()
{
    if (!x_) {
        x_ = xcb_connect(display_.c_str(), nullptr);
        if (xcb_connection_has_error(x_))
            throw std::runtime_error("cannot connect to " + display_);
    }
    return x_;
}

xcb_window_t LiveSession::root()
{
    return xcb_setup_roots_iterator(xcb_get_setup(x())).data->root;
}

} // namespace fixture
