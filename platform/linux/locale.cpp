#include "platform/locale.h"

#include <cstdlib>
#include <string_view>

namespace platform {

// LANGUAGE lists the languages in order, separated by colons; without it the
// locale variables name one, LC_ALL first, as the C library reads them.
std::vector<std::string> preferredLanguages()
{
    std::vector<std::string> languages;
    if (const char* list = std::getenv("LANGUAGE"); list && *list) {
        std::string_view rest = list;
        while (!rest.empty()) {
            auto colon = rest.find(':');
            auto language = rest.substr(0, colon);
            if (!language.empty())
                languages.emplace_back(language);
            rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        }
        if (!languages.empty())
            return languages;
    }
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value) {
            // "C" and "POSIX" name no language.
            if (std::string_view(value) != "C" && std::string_view(value) != "POSIX")
                languages.emplace_back(value);
            break;
        }
    }
    return languages;
}

} // namespace platform
