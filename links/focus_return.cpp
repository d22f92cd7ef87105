#include "links/focus_return.h"

#include "channel/reader.h"
#include "links/delivery.h"
#include "platform/clock.h"
#include "platform/desktop/window_server.h"
#include "platform/main_queue.h"
#include "supervision/death_log.h"
#include "supervision/launch.h"

#include <nlohmann/json.hpp>

#include <unistd.h>

namespace kestrune::links {

namespace {
// A bundle identifier as a record's value: the text, or null.
nlohmann::json identifierOrNull(const std::optional<platform::RunningApplication>& application)
{
    if (!application || !application->bundleIdentifier)
        return nullptr;
    return *application->bundleIdentifier;
}

// The shell's process as a running application, while it runs and the
// system knows it as one.
std::optional<platform::RunningApplication> theShellsApplication()
{
    if (!supervision::shellIsRunning())
        return std::nullopt;
    return platform::workspace().runningApplication(supervision::shellPid());
}
}

void FocusReturn::observe()
{
    platform::assertOnTheMainThread("FocusReturn::observe");
    std::weak_ptr<FocusReturn> weak = weak_from_this();
    platform::workspace().observeWorkspace(platform::WorkspaceNotification::didActivateApplication, [weak](const auto& application) {
        if (auto owner = weak.lock())
            owner->otherActivated(application);
    });
    platform::workspace().observeWorkspace(platform::WorkspaceNotification::didTerminateApplication, [weak](const auto& application) {
        if (auto owner = weak.lock())
            owner->otherEnded(application);
    });
    platform::workspace().observeApplication(platform::ApplicationNotification::didBecomeActive, [weak] {
        if (auto owner = weak.lock())
            owner->becameActive();
    });
    // The application in front as the host starts is the one the user works
    // in: a first link must find its way back to it too.
    otherActivated(platform::workspace().frontmostApplication());
}

// The user moved to another application: it is where focus goes back to,
// and nothing is owed any more.
void FocusReturn::otherActivated(const std::optional<platform::RunningApplication>& application)
{
    platform::assertOnTheMainThread("FocusReturn::otherActivated");
    if (!application)
        return;
    // The shell and the panel that holds focus are parts of this
    // application taking the activation it handed them: the user has not
    // moved on, and what is owed stays owed.
    if (application->pid == getpid())
        return;
    if (supervision::shellIsRunning() && application->pid == supervision::shellPid())
        return;
    if (panelHeld_ && application->pid == *panelHeld_)
        return;
    if (isAWindowlessAccessory(*application))
        return;
    previous_ = application;
    owed_ = false;
    panelHeld_.reset();
}

// The process whose panel held focus ended: focus goes back if the host has it.
void FocusReturn::otherEnded(const std::optional<platform::RunningApplication>& application)
{
    platform::assertOnTheMainThread("FocusReturn::otherEnded");
    if (!application)
        return;
    if (panelHeld_ && *panelHeld_ == application->pid) {
        panelHeld_.reset();
        if (platform::workspace().isActive())
            giveBack();
    }
}

void FocusReturn::linkArrived(const std::string& url)
{
    platform::assertOnTheMainThread("FocusReturn::linkArrived");
    owed_ = true;
    link_ = url;
    answered_ = false;
    if (childReplies_) {
        // The shell's answer decides; until then it may take activation.
        if (platform::workspace().isActive())
            yieldToTheChild();
        return;
    }
    // Not active yet: becameActive() gives focus back once the host is.
    if (platform::workspace().isActive())
        giveBack();
}

void FocusReturn::becameActive()
{
    platform::assertOnTheMainThread("FocusReturn::becameActive");
    supervision::append(
        {
            {"at", platform::clock.now()},
            {"focus", "launcher-active"},
            {"owed", owed_},
            {"childReplies", childReplies_},
            {"answered", answered_},
            {"link", link_},
            {"previous", identifierOrNull(previous_)},
            {"launcher", getpid()},
        },
        linkLog());
    if (!owed_)
        return;
    if (!childReplies_ || answered_)
        giveBack();
    else
        yieldToTheChild();
}

void FocusReturn::replied(const std::string& url, const std::optional<std::string>& focus, std::optional<int32_t> panel)
{
    platform::assertOnTheMainThread("FocusReturn::replied");
    // A reply to an older link, or to one nothing is owed for, moves nothing.
    if (!childReplies_ || !owed_ || url != link_)
        return;
    answered_ = true;
    if (focus != PANEL_FOCUS) {
        if (platform::workspace().isActive())
            giveBack();
        return;
    }
    owed_ = false;
    panelHeld_ = panel ? std::optional<pid_t>(*panel) : std::nullopt;
    std::optional<platform::RunningApplication> target;
    if (panel)
        target = platform::workspace().runningApplication(*panel);
    if (!target)
        target = theShellsApplication();
    nlohmann::json activated = nullptr;
    if (target && !target->terminated && platform::workspace().isActive()) {
        platform::workspace().yieldActivation(target->pid);
        activated = platform::workspace().activate(target->pid);
    }
    supervision::append({{"at", platform::clock.now()}, {"focus", "kept"}, {"link", link_}, {"activated", activated}, {"launcher", getpid()}},
                        linkLog());
}

void FocusReturn::childRepliesFromNowOn()
{
    platform::assertOnTheMainThread("FocusReturn::childRepliesFromNowOn");
    childReplies_ = true;
}

void FocusReturn::reopened()
{
    platform::assertOnTheMainThread("FocusReturn::reopened");
    owed_ = false;
}

// Activation goes back to the application the user was in, if it still runs.
void FocusReturn::giveBack()
{
    platform::assertOnTheMainThread("FocusReturn::giveBack");
    owed_ = false;
    if (!previous_)
        return;
    // Asked again now: the application may have quit since it was noted,
    // and its process id may belong to another application by then.
    auto current = platform::workspace().runningApplication(previous_->pid);
    if (!current || current->terminated || current->bundleIdentifier != previous_->bundleIdentifier)
        return;
    platform::workspace().yieldActivation(current->pid);
    bool accepted = platform::workspace().activate(current->pid);
    supervision::append(
        {
            {"at", platform::clock.now()},
            {"focus", accepted ? "returned" : "refused"},
            {"link", link_},
            {"to", identifierOrNull(current)},
            {"pid", current->pid},
            {"launcher", getpid()},
        },
        linkLog());
}

bool FocusReturn::isAWindowlessAccessory(const platform::RunningApplication& application)
{
    if (application.activationPolicy == platform::ActivationPolicy::regular)
        return false;
    const int statusLevel = platform::windowServer().statusWindowLevel();
    auto windows = platform::windowServer().onScreenWindows();
    if (!windows)
        return true;
    for (const auto& window : *windows) {
        auto owner = window.find(platform::WINDOW_OWNER_PID);
        auto layer = window.find(platform::WINDOW_LAYER);
        if (owner == window.end() || !owner->is_number_integer() || owner->get<int64_t>() != application.pid)
            continue;
        if (layer != window.end() && layer->is_number_integer() && layer->get<int64_t>() < statusLevel)
            return false;
    }
    return true;
}

void FocusReturn::takeReplyLine(std::string_view line)
{
    platform::assertOnTheMainThread("FocusReturn::takeReplyLine");
    if (auto reply = channel::urlReplyOf(line))
        replied(reply->url, reply->focus, reply->panel);
}

} // namespace kestrune::links
