#include "platform/desktop/served/server_connection.h"

#include "platform/desktop/wire.h"
#include "platform/standard_error.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace platform {

namespace {

using Json = nlohmann::json;

// How long a call that is not modal waits for the server.
std::chrono::milliseconds answerBound()
{
    if (const char* text = std::getenv(DESKTOP_TIMEOUT_VARIABLE)) {
        char* end = nullptr;
        long value = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && value > 0 && value <= 3600 * 1000)
            return std::chrono::milliseconds(value);
    }
    return std::chrono::milliseconds(DESKTOP_ANSWER_MS);
}

} // namespace

ServerConnection::ServerConnection(int fd, HeadlessState& state)
    : fd_(fd)
    , lines_(fd)
    , state_(state)
    , bound_(answerBound())
{
}

ServerConnection::~ServerConnection()
{
    watch_.reset();
    if (fd_ >= 0)
        ::close(fd_);
}

Result<void> ServerConnection::introduce(const DesktopIdentity& identity)
{
    connecting_ = true;
    auto optional = [](const std::optional<std::string>& text) { return text ? Json(*text) : Json(nullptr); };
    Json hello = {
        {"op", "hello"},
        {"protocol", DESKTOP_PROTOCOL},
        {"role", "host"},
        {"pid", identity.pid},
        {"bundleIdentifier", optional(identity.bundleIdentifier)},
        {"localizedName", optional(identity.localizedName)},
        {"bundlePath", optional(identity.bundlePath)},
        {"activationPolicy", int(identity.activationPolicy)},
    };
    auto reply = call(hello);
    connecting_ = false;
    if (!reply)
        return failureBecause("hello", failure_.empty() ? std::string("no answer to the greeting") : failure_);
    auto protocol = wire::integerAt(*reply, "protocol");
    if (protocol != DESKTOP_PROTOCOL)
        return failureBecause("hello", "the server speaks protocol " + (protocol ? std::to_string(*protocol) : std::string("unknown"))
                                           + ", the host speaks " + std::to_string(DESKTOP_PROTOCOL));
    watch_ = whenReadable(fd_, [this] {
        if (!gone_)
            readAvailable();
    });
    return {};
}

void ServerConnection::onEvent(const std::string& name, EventHandler handler)
{
    eventHandlers_[name] = std::move(handler);
}

void ServerConnection::whenGone(std::function<void()> work)
{
    goneHandlers_.push_back(std::move(work));
}

void ServerConnection::tell(Json request)
{
    call(std::move(request));
}

std::optional<Json> ServerConnection::call(Json request, bool modal)
{
    if (gone_)
        return std::nullopt;
    int64_t id = nextRequest_++;
    request["id"] = id;
    std::string op = request.value("op", "");
    auto deadline = Clock::now() + bound_;
    if (!writeLine(request, deadline))
        return std::nullopt;
    for (;;) {
        if (auto found = replies_.find(id); found != replies_.end()) {
            Json reply = std::move(found->second);
            replies_.erase(found);
            if (auto error = wire::stringAt(reply, "error")) {
                // A server that refuses what it must answer speaks another
                // protocol than the host: the host stops relying on it.
                goneBecause(connecting_ ? *error : "it refused " + op + ": " + *error);
                return std::nullopt;
            }
            return reply;
        }
        if (!modal && Clock::now() >= deadline) {
            goneBecause("no answer to " + op + " within " + std::to_string(bound_.count()) + " ms");
            return std::nullopt;
        }
        if (!readLines(modal ? Clock::time_point::max() : deadline))
            return std::nullopt;
    }
}

// Writes one line whole, waiting for room until the deadline.
bool ServerConnection::writeLine(const Json& message, Clock::time_point deadline)
{
    switch (lines_.write(wire::lineOf(message) + "\n", deadline)) {
    case LineSocket::Write::written:
        return true;
    case LineSocket::Write::stalled:
        goneBecause("the server stopped reading");
        return false;
    case LineSocket::Write::failed:
        break;
    }
    goneBecause(std::string("cannot write to the server: ") + std::strerror(lines_.error()));
    return false;
}

// Reads what the socket holds now; false when the server is gone.
bool ServerConnection::readAvailable()
{
    return readLines(Clock::time_point::min());
}

// Waits until `deadline` for a line, then sorts it and every whole line
// that has arrived with it: none stays behind in the buffer, where the
// watch on the socket would not see it. False when the server is gone.
bool ServerConnection::readLines(Clock::time_point deadline)
{
    std::string line;
    for (;;) {
        switch (lines_.readLine(line, deadline)) {
        case LineSocket::Read::line:
            handleLine(line);
            break;
        case LineSocket::Read::tooLong:
            complain("a line longer than " + std::to_string(LineSocket::DEFAULT_LIMIT) + " bytes", line);
            break;
        case LineSocket::Read::timedOut:
            return true;
        case LineSocket::Read::closed:
            goneBecause("the server closed the connection");
            return false;
        case LineSocket::Read::failed:
            goneBecause(std::string("cannot read from the server: ") + std::strerror(lines_.error()));
            return false;
        }
        if (gone_)
            return false;
        deadline = Clock::time_point::min();
    }
}

// Sorts one line from the server into the replies or the events.
void ServerConnection::handleLine(const std::string& line)
{
    if (line.empty())
        return;
    auto message = wire::objectOfLine(line);
    if (!message) {
        complain("not a JSON object", line);
        return;
    }
    if (auto event = wire::stringAt(*message, "event")) {
        events_.push_back(std::move(*message));
        dispatchSoon();
        return;
    }
    auto id = wire::integerAt(*message, "id");
    if (id && (message->contains("ok") || message->contains("error"))) {
        replies_[*id] = std::move(*message);
        return;
    }
    if (auto error = wire::stringAt(*message, "error")) {
        // The server refused something the host sent without waiting.
        sayOnStandardError("desktop server refused " + message->value("op", std::string("a request")) + ": " + *error);
        return;
    }
    complain("neither a reply nor an event", line);
}

void ServerConnection::complain(const std::string& what, const std::string& line)
{
    if (!gone_)
        writeLine({{"op", "malformed"}, {"error", what}, {"line", line.substr(0, 200)}}, Clock::now() + bound_);
}

void ServerConnection::answer(const Json& event, Json reply)
{
    auto ask = wire::integerAt(event, "ask");
    if (!ask)
        return;
    reply["op"] = "answer";
    reply["ask"] = *ask;
    tell(std::move(reply));
}

// Drops the server for good and says so once.
void ServerConnection::goneBecause(const std::string& reason)
{
    if (gone_)
        return;
    gone_ = true;
    watch_.reset();
    ::close(fd_);
    fd_ = -1;
    for (const auto& work : goneHandlers_)
        work();
    if (connecting_)
        failure_ = reason;
    else
        sayOnStandardError("desktop server went away (" + reason + "); the headless desktop serves from now on");
}

void ServerConnection::dispatchSoon()
{
    if (drainPosted_)
        return;
    drainPosted_ = true;
    state_.later([this] {
        drainPosted_ = false;
        drain();
    });
}

// Runs the queued events in the order they came.
void ServerConnection::drain()
{
    // Events read while a handler waits for an answer join the queue and
    // run after it, in order.
    while (!events_.empty()) {
        Json event = std::move(events_.front());
        events_.pop_front();
        auto handler = eventHandlers_.find(event.value("event", ""));
        if (handler == eventHandlers_.end()) {
            complain("unknown event", wire::lineOf(event));
            continue;
        }
        handler->second(event);
    }
}

} // namespace platform
