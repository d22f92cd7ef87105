// A shell's panel messages through the panel host: names, calls and looks of
// every shape, with a views library that cannot be loaded, so that every
// call with a well-formed name looks its entry up, fails, and is recorded.
// Nothing may crash, and only well-formed names may ever be opened.
#include "overlays/panel_host.h"
#include "platform/main_queue.h"
#include "supervision/death_log.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    static overlays::PanelHost& host = []() -> overlays::PanelHost& {
        platform::markTheMainThread();
        // The missing-entry records go nowhere.
        supervision::setTheDeathLog("com.example.fuzz", std::string("/dev/null/records.jsonl"));
        static overlays::PanelHost made(overlays::viewsPathFor({}, "/nonexistent/Fuzz.app"));
        return made;
    }();
    std::string line(reinterpret_cast<const char*>(data), size);
    host.callLine(line);
    panelAct(line.c_str());
    for (const auto& name : host.opened()) {
        for (char c : name) {
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'))
                std::abort();
        }
    }
    return 0;
}
