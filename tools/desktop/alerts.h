// The hosts' alerts in the simulated session: the one on screen, waiting for
// the user's answer, and those answered before.
#pragma once

#include "request.h"
#include "topic.h"

#include <map>
#include <optional>

namespace desktop {

class Session;

class Alerts final : public Topic {
public:
    explicit Alerts(Session& session);

    void describeHost(const HostRecord& host, json& record) override;
    void hostLeft(HostRecord& host) override;

private:
    // A host's alert on screen and the answered ones.
    struct HostAlerts {
        std::optional<PendingCall> shown;
        json answered = json::array();
    };

    void alert(Request& request);
    void answerAlert(Request& request);

    Session& session_;
    std::map<uint64_t, HostAlerts> hosts_;
};

} // namespace desktop
