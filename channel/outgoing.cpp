#include "channel/outgoing.h"

#include "channel/inbox.h"
#include "host/descriptor.h"
#include "platform/main_queue.h"
#include "supervision/exit.h"
#include "supervision/launch.h"

namespace kestrune {

bool theChildCanBeTold()
{
    return input && child && child->isRunning() && !swapping;
}

void tellTheChild(const Message& message)
{
    platform::assertOnTheMainThread("tellTheChild");
    if (!theChildCanBeTold())
        return;
    auto line = compactUnsorted(message);
    if (!line)
        return;
    line->push_back('\n');
    input->send(std::move(*line));
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
    if (!tellsTheChildTheFront)
        return;
    if (!theChildCanBeTold() || !identifier)
        return;
    Message message;
    message["front"] = *identifier;
    tellTheChild(message);
}

void tellTheChildTheFront()
{
    // The desktop is asked only when the answer can be used.
    if (!tellsTheChildTheFront || !theChildCanBeTold())
        return;
    tellTheChildTheFront(frontmostIdentifier());
}

void tellTheChildAboutActivation(const std::optional<platform::RunningApplication>& application)
{
    if (!application)
        return;
    tellTheChildTheFront(application->bundleIdentifier);
}

void decideWhetherToTellTheFront()
{
    auto front = runtime.find("front");
    tellsTheChildTheFront = piped && front != runtime.end() && front->second == "tell";
    if (tellsTheChildTheFront)
        platform::workspace().observeWorkspace(platform::WorkspaceNotification::didActivateApplication, tellTheChildAboutActivation);
}

} // namespace kestrune
