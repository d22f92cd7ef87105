// What the host reads about hot keys: key strings from the Info.plist, URLs
// made into action names, the shell's "hotkeys" messages through the real
// owner (on the headless desktop), and the remote-session settings and
// files. Nothing may crash, and the results must hold what they promise.
#include "hotkeys/child_hot_keys.h"
#include "hotkeys/chords.h"
#include "hotkeys/remote.h"
#include "platform/json_line.h"
#include "platform/main_queue.h"
#include "platform/text.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace kestrune;

namespace {
hotkeys::ChildHotKeys& setUp()
{
    static hotkeys::ChildHotKeys& owner = []() -> hotkeys::ChildHotKeys& {
        platform::markTheMainThread();
        hotkeys::makeTheKeyTables(platform::KeyboardLayoutType::iso);
        static hotkeys::ChildHotKeys made;
        return made;
    }();
    return owner;
}

void check(bool holds)
{
    if (!holds)
        std::abort();
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    hotkeys::ChildHotKeys& owner = setUp();
    std::string text(reinterpret_cast<const char*>(data), size);

    // The characters put back together are the text.
    std::string joined;
    for (auto character : platform::graphemesOf(text))
        joined += character;
    check(joined == text);

    if (auto chord = hotkeys::chordOf(text)) {
        check(chord->code <= 50);
        check((chord->modifiers & ~uint32_t(256 | 512 | 2048 | 4096)) == 0);
    }
    check(hotkeys::publishedKey(text).rfind("key:", 0) == 0);
    check(hotkeys::actionOf(text).rfind("action:", 0) == 0);

    if (auto bridge = hotkeys::bridgeIn(text))
        check(!bridge->press.empty());
    (void)hotkeys::forwardsIn(text, "forward");

    if (auto message = platform::objectWithin(text, 1024)) {
        (void)hotkeys::remoteSettingsOf(*message);
        if (auto list = message->find("hotkeys"); list != message->end()) {
            auto rows = hotkeys::rowsOf(*list);
            check(!list->is_array() || rows.size() <= list->size());
        }
        // The whole message through the owner: registrations on the headless
        // desktop, the report dropped while no shell listens.
        owner.takeLine(text);
        check(owner.rows().size() == owner.statuses().size());
        if (!owner.rows().empty())
            owner.fire(owner.rows().size() - 1);
    }
    return 0;
}
