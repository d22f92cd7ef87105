#include "platform/desktop/headless/workspace_headless.h"

#include "platform/main_queue.h"

#include <algorithm>

namespace platform {

HeadlessWorkspace::HeadlessWorkspace(HeadlessState& state)
    : state_(state)
    , policy_(state.identity().activationPolicy)
{
}

RunningApplication HeadlessWorkspace::ownApplication() const
{
    const auto& identity = state_.identity();
    RunningApplication application;
    application.pid = identity.pid;
    application.bundleIdentifier = identity.bundleIdentifier;
    application.localizedName = identity.localizedName;
    application.bundlePath = identity.bundlePath;
    application.activationPolicy = policy_;
    return application;
}

std::optional<RunningApplication> HeadlessWorkspace::frontmostApplication()
{
    assertOnTheMainThread("frontmostApplication");
    if (active_)
        return ownApplication();
    return std::nullopt;
}

std::vector<RunningApplication> HeadlessWorkspace::runningApplications()
{
    assertOnTheMainThread("runningApplications");
    return {ownApplication()};
}

std::optional<RunningApplication> HeadlessWorkspace::runningApplication(pid_t pid)
{
    assertOnTheMainThread("runningApplication");
    if (pid == state_.identity().pid)
        return ownApplication();
    return std::nullopt;
}

std::vector<RunningApplication> HeadlessWorkspace::runningApplications(const std::string& bundleIdentifier)
{
    assertOnTheMainThread("runningApplications");
    if (state_.identity().bundleIdentifier == bundleIdentifier)
        return {ownApplication()};
    return {};
}

bool HeadlessWorkspace::activate(pid_t pid)
{
    assertOnTheMainThread("activate");
    if (pid != state_.identity().pid || policy_ == ActivationPolicy::prohibited)
        return false;
    becomeActive();
    return true;
}

bool HeadlessWorkspace::openURL(const std::string&)
{
    assertOnTheMainThread("openURL");
    // Nobody else runs here, so no application takes the URL.
    return false;
}

ObserverId HeadlessWorkspace::observeWorkspace(WorkspaceNotification notification, WorkspaceObserver observer)
{
    assertOnTheMainThread("observeWorkspace");
    ObserverId id = nextObserver_++;
    workspaceObservers_.push_back({id, notification, std::move(observer)});
    return id;
}

void HeadlessWorkspace::setActivationPolicy(ActivationPolicy policy)
{
    assertOnTheMainThread("setActivationPolicy");
    policy_ = policy;
    // An application that may not be activated stops being active.
    if (policy == ActivationPolicy::prohibited && active_)
        resignActive();
}

ActivationPolicy HeadlessWorkspace::activationPolicy()
{
    assertOnTheMainThread("activationPolicy");
    return policy_;
}

bool HeadlessWorkspace::isActive()
{
    assertOnTheMainThread("isActive");
    return active_;
}

void HeadlessWorkspace::activateIgnoringOtherApps()
{
    assertOnTheMainThread("activateIgnoringOtherApps");
    if (policy_ != ActivationPolicy::prohibited)
        becomeActive();
}

// The host takes the front; its observers hear of it from the main queue.
void HeadlessWorkspace::becomeActive()
{
    if (active_)
        return;
    active_ = true;
    state_.later([this, application = ownApplication()] {
        notifyApplication(ApplicationNotification::didBecomeActive);
        notifyWorkspace(WorkspaceNotification::didActivateApplication, application);
    });
}

// The host leaves the front.
void HeadlessWorkspace::resignActive()
{
    active_ = false;
    state_.later([this] { notifyApplication(ApplicationNotification::didResignActive); });
}

void HeadlessWorkspace::yieldActivation(pid_t)
{
    assertOnTheMainThread("yieldActivation");
}

ObserverId HeadlessWorkspace::observeApplication(ApplicationNotification notification, std::function<void()> observer)
{
    assertOnTheMainThread("observeApplication");
    ObserverId id = nextObserver_++;
    applicationObservers_.push_back({id, notification, std::move(observer)});
    return id;
}

void HeadlessWorkspace::removeObserver(ObserverId observer)
{
    assertOnTheMainThread("removeObserver");
    std::erase_if(workspaceObservers_, [&](const WorkspaceEntry& entry) { return entry.id == observer; });
    std::erase_if(applicationObservers_, [&](const ApplicationEntry& entry) { return entry.id == observer; });
}

void HeadlessWorkspace::notifyWorkspace(WorkspaceNotification notification, const std::optional<RunningApplication>& application)
{
    std::vector<ObserverId> ids;
    for (const auto& entry : workspaceObservers_) {
        if (entry.notification == notification)
            ids.push_back(entry.id);
    }
    for (ObserverId id : ids) {
        // Look the observer up again: an earlier one may have removed it.
        auto found = std::find_if(workspaceObservers_.begin(), workspaceObservers_.end(),
                                  [&](const WorkspaceEntry& entry) { return entry.id == id; });
        if (found == workspaceObservers_.end())
            continue;
        auto observer = found->observer;
        observer(application);
    }
}

void HeadlessWorkspace::notifyApplication(ApplicationNotification notification)
{
    std::vector<ObserverId> ids;
    for (const auto& entry : applicationObservers_) {
        if (entry.notification == notification)
            ids.push_back(entry.id);
    }
    for (ObserverId id : ids) {
        auto found = std::find_if(applicationObservers_.begin(), applicationObservers_.end(),
                                  [&](const ApplicationEntry& entry) { return entry.id == id; });
        if (found == applicationObservers_.end())
            continue;
        auto observer = found->observer;
        observer();
    }
}

} // namespace platform
