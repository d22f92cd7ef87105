// Info.plist bytes, XML or binary, through the property-list reader and
// what start-up reads from the dictionary: URL schemes, services and the
// declared hot keys.
#include "hotkeys/declared.h"
#include "links/settings.h"
#include "platform/bundle.h"

#include <cstddef>
#include <cstdint>
#include <string>

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    auto info = platform::propertyListFrom(std::string(reinterpret_cast<const char*>(data), size));
    if (!info)
        return 0;
    (void)links::schemesOf(*info);
    (void)links::servicesOf(*info);
    for (const auto& hotKey : hotkeys::hotKeysOf(*info))
        (void)hotkeys::registersNow(hotKey.when, std::string("com.example.front"));
    return 0;
}
