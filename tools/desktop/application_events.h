// What the system sends the hosts in the simulated session: get-URL and
// open-URLs Apple events, reopen and quit requests, the Services menu; and
// which handlers each host installed to receive them.
#pragma once

#include "request.h"
#include "topic.h"

#include <map>
#include <optional>
#include <utility>

namespace desktop {

class Session;

class ApplicationEvents final : public Topic {
public:
    explicit ApplicationEvents(Session& session);

    void describeHost(const HostRecord& host, json& record) override;

private:
    // The sender a client names: any process id, an application of the
    // session or not (the receiver looks the process up itself), or an
    // application of the session by name; nothing, with the request
    // refused, for a name the session does not know or a number that
    // cannot be a process id.
    std::optional<json> senderIn(Request& request);
    // The Apple event a request describes: null unless it names a sender or
    // a reason, or asks for one with "appleEvent": true.
    std::optional<json> appleEventIn(Request& request);
    // The host a system request names and the Apple event it carries; no
    // host (the request refused) when either is wrong.
    std::pair<HostRecord*, json> hostAndAppleEventOf(Request& request);

    // Replies to a get-URL or open-URLs request, bringing the host forward
    // first when the request says "activate".
    void replyActivatingIfAsked(HostRecord& host, Request& request);

    void handlers(Request& request);
    void getURL(Request& request);
    void openURLs(Request& request);
    void reopen(Request& request);
    void askToQuit(Request& request);
    void service(Request& request);

    Session& session_;
    std::map<uint64_t, json> handlers_;   // by host connection
};

} // namespace desktop
