#include "links/receiver.h"

#include "links/delivery.h"
#include "links/focus_return.h"
#include "links/settings.h"
#include "links/url.h"
#include "platform/clock.h"
#include "platform/desktop/workspace.h"
#include "platform/main_queue.h"
#include "platform/process.h"
#include "supervision/death_log.h"

#include <nlohmann/json.hpp>

namespace kestrune::links {

URLReceiver::URLReceiver(std::string identity, std::optional<std::string> opensLog, FocusReturn& focusReturn)
    : identity_(std::move(identity))
    , opensLog_(std::move(opensLog))
    , focusReturn_(focusReturn)
{
}

void URLReceiver::handleTheGetURLEvent()
{
    platform::assertOnTheMainThread("URLReceiver::handleTheGetURLEvent");
    if (!schemes().empty())
        platform::applicationEvents().setGetURLHandler([this](const platform::AppleEvent& event) { openURL(event); });
}

void URLReceiver::openURL(const platform::AppleEvent& event)
{
    platform::assertOnTheMainThread("URLReceiver::openURL");
    if (!event.directObject || event.directObject->size() > linkFileBytes)
        return;
    arrived(*event.directObject, event, std::nullopt);
}

void URLReceiver::arrived(const std::string& url, const std::optional<platform::AppleEvent>& event, const std::optional<std::string>& file)
{
    platform::assertOnTheMainThread("URLReceiver::arrived");
    if (opensLog_) {
        nlohmann::json record = {
            {"at", platform::clock.now()},
            {"url", url},
            {"receiver", identity_},
            {"sender", sender(event)},
        };
        if (file)
            record["file"] = *file;
        supervision::append(std::move(record), *opensLog_);
    }
    auto scheme = schemeOf(url);
    if (!scheme)
        return;
    if (schemes().count(*scheme)) {
        deliver(url, "url");
        focusReturn_.linkArrived(url);
        return;
    }
    // A link file may name another application's URL under the relay
    // prefix: the system hands it on, the shell never sees it.
    const auto& prefix = linkRelayPrefix();
    if (file && prefix && scheme->compare(0, prefix->size(), *prefix) == 0)
        platform::workspace().openURL(url);
}

nlohmann::json URLReceiver::sender(const std::optional<platform::AppleEvent>& event)
{
    if (!event || !event->senderPid || *event->senderPid <= 0)
        return {{"pid", nullptr}, {"chain", nlohmann::json::array()}};
    auto pathOrNull = [](pid_t pid) {
        auto path = executable(pid);
        return path ? nlohmann::json(*path) : nlohmann::json(nullptr);
    };
    pid_t id = *event->senderPid;
    nlohmann::json chain = nlohmann::json::array();
    while (id >= 1 && chain.size() < SENDER_CHAIN_LIMIT) {
        chain.push_back({{"pid", id}, {"path", pathOrNull(id)}});
        auto up = parent(id);
        if (!up)
            break;
        id = *up;
    }
    return {{"pid", *event->senderPid}, {"path", pathOrNull(*event->senderPid)}, {"chain", std::move(chain)}};
}

std::optional<std::string> URLReceiver::executable(pid_t pid)
{
    return platform::executablePathOf(pid);
}

std::optional<pid_t> URLReceiver::parent(pid_t pid)
{
    return platform::parentOf(pid);
}

} // namespace kestrune::links
