// The workspace as the desktop server's session has it: applications, the
// front one and the host's activation are asked of the server, and its
// notifications arrive as events. Without the server, the headless workspace.
#pragma once

#include "platform/desktop/served/server_connection.h"
#include "platform/desktop/headless/workspace_headless.h"

namespace platform {

class ServedWorkspace final : public HeadlessWorkspace {
public:
    ServedWorkspace(HeadlessState& state, ServerConnection& server);

    std::optional<RunningApplication> frontmostApplication() override;
    std::vector<RunningApplication> runningApplications() override;
    std::optional<RunningApplication> runningApplication(pid_t pid) override;
    std::vector<RunningApplication> runningApplications(const std::string& bundleIdentifier) override;
    bool activate(pid_t pid) override;
    bool openURL(const std::string& url) override;

    void setActivationPolicy(ActivationPolicy policy) override;
    bool isActive() override;
    void activateIgnoringOtherApps() override;
    void yieldActivation(pid_t pid) override;

private:
    // The "workspace" and "application" events.
    void workspaceEvent(const nlohmann::json& event);
    void applicationEvent(const nlohmann::json& event);

    ServerConnection& server_;
};

} // namespace platform
