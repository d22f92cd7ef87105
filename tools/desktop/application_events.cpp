#include "application_events.h"

#include "session.h"
#include "workspace.h"

#include <algorithm>

namespace desktop {

namespace {

namespace wire = platform::wire;

// What a host has installed before it says otherwise: nothing.
json noHandlers()
{
    return {{"getURL", false}, {"services", false}, {"delegate", false}, {"displayReconfiguration", false}};
}

// A path as the path of a file URL, with everything but unreserved characters escaped.
std::string percentEncodedPath(const std::string& path)
{
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~')
            out.push_back(char(c));
        else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

} // namespace

ApplicationEvents::ApplicationEvents(Session& session)
    : session_(session)
{
    auto serve = [this](const char* op, const Session::Roles& roles, void (ApplicationEvents::*handle)(Request&)) {
        session_.serve(op, roles, [this, handle](Request& request) { (this->*handle)(request); });
    };
    serve("handlers", Session::hosts, &ApplicationEvents::handlers);
    serve("getURL", Session::clients, &ApplicationEvents::getURL);
    serve("openURLs", Session::clients, &ApplicationEvents::openURLs);
    serve("reopen", Session::clients, &ApplicationEvents::reopen);
    serve("askToQuit", Session::clients, &ApplicationEvents::askToQuit);
    serve("service", Session::clients, &ApplicationEvents::service);
}

void ApplicationEvents::describeHost(const HostRecord& host, json& record)
{
    auto found = handlers_.find(host.connection);
    record["handlers"] = found != handlers_.end() ? found->second : noHandlers();
}

std::optional<json> ApplicationEvents::senderIn(Request& request)
{
    auto sender = request.message().find("sender");
    if (sender == request.message().end() || sender->is_null())
        return json(nullptr);
    if (sender->is_number_integer()) {
        auto pid = wire::integerAt(request.message(), "sender");
        if (!pid || *pid <= 0 || *pid > INT32_MAX) {
            request.refuse("a sender's process id must be a positive 32-bit number");
            return std::nullopt;
        }
        return json(*pid);
    }
    std::string error;
    App* app = session_.workspace().findApp(*sender, error);
    if (!app) {
        request.refuse(error);
        return std::nullopt;
    }
    return json(app->running.pid);
}

std::optional<json> ApplicationEvents::appleEventIn(Request& request)
{
    auto sender = senderIn(request);
    if (!sender)
        return std::nullopt;
    auto reason = wire::stringAt(request.message(), "reason");
    if (reason && !platform::fourCharCodeOf(*reason)) {
        request.refuse("a quit reason is four characters (shut, rsdn, logo, ...)");
        return std::nullopt;
    }
    if (sender->is_null() && !reason && !wire::booleanAt(request.message(), "appleEvent").value_or(false))
        return json(nullptr);
    return json{{"sender", *sender}, {"reason", reason ? json(*reason) : json(nullptr)}};
}

std::pair<HostRecord*, json> ApplicationEvents::hostAndAppleEventOf(Request& request)
{
    HostRecord* host = session_.namedHost(request);
    if (!host)
        return {nullptr, json()};
    auto appleEvent = appleEventIn(request);
    if (!appleEvent)
        return {nullptr, json()};
    return {host, *appleEvent};
}

// Which Apple-event, delegate, Services and display handlers a host
// installed; a member left out keeps what it was.
void ApplicationEvents::handlers(Request& request)
{
    auto [found, fresh] = handlers_.try_emplace(request.connection().number, noHandlers());
    for (const char* name : {"getURL", "services", "delegate", "displayReconfiguration"}) {
        if (auto value = wire::booleanAt(request.message(), name))
            found->second[name] = *value;
    }
    request.reply();
}

// The system sends the host a get-URL Apple event.
void ApplicationEvents::getURL(Request& request)
{
    HostRecord* host = session_.namedHost(request);
    if (!host)
        return;
    auto sender = senderIn(request);
    if (!sender)
        return;
    auto url = request.message().find("url");
    json urlValue = url != request.message().end() && url->is_string() ? *url : json(nullptr);
    session_.sendEvent(*host, {{"event", "getURL"}, {"url", urlValue}, {"sender", *sender}});
    replyActivatingIfAsked(*host, request);
}

// With "activate", the system brings the application forward as it hands
// it what was opened, as when the user follows a link in another application.
void ApplicationEvents::replyActivatingIfAsked(HostRecord& host, Request& request)
{
    json reply = {{"host", host.identity.pid}};
    if (wire::booleanAt(request.message(), "activate").value_or(false))
        reply["activated"] = session_.workspace().activateOnRequest(host.identity.pid);
    request.reply(reply);
}

// The system asks the host to open URLs.
void ApplicationEvents::openURLs(Request& request)
{
    auto [host, appleEvent] = hostAndAppleEventOf(request);
    if (!host)
        return;
    auto urls = request.message().value("urls", json());
    if (!urls.is_array() || !std::all_of(urls.begin(), urls.end(), [](const json& url) { return url.is_string(); })) {
        request.refuse("\"urls\" must be a list of URL texts");
        return;
    }
    session_.sendEvent(*host, {{"event", "openURLs"}, {"urls", urls}, {"appleEvent", appleEvent}});
    replyActivatingIfAsked(*host, request);
}

// The user opens the running application again.
void ApplicationEvents::reopen(Request& request)
{
    auto [host, appleEvent] = hostAndAppleEventOf(request);
    if (host)
        session_.ask(*host, {{"event", "reopen"}, {"appleEvent", appleEvent}}, request);
}

// The system asks the host to quit.
void ApplicationEvents::askToQuit(Request& request)
{
    auto [host, appleEvent] = hostAndAppleEventOf(request);
    if (host)
        session_.ask(*host, {{"event", "quit"}, {"appleEvent", appleEvent}}, request);
}

// The Services menu hands files to the host.
void ApplicationEvents::service(Request& request)
{
    HostRecord* host = session_.namedHost(request);
    if (!host)
        return;
    const std::string refusal = "\"files\" must be a list of paths or URLs";
    json pasteboard = json::array();
    auto files = request.message().value("files", json::array());
    if (!files.is_array()) {
        request.refuse(refusal);
        return;
    }
    // Paths become file URLs; URLs and other texts go on the pasteboard as they are.
    for (const auto& file : files) {
        if (!file.is_string()) {
            request.refuse(refusal);
            return;
        }
        std::string text = file.get<std::string>();
        pasteboard.push_back(!text.empty() && text[0] == '/' ? "file://" + percentEncodedPath(text) : text);
    }
    auto userData = request.message().find("userData");
    json event = {{"event", "services"},
                  {"message", wire::stringAt(request.message(), "message").value_or("openFiles")},
                  {"userData", userData != request.message().end() && userData->is_string() ? *userData : json(nullptr)},
                  {"pasteboard", pasteboard}};
    session_.ask(*host, event, request);
}

} // namespace desktop
