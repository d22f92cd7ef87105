#include "links/link_file.h"

#include "links/settings.h"
#include "links/url.h"
#include "platform/files.h"
#include "platform/text.h"

namespace kestrune::links {

std::optional<std::string> linkOf(const std::string& url)
{
    const auto& extension = linkExtension();
    if (!extension)
        return std::nullopt;
    auto path = filePathOf(url);
    if (!path)
        return std::nullopt;
    auto name = platform::lastComponent(*path);
    auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || lowerCased(name.substr(dot + 1)) != *extension)
        return std::nullopt;
    auto bytes = platform::contentsOf(*path, linkFileBytes);
    if (!bytes || !platform::isUTF8(*bytes))
        return std::nullopt;
    std::string text(trimmed(*bytes));
    auto scheme = schemeOf(text);
    if (!scheme)
        return std::nullopt;
    const auto& prefix = linkRelayPrefix();
    if (schemes().count(*scheme) || (prefix && scheme->compare(0, prefix->size(), *prefix) == 0))
        return text;
    return std::nullopt;
}

} // namespace kestrune::links
