// A shell's badge requests: read off the reader's thread by badgeOf, then
// shown by the badge owner on the headless desktop, whose one screen and
// empty window list make most of them nothing to show. Nothing may crash,
// and a badge must be what its request says.
#include "overlays/badge.h"
#include "overlays/badge_owner.h"
#include "platform/json_line.h"
#include "platform/main_queue.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    static overlays::BadgeOwner& owner = []() -> overlays::BadgeOwner& {
        platform::markTheMainThread();
        static overlays::BadgeOwner made;
        return made;
    }();
    std::string line(reinterpret_cast<const char*>(data), size);
    auto message = platform::objectWithin(line, 1024);
    if (!message)
        return 0;
    if (auto badge = overlays::badgeOf(*message)) {
        if (badge->pid <= 0)
            std::abort();
    }
    owner.showLine(line);
    return 0;
}
