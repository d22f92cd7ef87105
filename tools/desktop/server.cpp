// The desktop server. One thread, one event loop: it accepts hosts,
// applications and clients on its socket, keeps the simulated session
// (applications, windows, screens, mouse, keyboard, front application),
// records what every host draws and does, and turns the clients' requests
// into the user's and the system's actions. The protocol is in
// docs/desktop.md.
#include "server.h"

#include "chords.h"
#include "platform/desktop.h"
#include "platform/linux/desktop/wire.h"
#include "platform/linux/desktop/status_bar_headless.h"
#include "platform/linux/desktop/window_server_headless.h"

#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

namespace desktop {

namespace {

using nlohmann::json;
using platform::ActivationPolicy;
using platform::KeyboardLayoutType;
using platform::Rect;
using platform::RunningApplication;
using platform::Screen;
using platform::WorkspaceNotification;
using Socket = asio::local::stream_protocol::socket;
namespace wire = platform::wire;

constexpr std::size_t LINE_LIMIT = 16 * 1024 * 1024;
// A peer that leaves this much unread is not reading: it is dropped.
constexpr std::size_t OUTBOUND_LIMIT = 64 * 1024 * 1024;
constexpr std::size_t LOG_LIMIT = 50000;
constexpr std::size_t LOG_PAGE = 2000;
constexpr std::size_t SOCKET_PATH_LIMIT = 103;
// Processes the session makes up get ids no Linux process can have.
constexpr pid_t FIRST_MADE_UP_PID = 900000000;
constexpr double MENU_BAR_HEIGHT = 24;

enum class Role { none, host, application, client };

// The role as the protocol and the log name it.
const char* nameOf(Role role)
{
    switch (role) {
    case Role::none:
        return "none";
    case Role::host:
        return "host";
    case Role::application:
        return "application";
    case Role::client:
        return "client";
    }
    return "none";
}

struct Connection {
    explicit Connection(Socket s)
        : socket(std::move(s))
    {
    }
    uint64_t number = 0;
    Socket socket;
    std::array<char, 65536> buffer{};
    std::string inbound;
    bool discarding = false;
    std::deque<std::string> outbound;
    std::size_t outboundBytes = 0;
    bool writing = false;
    bool closed = false;
    Role role = Role::none;
    pid_t peerPid = 0;
    pid_t pid = 0;   // the application it speaks for
};

struct Window {
    uint32_t number = 0;
    pid_t owner = 0;
    Rect bounds;                  // the window server's coordinates
    int layer = 0;
    bool onScreen = true;
    bool desktopElement = false;
    bool statusItem = false;      // stays on screen while its owner hides
    std::string name;
};

enum class AppKind { session, application, host };

struct App {
    RunningApplication running;
    AppKind kind = AppKind::session;
    uint64_t connection = 0;
    std::vector<uint32_t> windows;   // the windows the session or the process gave it
    bool refusesActivation = false;
    std::shared_ptr<asio::posix::stream_descriptor> exitWatch;
};

struct Pending {
    json request;      // the host's request, answered when the user acts
    json body;         // what is on screen
    int64_t since = 0;
};

struct HostRecord {
    uint64_t connection = 0;
    RunningApplication identity;
    bool connected = true;
    std::map<int, json> statusItems;
    std::map<int, uint32_t> statusItemWindows;
    std::map<int, json> panels;
    std::map<int, uint32_t> panelWindows;
    json handlers = {{"getURL", false}, {"services", false}, {"delegate", false}, {"displayReconfiguration", false}};
    std::optional<Pending> alert;
    std::optional<Pending> popUp;
    std::optional<int> menuOpen;
    json alerts = json::array();
    json popUps = json::array();
    json openedURLs = json::array();
    json activations = json::array();
    json yields = json::array();
    json answers = json::array();
    json malformed = json::array();
};

struct HotKey {
    uint64_t reference = 0;
    uint64_t connection = 0;
    pid_t pid = 0;
    uint32_t code = 0, modifiers = 0, signature = 0, id = 0, options = 0;
};

struct PendingAsk {
    uint64_t host = 0;            // its connection
    std::string event;
    std::weak_ptr<Connection> client;
    std::optional<json> clientRequestId;   // set when the client waits for the answer
};

struct Waiter {
    std::weak_ptr<Connection> client;
    json requestId;
    json want;
    std::shared_ptr<asio::steady_timer> timer;
};

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

// Whether the text begins with a URL scheme and a colon.
bool hasScheme(const std::string& url)
{
    auto colon = url.find(':');
    if (colon == std::string::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(url[0])))
        return false;
    for (std::size_t i = 1; i < colon; ++i) {
        char c = url[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return true;
}

// A rectangle from {"x","y","width","height"} or a bounds dictionary.
std::optional<Rect> anyRectOf(const json& value)
{
    if (auto rect = wire::rectOf(value))
        return rect;
    return platform::rectFromBounds(value);
}

class Server {
public:
    Server(asio::io_context& io, std::string socketPath)
        : io_(io)
        , acceptor_(io)
        , signals_(io, SIGINT, SIGTERM)
        , socketPath_(std::move(socketPath))
        , started_(std::chrono::steady_clock::now())
    {
        screens_ = {platform::headlessScreen()};
        mouse_ = {screens_[0].frame.width / 2, screens_[0].frame.height / 2};
    }

    // Binds the socket and starts accepting; the reason when it cannot.
    std::optional<std::string> listen()
    {
        if (socketPath_.empty())
            return "no socket path";
        if (socketPath_.size() > SOCKET_PATH_LIMIT)
            return "the socket path is longer than " + std::to_string(SOCKET_PATH_LIMIT) + " bytes";
        // A socket file nobody listens on is left over from an earlier server.
        struct stat status {};
        if (::lstat(socketPath_.c_str(), &status) == 0) {
            if (!S_ISSOCK(status.st_mode))
                return socketPath_ + " exists and is not a socket";
            Socket probe(io_);
            std::error_code error;
            probe.connect(asio::local::stream_protocol::endpoint(socketPath_), error);
            if (!error)
                return "another server listens at " + socketPath_;
            ::unlink(socketPath_.c_str());
        }
        std::error_code error;
        asio::local::stream_protocol::endpoint endpoint(socketPath_);
        acceptor_.open(endpoint.protocol(), error);
        if (!error)
            acceptor_.bind(endpoint, error);
        if (!error)
            acceptor_.listen(asio::socket_base::max_listen_connections, error);
        if (error)
            return "cannot listen at " + socketPath_ + ": " + error.message();
        ::chmod(socketPath_.c_str(), 0600);
        listening_ = true;
        accept();
        signals_.async_wait([this](const std::error_code& error, int) {
            if (!error)
                stop();
        });
        return std::nullopt;
    }

    // Applies a whole session: {"applications", "screens", "mouse",
    // "keyboardLayoutType", "front", "missingSymbols"}.
    std::optional<std::string> load(const json& session)
    {
        if (!session.is_object())
            return "a session is a JSON object";
        if (session.contains("screens")) {
            auto screens = screensOf(session["screens"]);
            if (!screens)
                return "\"screens\" must be a list of screens";
            screens_ = *screens;
        }
        if (session.contains("mouse")) {
            auto mouse = wire::pointOf(session["mouse"]);
            if (!mouse)
                return "\"mouse\" must be {\"x\",\"y\"}";
            mouse_ = *mouse;
        }
        if (session.contains("keyboardLayoutType")) {
            auto type = wire::keyboardLayoutTypeOf(session["keyboardLayoutType"]);
            if (!type)
                return "\"keyboardLayoutType\" must be ANSI, ISO or JIS";
            keyboard_ = *type;
        }
        if (auto missing = session.find("missingSymbols"); missing != session.end()) {
            if (!missing->is_array())
                return "\"missingSymbols\" must be a list of names";
            for (const auto& name : *missing) {
                if (name.is_string())
                    missingSymbols_.insert(name.get<std::string>());
            }
        }
        if (auto applications = session.find("applications"); applications != session.end()) {
            if (!applications->is_array())
                return "\"applications\" must be a list";
            for (const auto& described : *applications) {
                std::string error;
                if (!addApplication(described, false, error))
                    return error;
            }
        }
        if (session.contains("front") && !session["front"].is_null()) {
            std::string error;
            App* app = findApp(session["front"], error);
            if (!app)
                return error;
            bringToFront(app->running.pid);
        }
        layoutStatusItems();
        return std::nullopt;
    }

    bool stopped() const { return stopped_; }

private:
    // --- Connections ------------------------------------------------------

    void accept()
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
    void read(const std::shared_ptr<Connection>& connection)
    {
        connection->socket.async_read_some(asio::buffer(connection->buffer),
                                           [this, connection](const std::error_code& error, std::size_t got) {
                                               if (connection->closed)
                                                   return;
                                               if (error) {
                                                   close(*connection, error == asio::error::eof ? "closed"
                                                                                                : error.message());
                                                   return;
                                               }
                                               take(*connection, std::string_view(connection->buffer.data(), got));
                                               if (!connection->closed)
                                                   read(connection);
                                           });
    }

    // Splits what arrived into lines; a line over the limit is refused and skipped.
    void take(Connection& connection, std::string_view bytes)
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
    void handleLine(Connection& connection, const std::string& line)
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

    // Queues one line to a peer; a peer that leaves too much unread is dropped.
    void send(Connection& connection, const json& message)
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
            auto found = connections_.find(connection.number);
            if (found != connections_.end())
                writeNext(found->second);
        }
    }

    // Writes the queued lines one after the other.
    void writeNext(const std::shared_ptr<Connection>& connection)
    {
        if (connection->closed || connection->outbound.empty()) {
            connection->writing = false;
            return;
        }
        connection->writing = true;
        asio::async_write(connection->socket, asio::buffer(connection->outbound.front()),
                          [this, connection](const std::error_code& error, std::size_t) {
                              if (connection->closed)
                                  return;
                              if (error) {
                                  close(*connection, error.message());
                                  return;
                              }
                              connection->outboundBytes -= connection->outbound.front().size();
                              connection->outbound.pop_front();
                              writeNext(connection);
                          });
    }

    // Ends a connection; a host or an application leaves the session with it.
    void close(Connection& connection, const std::string& reason)
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
                hostGone(connection.number);
            if (App* app = appByPid(connection.pid); app && app->connection == connection.number)
                quit(connection.pid);
        }
    }

    // Whether the peer has closed its end, seen without reading.
    static bool peerHasClosed(Connection& connection)
    {
        char byte;
        ssize_t got = ::recv(connection.socket.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        return got == 0;
    }

    // The live connection with this number, if any.
    Connection* connectionOf(uint64_t number)
    {
        auto found = connections_.find(number);
        return found == connections_.end() ? nullptr : found->second.get();
    }

    // The success reply to a request that has an id.
    void reply(Connection& connection, const json& request, json result = json::object())
    {
        auto id = request.find("id");
        if (id == request.end() || id->is_null())
            return;
        result["id"] = *id;
        result["ok"] = true;
        send(connection, result);
    }

    // The error reply to a request, with or without id.
    void refuse(Connection& connection, const json& request, const std::string& error)
    {
        json message = {{"error", error}};
        auto id = request.find("id");
        message["id"] = id == request.end() ? json(nullptr) : *id;
        if (auto op = wire::stringAt(request, "op"))
            message["op"] = *op;
        send(connection, message);
    }

    // A reply that comes after other work, to a client that may be gone by then.
    void replyLater(const std::weak_ptr<Connection>& client, const json& id, json result)
    {
        auto connection = client.lock();
        if (!connection || connection->closed)
            return;
        result["id"] = id;
        result["ok"] = true;
        send(*connection, result);
    }

    // An error reply that comes later, to a client that may be gone by then.
    void refuseLater(const std::weak_ptr<Connection>& client, const json& id, const std::string& error)
    {
        auto connection = client.lock();
        if (!connection || connection->closed)
            return;
        send(*connection, {{"id", id}, {"error", error}});
    }

    // Adds a record to the log, dropping the oldest beyond the limit.
    void record(json entry)
    {
        entry["seq"] = nextSeq_++;
        entry["ms"] = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started_).count();
        log_.push_back(std::move(entry));
        if (log_.size() > LOG_LIMIT)
            log_.pop_front();
    }

    // Stops listening, removes the socket and ends once the last replies are out.
    void stop()
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
    void flushThenEnd(std::chrono::steady_clock::time_point deadline)
    {
        bool pending = false;
        for (const auto& [number, connection] : connections_)
            pending = pending || !connection->outbound.empty();
        if (!pending || std::chrono::steady_clock::now() > deadline) {
            io_.stop();
            return;
        }
        auto timer = std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(10));
        timer->async_wait([this, timer, deadline](const std::error_code&) { flushThenEnd(deadline); });
    }

    // --- Requests -----------------------------------------------------------

    using Handler = void (Server::*)(Connection&, const json&);
    struct Op {
        std::set<Role> roles;
        Handler handle;
        bool logged = true;
    };

    // Every request but hello, with the roles that may send it.
    const std::map<std::string, Op>& ops()
    {
        static const std::set<Role> host{Role::host};
        static const std::set<Role> process{Role::host, Role::application};
        static const std::set<Role> anyone{Role::host, Role::application, Role::client};
        static const std::set<Role> client{Role::client};
        static const std::map<std::string, Op> table = {
            // What hosts and applications ask and do.
            {"frontmostApplication", {anyone, &Server::frontmostApplication}},
            {"runningApplications", {anyone, &Server::runningApplications}},
            {"runningApplication", {anyone, &Server::runningApplication}},
            {"windowList", {anyone, &Server::windowListRequest}},
            {"screens", {anyone, &Server::screensRequest}},
            {"mouseLocation", {anyone, &Server::mouseLocation}},
            {"keyboardLayoutType", {anyone, &Server::keyboardLayoutType}},
            {"systemSymbolExists", {anyone, &Server::systemSymbolExists}},
            {"activate", {process, &Server::activate}},
            {"openURL", {process, &Server::openURL}},
            {"setActivationPolicy", {process, &Server::setActivationPolicy}},
            {"setWindows", {process, &Server::setOwnWindows}},
            {"isActive", {process, &Server::isActive}},
            {"activateIgnoringOtherApps", {process, &Server::activateIgnoringOtherApps}},
            {"yieldActivation", {host, &Server::yieldActivation}},
            {"registerHotKey", {host, &Server::registerHotKey}},
            {"unregisterHotKey", {host, &Server::unregisterHotKey}},
            {"statusItem", {host, &Server::statusItem}},
            {"panel", {host, &Server::panel}},
            {"handlers", {host, &Server::handlers}},
            {"alert", {host, &Server::alert}},
            {"popUp", {host, &Server::popUp}},
            {"answer", {host, &Server::answer}},
            {"malformed", {process, &Server::malformed}},
            // What clients do: the session, the user, the system.
            {"state", {client, &Server::state, false}},
            {"log", {client, &Server::logRequest, false}},
            {"load", {client, &Server::loadRequest}},
            {"add", {client, &Server::add}},
            {"launch", {client, &Server::launch}},
            {"quit", {client, &Server::quitRequest}},
            {"hide", {client, &Server::hideRequest}},
            {"unhide", {client, &Server::unhideRequest}},
            {"front", {client, &Server::frontRequest}},
            {"windows", {client, &Server::windowsRequest}},
            {"setScreens", {client, &Server::setScreens}},
            {"reconfigure", {client, &Server::reconfigure}},
            {"setMouse", {client, &Server::setMouse}},
            {"setKeyboardLayoutType", {client, &Server::setKeyboardLayoutType}},
            {"refuseActivation", {client, &Server::refuseActivation}},
            {"refuseHotKey", {client, &Server::refuseHotKey}},
            {"missingSymbols", {client, &Server::setMissingSymbols}},
            {"press", {client, &Server::press}},
            {"pick", {client, &Server::pick}},
            {"openMenu", {client, &Server::openMenu}},
            {"dismiss", {client, &Server::dismiss}},
            {"answerAlert", {client, &Server::answerAlert}},
            {"getURL", {client, &Server::getURL}},
            {"openURLs", {client, &Server::openURLs}},
            {"reopen", {client, &Server::reopen}},
            {"askToQuit", {client, &Server::askToQuit}},
            {"service", {client, &Server::service}},
            {"waitForHost", {client, &Server::waitForHost, false}},
            {"shutdown", {client, &Server::shutdown}},
        };
        return table;
    }

    // Checks a request against the connection's role and runs it.
    void dispatch(Connection& connection, const json& request)
    {
        auto op = wire::stringAt(request, "op");
        if (!op) {
            refuse(connection, request, "a request needs an \"op\" string");
            return;
        }
        if (*op == "hello") {
            hello(connection, request);
            return;
        }
        if (connection.role == Role::none) {
            refuse(connection, request, "say hello first");
            return;
        }
        auto found = ops().find(*op);
        if (found == ops().end()) {
            refuse(connection, request, "unknown op \"" + *op + "\"");
            return;
        }
        if (!found->second.roles.count(connection.role)) {
            refuse(connection, request, "\"" + *op + "\" is not for a " + nameOf(connection.role));
            return;
        }
        if (found->second.logged) {
            json entry = {{"from", nameOf(connection.role)}, {"request", request}};
            if (connection.role != Role::client)
                entry["pid"] = connection.pid;
            entry["request"].erase("id");
            record(std::move(entry));
        }
        (this->*(found->second.handle))(connection, request);
    }

    // The first request: the protocol version, the role, and for processes their place in the session.
    void hello(Connection& connection, const json& request)
    {
        auto protocol = wire::integerAt(request, "protocol");
        if (protocol != platform::DESKTOP_PROTOCOL) {
            refuse(connection, request,
                   "protocol " + (protocol ? std::to_string(*protocol) : std::string("(none)"))
                       + " is not spoken here; this server speaks " + std::to_string(platform::DESKTOP_PROTOCOL));
            return;
        }
        if (connection.role != Role::none) {
            refuse(connection, request, "hello was said already");
            return;
        }
        auto role = wire::stringAt(request, "role").value_or("");
        json welcome = {{"protocol", platform::DESKTOP_PROTOCOL}, {"server", "kestrune-desktop"}, {"connection", connection.number}};
        if (role == "client") {
            connection.role = Role::client;
            reply(connection, request, welcome);
            return;
        }
        if (role != "host" && role != "application") {
            refuse(connection, request, "role must be \"host\", \"application\" or \"client\"");
            return;
        }
        pid_t pid = connection.peerPid;
        if (auto given = wire::integerAt(request, "pid")) {
            if (*given <= 0 || *given > INT32_MAX) {
                refuse(connection, request, "pid must be a positive 32-bit number");
                return;
            }
            pid = pid_t(*given);
        }
        if (pid <= 0) {
            refuse(connection, request, "no process id");
            return;
        }
        if (App* existing = appByPid(pid)) {
            Connection* owner = existing->connection ? connectionOf(existing->connection) : nullptr;
            // A process that reconnects may be seen before its old connection's end.
            if (owner && peerHasClosed(*owner))
                close(*owner, "closed");
            else if (owner) {
                refuse(connection, request, "process " + std::to_string(pid) + " is registered already (connection "
                                                + std::to_string(owner->number) + ")");
                return;
            } else {
                refuse(connection, request, "process " + std::to_string(pid) + " is an application of the session already");
                return;
            }
        }
        App app;
        app.kind = role == "host" ? AppKind::host : AppKind::application;
        app.connection = connection.number;
        app.running.pid = pid;
        app.running.bundleIdentifier = wire::stringAt(request, "bundleIdentifier");
        app.running.localizedName = wire::stringAt(request, "localizedName");
        app.running.bundlePath = wire::stringAt(request, "bundlePath");
        if (request.contains("activationPolicy")) {
            auto policy = wire::activationPolicyOf(request["activationPolicy"]);
            if (!policy) {
                refuse(connection, request, "activationPolicy must be 0, 1, 2 or its name");
                return;
            }
            app.running.activationPolicy = *policy;
        }
        std::vector<Window> windows;
        if (request.contains("windows")) {
            std::string error;
            if (!windowsOf(request["windows"], windows, error)) {
                refuse(connection, request, error);
                return;
            }
        }
        connection.role = app.kind == AppKind::host ? Role::host : Role::application;
        connection.pid = pid;
        apps_.push_back(std::move(app));
        setWindowsOf(pid, windows);
        if (connection.role == Role::host) {
            HostRecord host;
            host.connection = connection.number;
            host.identity = apps_.back().running;
            hosts_.push_back(std::move(host));
        }
        json introduction = request;
        introduction.erase("id");
        record({{"connected", role}, {"connection", connection.number}, {"pid", pid}, {"request", introduction}});
        reply(connection, request, welcome);
        broadcast(WorkspaceNotification::didLaunchApplication, apps_.back().running, connection.number);
        checkWaiters();
    }

    // --- The session -----------------------------------------------------------

    App* appByPid(pid_t pid)
    {
        for (auto& app : apps_) {
            if (app.running.pid == pid)
                return &app;
        }
        return nullptr;
    }

    // The record of the host on this connection.
    HostRecord* hostByConnection(uint64_t number)
    {
        for (auto& host : hosts_) {
            if (host.connection == number)
                return &host;
        }
        return nullptr;
    }

    // The record of the connected host with this process id.
    HostRecord* connectedHostByPid(pid_t pid)
    {
        for (auto& host : hosts_) {
            if (host.connected && host.identity.pid == pid)
                return &host;
        }
        return nullptr;
    }

    // An application named by process id, bundle identifier or name.
    App* findApp(const json& reference, std::string& error)
    {
        if (reference.is_number_integer()) {
            if (App* app = appByPid(pid_t(reference.get<int64_t>())))
                return app;
            error = "no application with process id " + reference.dump();
            return nullptr;
        }
        if (reference.is_string()) {
            std::string name = reference.get<std::string>();
            for (auto& app : apps_) {
                if (app.running.bundleIdentifier == name)
                    return &app;
            }
            for (auto& app : apps_) {
                if (app.running.localizedName == name)
                    return &app;
            }
            // A number given as text, as a shell passes it.
            if (!name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })
                && name.size() < 10) {
                if (App* app = appByPid(pid_t(std::stol(name))))
                    return app;
            }
            error = "no application \"" + name + "\"";
            return nullptr;
        }
        error = "name the application by process id, bundle identifier or name";
        return nullptr;
    }

    // The connected host a client names ("host"), or the only one.
    HostRecord* findHost(const json& request, std::string& error)
    {
        auto reference = request.find("host");
        if (reference == request.end() || reference->is_null()) {
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
            error = count == 0 ? "no host is connected" : "more than one host is connected: name one with \"host\"";
            return nullptr;
        }
        App* app = findApp(*reference, error);
        if (!app)
            return nullptr;
        if (app->kind != AppKind::host || !connectedHostByPid(app->running.pid)) {
            error = "application " + std::to_string(app->running.pid) + " is not a connected host";
            return nullptr;
        }
        return connectedHostByPid(app->running.pid);
    }

    // A process id for an application without a process.
    pid_t madeUpPid()
    {
        while (appByPid(nextMadeUpPid_))
            ++nextMadeUpPid_;
        return nextMadeUpPid_++;
    }

    // Windows from their descriptions; false with the reason for a wrong one.
    bool windowsOf(const json& list, std::vector<Window>& windows, std::string& error)
    {
        if (!list.is_array()) {
            error = "windows must be a list";
            return false;
        }
        for (const auto& described : list) {
            Window window;
            std::optional<Rect> bounds;
            if (described.is_object() && described.contains("bounds"))
                bounds = anyRectOf(described["bounds"]);
            if (!bounds) {
                error = "a window needs \"bounds\" {\"x\",\"y\",\"width\",\"height\"}";
                return false;
            }
            window.bounds = *bounds;
            window.layer = int(wire::integerAt(described, "layer").value_or(0));
            window.onScreen = wire::booleanAt(described, "onScreen").value_or(true);
            window.desktopElement = wire::booleanAt(described, "desktopElement").value_or(false);
            window.name = wire::stringAt(described, "name").value_or("");
            windows.push_back(window);
        }
        return true;
    }

    // Screens from their descriptions, display ids given or made up; nothing for a wrong one.
    std::optional<std::vector<Screen>> screensOf(const json& list)
    {
        if (!list.is_array())
            return std::nullopt;
        std::vector<Screen> screens;
        uint32_t nextDisplay = 1;
        for (const auto& described : list) {
            Screen screen;
            auto frame = described.is_object() && described.contains("frame") ? anyRectOf(described["frame"]) : anyRectOf(described);
            if (!frame || frame->width <= 0 || frame->height <= 0)
                return std::nullopt;
            screen.frame = *frame;
            auto display = wire::integerAt(described, "display");
            if (display && (*display <= 0 || *display > int64_t(UINT32_MAX)))
                return std::nullopt;
            while (!display && std::any_of(screens.begin(), screens.end(), [&](const Screen& s) { return s.display == nextDisplay; }))
                ++nextDisplay;
            screen.display = display ? uint32_t(*display) : nextDisplay++;
            if (std::any_of(screens.begin(), screens.end(), [&](const Screen& s) { return s.display == screen.display; }))
                return std::nullopt;
            // The first screen carries the menu bar.
            screen.visibleFrame = screen.frame;
            if (screens.empty())
                screen.visibleFrame.height = std::max(0.0, screen.frame.height - MENU_BAR_HEIGHT);
            if (described.is_object() && described.contains("visibleFrame")) {
                auto visible = anyRectOf(described["visibleFrame"]);
                if (!visible)
                    return std::nullopt;
                screen.visibleFrame = *visible;
            }
            screens.push_back(screen);
        }
        return screens;
    }

    // Replaces what the session or the process gave an application; the new
    // windows come to the front in the order given.
    void setWindowsOf(pid_t pid, const std::vector<Window>& windows)
    {
        App* app = appByPid(pid);
        if (!app)
            return;
        for (uint32_t number : app->windows) {
            windows_.erase(number);
            std::erase(zOrder_, number);
        }
        app->windows.clear();
        std::vector<uint32_t> fresh;
        for (auto window : windows) {
            window.number = nextWindow_++;
            window.owner = pid;
            windows_[window.number] = window;
            app->windows.push_back(window.number);
            fresh.push_back(window.number);
        }
        zOrder_.insert(zOrder_.begin(), fresh.begin(), fresh.end());
        // The front application's windows stay in front of everyone else's.
        if (front_ && *front_ != pid)
            raiseWindowsOf(*front_);
    }

    // Brings the application's windows in front of all others.
    void raiseWindowsOf(pid_t pid)
    {
        std::vector<uint32_t> own, others;
        for (uint32_t number : zOrder_) {
            const auto& window = windows_.at(number);
            (window.owner == pid && !window.statusItem ? own : others).push_back(number);
        }
        zOrder_ = own;
        zOrder_.insert(zOrder_.end(), others.begin(), others.end());
    }

    // The on-screen windows without desktop elements, as the window server lists them.
    json windowList()
    {
        std::vector<const Window*> shown;
        for (uint32_t number : zOrder_) {
            const auto& window = windows_.at(number);
            App* app = appByPid(window.owner);
            if (!app || !window.onScreen || window.desktopElement)
                continue;
            if (app->running.hidden && !window.statusItem)
                continue;
            shown.push_back(&window);
        }
        std::stable_sort(shown.begin(), shown.end(), [](const Window* a, const Window* b) { return a->layer > b->layer; });
        json list = json::array();
        for (const Window* window : shown) {
            App* app = appByPid(window->owner);
            list.push_back({
                {platform::WINDOW_NUMBER, window->number},
                {platform::WINDOW_OWNER_PID, window->owner},
                {platform::WINDOW_OWNER_NAME, app->running.localizedName.value_or("")},
                {platform::WINDOW_LAYER, window->layer},
                {platform::WINDOW_BOUNDS, platform::boundsOf(window->bounds)},
                {"kCGWindowAlpha", 1.0},
                {"kCGWindowIsOnscreen", true},
            });
        }
        return list;
    }

    // An application as the protocol writes it, with whether it is in front.
    json applicationJson(const App& app)
    {
        json value = wire::toJson(app.running);
        value["active"] = front_ == app.running.pid;
        return value;
    }

    // The screen-coordinate rectangle in the window server's coordinates.
    Rect toWindowServer(const Rect& rect) const
    {
        double height = screens_.empty() ? 0 : screens_[0].frame.height;
        return {rect.x, height - (rect.y + rect.height), rect.width, rect.height};
    }

    // Status items stand in the menu bar right to left, left of the clock.
    void layoutStatusItems()
    {
        double x = (screens_.empty() ? 0 : screens_[0].frame.width) - 100;
        for (auto& host : hosts_) {
            for (auto& [item, number] : host.statusItemWindows) {
                auto& window = windows_.at(number);
                const json& state = host.statusItems[item];
                std::string title = state.value("button", json::object()).value("title", "");
                bool hasImage = state.contains("button") && state["button"].contains("image") && !state["button"]["image"].is_null();
                double width = hasImage ? 24 : std::max(24.0, double(title.size()) * 7 + 12);
                x -= width;
                window.bounds = {x, 0, width, MENU_BAR_HEIGHT};
                window.onScreen = host.connected;
            }
        }
    }

    // --- Activation -----------------------------------------------------------

    void broadcast(WorkspaceNotification notification, const RunningApplication& application, uint64_t except = 0)
    {
        json event = {{"event", "workspace"}, {"notification", wire::nameOf(notification)}, {"application", wire::toJson(application)}};
        for (auto& host : hosts_) {
            if (host.connected && host.connection != except)
                sendEvent(host, event);
        }
    }

    // Sends an event to a connected host and logs it.
    void sendEvent(HostRecord& host, const json& event)
    {
        Connection* connection = connectionOf(host.connection);
        if (!connection)
            return;
        record({{"to", host.identity.pid}, {"event", event}});
        send(*connection, event);
    }

    // Tells a host about its own activation.
    void tellTheApplication(pid_t pid, platform::ApplicationNotification notification)
    {
        if (HostRecord* host = connectedHostByPid(pid))
            sendEvent(*host, {{"event", "application"}, {"notification", wire::nameOf(notification)}});
    }

    // Makes the application the front one and tells the hosts.
    void bringToFront(pid_t pid)
    {
        App* app = appByPid(pid);
        if (!app)
            return;
        if (app->running.hidden)
            unhide(*app);
        raiseWindowsOf(pid);
        if (front_ == pid)
            return;
        auto previous = front_;
        front_ = pid;
        std::erase(history_, pid);
        history_.push_back(pid);
        if (previous)
            tellTheApplication(*previous, platform::ApplicationNotification::didResignActive);
        tellTheApplication(pid, platform::ApplicationNotification::didBecomeActive);
        broadcast(WorkspaceNotification::didActivateApplication, appByPid(pid)->running);
    }

    // The application leaves the front (hidden, quit, prohibited): the one
    // used before it comes forward, if any.
    void leaveTheFront(pid_t pid)
    {
        if (front_ != pid)
            return;
        for (auto candidate = history_.rbegin(); candidate != history_.rend(); ++candidate) {
            App* app = appByPid(*candidate);
            if (*candidate == pid || !app || app->running.hidden || app->running.activationPolicy != ActivationPolicy::regular)
                continue;
            bringToFront(*candidate);
            return;
        }
        front_.reset();
        tellTheApplication(pid, platform::ApplicationNotification::didResignActive);
    }

    // Activation asked for by a process, not by the user.
    bool activateOnRequest(pid_t pid)
    {
        App* app = appByPid(pid);
        if (!app || app->refusesActivation || app->running.activationPolicy == ActivationPolicy::prohibited)
            return false;
        bringToFront(pid);
        return true;
    }

    // Shows a hidden application's windows again.
    void unhide(App& app)
    {
        if (!app.running.hidden)
            return;
        app.running.hidden = false;
        broadcast(WorkspaceNotification::didUnhideApplication, app.running);
    }

    // Hides the application's windows; the front moves on if it was in front.
    void hide(App& app)
    {
        if (app.running.hidden)
            return;
        app.running.hidden = true;
        pid_t pid = app.running.pid;
        broadcast(WorkspaceNotification::didHideApplication, app.running);
        leaveTheFront(pid);
    }

    // The application terminates: its windows and hot keys go, the hosts are told.
    void quit(pid_t pid)
    {
        auto found = std::find_if(apps_.begin(), apps_.end(), [&](const App& app) { return app.running.pid == pid; });
        if (found == apps_.end())
            return;
        App app = std::move(*found);
        apps_.erase(found);
        if (app.exitWatch) {
            std::error_code ignored;
            app.exitWatch->close(ignored);
        }
        for (uint32_t number : app.windows) {
            windows_.erase(number);
            std::erase(zOrder_, number);
        }
        std::erase_if(hotKeys_, [&](const HotKey& key) { return key.pid == pid; });
        app.running.terminated = true;
        broadcast(WorkspaceNotification::didTerminateApplication, app.running, app.connection);
        std::erase(history_, pid);
        leaveTheFront(pid);
        if (app.connection) {
            if (Connection* connection = connectionOf(app.connection))
                close(*connection, "its application quit");
        }
    }

    // Keeps the record of a host that left, without its windows and open questions.
    void hostGone(uint64_t number)
    {
        HostRecord* host = hostByConnection(number);
        if (!host)
            return;
        host->connected = false;
        host->alert.reset();
        host->popUp.reset();
        host->menuOpen.reset();
        for (auto& [item, window] : host->statusItemWindows) {
            windows_.erase(window);
            std::erase(zOrder_, window);
        }
        host->statusItemWindows.clear();
        for (auto& [panel, window] : host->panelWindows) {
            windows_.erase(window);
            std::erase(zOrder_, window);
        }
        host->panelWindows.clear();
        for (auto ask = asks_.begin(); ask != asks_.end();) {
            if (ask->second.host == number) {
                if (ask->second.clientRequestId)
                    refuseLater(ask->second.client, *ask->second.clientRequestId, "the host went away before it answered");
                ask = asks_.erase(ask);
            } else {
                ++ask;
            }
        }
        layoutStatusItems();
    }

    // Follows a real process: its end quits its application.
    void watchTheProcess(App& app)
    {
        int fd = int(::syscall(SYS_pidfd_open, app.running.pid, 0));
        if (fd < 0)
            return;
        auto watch = std::make_shared<asio::posix::stream_descriptor>(io_, fd);
        app.exitWatch = watch;
        pid_t pid = app.running.pid;
        watch->async_wait(asio::posix::stream_descriptor::wait_read, [this, pid, watch](const std::error_code& error) {
            if (error)
                return;
            App* app = appByPid(pid);
            if (!app || app->exitWatch != watch)
                return;
            record({{"ended", pid}});
            quit(pid);
        });
    }

    // An application of the session from its description; `launched` says
    // whether hosts hear of its launch.
    App* addApplication(const json& described, bool launched, std::string& error)
    {
        if (!described.is_object()) {
            error = "an application is a JSON object";
            return nullptr;
        }
        App app;
        app.kind = AppKind::session;
        if (auto pid = wire::integerAt(described, "pid")) {
            if (*pid <= 0 || *pid > INT32_MAX) {
                error = "pid must be a positive 32-bit number";
                return nullptr;
            }
            app.running.pid = pid_t(*pid);
            if (appByPid(app.running.pid)) {
                error = "process " + std::to_string(*pid) + " is an application already";
                return nullptr;
            }
        } else {
            app.running.pid = madeUpPid();
        }
        app.running.bundleIdentifier = wire::stringAt(described, "bundleIdentifier");
        app.running.localizedName = wire::stringAt(described, "localizedName");
        if (!app.running.localizedName)
            app.running.localizedName = wire::stringAt(described, "name");
        app.running.bundlePath = wire::stringAt(described, "bundlePath");
        if (described.contains("activationPolicy")) {
            auto policy = wire::activationPolicyOf(described["activationPolicy"]);
            if (!policy) {
                error = "activationPolicy must be regular, accessory, prohibited or 0, 1, 2";
                return nullptr;
            }
            app.running.activationPolicy = *policy;
        }
        app.running.hidden = wire::booleanAt(described, "hidden").value_or(false);
        app.refusesActivation = wire::booleanAt(described, "refusesActivation").value_or(false);
        std::vector<Window> windows;
        if (described.contains("windows") && !windowsOf(described["windows"], windows, error))
            return nullptr;
        apps_.push_back(std::move(app));
        App& added = apps_.back();
        pid_t pid = added.running.pid;
        watchTheProcess(added);
        setWindowsOf(pid, windows);
        if (launched)
            broadcast(WorkspaceNotification::didLaunchApplication, appByPid(pid)->running);
        return appByPid(pid);
    }

    // --- Waiting ---------------------------------------------------------------

    bool hostMatches(const HostRecord& host, const json& want)
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
    void checkWaiters()
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

    // --- Host and application requests -------------------------------------------

    void frontmostApplication(Connection& connection, const json& request)
    {
        App* app = front_ ? appByPid(*front_) : nullptr;
        reply(connection, request, {{"application", app ? applicationJson(*app) : json(nullptr)}});
    }

    // Every application, or those with one bundle identifier.
    void runningApplications(Connection& connection, const json& request)
    {
        auto bundle = wire::stringAt(request, "bundleIdentifier");
        json list = json::array();
        for (const auto& app : apps_) {
            if (!bundle || app.running.bundleIdentifier == *bundle)
                list.push_back(applicationJson(app));
        }
        reply(connection, request, {{"applications", list}});
    }

    // The application with a process id, or null.
    void runningApplication(Connection& connection, const json& request)
    {
        auto pid = wire::integerAt(request, "pid");
        if (!pid) {
            refuse(connection, request, "\"pid\" is missing");
            return;
        }
        App* app = *pid > 0 && *pid <= INT32_MAX ? appByPid(pid_t(*pid)) : nullptr;
        reply(connection, request, {{"application", app ? applicationJson(*app) : json(nullptr)}});
    }

    // The window server's list of on-screen windows.
    void windowListRequest(Connection& connection, const json& request)
    {
        reply(connection, request, {{"windows", windowList()}});
    }

    // The screens, the first holding the menu bar.
    void screensRequest(Connection& connection, const json& request)
    {
        json list = json::array();
        for (const auto& screen : screens_)
            list.push_back(wire::toJson(screen));
        reply(connection, request, {{"screens", list}});
    }

    // The mouse location in screen coordinates.
    void mouseLocation(Connection& connection, const json& request)
    {
        reply(connection, request, wire::toJson(mouse_));
    }

    // The keyboard's layout type.
    void keyboardLayoutType(Connection& connection, const json& request)
    {
        reply(connection, request, {{"type", wire::nameOf(keyboard_)}});
    }

    // Whether a system symbol of this name exists here.
    void systemSymbolExists(Connection& connection, const json& request)
    {
        auto name = wire::stringAt(request, "name");
        if (!name) {
            refuse(connection, request, "\"name\" is missing");
            return;
        }
        bool exists = platform::isWellFormedSymbolName(*name) && !missingSymbols_.count(*name);
        reply(connection, request, {{"exists", exists}});
    }

    // A process asks another application to activate.
    void activate(Connection& connection, const json& request)
    {
        auto pid = wire::integerAt(request, "pid");
        if (!pid || *pid <= 0 || *pid > INT32_MAX) {
            refuse(connection, request, "\"pid\" must be a process id");
            return;
        }
        bool activated = activateOnRequest(pid_t(*pid));
        if (HostRecord* host = hostByConnection(connection.number))
            host->activations.push_back({{"pid", *pid}, {"activated", activated}});
        reply(connection, request, {{"activated", activated}});
    }

    // A process asks the workspace to open a URL; it is recorded.
    void openURL(Connection& connection, const json& request)
    {
        auto url = wire::stringAt(request, "url");
        if (!url) {
            refuse(connection, request, "\"url\" is missing");
            return;
        }
        bool opened = hasScheme(*url);
        if (HostRecord* host = hostByConnection(connection.number))
            host->openedURLs.push_back({{"url", *url}, {"opened", opened}});
        reply(connection, request, {{"opened", opened}});
    }

    // A process changes its activation policy; a prohibited one leaves the front.
    void setActivationPolicy(Connection& connection, const json& request)
    {
        auto given = wire::activationPolicyOf(request.value("policy", json()));
        App* app = appByPid(connection.pid);
        if (!given || !app) {
            refuse(connection, request, "\"policy\" must be 0, 1 or 2");
            return;
        }
        ActivationPolicy policy = given.value_or(ActivationPolicy::regular);
        app->running.activationPolicy = policy;
        if (HostRecord* host = hostByConnection(connection.number))
            host->identity.activationPolicy = policy;
        if (policy == ActivationPolicy::prohibited)
            leaveTheFront(connection.pid);
        reply(connection, request);
    }

    // A process replaces its windows.
    void setOwnWindows(Connection& connection, const json& request)
    {
        std::vector<Window> windows;
        std::string error;
        if (!windowsOf(request.value("windows", json()), windows, error)) {
            refuse(connection, request, error);
            return;
        }
        setWindowsOf(connection.pid, windows);
        reply(connection, request);
    }

    // Whether the process is the front application.
    void isActive(Connection& connection, const json& request)
    {
        reply(connection, request, {{"active", front_ == connection.pid}});
    }

    // The process activates itself.
    void activateIgnoringOtherApps(Connection& connection, const json& request)
    {
        activateOnRequest(connection.pid);
        reply(connection, request, {{"active", front_ == connection.pid}});
    }

    // A host lets another application take activation; it is recorded.
    void yieldActivation(Connection& connection, const json& request)
    {
        auto pid = wire::integerAt(request, "pid");
        if (!pid) {
            refuse(connection, request, "\"pid\" is missing");
            return;
        }
        if (HostRecord* host = hostByConnection(connection.number))
            host->yields.push_back(*pid);
        reply(connection, request);
    }

    // Registers a chord for a host unless refused or held already.
    void registerHotKey(Connection& connection, const json& request)
    {
        uint32_t values[5] = {};
        const char* names[5] = {"code", "modifiers", "signature", "hotKeyId", "options"};
        for (int i = 0; i < 5; ++i) {
            auto value = wire::integerAt(request, names[i]);
            if (!value && i == 4)
                value = 0;
            if (!value || *value < 0 || *value > int64_t(UINT32_MAX)) {
                refuse(connection, request, std::string("\"") + names[i] + "\" must be an unsigned 32-bit number");
                return;
            }
            values[i] = uint32_t(*value);
        }
        HotKey key{0, connection.number, connection.pid, values[0], values[1], values[2], values[3], values[4]};
        int32_t status = platform::NO_ERR;
        if (auto refused = refusedChords_.find({key.code, key.modifiers}); refused != refusedChords_.end())
            status = refused->second;
        else if (std::any_of(hotKeys_.begin(), hotKeys_.end(),
                             [&](const HotKey& held) { return held.code == key.code && held.modifiers == key.modifiers; }))
            status = platform::EVENT_HOT_KEY_EXISTS_ERR;
        json result = {{"status", status}};
        if (status == platform::NO_ERR) {
            key.reference = nextHotKeyReference_++;
            hotKeys_.push_back(key);
            result["reference"] = key.reference;
        }
        reply(connection, request, result);
    }

    // Releases one of the host's own registrations.
    void unregisterHotKey(Connection& connection, const json& request)
    {
        auto reference = wire::integerAt(request, "reference");
        auto found = std::find_if(hotKeys_.begin(), hotKeys_.end(), [&](const HotKey& key) {
            return reference && int64_t(key.reference) == *reference && key.connection == connection.number;
        });
        if (found == hotKeys_.end()) {
            reply(connection, request, {{"status", platform::PARAM_ERR}});
            return;
        }
        hotKeys_.erase(found);
        reply(connection, request, {{"status", platform::NO_ERR}});
    }

    // What a host drew in one of its status items.
    void statusItem(Connection& connection, const json& request)
    {
        HostRecord* host = hostByConnection(connection.number);
        auto item = wire::integerAt(request, "item");
        if (!item || *item <= 0 || *item > INT32_MAX || !request.contains("state") || !wire::statusItemOf(request["state"])) {
            refuse(connection, request, "a status item needs \"item\" and a \"state\" of the status-item shape");
            return;
        }
        int id = int(*item);
        json state = request["state"];
        state["item"] = id;
        host->statusItems[id] = state;
        if (!host->statusItemWindows.count(id)) {
            Window window;
            window.number = nextWindow_++;
            window.owner = connection.pid;
            window.layer = platform::STATUS_WINDOW_LEVEL;
            window.statusItem = true;
            window.name = "Item-" + std::to_string(id);
            windows_[window.number] = window;
            zOrder_.push_back(window.number);
            host->statusItemWindows[id] = window.number;
        }
        layoutStatusItems();
        reply(connection, request);
    }

    // What a host shows in one of its panels; a visible one is a window.
    void panel(Connection& connection, const json& request)
    {
        HostRecord* host = hostByConnection(connection.number);
        auto id = wire::integerAt(request, "panel");
        std::optional<platform::Panel> panel = request.contains("state") ? wire::panelOf(request["state"]) : std::nullopt;
        if (!id || *id <= 0 || *id > INT32_MAX || !panel) {
            refuse(connection, request, "a panel needs \"panel\" and a \"state\" of the panel shape");
            return;
        }
        json state = request["state"];
        state["panel"] = *id;
        host->panels[int(*id)] = state;
        auto& number = host->panelWindows[int(*id)];
        if (!number) {
            number = nextWindow_++;
            Window window;
            window.number = number;
            window.owner = connection.pid;
            window.name = "Panel-" + std::to_string(*id);
            windows_[number] = window;
            zOrder_.push_back(number);
        }
        auto& window = windows_.at(number);
        bool wasShown = window.onScreen;
        window.layer = panel->style.level;
        window.bounds = toWindowServer(panel->frame);
        window.onScreen = panel->visible;
        // A panel ordered front comes in front of its level.
        if (panel->visible && (!wasShown || request.value("front", false))) {
            std::erase(zOrder_, number);
            zOrder_.insert(zOrder_.begin(), number);
        }
        reply(connection, request);
    }

    // Which Apple-event, delegate, Services and display handlers a host installed.
    void handlers(Connection& connection, const json& request)
    {
        HostRecord* host = hostByConnection(connection.number);
        for (const char* name : {"getURL", "services", "delegate", "displayReconfiguration"}) {
            if (auto value = wire::booleanAt(request, name))
                host->handlers[name] = *value;
        }
        reply(connection, request);
    }

    // A host shows a modal alert; the reply waits for the user.
    void alert(Connection& connection, const json& request)
    {
        HostRecord* host = hostByConnection(connection.number);
        auto alert = request.contains("alert") ? wire::alertOf(request["alert"]) : std::nullopt;
        if (!alert || !request.contains("id")) {
            refuse(connection, request, "an alert needs an \"id\" and an \"alert\" of the alert shape");
            return;
        }
        if (host->alert || host->popUp) {
            refuse(connection, request, "the host is in a modal call already");
            return;
        }
        if (alert->buttons.empty())
            alert->buttons.push_back("OK");
        host->alert = Pending{request, wire::toJson(*alert), nextSeq_};
    }

    // A host pops a menu up; the reply waits for the user.
    void popUp(Connection& connection, const json& request)
    {
        HostRecord* host = hostByConnection(connection.number);
        auto menu = request.contains("menu") ? wire::menuOf(request["menu"]) : std::nullopt;
        auto location = request.contains("location") ? wire::pointOf(request["location"]) : std::nullopt;
        if (!menu || !location || !request.contains("id")) {
            refuse(connection, request, "a pop-up needs an \"id\", a \"menu\" and a \"location\"");
            return;
        }
        if (host->alert || host->popUp) {
            refuse(connection, request, "the host is in a modal call already");
            return;
        }
        host->popUp = Pending{request, {{"menu", request["menu"]}, {"location", request["location"]}}, nextSeq_};
    }

    // A host answers one of its questions; a waiting client gets the answer.
    void answer(Connection& connection, const json& request)
    {
        auto id = wire::integerAt(request, "ask");
        auto found = id ? asks_.find(*id) : asks_.end();
        if (found == asks_.end() || found->second.host != connection.number) {
            refuse(connection, request, "no question " + (id ? std::to_string(*id) : std::string("(none)")) + " is open for this host");
            return;
        }
        PendingAsk ask = found->second;
        asks_.erase(found);
        json given = request;
        given.erase("op");
        given.erase("ask");
        given.erase("id");
        HostRecord* host = hostByConnection(connection.number);
        host->answers.push_back({{"ask", *id}, {"event", ask.event}, {"answer", given}});
        if (ask.clientRequestId)
            replyLater(ask.client, *ask.clientRequestId, {{"ask", *id}, {"host", host->identity.pid}, {"answer", given}});
        reply(connection, request);
    }

    // A host reports a line of ours it could not use.
    void malformed(Connection& connection, const json& request)
    {
        if (HostRecord* host = hostByConnection(connection.number))
            host->malformed.push_back({{"error", request.value("error", json())}, {"line", request.value("line", json())}});
        reply(connection, request);
    }

    // --- Client requests: the session ----------------------------------------------

    // Everything a host drew and did, as the state shows it.
    json hostJson(const HostRecord& host)
    {
        json items = json::array();
        for (const auto& [id, state] : host.statusItems)
            items.push_back(state);
        json panels = json::array();
        for (const auto& [id, state] : host.panels)
            panels.push_back(state);
        json keys = json::array();
        for (const auto& key : hotKeys_) {
            if (key.connection != host.connection)
                continue;
            keys.push_back({{"reference", key.reference},
                            {"code", key.code},
                            {"modifiers", key.modifiers},
                            {"chord", textOf({key.code, key.modifiers}, keyboard_)},
                            {"signature", key.signature},
                            {"signatureText", platform::fourCharText(key.signature).value_or("")},
                            {"hotKeyId", key.id},
                            {"options", key.options}});
        }
        App* app = host.connected ? appByPid(host.identity.pid) : nullptr;
        json identity = wire::toJson(app ? app->running : host.identity);
        return {
            {"connection", host.connection},
            {"pid", host.identity.pid},
            {"bundleIdentifier", identity["bundleIdentifier"]},
            {"localizedName", identity["localizedName"]},
            {"bundlePath", identity["bundlePath"]},
            {"activationPolicy", identity["activationPolicy"]},
            {"connected", host.connected},
            {"active", host.connected && front_ == host.identity.pid},
            {"statusItems", items},
            {"panels", panels},
            {"hotKeys", keys},
            {"handlers", host.handlers},
            {"alert", host.alert ? host.alert->body : json(nullptr)},
            {"popUp", host.popUp ? host.popUp->body : json(nullptr)},
            {"menuOpen", host.menuOpen ? json(*host.menuOpen) : json(nullptr)},
            {"alerts", host.alerts},
            {"popUps", host.popUps},
            {"openedURLs", host.openedURLs},
            {"activations", host.activations},
            {"yields", host.yields},
            {"answers", host.answers},
            {"malformed", host.malformed},
        };
    }

    // The whole state of the session and of every host.
    json stateJson()
    {
        json applications = json::array();
        for (const auto& app : apps_) {
            json value = applicationJson(app);
            value["kind"] = app.kind == AppKind::host ? "host" : app.kind == AppKind::application ? "application" : "session";
            value["refusesActivation"] = app.refusesActivation;
            json windows = json::array();
            for (uint32_t number : app.windows) {
                const auto& window = windows_.at(number);
                windows.push_back({{"number", window.number},
                                   {"bounds", wire::toJson(window.bounds)},
                                   {"layer", window.layer},
                                   {"onScreen", window.onScreen},
                                   {"desktopElement", window.desktopElement},
                                   {"name", window.name}});
            }
            value["windows"] = windows;
            applications.push_back(value);
        }
        json screens = json::array();
        for (const auto& screen : screens_)
            screens.push_back(wire::toJson(screen));
        json hosts = json::array();
        for (const auto& host : hosts_)
            hosts.push_back(hostJson(host));
        json refused = json::array();
        for (const auto& [chord, status] : refusedChords_)
            refused.push_back({{"code", chord.first}, {"modifiers", chord.second}, {"status", status}});
        json refusing = json::array();
        for (const auto& app : apps_) {
            if (app.refusesActivation)
                refusing.push_back(app.running.pid);
        }
        return {
            {"protocol", platform::DESKTOP_PROTOCOL},
            {"front", front_ ? json(*front_) : json(nullptr)},
            {"mouse", wire::toJson(mouse_)},
            {"keyboardLayoutType", wire::nameOf(keyboard_)},
            {"screens", screens},
            {"missingSymbols", missingSymbols_},
            {"refusedHotKeys", refused},
            {"refusesActivation", refusing},
            {"applications", applications},
            {"windowList", windowList()},
            {"hosts", hosts},
            {"next", nextSeq_},
        };
    }

    // The whole state.
    void state(Connection& connection, const json& request)
    {
        reply(connection, request, {{"state", stateJson()}});
    }

    // The log records from a sequence number on.
    void logRequest(Connection& connection, const json& request)
    {
        int64_t since = wire::integerAt(request, "since").value_or(0);
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
        reply(connection, request, {{"records", records}, {"next", next}, {"more", next < nextSeq_}});
    }

    // Applies a session.
    void loadRequest(Connection& connection, const json& request)
    {
        if (auto error = load(request.value("session", json())))
            refuse(connection, request, *error);
        else
            reply(connection, request);
    }

    // Adds an application without telling the hosts.
    void add(Connection& connection, const json& request)
    {
        std::string error;
        if (App* app = addApplication(request.value("application", json()), false, error))
            reply(connection, request, {{"application", applicationJson(*app)}});
        else
            refuse(connection, request, error);
    }

    // Adds an application and tells the hosts it launched.
    void launch(Connection& connection, const json& request)
    {
        std::string error;
        if (App* app = addApplication(request.value("application", json()), true, error))
            reply(connection, request, {{"application", applicationJson(*app)}});
        else
            refuse(connection, request, error);
    }

    // The application a client request names under "app".
    App* namedApp(Connection& connection, const json& request)
    {
        std::string error;
        App* app = findApp(request.value("app", json()), error);
        if (!app)
            refuse(connection, request, error);
        return app;
    }

    // An application quits.
    void quitRequest(Connection& connection, const json& request)
    {
        if (App* app = namedApp(connection, request)) {
            json quitted = applicationJson(*app);
            quit(app->running.pid);
            reply(connection, request, {{"application", quitted}});
        }
    }

    // An application is hidden.
    void hideRequest(Connection& connection, const json& request)
    {
        if (App* app = namedApp(connection, request)) {
            pid_t pid = app->running.pid;
            hide(*app);
            reply(connection, request, {{"application", applicationJson(*appByPid(pid))}});
        }
    }

    // A hidden application is shown again.
    void unhideRequest(Connection& connection, const json& request)
    {
        if (App* app = namedApp(connection, request)) {
            unhide(*app);
            reply(connection, request, {{"application", applicationJson(*app)}});
        }
    }

    // The user brings an application to the front.
    void frontRequest(Connection& connection, const json& request)
    {
        if (App* app = namedApp(connection, request)) {
            pid_t pid = app->running.pid;
            if (app->running.activationPolicy == ActivationPolicy::prohibited) {
                refuse(connection, request, "application " + std::to_string(pid) + " may not be activated (its policy is prohibited)");
                return;
            }
            bringToFront(pid);
            reply(connection, request, {{"application", applicationJson(*appByPid(pid))}});
        }
    }

    // Replaces an application's windows.
    void windowsRequest(Connection& connection, const json& request)
    {
        App* app = namedApp(connection, request);
        if (!app)
            return;
        std::vector<Window> windows;
        std::string error;
        if (!windowsOf(request.value("windows", json()), windows, error)) {
            refuse(connection, request, error);
            return;
        }
        setWindowsOf(app->running.pid, windows);
        reply(connection, request, {{"windowList", windowList()}});
    }

    // Sets the screens without telling anyone.
    void setScreens(Connection& connection, const json& request)
    {
        auto screens = screensOf(request.value("screens", json()));
        if (!screens) {
            refuse(connection, request, "\"screens\" must be a list of screens with distinct displays");
            return;
        }
        screens_ = *screens;
        layoutStatusItems();
        reply(connection, request);
    }

    // The displays change: every host gets the callbacks for each affected display.
    void reconfigure(Connection& connection, const json& request)
    {
        auto screens = screensOf(request.value("screens", json()));
        if (!screens) {
            refuse(connection, request, "\"screens\" must be a list of screens with distinct displays");
            return;
        }
        auto before = screens_;
        std::vector<std::pair<uint32_t, uint32_t>> changes;
        std::set<uint32_t> displays;
        for (const auto& screen : before)
            displays.insert(screen.display);
        for (const auto& screen : *screens)
            displays.insert(screen.display);
        auto find = [](const std::vector<Screen>& list, uint32_t display) -> const Screen* {
            for (const auto& screen : list) {
                if (screen.display == display)
                    return &screen;
            }
            return nullptr;
        };
        for (uint32_t display : displays) {
            const Screen* old = find(before, display);
            const Screen* now = find(*screens, display);
            uint32_t flags = 0;
            if (!old)
                flags |= platform::DISPLAY_ADD_FLAG | platform::DISPLAY_ENABLED_FLAG;
            else if (!now)
                flags |= platform::DISPLAY_REMOVE_FLAG | platform::DISPLAY_DISABLED_FLAG;
            else {
                if (old->frame.x != now->frame.x || old->frame.y != now->frame.y)
                    flags |= platform::DISPLAY_MOVED_FLAG;
                if (old->frame.width != now->frame.width || old->frame.height != now->frame.height)
                    flags |= platform::DISPLAY_SET_MODE_FLAG;
            }
            bool wasMain = !before.empty() && before[0].display == display;
            bool isMain = !screens->empty() && screens->front().display == display;
            if (wasMain != isMain && now)
                flags |= platform::DISPLAY_SET_MAIN_FLAG;
            if (flags)
                changes.push_back({display, flags | platform::DISPLAY_DESKTOP_SHAPE_CHANGED_FLAG});
        }
        screens_ = *screens;
        layoutStatusItems();
        // The system calls back once per display before the change, then once
        // per display with what changed.
        json list = json::array();
        for (const auto& [display, flags] : changes)
            list.push_back({{"display", display}, {"flags", platform::DISPLAY_BEGIN_CONFIGURATION_FLAG}});
        for (const auto& [display, flags] : changes)
            list.push_back({{"display", display}, {"flags", flags}});
        if (!changes.empty()) {
            for (auto& host : hosts_) {
                if (host.connected)
                    sendEvent(host, {{"event", "displays"}, {"changes", list}});
            }
        }
        reply(connection, request, {{"changes", list}});
    }

    // Moves the mouse.
    void setMouse(Connection& connection, const json& request)
    {
        auto point = wire::pointOf(request);
        if (!point) {
            refuse(connection, request, "\"x\" and \"y\" must be numbers");
            return;
        }
        mouse_ = *point;
        reply(connection, request);
    }

    // Sets the keyboard's layout type.
    void setKeyboardLayoutType(Connection& connection, const json& request)
    {
        auto type = wire::keyboardLayoutTypeOf(request.value("type", json()));
        if (!type) {
            refuse(connection, request, "\"type\" must be ANSI, ISO or JIS");
            return;
        }
        keyboard_ = *type;
        reply(connection, request);
    }

    // Makes activation of an application fail when a process asks for it, or work again.
    void refuseActivation(Connection& connection, const json& request)
    {
        if (App* app = namedApp(connection, request)) {
            app->refusesActivation = request.value("refused", true);
            reply(connection, request, {{"application", applicationJson(*app)}, {"refusesActivation", app->refusesActivation}});
        }
    }

    // The chord a client request names, by text or by numbers.
    std::optional<Chord> chordIn(const json& request)
    {
        if (auto text = wire::stringAt(request, "chord"))
            return chordOf(*text, keyboard_);
        auto code = wire::integerAt(request, "code");
        auto modifiers = wire::integerAt(request, "modifiers");
        if (!code || *code < 0 || *code > int64_t(UINT32_MAX))
            return std::nullopt;
        if (modifiers && (*modifiers < 0 || *modifiers > int64_t(UINT32_MAX)))
            return std::nullopt;
        return Chord{uint32_t(*code), uint32_t(modifiers.value_or(0))};
    }

    // Makes registering a chord fail with a status, or work again with 0.
    void refuseHotKey(Connection& connection, const json& request)
    {
        auto chord = chordIn(request);
        auto status = wire::integerAt(request, "status");
        if (!chord || !status || *status < INT32_MIN || *status > INT32_MAX) {
            refuse(connection, request, "name a chord (\"chord\", or \"code\" and \"modifiers\") and a \"status\"");
            return;
        }
        if (*status == 0)
            refusedChords_.erase({chord->code, chord->modifiers});
        else
            refusedChords_[{chord->code, chord->modifiers}] = int32_t(*status);
        reply(connection, request, {{"code", chord->code}, {"modifiers", chord->modifiers}, {"status", *status}});
    }

    // Names the system symbols that do not exist.
    void setMissingSymbols(Connection& connection, const json& request)
    {
        auto names = request.find("names");
        if (names == request.end() || !names->is_array()) {
            refuse(connection, request, "\"names\" must be a list of symbol names");
            return;
        }
        missingSymbols_.clear();
        for (const auto& name : *names) {
            if (name.is_string())
                missingSymbols_.insert(name.get<std::string>());
        }
        reply(connection, request);
    }

    // --- Client requests: the user ------------------------------------------------------

    // Sends a question to a host; the client hears the answer now or later.
    void ask(HostRecord& host, json event, Connection& client, const json& request)
    {
        int64_t id = nextAsk_++;
        event["ask"] = id;
        bool wait = wire::booleanAt(request, "wait").value_or(false);
        PendingAsk pending;
        pending.host = host.connection;
        pending.event = event["event"].get<std::string>();
        if (auto self = connections_.find(client.number); self != connections_.end())
            pending.client = self->second;
        if (wait && request.contains("id"))
            pending.clientRequestId = request["id"];
        asks_[id] = pending;
        sendEvent(host, event);
        if (!pending.clientRequestId)
            reply(client, request, {{"ask", id}, {"host", host.identity.pid}});
    }

    // The user presses a chord: the host that holds it gets the press.
    void press(Connection& connection, const json& request)
    {
        auto chord = chordIn(request);
        if (!chord) {
            refuse(connection, request, "name the chord: \"chord\" (⌃⌥K, ctrl+opt+k, 40:6144) or \"code\" and \"modifiers\"");
            return;
        }
        auto found = std::find_if(hotKeys_.begin(), hotKeys_.end(),
                                  [&](const HotKey& key) { return key.code == chord->code && key.modifiers == chord->modifiers; });
        if (found == hotKeys_.end()) {
            refuse(connection, request, "no hot key is registered for " + textOf(*chord, keyboard_));
            return;
        }
        HostRecord* host = hostByConnection(found->connection);
        if (!host) {
            refuse(connection, request, "the hot key's host is gone");
            return;
        }
        ask(*host, {{"event", "hotKey"}, {"signature", found->signature}, {"hotKeyId", found->id}}, connection, request);
    }

    // An item of a menu named by its represented object, its identifier or
    // its title (in that order of preference), depth first.
    static std::optional<std::vector<int>> rowIn(const platform::Menu& menu, const std::string& row)
    {
        for (int pass = 0; pass < 3; ++pass) {
            std::vector<int> path;
            std::function<bool(const platform::Menu&)> search = [&](const platform::Menu& current) {
                for (std::size_t i = 0; i < current.items.size(); ++i) {
                    const auto& item = current.items[i];
                    path.push_back(int(i));
                    bool matches = !item.separator
                                   && ((pass == 0 && item.representedObject == row) || (pass == 1 && item.identifier == row)
                                       || (pass == 2 && item.title == row));
                    if (matches || (item.submenu && search(*item.submenu)))
                        return true;
                    path.pop_back();
                }
                return false;
            };
            if (search(menu))
                return path;
        }
        return std::nullopt;
    }

    // The path of the row a client picks, checked as the user would find it:
    // every menu on the way open to them, the row enabled and with an action.
    std::optional<std::vector<int>> pickablePath(const platform::Menu& menu, const json& request, std::string& error)
    {
        std::optional<std::vector<int>> path;
        std::string name;
        if (request.contains("path")) {
            path = wire::pathOf(request["path"]);
            name = request["path"].dump();
        } else if (auto row = wire::stringAt(request, "row")) {
            path = rowIn(menu, *row);
            name = "\"" + *row + "\"";
        } else {
            error = "name the row with \"row\" (its id or title) or \"path\"";
            return std::nullopt;
        }
        if (!path || !wire::itemAt(menu, *path)) {
            error = "no row " + name + " in the menu";
            return std::nullopt;
        }
        std::vector<int> prefix;
        for (int index : *path) {
            prefix.push_back(index);
            const auto* item = wire::itemAt(menu, prefix);
            if (item->separator) {
                error = "row " + name + " is a separator";
                return std::nullopt;
            }
            if (!item->enabled) {
                error = "row " + name + (prefix.size() < path->size() ? " is in a disabled submenu" : " is disabled");
                return std::nullopt;
            }
        }
        if (!wire::itemAt(menu, *path)->hasAction) {
            error = "row " + name + " has no action";
            return std::nullopt;
        }
        return path;
    }

    // The status item a client names (\"item\"), or the host's first.
    std::optional<int> statusItemIn(HostRecord& host, const json& request, std::string& error)
    {
        if (auto item = wire::integerAt(request, "item")) {
            if (host.statusItems.count(int(*item)))
                return int(*item);
            error = "the host has no status item " + std::to_string(*item);
            return std::nullopt;
        }
        if (host.statusItems.empty()) {
            error = "the host has no status item";
            return std::nullopt;
        }
        return host.statusItems.begin()->first;
    }

    // The user picks a row of the host's pop-up menu, else of its status item's menu.
    void pick(Connection& connection, const json& request)
    {
        std::string error;
        HostRecord* host = findHost(request, error);
        if (!host) {
            refuse(connection, request, error);
            return;
        }
        if (host->popUp) {
            auto menu = wire::menuOf(host->popUp->body["menu"]);
            auto path = pickablePath(*menu, request, error);
            if (!path) {
                refuse(connection, request, error);
                return;
            }
            json picked = wire::toJson(*wire::itemAt(*menu, *path));
            endThePopUp(*host, json(*path));
            reply(connection, request, {{"host", host->identity.pid}, {"popUp", true}, {"path", *path}, {"item", picked}});
            return;
        }
        auto item = statusItemIn(*host, request, error);
        if (!item) {
            refuse(connection, request, error);
            return;
        }
        auto menu = wire::menuOf(host->statusItems[*item].value("menu", json()));
        if (!menu) {
            refuse(connection, request, "status item " + std::to_string(*item) + " has no menu");
            return;
        }
        auto path = pickablePath(*menu, request, error);
        if (!path) {
            refuse(connection, request, error);
            return;
        }
        // The user opens the menu before picking in it.
        if (host->menuOpen != *item)
            sendEvent(*host, {{"event", "menuWillOpen"}, {"item", *item}});
        host->menuOpen.reset();
        json event = {{"event", "menuPick"}, {"item", *item}, {"path", *path}};
        ask(*host, event, connection, request);
    }

    // The user opens a status item's menu.
    void openMenu(Connection& connection, const json& request)
    {
        std::string error;
        HostRecord* host = findHost(request, error);
        auto item = host ? statusItemIn(*host, request, error) : std::nullopt;
        if (!item) {
            refuse(connection, request, error);
            return;
        }
        if (host->statusItems[*item].value("menu", json()).is_null()) {
            refuse(connection, request, "status item " + std::to_string(*item) + " has no menu");
            return;
        }
        host->menuOpen = *item;
        sendEvent(*host, {{"event", "menuWillOpen"}, {"item", *item}});
        reply(connection, request, {{"host", host->identity.pid}, {"item", *item}});
    }

    // Closes the host's pop-up menu and answers its request with the pick or null.
    void endThePopUp(HostRecord& host, const json& picked)
    {
        Pending popUp = std::move(*host.popUp);
        host.popUp.reset();
        host.popUps.push_back({{"menu", popUp.body["menu"]}, {"location", popUp.body["location"]}, {"picked", picked}});
        if (Connection* hostConnection = connectionOf(host.connection))
            reply(*hostConnection, popUp.request, {{"picked", picked}});
    }

    // The user closes the pop-up menu or the open menu without a pick.
    void dismiss(Connection& connection, const json& request)
    {
        std::string error;
        HostRecord* host = findHost(request, error);
        if (!host) {
            refuse(connection, request, error);
            return;
        }
        if (host->popUp) {
            endThePopUp(*host, nullptr);
            reply(connection, request, {{"host", host->identity.pid}, {"dismissed", "popUp"}});
        } else if (host->menuOpen) {
            host->menuOpen.reset();
            reply(connection, request, {{"host", host->identity.pid}, {"dismissed", "menu"}});
        } else {
            refuse(connection, request, "no menu of the host is open");
        }
    }

    // The user answers the host's alert.
    void answerAlert(Connection& connection, const json& request)
    {
        std::string error;
        HostRecord* host = findHost(request, error);
        if (!host) {
            refuse(connection, request, error);
            return;
        }
        if (!host->alert) {
            refuse(connection, request, "the host shows no alert");
            return;
        }
        const json& buttons = host->alert->body["buttons"];
        std::optional<int> chosen;
        auto button = request.value("button", json());
        if (button.is_number_integer() && button.get<int64_t>() >= 0 && button.get<int64_t>() < int64_t(buttons.size()))
            chosen = int(button.get<int64_t>());
        else if (button.is_string()) {
            for (std::size_t i = 0; i < buttons.size() && !chosen; ++i) {
                if (buttons[i] == button)
                    chosen = int(i);
            }
        }
        if (!chosen) {
            refuse(connection, request, "the alert has no button " + button.dump() + "; its buttons are " + buttons.dump());
            return;
        }
        Pending alert = std::move(*host->alert);
        host->alert.reset();
        host->alerts.push_back({{"alert", alert.body}, {"button", *chosen}, {"title", buttons[std::size_t(*chosen)]}});
        if (Connection* hostConnection = connectionOf(host->connection))
            reply(*hostConnection, alert.request, {{"button", *chosen}});
        reply(connection, request, {{"host", host->identity.pid}, {"button", *chosen}, {"title", buttons[std::size_t(*chosen)]}});
    }

    // --- Client requests: the system ------------------------------------------------------

    // The sender a client names: a process id, or an application of the session.
    std::optional<json> senderIn(const json& request, std::string& error)
    {
        auto sender = request.find("sender");
        if (sender == request.end() || sender->is_null())
            return json(nullptr);
        if (sender->is_number_integer())
            return *sender;
        App* app = findApp(*sender, error);
        if (!app)
            return std::nullopt;
        return json(app->running.pid);
    }

    // The Apple event a request describes: null unless it names a sender or
    // a reason, or asks for one with "appleEvent": true.
    std::optional<json> appleEventIn(const json& request, std::string& error)
    {
        auto sender = senderIn(request, error);
        if (!sender)
            return std::nullopt;
        auto reason = wire::stringAt(request, "reason");
        if (reason && !platform::fourCharCodeOf(*reason)) {
            error = "a quit reason is four characters (shut, rsdn, logo, ...)";
            return std::nullopt;
        }
        if (sender->is_null() && !reason && !wire::booleanAt(request, "appleEvent").value_or(false))
            return json(nullptr);
        return json{{"sender", *sender}, {"reason", reason ? json(*reason) : json(nullptr)}};
    }

    // The host a system request names and the Apple event it carries; no
    // host (the request refused) when either is wrong.
    std::pair<HostRecord*, json> hostAndAppleEventOf(Connection& connection, const json& request)
    {
        std::string error;
        HostRecord* host = findHost(request, error);
        auto appleEvent = host ? appleEventIn(request, error) : std::nullopt;
        if (!host || !appleEvent) {
            refuse(connection, request, error);
            return {nullptr, json()};
        }
        return {host, *appleEvent};
    }

    // The system sends the host a get-URL Apple event.
    void getURL(Connection& connection, const json& request)
    {
        std::string error;
        HostRecord* host = findHost(request, error);
        auto sender = host ? senderIn(request, error) : std::nullopt;
        if (!host || !sender) {
            refuse(connection, request, error);
            return;
        }
        auto url = request.find("url");
        json event = {{"event", "getURL"}, {"url", url != request.end() && url->is_string() ? *url : json(nullptr)}, {"sender", *sender}};
        sendEvent(*host, event);
        reply(connection, request, {{"host", host->identity.pid}});
    }

    // The system asks the host to open URLs.
    void openURLs(Connection& connection, const json& request)
    {
        auto [host, appleEvent] = hostAndAppleEventOf(connection, request);
        if (!host)
            return;
        auto urls = request.value("urls", json());
        if (!urls.is_array() || !std::all_of(urls.begin(), urls.end(), [](const json& url) { return url.is_string(); })) {
            refuse(connection, request, "\"urls\" must be a list of URL texts");
            return;
        }
        sendEvent(*host, {{"event", "openURLs"}, {"urls", urls}, {"appleEvent", appleEvent}});
        reply(connection, request, {{"host", host->identity.pid}});
    }

    // The user opens the running application again.
    void reopen(Connection& connection, const json& request)
    {
        auto [host, appleEvent] = hostAndAppleEventOf(connection, request);
        if (!host)
            return;
        ask(*host, {{"event", "reopen"}, {"appleEvent", appleEvent}}, connection, request);
    }

    // The system asks the host to quit.
    void askToQuit(Connection& connection, const json& request)
    {
        auto [host, appleEvent] = hostAndAppleEventOf(connection, request);
        if (!host)
            return;
        ask(*host, {{"event", "quit"}, {"appleEvent", appleEvent}}, connection, request);
    }

    // The Services menu hands files to the host.
    void service(Connection& connection, const json& request)
    {
        std::string error;
        HostRecord* host = findHost(request, error);
        if (!host) {
            refuse(connection, request, error);
            return;
        }
        json pasteboard = json::array();
        auto files = request.value("files", json::array());
        if (!files.is_array()) {
            refuse(connection, request, "\"files\" must be a list of paths or URLs");
            return;
        }
        // Paths become file URLs; URLs and other texts go on the pasteboard as they are.
        for (const auto& file : files) {
            if (!file.is_string()) {
                refuse(connection, request, "\"files\" must be a list of paths or URLs");
                return;
            }
            std::string text = file.get<std::string>();
            pasteboard.push_back(!text.empty() && text[0] == '/' ? "file://" + percentEncodedPath(text) : text);
        }
        auto userData = request.find("userData");
        json event = {{"event", "services"},
                      {"message", wire::stringAt(request, "message").value_or("openFiles")},
                      {"userData", userData != request.end() && userData->is_string() ? *userData : json(nullptr)},
                      {"pasteboard", pasteboard}};
        ask(*host, event, connection, request);
    }

    // Answers when a matching host is connected, or refuses after the time given.
    void waitForHost(Connection& connection, const json& request)
    {
        for (auto& host : hosts_) {
            if (hostMatches(host, request)) {
                reply(connection, request, {{"host", hostJson(host)}});
                return;
            }
        }
        int64_t timeout = wire::integerAt(request, "timeoutMs").value_or(10000);
        Waiter waiter;
        if (auto self = connections_.find(connection.number); self != connections_.end())
            waiter.client = self->second;
        waiter.requestId = request.value("id", json());
        waiter.want = request;
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

    // Ends the server.
    void shutdown(Connection& connection, const json& request)
    {
        reply(connection, request);
        stop();
    }

    asio::io_context& io_;
    asio::local::stream_protocol::acceptor acceptor_;
    asio::signal_set signals_;
    std::string socketPath_;
    std::chrono::steady_clock::time_point started_;
    bool listening_ = false;
    bool stopped_ = false;

    uint64_t nextConnection_ = 1;
    std::map<uint64_t, std::shared_ptr<Connection>> connections_;

    std::vector<App> apps_;
    std::vector<HostRecord> hosts_;
    std::map<uint32_t, Window> windows_;
    std::vector<uint32_t> zOrder_;   // front to back
    uint32_t nextWindow_ = 100;
    pid_t nextMadeUpPid_ = FIRST_MADE_UP_PID;
    std::optional<pid_t> front_;
    std::vector<pid_t> history_;     // activations, oldest first
    std::vector<Screen> screens_;
    platform::Point mouse_;
    KeyboardLayoutType keyboard_ = KeyboardLayoutType::ansi;
    std::set<std::string> missingSymbols_;
    std::map<std::pair<uint32_t, uint32_t>, int32_t> refusedChords_;
    std::vector<HotKey> hotKeys_;
    uint64_t nextHotKeyReference_ = 1;
    std::map<int64_t, PendingAsk> asks_;
    int64_t nextAsk_ = 1;
    std::vector<Waiter> waiters_;
    std::deque<json> log_;
    int64_t nextSeq_ = 1;
};

} // namespace

int serve(const ServeOptions& options)
{
    ::signal(SIGPIPE, SIG_IGN);
    asio::io_context io(1);
    Server server(io, options.socketPath);
    if (options.sessionFile) {
        std::ifstream file(*options.sessionFile);
        std::stringstream text;
        text << file.rdbuf();
        if (!file) {
            std::fprintf(stderr, "kestrune-desktop: cannot read %s\n", options.sessionFile->c_str());
            return 1;
        }
        auto session = json::parse(text.str(), nullptr, false);
        if (session.is_discarded()) {
            std::fprintf(stderr, "kestrune-desktop: %s is not JSON\n", options.sessionFile->c_str());
            return 1;
        }
        if (auto error = server.load(session)) {
            std::fprintf(stderr, "kestrune-desktop: %s: %s\n", options.sessionFile->c_str(), error->c_str());
            return 1;
        }
    }
    if (auto error = server.listen()) {
        std::fprintf(stderr, "kestrune-desktop: %s\n", error->c_str());
        return 1;
    }
    std::printf("kestrune-desktop: listening on %s\n", options.socketPath.c_str());
    std::fflush(stdout);
    io.run();
    return 0;
}

} // namespace desktop
