#include "platform/linux/desktop/live/x_connection.h"

#include "platform/standard_error.h"

#include <poll.h>

#include <cstdlib>

namespace platform {

namespace {

// What xcb_connection_has_error's code means, for the line on standard error.
std::string connectionErrorText(int code)
{
    switch (code) {
    case XCB_CONN_ERROR: return "the connection to the X server broke";
    case XCB_CONN_CLOSED_EXT_NOTSUPPORTED: return "an extension the X server lacks";
    case XCB_CONN_CLOSED_MEM_INSUFFICIENT: return "out of memory";
    case XCB_CONN_CLOSED_REQ_LEN_EXCEED: return "a request too long for the X server";
    case XCB_CONN_CLOSED_PARSE_ERR: return "the display's name cannot be read";
    case XCB_CONN_CLOSED_INVALID_SCREEN: return "the display has no such screen";
    default: return "the X server refused the connection";
    }
}

struct FreeEvent {
    void operator()(xcb_generic_event_t* event) const { std::free(event); }
};

} // namespace

Result<std::unique_ptr<XConnection>> XConnection::open()
{
    const char* display = std::getenv("DISPLAY");
    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
    if (int code = xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return failureBecause("xcb_connect", std::string("display ") + (display ? display : "(none)") + ": "
                                                 + connectionErrorText(code));
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem; ++i)
        xcb_screen_next(&screens);
    if (!screens.rem) {
        xcb_disconnect(connection);
        return failureBecause("xcb_connect", std::string("display ") + (display ? display : "(none)") + " has no screen");
    }
    std::unique_ptr<XConnection> made(new XConnection(connection, screens.data));
    xcb_intern_atom_cookie_t* cookies = xcb_ewmh_init_atoms(connection, &made->ewmh_);
    if (!xcb_ewmh_init_atoms_replies(&made->ewmh_, cookies, nullptr))
        return failureBecause("xcb_ewmh_init_atoms", "the X server did not name the window manager's atoms");
    made->ewmhReady_ = true;
    made->watch_ = whenReadable(xcb_get_file_descriptor(connection), [raw = made.get()] { raw->readAvailable(); });
    return made;
}

XConnection::XConnection(xcb_connection_t* connection, xcb_screen_t* screen)
    : connection_(connection)
    , screen_(screen)
{
}

XConnection::~XConnection()
{
    watch_.reset();
    if (ewmhReady_)
        xcb_ewmh_connection_wipe(&ewmh_);
    xcb_disconnect(connection_);
}

xcb_atom_t XConnection::atom(const std::string& name)
{
    if (auto found = atoms_.find(name); found != atoms_.end())
        return found->second;
    xcb_atom_t atom = XCB_ATOM_NONE;
    auto cookie = xcb_intern_atom(connection_, 0, uint16_t(name.size()), name.data());
    if (auto* reply = xcb_intern_atom_reply(connection_, cookie, nullptr)) {
        atom = reply->atom;
        std::free(reply);
        atoms_[name] = atom;
    }
    dispatchSoon();
    return atom;
}

void XConnection::onEvent(uint8_t type, EventHandler handler)
{
    handlers_[type].push_back(std::move(handler));
}

void XConnection::onError(std::function<void(const xcb_generic_error_t& error)> handler)
{
    errorHandlers_.push_back(std::move(handler));
}

void XConnection::whenGone(std::function<void()> work)
{
    goneHandlers_.push_back(std::move(work));
}

bool XConnection::healthy()
{
    if (gone_)
        return false;
    int code = xcb_connection_has_error(connection_);
    if (!code)
        return true;
    gone_ = true;
    watch_.reset();
    sayOnStandardError("live desktop: " + connectionErrorText(code) + "; the desktop goes on headless");
    auto handlers = std::move(goneHandlers_);
    for (auto& work : handlers)
        work();
    return false;
}

void XConnection::flush()
{
    if (gone_)
        return;
    xcb_flush(connection_);
    dispatchSoon();
}

void XConnection::dispatchSoon()
{
    if (drainPosted_ || gone_)
        return;
    drainPosted_ = true;
    post([this, weak = std::weak_ptr<int>(lifetime_)] {
        if (weak.expired())
            return;
        drainPosted_ = false;
        drain();
    });
}

void XConnection::readAvailable()
{
    handOutAll(xcb_poll_for_event);
}

void XConnection::drain()
{
    handOutAll(xcb_poll_for_queued_event);
}

void XConnection::handOutAll(xcb_generic_event_t* (*next)(xcb_connection_t*))
{
    if (!healthy())
        return;
    while (xcb_generic_event_t* event = next(connection_)) {
        handOut(event);
        if (gone_)
            return;
    }
    healthy();
}

bool XConnection::dispatchNext(int timeoutMs)
{
    if (!healthy())
        return false;
    xcb_flush(connection_);
    xcb_generic_event_t* event = xcb_poll_for_queued_event(connection_);
    if (!event) {
        pollfd descriptor{xcb_get_file_descriptor(connection_), POLLIN, 0};
        if (poll(&descriptor, 1, timeoutMs) > 0)
            event = xcb_poll_for_event(connection_);
    }
    if (!event) {
        healthy();
        return false;
    }
    handOut(event);
    return !gone_;
}

void XConnection::handOut(xcb_generic_event_t* raw)
{
    std::unique_ptr<xcb_generic_event_t, FreeEvent> event(raw);
    uint8_t type = event->response_type & 0x7f;
    if (type == 0) {
        for (auto& handler : errorHandlers_)
            handler(*reinterpret_cast<const xcb_generic_error_t*>(event.get()));
        return;
    }
    auto found = handlers_.find(type);
    if (found == handlers_.end())
        return;
    // A handler may add handlers of the same type; the ones present now run.
    auto handlers = found->second;
    for (auto& handler : handlers)
        handler(*event);
}

} // namespace platform
