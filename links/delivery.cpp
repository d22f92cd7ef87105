#include "links/delivery.h"

#include "channel/inbox.h"
#include "platform/clock.h"
#include "platform/desktop/workspace.h"
#include "platform/files.h"
#include "platform/json_line.h"
#include "platform/standard_error.h"
#include "supervision/death_log.h"
#include "supervision/exit.h"
#include "supervision/launch.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <unistd.h>

namespace kestrune::links {

namespace {
std::string logFile;
std::deque<WaitingLink> waitingLinks;

// Links that fail on the closing inbox of a swap go back into `waiting`
// (a swap is under way); the ones that were already waiting come after them.
void closeKeepingTheLinks(const std::function<void()>& close)
{
    std::deque<WaitingLink> takenAside;
    takenAside.swap(waitingLinks);
    close();
    for (auto& link : takenAside)
        waitingLinks.push_back(std::move(link));
}

// The new shell runs: every kept link goes to it, oldest first.
void deliverTheWaitingLinks()
{
    std::deque<WaitingLink> due;
    due.swap(waitingLinks);
    for (const auto& link : due)
        write(link.url, link.source, link.received, false);
}
}

void setTheLinkLog(const std::string& identity, const std::optional<std::string>& links)
{
    logFile = links ? *links
                    : platform::appendingComponent(platform::appendingComponent(platform::applicationSupportFolder(), identity),
                                                   "links.jsonl");
    supervision::setTheSwapSeams({
        .closeKeepingTheLinks = closeKeepingTheLinks,
        .waitingLinks = [] { return waitingLinks.size(); },
        .deliverTheWaitingLinks = deliverTheWaitingLinks,
    });
}

const std::string& linkLog()
{
    return logFile;
}

const std::deque<WaitingLink>& waiting()
{
    return waitingLinks;
}

void deliver(const std::string& url, const std::string& source)
{
    if (!supervision::input())
        return;
    auto received = std::chrono::system_clock::now();
    if (supervision::swapping() || !supervision::shellIsRunning()) {
        waitingLinks.push_back({url, source, received});
        return;
    }
    write(url, source, received, true);
}

void write(const std::string& url, const std::string& source, std::chrono::system_clock::time_point received, bool ready)
{
    const auto& inbox = supervision::input();
    if (!inbox)
        return;
    nlohmann::json record = {
        {"at", platform::clock.stamp(received)},
        {"url", url},
        {"ready", ready},
        {"shell", supervision::shellPid()},
        {"launcher", getpid()},
    };
    if (source != "url")
        record["source"] = source;

    auto settle = [url, source, received, record](const std::optional<std::string>& failure) mutable {
        if (failure && supervision::swapping()) {
            waitingLinks.push_back({url, source, received});
            return;
        }
        auto waited = std::chrono::duration<double, std::milli>(std::chrono::system_clock::now() - received).count();
        record["waitedMs"] = static_cast<int64_t>(std::llround(waited));
        record["delivered"] = !failure;
        if (failure) {
            record["error"] = *failure;
            platform::sayOnStandardError("URL delivery failed: " + *failure);
        }
        supervision::append(record, logFile);
    };

    nlohmann::ordered_json message = {{"url", url}};
    if (source != "url")
        message["source"] = source;
    auto encoded = platform::compactUnsorted(message);
    if (!encoded) {
        settle(std::string("not-json"));
        return;
    }
    inbox->send(*encoded + "\n", settle);
}

void yieldToTheChild()
{
    if (!supervision::shellIsRunning())
        return;
    pid_t shell = supervision::shellPid();
    if (!platform::workspace().runningApplication(shell))
        return;
    platform::workspace().yieldActivation(shell);
}

} // namespace kestrune::links
