// The live desktop's one connection to the X server, watched on the main
// queue. Events are handed to the handlers registered for their type, in the
// order the server sent them; the replies of synchronous calls may pull
// events off the socket, so every call that waits drains them afterwards.
//
// A connection that breaks (the server went away, the session ended) is
// dropped for good: it says so once on standard error, runs the gone
// handlers, and the topics go on as their headless selves.
#pragma once

#include "platform/main_queue.h"
#include "platform/result.h"

#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace platform {

class XConnection {
public:
    using EventHandler = std::function<void(const xcb_generic_event_t& event)>;

    // Connects to the display the environment names.
    static Result<std::unique_ptr<XConnection>> open();
    ~XConnection();
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    xcb_connection_t* connection() const { return connection_; }
    xcb_screen_t* screen() const { return screen_; }
    xcb_window_t root() const { return screen_->root; }
    xcb_ewmh_connection_t& ewmh() { return ewmh_; }

    // The atom of this name, interned once.
    xcb_atom_t atom(const std::string& name);

    // The handler of events of one type (the response type without the
    // "sent" bit); several may share a type and run in the order added.
    void onEvent(uint8_t type, EventHandler handler);
    // The handler of X errors of requests nobody checked.
    void onError(std::function<void(const xcb_generic_error_t& error)> handler);
    // Work to do when the connection breaks.
    void whenGone(std::function<void()> work);
    bool gone() const { return gone_; }

    // Sends what is buffered and hands out the events read so far, soon.
    void flush();
    // Hands out the events already read, soon (after a call that waited).
    void dispatchSoon();
    // Waits at most `timeoutMs` for the next event and hands it out now;
    // false when none came or the connection broke. For modal loops, which
    // keep the main queue waiting as a modal window does on macOS.
    bool dispatchNext(int timeoutMs);

    // Checks the connection after a call; says so and drops it when broken.
    bool healthy();

private:
    explicit XConnection(xcb_connection_t* connection, xcb_screen_t* screen);
    void readAvailable();
    void handOut(xcb_generic_event_t* event);
    void drain();
    // Hands out every event `next` gives: from the socket (readable) or from
    // xcb's queue alone (after a call that waited).
    void handOutAll(xcb_generic_event_t* (*next)(xcb_connection_t*));

    xcb_connection_t* connection_;
    xcb_screen_t* screen_;
    xcb_ewmh_connection_t ewmh_{};
    bool ewmhReady_ = false;
    bool gone_ = false;
    bool drainPosted_ = false;
    std::unique_ptr<DescriptorWatch> watch_;
    std::map<std::string, xcb_atom_t> atoms_;
    std::map<uint8_t, std::vector<EventHandler>> handlers_;
    std::vector<std::function<void(const xcb_generic_error_t&)>> errorHandlers_;
    std::vector<std::function<void()>> goneHandlers_;
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

} // namespace platform
