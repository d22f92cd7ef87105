// A URL text through every door it can come in by: the get-URL event, the
// URLs opened with the application, and a file of that name handed over by
// the Services menu; and the URL helpers those doors use. Nothing may crash,
// and what the helpers make must read back.
#include "links/file_service.h"
#include "links/focus_return.h"
#include "links/receiver.h"
#include "links/settings.h"
#include "links/termination_relay.h"
#include "links/url.h"
#include "platform/main_queue.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

using namespace kestrune;

namespace {
struct Doors {
    std::shared_ptr<links::FocusReturn> focusReturn;
    std::unique_ptr<links::URLReceiver> receiver;
    std::unique_ptr<links::TerminationRelay> relay;
};

Doors& setUp()
{
    static Doors& doors = []() -> Doors& {
        platform::markTheMainThread();
        links::readTheLinkSettings({
            {"CFBundleURLTypes", {{{"CFBundleURLSchemes", {"acme"}}}}},
            {"KestruneLinkExtension", "acmelink"},
            {"KestruneLinkRelayPrefix", "acme-"},
            {"NSServices", {{{"NSMessage", "openFiles"}, {"NSUserData", "drop"}}}},
        });
        static Doors made;
        // A link of the scheme tells focus return, on the headless desktop.
        made.focusReturn = std::make_shared<links::FocusReturn>();
        made.focusReturn->observe();
        // Every arrival is also written to the opens log: through the
        // encoder, into nothing.
        made.receiver = std::make_unique<links::URLReceiver>("com.example.acme", "/dev/null", *made.focusReturn);
        made.receiver->handleTheGetURLEvent();
        made.relay = std::make_unique<links::TerminationRelay>(*made.receiver, *made.focusReturn);
        return made;
    }();
    return doors;
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    Doors& doors = setUp();
    std::string text(reinterpret_cast<const char*>(data), size);

    platform::AppleEvent event;
    event.eventClass = platform::INTERNET_EVENT_CLASS;
    event.eventID = platform::INTERNET_EVENT_CLASS;
    event.directObject = text;
    event.senderPid = size > 0 ? static_cast<int32_t>(data[0]) - 16 : 0;
    doors.receiver->openURL(event);
    doors.relay->open({text});

    links::FileService service;
    platform::ServicesRequest request{links::SERVICES_MESSAGE, text, {links::fileURLOf("/tmp/" + text)}};
    service.openFiles(request);

    if (text.find('\0') == std::string::npos) {
        std::string path = "/" + text;
        if (links::filePathOf(links::fileURLOf(path)) != path)
            __builtin_trap();
        auto made = links::serviceURLOf("acme", text.empty() ? "h" : text, path);
        if (!made || links::schemeOf(*made) != "acme")
            __builtin_trap();
    }
    auto trimmed = links::trimmed(text);
    if (trimmed.size() > text.size())
        __builtin_trap();
    return 0;
}
