// The one connection of a served desktop to the desktop server: JSON lines
// over a Unix socket (docs/desktop.md). Requests are answered synchronously;
// events are sorted out of the stream and handed, on the main queue and in
// the order they came, to the handler each topic registered for its events.
//
// A server that goes away, refuses what it must answer, or does not answer
// within the bound is dropped for good: the connection says so once on
// standard error, runs the topics' gone handlers, and every call from then on
// gives nothing so that the topics fall back to their headless selves.
#pragma once

#include "platform/result.h"

#include "platform/desktop.h"
#include "platform/line_socket.h"
#include "platform/desktop/headless/headless_state.h"
#include "platform/main_queue.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class ServerConnection {
public:
    using Json = nlohmann::json;
    using EventHandler = std::function<void(const Json& event)>;

    // Takes the connected socket `fd`.
    ServerConnection(int fd, HeadlessState& state);
    ~ServerConnection();
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    // Introduces the host; the reason it failed otherwise. Events start to
    // flow once it succeeded.
    Result<void> introduce(const DesktopIdentity& identity);

    // Sends a request and reads until its answer arrives. Modal calls wait as
    // long as the server lives; the others at most the bound. Nothing when
    // the server is gone (a refusal makes it gone).
    std::optional<Json> call(Json request, bool modal = false);
    // Sends what the host did and waits until the server has taken it, so
    // that whoever reads the server's state next sees it.
    void tell(Json request);
    bool gone() const { return gone_; }

    // The handler of one event of the protocol; an event nobody handles is
    // reported to the server as malformed.
    void onEvent(const std::string& name, EventHandler handler);
    // Work to do when the server is dropped.
    void whenGone(std::function<void()> work);
    // Answers the server's question that came with an event.
    void answer(const Json& event, Json reply);
    // Tells the server that a line of its was malformed. It asks for no
    // answer: lines are being sorted, and reading more now would reorder them.
    void complain(const std::string& what, const std::string& line);

private:
    using Clock = std::chrono::steady_clock;

    bool writeLine(const Json& message, Clock::time_point deadline);
    bool readAvailable();
    bool readLines(Clock::time_point deadline);
    void handleLine(const std::string& line);
    void goneBecause(const std::string& reason);
    void dispatchSoon();
    void drain();

    int fd_;
    LineSocket lines_;
    HeadlessState& state_;
    std::chrono::milliseconds bound_;
    bool gone_ = false;
    bool connecting_ = false;
    std::string failure_;
    std::unique_ptr<DescriptorWatch> watch_;
    int64_t nextRequest_ = 1;
    std::map<int64_t, Json> replies_;
    std::deque<Json> events_;
    bool drainPosted_ = false;
    std::map<std::string, EventHandler> eventHandlers_;
    std::vector<std::function<void()>> goneHandlers_;
};

} // namespace platform
