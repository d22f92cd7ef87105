// The workspace of a session with nobody else: the host is the only running
// application, and it is in front only when it activated itself. The served
// workspace builds on it and falls back to it.
#pragma once

#include "platform/desktop/workspace.h"
#include "platform/desktop/headless/headless_state.h"

#include <vector>

namespace platform {

class HeadlessWorkspace : public Workspace {
public:
    explicit HeadlessWorkspace(HeadlessState& state);

    std::optional<RunningApplication> frontmostApplication() override;
    std::vector<RunningApplication> runningApplications() override;
    std::optional<RunningApplication> runningApplication(pid_t pid) override;
    std::vector<RunningApplication> runningApplications(const std::string& bundleIdentifier) override;
    bool activate(pid_t pid) override;
    bool openURL(const std::string& url) override;
    ObserverId observeWorkspace(WorkspaceNotification notification, WorkspaceObserver observer) override;

    void setActivationPolicy(ActivationPolicy policy) override;
    ActivationPolicy activationPolicy() override;
    bool isActive() override;
    void activateIgnoringOtherApps() override;
    void yieldActivation(pid_t pid) override;
    ObserverId observeApplication(ApplicationNotification notification, std::function<void()> observer) override;
    void removeObserver(ObserverId observer) override;

protected:
    // The host as a running application, as it stands now.
    RunningApplication ownApplication() const;
    // What the system tells the host, run on the main thread in the order
    // given. Observers may add or remove observers while they run.
    void notifyWorkspace(WorkspaceNotification notification, const std::optional<RunningApplication>& application);
    void notifyApplication(ApplicationNotification notification);

    HeadlessState& state_;
    ActivationPolicy policy_;
    bool active_ = false;

private:
    struct WorkspaceEntry {
        ObserverId id;
        WorkspaceNotification notification;
        WorkspaceObserver observer;
    };
    struct ApplicationEntry {
        ObserverId id;
        ApplicationNotification notification;
        std::function<void()> observer;
    };

    // The host takes or loses activation in a session with nobody else.
    void becomeActive();
    void resignActive();

    ObserverId nextObserver_ = 1;
    std::vector<WorkspaceEntry> workspaceObservers_;
    std::vector<ApplicationEntry> applicationObservers_;
};

} // namespace platform
