#include "platform/desktop/served/application_events_served.h"

#include "platform/desktop/wire.h"

#include <nlohmann/json.hpp>

#include <cctype>

namespace platform {

namespace {

using nlohmann::json;

// The Apple event an event describes; nothing for null.
std::optional<AppleEvent> appleEventOf(const json& value, uint32_t eventClass, uint32_t eventID)
{
    if (!value.is_object())
        return std::nullopt;
    AppleEvent event;
    event.eventClass = eventClass;
    event.eventID = eventID;
    if (auto sender = wire::integerAt(value, "sender"); sender && *sender >= INT32_MIN && *sender <= INT32_MAX)
        event.senderPid = int32_t(*sender);
    if (auto reason = wire::stringAt(value, "reason"))
        event.quitReason = fourCharCodeOf(*reason);
    if (auto direct = wire::stringAt(value, "url"))
        event.directObject = *direct;
    return event;
}

// Whether the text is a file URL (its scheme compared without case).
bool isFileURL(const std::string& text)
{
    if (text.size() < 5)
        return false;
    std::string scheme = text.substr(0, 5);
    for (auto& c : scheme)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return scheme == "file:";
}

} // namespace

ServedApplicationEvents::ServedApplicationEvents(ServerConnection& server)
    : server_(server)
{
    server_.onEvent("getURL", [this](const json& event) { getURLEvent(event); });
    server_.onEvent("openURLs", [this](const json& event) { openURLsEvent(event); });
    server_.onEvent("reopen", [this](const json& event) { reopenEvent(event); });
    server_.onEvent("quit", [this](const json& event) { quitEvent(event); });
    server_.onEvent("services", [this](const json& event) { servicesEvent(event); });
}

void ServedApplicationEvents::setGetURLHandler(AppleEventHandler handler)
{
    HeadlessApplicationEvents::setGetURLHandler(std::move(handler));
    tellTheHandlers();
}

void ServedApplicationEvents::setApplicationDelegate(ApplicationDelegate delegate)
{
    HeadlessApplicationEvents::setApplicationDelegate(std::move(delegate));
    tellTheHandlers();
}

void ServedApplicationEvents::setServicesProvider(ServicesProvider provider)
{
    HeadlessApplicationEvents::setServicesProvider(std::move(provider));
    tellTheHandlers();
}

void ServedApplicationEvents::tellTheHandlers()
{
    server_.tell({{"op", "handlers"}, {"getURL", hasGetURLHandler()}, {"services", hasServicesProvider()}, {"delegate", hasDelegate()}});
}

void ServedApplicationEvents::getURLEvent(const json& event)
{
    auto appleEvent = appleEventOf(event, INTERNET_EVENT_CLASS, INTERNET_EVENT_CLASS);
    deliverGetURL(*appleEvent);
}

void ServedApplicationEvents::openURLsEvent(const json& event)
{
    std::vector<std::string> urls;
    if (auto list = event.find("urls"); list != event.end() && list->is_array()) {
        for (const auto& url : *list) {
            if (url.is_string())
                urls.push_back(url.get<std::string>());
        }
    }
    deliverOpenURLs(urls, appleEventOf(event.value("appleEvent", json()), CORE_EVENT_CLASS, OPEN_DOCUMENTS_EVENT_ID));
}

void ServedApplicationEvents::reopenEvent(const json& event)
{
    bool handled = askToReopen(appleEventOf(event.value("appleEvent", json()), CORE_EVENT_CLASS, REOPEN_EVENT_ID));
    server_.answer(event, {{"handled", handled}});
}

void ServedApplicationEvents::quitEvent(const json& event)
{
    auto reply = askToTerminate(appleEventOf(event.value("appleEvent", json()), CORE_EVENT_CLASS, QUIT_EVENT_ID));
    // The server hears the answer before the host starts to end.
    server_.answer(event, {{"reply", wire::nameOf(reply)}});
    if (reply == TerminateReply::now)
        terminateAsAnswered();
}

void ServedApplicationEvents::servicesEvent(const json& event)
{
    ServicesRequest request;
    request.message = event.value("message", "openFiles");
    request.userData = wire::stringAt(event, "userData");
    if (auto pasteboard = event.find("pasteboard"); pasteboard != event.end() && pasteboard->is_array()) {
        for (const auto& item : *pasteboard) {
            if (item.is_string() && isFileURL(item.get<std::string>()))
                request.fileURLs.push_back(item.get<std::string>());
        }
    }
    auto error = askTheServicesProvider(request);
    server_.answer(event, {{"error", error ? json(*error) : json(nullptr)}});
}

} // namespace platform
