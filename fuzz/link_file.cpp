// A link file's bytes through linkOf: whatever the file holds, the link that
// comes out is whole UTF-8 text, trimmed, within the size limit, of one of
// the application's schemes or a relayed one.
#include "links/link_file.h"
#include "links/settings.h"
#include "links/url.h"
#include "platform/text.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

using namespace kestrune;

namespace {
std::string linkFile()
{
    static const std::string path = [] {
        char pattern[] = "/tmp/kestrune-fuzz-link-XXXXXX";
        if (!mkdtemp(pattern))
            std::abort();
        links::readTheLinkSettings({
            {"CFBundleURLTypes", {{{"CFBundleURLSchemes", {"acme", "Other"}}}}},
            {"KestruneLinkExtension", "acmelink"},
            {"KestruneLinkRelayPrefix", "acme-"},
        });
        return std::string(pattern) + "/input.acmelink";
    }();
    return path;
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string& path = linkFile();
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    auto link = links::linkOf(links::fileURLOf(path));
    if (!link)
        return 0;
    if (link->size() > links::linkFileBytes || !platform::isUTF8(*link) || links::trimmed(*link) != *link)
        __builtin_trap();
    auto scheme = links::schemeOf(*link);
    if (!scheme || (!links::schemes().count(*scheme) && scheme->rfind("acme-", 0) != 0))
        __builtin_trap();
    return 0;
}
