// The hosts' panels in the simulated session: what each shows, and the
// visible ones as windows at their level.
#pragma once

#include "request.h"
#include "topic.h"

#include <map>

namespace desktop {

class Session;

class Panels final : public Topic {
public:
    explicit Panels(Session& session);

    void describeHost(const HostRecord& host, json& record) override;
    void hostLeft(HostRecord& host) override;

private:
    // What a host shows in its panels, and their windows.
    struct HostPanels {
        std::map<int, json> panels;
        std::map<int, uint32_t> windows;
    };

    void panel(Request& request);
    void hostPanels(Request& request);

    Session& session_;
    std::map<uint64_t, HostPanels> hosts_;
};

} // namespace desktop
