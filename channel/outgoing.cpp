#include "channel/outgoing.h"

#include "platform/json_line.h"
#include "platform/main_queue.h"

#include <nlohmann/json.hpp>

namespace kestrune::channel {

namespace {
std::function<ChildInbox*()> openInbox;
bool tellsTheFront = false;
bool observing = false;
}

void setTheOpenInbox(std::function<ChildInbox*()> given)
{
    openInbox = std::move(given);
}

bool theChildCanBeTold()
{
    return openInbox && openInbox() != nullptr;
}

bool sendThroughTheGate(std::string lines)
{
    platform::assertOnTheMainThread("sendThroughTheGate");
    ChildInbox* inbox = openInbox ? openInbox() : nullptr;
    return inbox && inbox->send(std::move(lines));
}

void tellTheChild(const Message& message)
{
    platform::assertOnTheMainThread("tellTheChild");
    ChildInbox* inbox = openInbox ? openInbox() : nullptr;
    if (!inbox)
        return;
    auto line = platform::compactUnsorted(message);
    if (!line)
        return;
    line->push_back('\n');
    inbox->send(std::move(*line));
}

std::optional<std::string> frontmostIdentifier()
{
    auto front = platform::workspace().frontmostApplication();
    if (!front)
        return std::nullopt;
    return front->bundleIdentifier;
}

void tellTheChildTheFront(const std::optional<std::string>& identifier)
{
    if (!tellsTheFront || !identifier || !theChildCanBeTold())
        return;
    Message message;
    message["front"] = *identifier;
    tellTheChild(message);
}

void tellTheChildTheFront()
{
    // The desktop is asked only when the answer can be used.
    if (!tellsTheFront || !theChildCanBeTold())
        return;
    tellTheChildTheFront(frontmostIdentifier());
}

void tellTheChildAboutActivation(const std::optional<platform::RunningApplication>& application)
{
    if (!application)
        return;
    tellTheChildTheFront(application->bundleIdentifier);
}

void decideWhetherToTellTheFront(bool piped, const std::optional<std::string>& front)
{
    tellsTheFront = piped && front == "tell";
    if (tellsTheFront && !observing) {
        observing = true;
        platform::workspace().observeWorkspace(platform::WorkspaceNotification::didActivateApplication, tellTheChildAboutActivation);
    }
}

bool tellsTheChildTheFront()
{
    return tellsTheFront;
}

} // namespace kestrune::channel
