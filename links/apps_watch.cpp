#include "links/apps_watch.h"

#include "platform/desktop/window_server.h"
#include "platform/desktop/workspace.h"
#include "platform/main_queue.h"

#include <nlohmann/json.hpp>

namespace kestrune::links {

namespace {
// A number of a window's description, or `fallback` when it is missing.
int64_t integerOr(const nlohmann::json& window, const char* key, int64_t fallback)
{
    auto found = window.find(key);
    if (found == window.end() || !found->is_number_integer())
        return fallback;
    return found->get<int64_t>();
}
}

void AppsWatch::start()
{
    platform::assertOnTheMainThread("AppsWatch::start");
    if (!watching_) {
        watching_ = true;
        std::weak_ptr<AppsWatch> weak = weak_from_this();
        for (auto notification : {platform::WorkspaceNotification::didLaunchApplication, platform::WorkspaceNotification::didTerminateApplication,
                                  platform::WorkspaceNotification::didActivateApplication, platform::WorkspaceNotification::didHideApplication,
                                  platform::WorkspaceNotification::didUnhideApplication}) {
            platform::workspace().observeWorkspace(notification, [weak](const auto&) {
                if (auto watch = weak.lock())
                    watch->soon();
            });
        }
    }
    send();
}

void AppsWatch::soon()
{
    platform::assertOnTheMainThread("AppsWatch::soon");
    if (owed_)
        return;
    owed_ = true;
    std::weak_ptr<AppsWatch> weak = weak_from_this();
    platform::post([weak] {
        if (auto watch = weak.lock()) {
            watch->owed_ = false;
            watch->send();
        }
    });
}

void AppsWatch::send()
{
    platform::assertOnTheMainThread("AppsWatch::send");
    channel::tellTheChild(report());
}

channel::Message AppsWatch::report()
{
    auto& workspace = platform::workspace();
    auto front = workspace.frontmostApplication();
    pid_t frontPid = front ? front->pid : -1;
    channel::Message apps = channel::Message::array();
    for (const auto& application : workspace.runningApplications()) {
        if (application.terminated || !application.bundleIdentifier)
            continue;
        channel::Message entry;
        entry["bundle"] = *application.bundleIdentifier;
        entry["name"] = application.localizedName.value_or(*application.bundleIdentifier);
        entry["path"] = application.bundlePath.value_or("");
        entry["pid"] = application.pid;
        entry["policy"] = static_cast<int>(application.activationPolicy);
        entry["active"] = application.pid == frontPid;
        apps.push_back(std::move(entry));
    }
    channel::Message windows = channel::Message::array();
    for (const auto& window : platform::windowServer().onScreenWindows().value_or(std::vector<nlohmann::json>{}))
        windows.push_back(channel::Message::array({integerOr(window, platform::WINDOW_OWNER_PID, 0), integerOr(window, platform::WINDOW_LAYER, -1)}));
    channel::Message message;
    message["apps"] = std::move(apps);
    message["windows"] = std::move(windows);
    return message;
}

} // namespace kestrune::links
