#include "platform/desktop/served/workspace_served.h"

#include "platform/desktop/wire.h"

#include <nlohmann/json.hpp>

namespace platform {

namespace {

using nlohmann::json;

// The application of a reply: present, null (none), or nothing when the
// reply has no usable one.
std::optional<std::optional<RunningApplication>> applicationIn(const std::optional<json>& reply)
{
    if (!reply)
        return std::nullopt;
    if (reply->contains("application") && (*reply)["application"].is_null())
        return std::optional<RunningApplication>();
    if (auto application = wire::runningApplicationOf(reply->value("application", json())))
        return std::optional<RunningApplication>(*application);
    return std::nullopt;
}

// The list of applications of a reply; nothing unless every entry is one.
std::optional<std::vector<RunningApplication>> applicationsIn(const std::optional<json>& reply)
{
    if (!reply)
        return std::nullopt;
    auto list = reply->find("applications");
    if (list == reply->end() || !list->is_array())
        return std::nullopt;
    std::vector<RunningApplication> applications;
    for (const auto& entry : *list) {
        auto application = wire::runningApplicationOf(entry);
        if (!application)
            return std::nullopt;
        applications.push_back(*application);
    }
    return applications;
}

} // namespace

ServedWorkspace::ServedWorkspace(HeadlessState& state, ServerConnection& server)
    : HeadlessWorkspace(state)
    , server_(server)
{
    server_.onEvent("workspace", [this](const json& event) { workspaceEvent(event); });
    server_.onEvent("application", [this](const json& event) { applicationEvent(event); });
    // Nobody is at the headless desktop, so the host is not in front.
    server_.whenGone([this] { active_ = false; });
}

std::optional<RunningApplication> ServedWorkspace::frontmostApplication()
{
    assertOnTheMainThread("frontmostApplication");
    if (auto application = applicationIn(server_.call({{"op", "frontmostApplication"}})))
        return *application;
    return HeadlessWorkspace::frontmostApplication();
}

std::vector<RunningApplication> ServedWorkspace::runningApplications()
{
    assertOnTheMainThread("runningApplications");
    if (auto list = applicationsIn(server_.call({{"op", "runningApplications"}})))
        return *list;
    return HeadlessWorkspace::runningApplications();
}

std::optional<RunningApplication> ServedWorkspace::runningApplication(pid_t pid)
{
    assertOnTheMainThread("runningApplication");
    if (auto application = applicationIn(server_.call({{"op", "runningApplication"}, {"pid", pid}})))
        return *application;
    return HeadlessWorkspace::runningApplication(pid);
}

std::vector<RunningApplication> ServedWorkspace::runningApplications(const std::string& bundleIdentifier)
{
    assertOnTheMainThread("runningApplications");
    if (auto list = applicationsIn(server_.call({{"op", "runningApplications"}, {"bundleIdentifier", bundleIdentifier}})))
        return *list;
    return HeadlessWorkspace::runningApplications(bundleIdentifier);
}

bool ServedWorkspace::activate(pid_t pid)
{
    assertOnTheMainThread("activate");
    if (auto reply = server_.call({{"op", "activate"}, {"pid", pid}})) {
        if (auto activated = wire::booleanAt(*reply, "activated"))
            return *activated;
    }
    return HeadlessWorkspace::activate(pid);
}

bool ServedWorkspace::openURL(const std::string& url)
{
    assertOnTheMainThread("openURL");
    if (auto reply = server_.call({{"op", "openURL"}, {"url", url}})) {
        if (auto opened = wire::booleanAt(*reply, "opened"))
            return *opened;
    }
    return HeadlessWorkspace::openURL(url);
}

void ServedWorkspace::setActivationPolicy(ActivationPolicy policy)
{
    assertOnTheMainThread("setActivationPolicy");
    if (server_.gone()) {
        HeadlessWorkspace::setActivationPolicy(policy);
        return;
    }
    // The server decides what the change does to activation and says so
    // with events.
    policy_ = policy;
    server_.tell({{"op", "setActivationPolicy"}, {"policy", int(policy)}});
}

bool ServedWorkspace::isActive()
{
    assertOnTheMainThread("isActive");
    if (auto reply = server_.call({{"op", "isActive"}})) {
        if (auto active = wire::booleanAt(*reply, "active")) {
            active_ = *active;
            return *active;
        }
    }
    return HeadlessWorkspace::isActive();
}

void ServedWorkspace::activateIgnoringOtherApps()
{
    assertOnTheMainThread("activateIgnoringOtherApps");
    if (server_.gone()) {
        HeadlessWorkspace::activateIgnoringOtherApps();
        return;
    }
    if (auto reply = server_.call({{"op", "activateIgnoringOtherApps"}})) {
        if (auto active = wire::booleanAt(*reply, "active"))
            active_ = *active;
        return;
    }
    HeadlessWorkspace::activateIgnoringOtherApps();
}

void ServedWorkspace::yieldActivation(pid_t pid)
{
    assertOnTheMainThread("yieldActivation");
    server_.tell({{"op", "yieldActivation"}, {"pid", pid}});
}

void ServedWorkspace::workspaceEvent(const json& event)
{
    auto notification = wire::workspaceNotificationOf(event.value("notification", ""));
    if (!notification) {
        server_.complain("unknown workspace notification", wire::lineOf(event));
        return;
    }
    std::optional<RunningApplication> application;
    if (event.contains("application"))
        application = wire::runningApplicationOf(event["application"]);
    notifyWorkspace(*notification, application);
}

void ServedWorkspace::applicationEvent(const json& event)
{
    auto notification = wire::applicationNotificationOf(event.value("notification", ""));
    if (!notification) {
        server_.complain("unknown application notification", wire::lineOf(event));
        return;
    }
    active_ = *notification == ApplicationNotification::didBecomeActive;
    notifyApplication(*notification);
}

} // namespace platform
