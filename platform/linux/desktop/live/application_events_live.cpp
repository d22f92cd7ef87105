#include "platform/linux/desktop/live/application_events_live.h"

#include "platform/main_queue.h"
#include "platform/standard_error.h"

#include <cstring>
#include <vector>

namespace platform {

namespace {

constexpr const char* INTERFACE = "org.freedesktop.Application";
// More URIs in one Open call than this are not handed over: each is an
// event the host handles while the caller waits.
constexpr std::size_t URI_LIMIT = 4096;

// The process id a call came from; nothing when the bus does not say.
std::optional<int32_t> senderPidOf(sd_bus_message* call)
{
    sd_bus_creds* creds = nullptr;
    if (sd_bus_query_sender_creds(call, SD_BUS_CREDS_PID, &creds) < 0)
        return std::nullopt;
    pid_t pid = 0;
    std::optional<int32_t> found;
    if (sd_bus_creds_get_pid(creds, &pid) >= 0 && pid > 0)
        found = int32_t(pid);
    sd_bus_creds_unref(creds);
    return found;
}

} // namespace

LiveApplicationEvents::LiveApplicationEvents(BusConnection& bus, const DesktopIdentity& identity)
    : bus_(bus)
{
    if (bus_.gone())
        return;
    const std::string identifier = identity.bundleIdentifier.value_or("");
    if (!isBusName(identifier)) {
        sayOnStandardError("live desktop: the bundle identifier \"" + identifier
                           + "\" is no bus name; the application is not served on the session bus");
        return;
    }
    name_ = identifier;
    const std::string path = objectPathOf(name_);
    if (int error = sd_bus_add_object_vtable(bus_.bus(), &object_, path.c_str(), INTERFACE, vtable(), this);
        error < 0) {
        sayOnStandardError("live desktop: the application could not be served on the session bus ("
                           + std::string(std::strerror(-error)) + ")");
        return;
    }
    // Not queued behind an owner: another instance of the application owns
    // the name, and its callers reach it.
    if (int error = sd_bus_request_name_async(bus_.bus(), &nameRequest_, name_.c_str(), 0, nameReply, this); error < 0)
        sayOnStandardError("live desktop: the bus name " + name_ + " could not be asked for ("
                           + std::string(std::strerror(-error)) + ")");
    bus_.settle();
}

LiveApplicationEvents::~LiveApplicationEvents()
{
    sd_bus_slot_unref(nameRequest_);
    sd_bus_slot_unref(object_);
}

bool LiveApplicationEvents::isBusName(const std::string& text)
{
    // Two elements or more, of letters, digits, "_" and "-", none empty or
    // starting with a digit; at most 255 characters.
    if (text.empty() || text.size() > 255)
        return false;
    std::size_t elements = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('.', start);
        if (end == std::string::npos)
            end = text.size();
        if (end == start || (text[start] >= '0' && text[start] <= '9'))
            return false;
        for (std::size_t i = start; i < end; ++i) {
            char c = text[i];
            bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
            if (!allowed)
                return false;
        }
        ++elements;
        start = end + 1;
    }
    return elements >= 2;
}

std::string LiveApplicationEvents::objectPathOf(const std::string& busName)
{
    std::string path = "/" + busName;
    for (std::size_t i = 1; i < path.size(); ++i) {
        if (path[i] == '.')
            path[i] = '/';
        else if (path[i] == '-')
            path[i] = '_';
    }
    return path;
}

int LiveApplicationEvents::nameReply(sd_bus_message* reply, void* self, sd_bus_error*)
{
    auto* events = static_cast<LiveApplicationEvents*>(self);
    events->nameRequest_ = sd_bus_slot_unref(events->nameRequest_);
    if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
        sayOnStandardError("live desktop: the bus name " + events->name_ + " was refused ("
                           + (error->message ? error->message : error->name) + ")");
        return 0;
    }
    uint32_t result = 0;
    // 1: we own it; 4: we did already. 3: somebody else does.
    if (sd_bus_message_read(reply, "u", &result) >= 0 && result != 1 && result != 4)
        sayOnStandardError("live desktop: the bus name " + events->name_
                           + " is owned by another process; this host answers only at its own address");
    return 0;
}

AppleEvent LiveApplicationEvents::eventOf(sd_bus_message* call, uint32_t eventClass, uint32_t eventID)
{
    AppleEvent event;
    event.eventClass = eventClass;
    event.eventID = eventID;
    event.senderPid = senderPidOf(call);
    return event;
}

int LiveApplicationEvents::activateCall(sd_bus_message* call, void* self, sd_bus_error*)
{
    assertOnTheMainThread("Activate");
    auto* events = static_cast<LiveApplicationEvents*>(self);
    int read = sd_bus_message_skip(call, "a{sv}");
    if (read < 0)
        return read;
    events->askToReopen(events->eventOf(call, CORE_EVENT_CLASS, REOPEN_EVENT_ID));
    return sd_bus_reply_method_return(call, "");
}

int LiveApplicationEvents::openCall(sd_bus_message* call, void* self, sd_bus_error*)
{
    assertOnTheMainThread("Open");
    auto* events = static_cast<LiveApplicationEvents*>(self);
    std::vector<std::string> uris;
    int read = sd_bus_message_enter_container(call, 'a', "s");
    if (read < 0)
        return read;
    const char* uri = nullptr;
    while ((read = sd_bus_message_read_basic(call, 's', &uri)) > 0) {
        if (uris.size() < URI_LIMIT)
            uris.emplace_back(uri);
    }
    if (read < 0)
        return read;
    if ((read = sd_bus_message_exit_container(call)) < 0 || (read = sd_bus_message_skip(call, "a{sv}")) < 0)
        return read;
    AppleEvent event = events->eventOf(call, INTERNET_EVENT_CLASS, INTERNET_EVENT_CLASS);
    // One get-URL event per URI, in order, as the system sends them.
    for (const auto& each : uris) {
        event.directObject = each;
        events->deliverGetURL(event);
    }
    return sd_bus_reply_method_return(call, "");
}

int LiveApplicationEvents::activateActionCall(sd_bus_message* call, void* self, sd_bus_error* error)
{
    assertOnTheMainThread("ActivateAction");
    auto* events = static_cast<LiveApplicationEvents*>(self);
    const char* action = nullptr;
    int read = sd_bus_message_read_basic(call, 's', &action);
    if (read < 0)
        return read;
    if ((read = sd_bus_message_skip(call, "ava{sv}")) < 0)
        return read;
    if (std::strcmp(action, "quit") != 0)
        return sd_bus_error_setf(error, SD_BUS_ERROR_NOT_SUPPORTED, "The application has no action \"%s\"", action);
    auto reply = events->askToTerminate(events->eventOf(call, CORE_EVENT_CLASS, QUIT_EVENT_ID));
    // The caller hears the answer before the host starts to end.
    int sent = sd_bus_reply_method_return(call, "");
    sd_bus_flush(events->bus_.bus());
    if (reply == TerminateReply::now)
        events->terminateAsAnswered();
    return sent;
}

const sd_bus_vtable* LiveApplicationEvents::vtable()
{
    static const sd_bus_vtable methods[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Activate", "a{sv}", "", activateCall, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("Open", "asa{sv}", "", openCall, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("ActivateAction", "sava{sv}", "", activateActionCall, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END,
    };
    return methods;
}

} // namespace platform
