#include "session.h"

#include "alerts.h"
#include "application_events.h"
#include "hot_keys.h"
#include "panels.h"
#include "status_bar.h"
#include "views.h"
#include "window_server.h"
#include "workspace.h"

#include "platform/unix_socket.h"

#include <asio/post.hpp>
#include <asio/write.hpp>

#include <csignal>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace desktop {

namespace {

namespace wire = platform::wire;

constexpr std::size_t LINE_LIMIT = 16 * 1024 * 1024;
// A peer that leaves this much unread is not reading: it is dropped.
constexpr std::size_t OUTBOUND_LIMIT = 64 * 1024 * 1024;
constexpr std::size_t LOG_LIMIT = 50000;
constexpr std::size_t LOG_PAGE = 2000;

} // namespace

const Session::Roles Session::hosts{Role::host};
const Session::Roles Session::processes{Role::host, Role::application};
const Session::Roles Session::anyone{Role::host, Role::application, Role::client};
const Session::Roles Session::clients{Role::client};
const Session::Roles Session::viewsLibraries{Role::views};

Session::Session(asio::io_context& io, std::string socketPath)
    : io_(io)
    , acceptor_(io)
    , signals_(io, SIGINT, SIGTERM)
    , socketPath_(std::move(socketPath))
    , started_(std::chrono::steady_clock::now())
{
    serve("answer", hosts, [this](Request& request) { answer(request); });
    serve("malformed", processes, [this](Request& request) { malformed(request); });
    serve("state", clients, [this](Request& request) { state(request); }, false);
    serve("log", clients, [this](Request& request) { log(request); }, false);
    serve("load", clients, [this](Request& request) { loadRequest(request); });
    serve("waitForHost", clients, [this](Request& request) { waitForHost(request); }, false);
    serve("shutdown", clients, [this](Request& request) { shutdown(request); });
    windowServer_ = std::make_unique<WindowServer>(*this);
    hotKeys_ = std::make_unique<HotKeys>(*this);
    statusBar_ = std::make_unique<StatusBar>(*this);
    workspace_ = std::make_unique<Workspace>(*this);
    panels_ = std::make_unique<Panels>(*this);
    alerts_ = std::make_unique<Alerts>(*this);
    applicationEvents_ = std::make_unique<ApplicationEvents>(*this);
    views_ = std::make_unique<Views>(*this);
    topics_ = {windowServer_.get(), hotKeys_.get(), statusBar_.get(),         workspace_.get(),
               panels_.get(),       alerts_.get(),  applicationEvents_.get(), views_.get()};
}

Session::~Session() = default;

void Session::serve(const std::string& op, Roles roles, std::function<void(Request&)> handle, bool logged)
{
    served_[op] = {std::move(roles), std::move(handle), logged};
}

std::optional<std::string> Session::listen()
{
    if (socketPath_.empty())
        return "no socket path";
    // A socket file nobody listens on is left over from an earlier server.
    struct stat status {};
    if (::lstat(socketPath_.c_str(), &status) == 0) {
        if (!S_ISSOCK(status.st_mode))
            return socketPath_ + " exists and is not a socket";
        auto probe = platform::connectToUnixSocket(socketPath_);
        if (probe) {
            ::close(*probe);
            return "another server listens at " + socketPath_;
        }
        if (probe.failure().error == 0)
            return probe.failure().description();
        ::unlink(socketPath_.c_str());
    }
    auto listening = platform::listenOnUnixSocket(socketPath_, SOMAXCONN);
    if (!listening) {
        const auto& failure = listening.failure();
        return failure.error == 0 ? failure.description() : "cannot listen at " + socketPath_ + ": " + failure.description();
    }
    std::error_code error;
    acceptor_.assign(asio::local::stream_protocol(), *listening, error);
    if (error) {
        ::close(*listening);
        return "cannot listen at " + socketPath_ + ": " + error.message();
    }
    ::chmod(socketPath_.c_str(), 0600);
    listening_ = true;
    accept();
    signals_.async_wait([this](const std::error_code& error, int) {
        if (!error)
            stop();
    });
    return std::nullopt;
}

std::optional<std::string> Session::load(const json& session)
{
    if (!session.is_object())
        return "a session is a JSON object";
    for (Topic* topic : topics_) {
        if (auto error = topic->load(session))
            return error;
    }
    statusBar_->layout();
    return std::nullopt;
}

// --- Connections ----------------------------------------------------------------

void Session::accept()
{
    acceptor_.async_accept([this](const std::error_code& error, Socket socket) {
        if (error) {
            if (error != asio::error::operation_aborted && listening_)
                accept();
            return;
        }
        auto connection = std::make_shared<Connection>(std::move(socket));
        connection->number = nextConnection_++;
        ucred credentials{};
        socklen_t length = sizeof credentials;
        if (::getsockopt(connection->socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0)
            connection->peerPid = credentials.pid;
        connections_[connection->number] = connection;
        read(connection);
        accept();
    });
}

// Reads what the peer sends, for as long as it is connected.
void Session::read(const std::shared_ptr<Connection>& connection)
{
    connection->socket.async_read_some(asio::buffer(connection->buffer), [this, connection](const std::error_code& error, std::size_t got) {
        if (connection->closed)
            return;
        if (error) {
            close(*connection, error == asio::error::eof ? "closed" : error.message());
            return;
        }
        take(*connection, std::string_view(connection->buffer.data(), got));
        if (!connection->closed)
            read(connection);
    });
}

// Splits what arrived into lines; a line over the limit is refused and skipped.
void Session::take(Connection& connection, std::string_view bytes)
{
    while (!bytes.empty() && !connection.closed) {
        auto newline = bytes.find('\n');
        if (newline == std::string_view::npos) {
            if (!connection.discarding)
                connection.inbound.append(bytes);
            if (connection.inbound.size() > LINE_LIMIT) {
                connection.inbound.clear();
                connection.discarding = true;
                send(connection, {{"id", nullptr}, {"error", "a line longer than " + std::to_string(LINE_LIMIT) + " bytes"}});
            }
            return;
        }
        if (!connection.discarding) {
            connection.inbound.append(bytes.substr(0, newline));
            std::string line = std::move(connection.inbound);
            connection.inbound.clear();
            handleLine(connection, line);
        }
        connection.discarding = false;
        bytes.remove_prefix(newline + 1);
    }
}

// One line from a peer: a request, or an error reply when it is no JSON object.
void Session::handleLine(Connection& connection, const std::string& line)
{
    if (line.empty() || line == "\r")
        return;
    auto message = wire::objectOfLine(line);
    if (!message) {
        record({{"from", nameOf(connection.role)}, {"pid", connection.pid}, {"malformed", line.substr(0, 200)}});
        send(connection, {{"id", nullptr}, {"error", "malformed line: not a JSON object"}});
        return;
    }
    dispatch(connection, *message);
}

void Session::send(Connection& connection, const json& message)
{
    if (connection.closed)
        return;
    std::string line = wire::lineOf(message) + "\n";
    connection.outboundBytes += line.size();
    if (connection.outboundBytes > OUTBOUND_LIMIT) {
        close(connection, "it stopped reading");
        return;
    }
    connection.outbound.push_back(std::move(line));
    if (!connection.writing) {
        // The write starts once the request at hand is done, so that the
        // events one request causes leave in one write, as a system's
        // notifications of one moment arrive together.
        connection.writing = true;
        auto found = connections_.find(connection.number);
        if (found != connections_.end())
            asio::post(io_, [this, held = found->second] { writeNext(held); });
    }
}

// Writes every queued line in one write, then whatever was queued meanwhile.
void Session::writeNext(const std::shared_ptr<Connection>& connection)
{
    if (connection->closed || connection->outbound.empty()) {
        connection->writing = false;
        return;
    }
    connection->writing = true;
    connection->sending.clear();
    while (!connection->outbound.empty()) {
        connection->sending += connection->outbound.front();
        connection->outbound.pop_front();
    }
    asio::async_write(connection->socket, asio::buffer(connection->sending),
                      [this, connection](const std::error_code& error, std::size_t) {
                          if (connection->closed)
                              return;
                          if (error) {
                              close(*connection, error.message());
                              return;
                          }
                          connection->outboundBytes -= connection->sending.size();
                          connection->sending.clear();
                          connection->sending.shrink_to_fit();
                          writeNext(connection);
                      });
}

void Session::close(uint64_t connection, const std::string& reason)
{
    if (Connection* found = connectionOf(connection))
        close(*found, reason);
}

// Ends a connection; a host or an application leaves the session with it.
void Session::close(Connection& connection, const std::string& reason)
{
    if (connection.closed)
        return;
    connection.closed = true;
    std::error_code ignored;
    connection.socket.close(ignored);
    // Keep the connection alive until this function is done with it.
    auto keep = connections_[connection.number];
    connections_.erase(connection.number);
    record({{"disconnected", nameOf(connection.role)}, {"connection", connection.number}, {"pid", connection.pid},
            {"reason", reason}});
    if (connection.role == Role::host || connection.role == Role::application) {
        if (connection.role == Role::host)
            hostLeft(connection.number);
        if (App* app = workspace_->appByPid(connection.pid); app && app->connection == connection.number)
            workspace_->quit(connection.pid);
    }
    for (Topic* topic : topics_)
        topic->connectionClosed(connection);
}

// Keeps the record of a host that left, without what it showed and its open questions.
void Session::hostLeft(uint64_t number)
{
    HostRecord* host = hostByConnection(number);
    if (!host)
        return;
    host->connected = false;
    host->inModalCall = false;
    for (auto ask = asks_.begin(); ask != asks_.end();) {
        if (ask->second.host == number) {
            if (ask->second.clientRequestId)
                refuseLater(ask->second.client, *ask->second.clientRequestId, "the host went away before it answered");
            ask = asks_.erase(ask);
        } else {
            ++ask;
        }
    }
    for (Topic* topic : topics_)
        topic->hostLeft(*host);
}

// Whether the peer has closed its end, seen without reading.
bool Session::peerHasClosed(Connection& connection)
{
    char byte;
    ssize_t got = ::recv(connection.socket.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return got == 0;
}

// The live connection with this number, if any.
Connection* Session::connectionOf(uint64_t number)
{
    auto found = connections_.find(number);
    return found == connections_.end() ? nullptr : found->second.get();
}

void Session::replyTo(uint64_t connection, const json& request, json result)
{
    if (Connection* found = connectionOf(connection))
        Request(*this, *found, request).reply(std::move(result));
}

// A reply that comes after other work, to a client that may be gone by then.
void Session::replyLater(const std::weak_ptr<Connection>& client, const json& id, json result)
{
    auto connection = client.lock();
    if (!connection || connection->closed)
        return;
    result["id"] = id;
    result["ok"] = true;
    send(*connection, result);
}

// An error reply that comes later, to a client that may be gone by then.
void Session::refuseLater(const std::weak_ptr<Connection>& client, const json& id, const std::string& error)
{
    auto connection = client.lock();
    if (!connection || connection->closed)
        return;
    send(*connection, {{"id", id}, {"error", error}});
}

void Session::record(json entry)
{
    entry["seq"] = nextSeq_++;
    entry["ms"] = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started_).count();
    log_.push_back(std::move(entry));
    if (log_.size() > LOG_LIMIT)
        log_.pop_front();
}

// Stops listening, removes the socket and ends once the last replies are out.
void Session::stop()
{
    if (stopped_)
        return;
    stopped_ = true;
    listening_ = false;
    // A stop signal that comes while the server winds down finds it going
    // already: held back, it cannot end the server by its default action
    // once the signal set is gone.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    std::error_code ignored;
    acceptor_.close(ignored);
    ::unlink(socketPath_.c_str());
    signals_.cancel();
    // Let the last replies go out, then end.
    flushThenEnd(std::chrono::steady_clock::now() + std::chrono::seconds(1));
}

// Ends the loop when nothing is left to write, or at the deadline.
void Session::flushThenEnd(std::chrono::steady_clock::time_point deadline)
{
    bool pending = false;
    for (const auto& [number, connection] : connections_)
        pending = pending || !connection->outbound.empty() || !connection->sending.empty();
    if (!pending || std::chrono::steady_clock::now() > deadline) {
        io_.stop();
        return;
    }
    auto timer = std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(10));
    timer->async_wait([this, timer, deadline](const std::error_code&) { flushThenEnd(deadline); });
}

// --- Requests -------------------------------------------------------------------

// Checks a request against the connection's role and runs it.
void Session::dispatch(Connection& connection, const json& message)
{
    Request request(*this, connection, message);
    auto op = wire::stringAt(message, "op");
    if (!op) {
        request.refuse("a request needs an \"op\" string");
        return;
    }
    if (*op == "hello") {
        hello(request);
        return;
    }
    if (connection.role == Role::none) {
        request.refuse("say hello first");
        return;
    }
    auto found = served_.find(*op);
    if (found == served_.end()) {
        request.refuse("unknown op \"" + *op + "\"");
        return;
    }
    if (!found->second.roles.count(connection.role)) {
        request.refuse("\"" + *op + "\" is not for a " + nameOf(connection.role));
        return;
    }
    if (found->second.logged) {
        json entry = {{"from", nameOf(connection.role)}, {"request", message}};
        if (connection.role != Role::client)
            entry["pid"] = connection.pid;
        entry["request"].erase("id");
        record(std::move(entry));
    }
    found->second.handle(request);
}

// The first request: the protocol version, the role, and for processes their place in the session.
void Session::hello(Request& request)
{
    Connection& connection = request.connection();
    auto protocol = wire::integerAt(request.message(), "protocol");
    if (protocol != platform::DESKTOP_PROTOCOL) {
        request.refuse("protocol " + (protocol ? std::to_string(*protocol) : std::string("(none)"))
                       + " is not spoken here; this server speaks " + std::to_string(platform::DESKTOP_PROTOCOL));
        return;
    }
    if (connection.role != Role::none) {
        request.refuse("hello was said already");
        return;
    }
    auto role = wire::stringAt(request.message(), "role").value_or("");
    json welcome = {{"protocol", platform::DESKTOP_PROTOCOL}, {"server", "kestrune-desktop"}, {"connection", connection.number}};
    if (role == "client") {
        connection.role = Role::client;
        request.reply(welcome);
        return;
    }
    if (role == "views") {
        viewsHello(request, welcome);
        return;
    }
    if (role != "host" && role != "application") {
        request.refuse("role must be \"host\", \"application\", \"views\" or \"client\"");
        return;
    }
    pid_t pid = connection.peerPid;
    if (auto given = wire::integerAt(request.message(), "pid")) {
        if (*given <= 0 || *given > INT32_MAX) {
            request.refuse("pid must be a positive 32-bit number");
            return;
        }
        pid = pid_t(*given);
    }
    if (pid <= 0) {
        request.refuse("no process id");
        return;
    }
    if (App* existing = workspace_->appByPid(pid)) {
        Connection* owner = existing->connection ? connectionOf(existing->connection) : nullptr;
        // A process that reconnects may be seen before its old connection's end.
        if (owner && peerHasClosed(*owner))
            close(*owner, "closed");
        else if (owner) {
            request.refuse("process " + std::to_string(pid) + " is registered already (connection " + std::to_string(owner->number) + ")");
            return;
        } else {
            request.refuse("process " + std::to_string(pid) + " is an application of the session already");
            return;
        }
    }
    bool isHost = role == "host";
    std::string error;
    App* app = workspace_->join(isHost ? AppKind::host : AppKind::application, connection.number, pid, request.message(), error);
    if (!app) {
        request.refuse(error);
        return;
    }
    connection.role = isHost ? Role::host : Role::application;
    connection.pid = pid;
    auto running = app->running;
    if (isHost) {
        HostRecord host;
        host.connection = connection.number;
        host.identity = running;
        hosts_.push_back(std::move(host));
    }
    json introduction = request.message();
    introduction.erase("id");
    record({{"connected", role}, {"connection", connection.number}, {"pid", pid}, {"request", introduction}});
    request.reply(welcome);
    broadcast(Workspace::notification(platform::WorkspaceNotification::didLaunchApplication, running), connection.number);
    checkWaiters();
}

// A views library: it speaks for the host process it is loaded in, and
// is no application of the session itself.
void Session::viewsHello(Request& request, const json& welcome)
{
    Connection& connection = request.connection();
    pid_t pid = connection.peerPid;
    if (auto given = wire::integerAt(request.message(), "pid")) {
        if (*given <= 0 || *given > INT32_MAX) {
            request.refuse("pid must be a positive 32-bit number");
            return;
        }
        pid = pid_t(*given);
    }
    if (pid <= 0) {
        request.refuse("no process id");
        return;
    }
    for (const auto& [number, other] : connections_) {
        if (other->role != Role::views || other->pid != pid || other.get() == &connection)
            continue;
        // A library that reconnects may be seen before its old connection's end.
        if (peerHasClosed(*other)) {
            close(*other, "closed");
        } else {
            request.refuse("process " + std::to_string(pid) + " has a views library connected already (connection "
                           + std::to_string(number) + ")");
            return;
        }
        break;
    }
    connection.role = Role::views;
    connection.pid = pid;
    views_->joined(connection);
    json introduction = request.message();
    introduction.erase("id");
    record({{"connected", "views"}, {"connection", connection.number}, {"pid", pid}, {"request", introduction}});
    request.reply(welcome);
}

// --- Hosts, events and questions --------------------------------------------------

HostRecord* Session::hostByConnection(uint64_t number)
{
    for (auto& host : hosts_) {
        if (host.connection == number)
            return &host;
    }
    return nullptr;
}

HostRecord* Session::connectedHostByPid(pid_t pid)
{
    for (auto& host : hosts_) {
        if (host.connected && host.identity.pid == pid)
            return &host;
    }
    return nullptr;
}

HostRecord* Session::namedHost(Request& request)
{
    auto reference = request.message().find("host");
    if (reference == request.message().end() || reference->is_null()) {
        HostRecord* only = nullptr;
        int count = 0;
        for (auto& host : hosts_) {
            if (host.connected) {
                only = &host;
                ++count;
            }
        }
        if (count == 1)
            return only;
        request.refuse(count == 0 ? "no host is connected" : "more than one host is connected: name one with \"host\"");
        return nullptr;
    }
    std::string error;
    App* app = workspace_->findApp(*reference, error);
    if (!app) {
        request.refuse(error);
        return nullptr;
    }
    HostRecord* host = app->kind == AppKind::host ? connectedHostByPid(app->running.pid) : nullptr;
    if (!host)
        request.refuse("application " + std::to_string(app->running.pid) + " is not a connected host");
    return host;
}

void Session::sendEvent(HostRecord& host, const json& event)
{
    sendTo(host.connection, host.identity.pid, event);
}

void Session::sendTo(uint64_t connection, pid_t pid, const json& event)
{
    Connection* found = connectionOf(connection);
    if (!found)
        return;
    record({{"to", pid}, {"event", event}});
    send(*found, event);
}

void Session::broadcast(const json& event, uint64_t except)
{
    for (auto& host : hosts_) {
        if (host.connected && host.connection != except)
            sendEvent(host, event);
    }
}

void Session::ask(HostRecord& host, json event, Request& request)
{
    int64_t id = nextAsk_++;
    event["ask"] = id;
    bool wait = wire::booleanAt(request.message(), "wait").value_or(false);
    PendingAsk pending;
    pending.host = host.connection;
    pending.event = event["event"].get<std::string>();
    if (auto self = connections_.find(request.connection().number); self != connections_.end())
        pending.client = self->second;
    if (wait && request.message().contains("id"))
        pending.clientRequestId = request.message()["id"];
    asks_[id] = pending;
    sendEvent(host, event);
    if (!pending.clientRequestId)
        request.reply({{"ask", id}, {"host", host.identity.pid}});
}

// A host answers one of its questions; a waiting client gets the answer.
void Session::answer(Request& request)
{
    auto id = wire::integerAt(request.message(), "ask");
    auto found = id ? asks_.find(*id) : asks_.end();
    if (found == asks_.end() || found->second.host != request.connection().number) {
        request.refuse("no question " + (id ? std::to_string(*id) : std::string("(none)")) + " is open for this host");
        return;
    }
    PendingAsk ask = found->second;
    asks_.erase(found);
    json given = request.message();
    given.erase("op");
    given.erase("ask");
    given.erase("id");
    HostRecord* host = hostByConnection(request.connection().number);
    host->answers.push_back({{"ask", *id}, {"event", ask.event}, {"answer", given}});
    if (ask.clientRequestId)
        replyLater(ask.client, *ask.clientRequestId, {{"ask", *id}, {"host", host->identity.pid}, {"answer", given}});
    request.reply();
}

// A host reports a line of ours it could not use.
void Session::malformed(Request& request)
{
    const json& message = request.message();
    if (HostRecord* host = hostByConnection(request.connection().number))
        host->malformed.push_back({{"error", message.value("error", json())}, {"line", message.value("line", json())}});
    request.reply();
}

// --- The state, the log, waiting ---------------------------------------------------

// Everything a host drew and did, as the state shows it.
json Session::hostJson(const HostRecord& host)
{
    App* app = host.connected ? workspace_->appByPid(host.identity.pid) : nullptr;
    json identity = wire::toJson(app ? app->running : host.identity);
    json record = {
        {"connection", host.connection},
        {"pid", host.identity.pid},
        {"bundleIdentifier", identity["bundleIdentifier"]},
        {"localizedName", identity["localizedName"]},
        {"bundlePath", identity["bundlePath"]},
        {"activationPolicy", identity["activationPolicy"]},
        {"connected", host.connected},
        {"active", host.connected && workspace_->front() == host.identity.pid},
        {"answers", host.answers},
        {"malformed", host.malformed},
    };
    for (Topic* topic : topics_)
        topic->describeHost(host, record);
    return record;
}

// The whole state of the session and of every host.
json Session::stateJson()
{
    json hosts = json::array();
    for (const auto& host : hosts_)
        hosts.push_back(hostJson(host));
    json state = {{"protocol", platform::DESKTOP_PROTOCOL}, {"hosts", hosts}};
    for (Topic* topic : topics_)
        topic->describe(state);
    state["next"] = nextSeq_;
    return state;
}

void Session::state(Request& request)
{
    request.reply({{"state", stateJson()}});
}

// The log records from a sequence number on, a page at a time.
void Session::log(Request& request)
{
    int64_t since = wire::integerAt(request.message(), "since").value_or(0);
    json records = json::array();
    int64_t next = nextSeq_;
    for (const auto& entry : log_) {
        int64_t seq = entry["seq"].get<int64_t>();
        if (seq < since)
            continue;
        // A page at a time, so that no reply grows past what a peer may leave unread.
        if (records.size() == LOG_PAGE) {
            next = seq;
            break;
        }
        records.push_back(entry);
    }
    request.reply({{"records", records}, {"next", next}, {"more", next < nextSeq_}});
}

void Session::loadRequest(Request& request)
{
    if (auto error = load(request.message().value("session", json())))
        request.refuse(*error);
    else
        request.reply();
}

bool Session::hostMatches(const HostRecord& host, const json& want)
{
    if (!host.connected)
        return false;
    if (auto bundle = wire::stringAt(want, "bundleIdentifier"); bundle && host.identity.bundleIdentifier != *bundle)
        return false;
    if (auto pid = wire::integerAt(want, "pid"); pid && host.identity.pid != *pid)
        return false;
    return true;
}

// Answers the clients waiting for a host that has now connected.
void Session::checkWaiters()
{
    for (auto waiter = waiters_.begin(); waiter != waiters_.end();) {
        HostRecord* match = nullptr;
        for (auto& host : hosts_) {
            if (hostMatches(host, waiter->want))
                match = &host;
        }
        if (match) {
            waiter->timer->cancel();
            replyLater(waiter->client, waiter->requestId, {{"host", hostJson(*match)}});
            waiter = waiters_.erase(waiter);
        } else {
            ++waiter;
        }
    }
}

// Answers when a matching host is connected, or refuses after the time given.
void Session::waitForHost(Request& request)
{
    for (auto& host : hosts_) {
        if (hostMatches(host, request.message())) {
            request.reply({{"host", hostJson(host)}});
            return;
        }
    }
    int64_t timeout = wire::integerAt(request.message(), "timeoutMs").value_or(10000);
    Waiter waiter;
    if (auto self = connections_.find(request.connection().number); self != connections_.end())
        waiter.client = self->second;
    waiter.requestId = request.message().value("id", json());
    waiter.want = request.message();
    waiter.timer = std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(std::max<int64_t>(0, timeout)));
    auto timer = waiter.timer;
    waiters_.push_back(waiter);
    timer->async_wait([this, timer, timeout](const std::error_code& error) {
        if (error)
            return;
        for (auto found = waiters_.begin(); found != waiters_.end(); ++found) {
            if (found->timer == timer) {
                refuseLater(found->client, found->requestId, "no such host connected within " + std::to_string(timeout) + " ms");
                waiters_.erase(found);
                return;
            }
        }
    });
}

void Session::shutdown(Request& request)
{
    request.reply();
    stop();
}

} // namespace desktop
