// What Apple events do on macOS, a live session does over the session bus
// with the freedesktop application interface (org.freedesktop.Application,
// the one DBusActivatable desktop entries use): the host owns its bundle
// identifier as a bus name and serves the interface at the path made of it.
// Activate is a reopen, Open hands URLs over one get-URL event each, and the
// "quit" action is a quit; each carries the caller's process id as its
// sender, and each call is answered once the host has handled it. Without
// the bus nothing arrives, as on the headless desktop.
#pragma once

#include "platform/desktop.h"
#include "platform/desktop/headless/application_events_headless.h"
#include "platform/linux/desktop/live/bus_connection.h"

#include <optional>
#include <string>

namespace platform {

class LiveApplicationEvents final : public HeadlessApplicationEvents {
public:
    LiveApplicationEvents(BusConnection& bus, const DesktopIdentity& identity);
    ~LiveApplicationEvents() override;
    LiveApplicationEvents(const LiveApplicationEvents&) = delete;
    LiveApplicationEvents& operator=(const LiveApplicationEvents&) = delete;

    // Whether a text may be a well-known bus name.
    static bool isBusName(const std::string& text);
    // The object path the application is served at: "/" and the name with
    // its dots as slashes and its hyphens as underscores.
    static std::string objectPathOf(const std::string& busName);

private:
    // The interface's methods.
    static const sd_bus_vtable* vtable();
    static int activateCall(sd_bus_message* call, void* self, sd_bus_error* error);
    static int openCall(sd_bus_message* call, void* self, sd_bus_error* error);
    static int activateActionCall(sd_bus_message* call, void* self, sd_bus_error* error);
    static int nameReply(sd_bus_message* reply, void* self, sd_bus_error* error);

    // The Apple event of a call, with its caller's process id as sender.
    AppleEvent eventOf(sd_bus_message* call, uint32_t eventClass, uint32_t eventID);

    BusConnection& bus_;
    std::string name_;
    sd_bus_slot* object_ = nullptr;
    sd_bus_slot* nameRequest_ = nullptr;
};

} // namespace platform
