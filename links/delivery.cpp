#include "links/delivery.h"

#include "channel/inbox.h"
#include "channel/json_line.h"
#include "host/clock.h"
#include "host/descriptor.h"
#include "host/startup.h"
#include "platform/files.h"
#include "supervision/death_log.h"
#include "supervision/exit.h"
#include "supervision/launch.h"

#include <cmath>
#include <unistd.h>

namespace kestrune {

void setTheLinkLog()
{
    if (auto links = runtime.find("links"); links != runtime.end())
        linkLog = links->second;
    else
        linkLog = platform::appendingComponent(platform::appendingComponent(platform::applicationSupportFolder(), identity), "links.jsonl");
}

void deliver(const std::string& url, const std::string& source)
{
    if (!input)
        return;
    auto received = std::chrono::system_clock::now();
    if (swapping || !child || !child->isRunning()) {
        waiting.push_back({url, source, received});
        return;
    }
    write(url, source, received, true);
}

void write(const std::string& url, const std::string& source, std::chrono::system_clock::time_point received, bool ready)
{
    if (!input)
        return;
    nlohmann::json record = {
        {"at", clock.stamp(received)},
        {"url", url},
        {"ready", ready},
        {"shell", child ? child->pid() : 0},
        {"launcher", getpid()},
    };
    if (source != "url")
        record["source"] = source;

    auto settle = [url, source, received, record](const std::optional<std::string>& failure) mutable {
        if (failure && swapping) {
            waiting.push_back({url, source, received});
            return;
        }
        auto waited = std::chrono::duration<double, std::milli>(std::chrono::system_clock::now() - received).count();
        record["waitedMs"] = static_cast<int64_t>(std::llround(waited));
        record["delivered"] = !failure;
        if (failure) {
            record["error"] = *failure;
            sayOnStandardError("URL delivery failed: " + *failure);
        }
        append(record, linkLog);
    };

    Message message = {{"url", url}};
    if (source != "url")
        message["source"] = source;
    auto encoded = compactUnsorted(message);
    if (!encoded) {
        settle(std::string("not-json"));
        return;
    }
    input->send(*encoded + "\n", settle);
}

} // namespace kestrune
