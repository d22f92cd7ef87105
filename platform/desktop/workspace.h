// The workspace and the host's own application: which applications run and
// which is in front, activating them, opening URLs, the host's activation
// policy, and the notifications of both (NSWorkspace, NSRunningApplication,
// NSApplication's activation).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

enum class ActivationPolicy { regular = 0, accessory = 1, prohibited = 2 };

struct RunningApplication {
    pid_t pid = 0;
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> localizedName;
    std::optional<std::string> bundlePath;
    ActivationPolicy activationPolicy = ActivationPolicy::regular;
    bool terminated = false;
    bool hidden = false;
    bool operator==(const RunningApplication&) const = default;
};

// Notifications of the shared workspace. Each carries the application it is
// about (absent when the system gives none).
enum class WorkspaceNotification {
    didActivateApplication,
    didTerminateApplication,
    didLaunchApplication,
    didHideApplication,
    didUnhideApplication,
};
using WorkspaceObserver = std::function<void(const std::optional<RunningApplication>&)>;

// Notifications of the host's own application object.
enum class ApplicationNotification { didBecomeActive, didResignActive };

using ObserverId = uint64_t;

// Every call is made on the main thread; observers run on the main queue.
class Workspace {
public:
    virtual ~Workspace() = default;

    // The application in front, if any.
    virtual std::optional<RunningApplication> frontmostApplication() = 0;
    // Every running application, in the workspace's order.
    virtual std::vector<RunningApplication> runningApplications() = 0;
    // The running application with this process id; nothing when the system
    // knows none (also after it terminated).
    virtual std::optional<RunningApplication> runningApplication(pid_t pid) = 0;
    // The running applications with this bundle identifier.
    virtual std::vector<RunningApplication> runningApplications(const std::string& bundleIdentifier) = 0;
    // Asks the application to activate (from the host, no options); true
    // when it did.
    virtual bool activate(pid_t pid) = 0;
    // Opens a URL with whichever application claims it; true when one did.
    virtual bool openURL(const std::string& url) = 0;
    // Observers run on the main queue, in the order they were added.
    virtual ObserverId observeWorkspace(WorkspaceNotification notification, WorkspaceObserver observer) = 0;

    // The host's own application.
    virtual void setActivationPolicy(ActivationPolicy policy) = 0;
    virtual ActivationPolicy activationPolicy() = 0;
    // Whether the host is the active application.
    virtual bool isActive() = 0;
    // Activates the host ignoring other applications (refused while its
    // policy is prohibited).
    virtual void activateIgnoringOtherApps() = 0;
    // Lets the application with this process id take activation from the host.
    virtual void yieldActivation(pid_t pid) = 0;
    virtual ObserverId observeApplication(ApplicationNotification notification, std::function<void()> observer) = 0;
    // Stops an observer of either kind.
    virtual void removeObserver(ObserverId observer) = 0;
};

// The workspace of this process's desktop (see platform/desktop.h).
Workspace& workspace();

} // namespace platform
