// The views libraries of the session: each is loaded inside a host process
// and connects on its own, as a "views" peer with the host's process id. It
// reports every call the host made of its panels and its updater; the user
// acts in a panel through it.
#pragma once

#include "request.h"
#include "topic.h"

#include <string>
#include <vector>

namespace desktop {

class Session;

class Views final : public Topic {
public:
    explicit Views(Session& session);

    // A views library said hello on this connection.
    void joined(const Connection& connection);

    void describe(json& state) override;
    void describeHost(const HostRecord& host, json& record) override;
    void connectionClosed(const Connection& connection) override;

private:
    struct Panel {
        std::string name;
        std::string state;   // "prepared", "open" or "closed"
        std::string look;
        json calls = json::array();
    };
    struct Library {
        uint64_t connection = 0;
        pid_t pid = 0;
        bool connected = true;
        std::vector<Panel> panels;   // in the order of their first call
        json start = nullptr;        // the updater's last start: {"feed","code"}
        int64_t starts = 0;
        int64_t checks = 0;
        json checkCode = nullptr;    // the last check's code
    };

    void call(Request& request);
    void updater(Request& request);
    void list(Request& request);
    void act(Request& request);

    Library* byConnection(uint64_t connection);
    // The latest library of this process, connected or not.
    Library* byPid(pid_t pid);
    // The library a client request names with "host" (its process: a pid,
    // or a host's bundle identifier or name), or the only connected one;
    // the request refused when there is none.
    Library* named(Request& request);
    static json panelsJson(const Library& library);
    static json updaterJson(const Library& library);
    json libraryJson(const Library& library) const;

    Session& session_;
    std::vector<Library> libraries_;
};

} // namespace desktop
