// The workspace of the simulated session: the running applications (made up
// by clients, or processes that joined), the front application and its
// history, hiding, quitting, and what hosts ask of the workspace.
#pragma once

#include "request.h"
#include "topic.h"

#include <asio/posix/stream_descriptor.hpp>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace desktop {

class Session;

enum class AppKind { session, application, host };

struct App {
    platform::RunningApplication running;
    AppKind kind = AppKind::session;
    uint64_t connection = 0;
    bool refusesActivation = false;
    std::shared_ptr<asio::posix::stream_descriptor> exitWatch;
};

class Workspace final : public Topic {
public:
    explicit Workspace(Session& session);

    App* appByPid(pid_t pid);
    // An application named by process id, bundle identifier or name.
    App* findApp(const json& reference, std::string& error);
    // The application a client request names under "app"; the request
    // refused when there is none.
    App* namedApp(Request& request);
    // A process that said hello as `kind` joins with what its hello
    // describes (policy, windows); nothing, with the reason, when that is wrong.
    App* join(AppKind kind, uint64_t connection, pid_t pid, const json& hello, std::string& error);
    // The application terminates: its windows and hot keys go, the hosts are told.
    void quit(pid_t pid);
    std::optional<pid_t> front() const { return front_; }
    // Activation asked for by a process or by the system, not by the user:
    // refused for prohibited applications and those made to refuse.
    bool activateOnRequest(pid_t pid);
    // An application as the protocol writes it, with whether it is in front.
    json applicationJson(const App& app) const;
    // The workspace event of a notification about an application.
    static json notification(platform::WorkspaceNotification notification, const platform::RunningApplication& application);

    std::optional<std::string> load(const json& session) override;
    void describe(json& state) override;
    void describeHost(const HostRecord& host, json& record) override;

private:
    // What a host asked of the workspace, for its record.
    struct HostActivity {
        json openedURLs = json::array();
        json activations = json::array();
        json yields = json::array();
    };

    pid_t madeUpPid();
    App* addApplication(const json& described, bool launched, std::string& error);
    void watchTheProcess(App& app);
    void tellTheApplication(pid_t pid, platform::ApplicationNotification notification);
    void bringToFront(pid_t pid);
    void leaveTheFront(pid_t pid);
    void unhide(App& app);
    void hide(App& app);

    // Requests of hosts and applications.
    void frontmostApplication(Request& request);
    void runningApplications(Request& request);
    void runningApplication(Request& request);
    void activate(Request& request);
    void openURL(Request& request);
    void setActivationPolicy(Request& request);
    void isActive(Request& request);
    void activateIgnoringOtherApps(Request& request);
    void yieldActivation(Request& request);
    // Requests of clients.
    void add(Request& request, bool launched);
    void quitRequest(Request& request);
    void hideRequest(Request& request);
    void unhideRequest(Request& request);
    void frontRequest(Request& request);
    void refuseActivation(Request& request);

    Session& session_;
    std::vector<App> apps_;
    pid_t nextMadeUpPid_;
    std::optional<pid_t> front_;
    std::vector<pid_t> history_;     // activations, oldest first
    std::map<uint64_t, HostActivity> activity_;
};

} // namespace desktop
