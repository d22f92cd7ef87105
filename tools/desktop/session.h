// The core of the desktop server: one thread, one event loop. It accepts
// hosts, applications and clients on its socket, greets them, checks each
// request against the sender's role and hands it to the topic that serves
// it, sends events and questions to hosts and their answers to clients,
// keeps the log, and puts the topics' parts together into the state.
#pragma once

#include "records.h"
#include "request.h"
#include "topic.h"

#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace desktop {

class Workspace;
class WindowServer;
class StatusBar;
class HotKeys;
class Panels;
class Alerts;
class ApplicationEvents;
class Views;

class Session {
public:
    Session(asio::io_context& io, std::string socketPath);
    ~Session();

    // Binds the socket and starts accepting; the reason when it cannot.
    std::optional<std::string> listen();
    // Applies a whole session: {"applications", "screens", "mouse",
    // "keyboardLayoutType", "front", "missingSymbols"}.
    std::optional<std::string> load(const json& session);

    // --- For the topics ---------------------------------------------------

    using Roles = std::set<Role>;
    static const Roles hosts, processes, anyone, clients, viewsLibraries;
    // Serves the request `op` from peers of these roles; `logged` puts each
    // one in the log.
    void serve(const std::string& op, Roles roles, std::function<void(Request&)> handle, bool logged = true);

    Workspace& workspace() { return *workspace_; }
    WindowServer& windowServer() { return *windowServer_; }
    StatusBar& statusBar() { return *statusBar_; }
    HotKeys& hotKeys() { return *hotKeys_; }
    asio::io_context& io() { return io_; }

    std::vector<HostRecord>& hostRecords() { return hosts_; }
    // The record of the host on this connection.
    HostRecord* hostByConnection(uint64_t number);
    // The record of the connected host with this process id.
    HostRecord* connectedHostByPid(pid_t pid);
    // The connected host a client names ("host"), or the only one; the
    // request refused when there is none.
    HostRecord* namedHost(Request& request);

    // Sends an event to a connected host and logs it.
    void sendEvent(HostRecord& host, const json& event);
    // Sends an event to the peer on a connection, if it is still there, and
    // logs it as sent to `pid`.
    void sendTo(uint64_t connection, pid_t pid, const json& event);
    // Sends an event to every connected host but the one on `except`.
    void broadcast(const json& event, uint64_t except = 0);
    // Sends a question to a host; the client hears the answer now or later
    // (with "wait").
    void ask(HostRecord& host, json event, Request& request);
    // Replies to a request of a connection that may have closed since.
    void replyTo(uint64_t connection, const json& request, json result);
    // Ends a connection, with the reason for the log.
    void close(uint64_t connection, const std::string& reason);
    // Adds a record to the log, dropping the oldest beyond the limit.
    void record(json entry);
    // The sequence number the next record gets.
    int64_t nextSeq() const { return nextSeq_; }

    // Sends a line to a peer; the replies of Request go through here.
    void send(Connection& connection, const json& message);

private:
    struct Served {
        Roles roles;
        std::function<void(Request&)> handle;
        bool logged = true;
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

    void accept();
    void read(const std::shared_ptr<Connection>& connection);
    void take(Connection& connection, std::string_view bytes);
    void handleLine(Connection& connection, const std::string& line);
    void writeNext(const std::shared_ptr<Connection>& connection);
    void close(Connection& connection, const std::string& reason);
    void hostLeft(uint64_t number);
    static bool peerHasClosed(Connection& connection);
    Connection* connectionOf(uint64_t number);
    void replyLater(const std::weak_ptr<Connection>& client, const json& id, json result);
    void refuseLater(const std::weak_ptr<Connection>& client, const json& id, const std::string& error);
    void stop();
    void flushThenEnd(std::chrono::steady_clock::time_point deadline);

    void dispatch(Connection& connection, const json& message);
    void hello(Request& request);
    void viewsHello(Request& request, const json& welcome);
    void answer(Request& request);
    void malformed(Request& request);
    json hostJson(const HostRecord& host);
    json stateJson();
    void state(Request& request);
    void log(Request& request);
    void loadRequest(Request& request);
    bool hostMatches(const HostRecord& host, const json& want);
    void checkWaiters();
    void waitForHost(Request& request);
    void shutdown(Request& request);

    asio::io_context& io_;
    asio::local::stream_protocol::acceptor acceptor_;
    asio::signal_set signals_;
    std::string socketPath_;
    std::chrono::steady_clock::time_point started_;
    bool listening_ = false;
    bool stopped_ = false;

    uint64_t nextConnection_ = 1;
    std::map<uint64_t, std::shared_ptr<Connection>> connections_;
    std::map<std::string, Served> served_;
    std::vector<HostRecord> hosts_;
    std::map<int64_t, PendingAsk> asks_;
    int64_t nextAsk_ = 1;
    std::vector<Waiter> waiters_;
    std::deque<json> log_;
    int64_t nextSeq_ = 1;

    // The topics, in the order their parts of a session file are applied.
    std::unique_ptr<WindowServer> windowServer_;
    std::unique_ptr<HotKeys> hotKeys_;
    std::unique_ptr<StatusBar> statusBar_;
    std::unique_ptr<Workspace> workspace_;
    std::unique_ptr<Panels> panels_;
    std::unique_ptr<Alerts> alerts_;
    std::unique_ptr<ApplicationEvents> applicationEvents_;
    std::unique_ptr<Views> views_;
    std::vector<Topic*> topics_;
};

} // namespace desktop
