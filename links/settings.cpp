#include "links/settings.h"

#include <nlohmann/json.hpp>

namespace kestrune::links {

namespace {
std::set<std::string> declaredSchemes;
std::vector<nlohmann::json> declaredServices;
std::optional<std::string> extension;
std::optional<std::string> relayPrefix;

bool isArrayOfStrings(const nlohmann::json& value)
{
    if (!value.is_array())
        return false;
    for (const auto& element : value) {
        if (!element.is_string())
            return false;
    }
    return true;
}

std::optional<std::string> lowerCasedString(const nlohmann::json& info, const std::string& key)
{
    auto found = info.find(key);
    if (found == info.end() || !found->is_string())
        return std::nullopt;
    return lowerCased(found->get<std::string>());
}
}

std::string lowerCased(std::string text)
{
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::set<std::string> schemesOf(const nlohmann::json& info)
{
    std::set<std::string> found;
    if (!info.is_object())
        return found;
    if (auto types = info.find("CFBundleURLTypes"); types != info.end() && types->is_array()) {
        bool allDictionaries = true;
        for (const auto& type : *types)
            allDictionaries = allDictionaries && type.is_object();
        if (allDictionaries) {
            for (const auto& type : *types) {
                auto list = type.find("CFBundleURLSchemes");
                if (list == type.end() || !isArrayOfStrings(*list))
                    continue;
                for (const auto& scheme : *list)
                    found.insert(lowerCased(scheme.get<std::string>()));
            }
        }
    }
    if (auto extra = info.find("KestruneURLSchemes"); extra != info.end() && isArrayOfStrings(*extra)) {
        for (const auto& scheme : *extra)
            found.insert(lowerCased(scheme.get<std::string>()));
    }
    return found;
}

std::vector<nlohmann::json> servicesOf(const nlohmann::json& info)
{
    std::vector<nlohmann::json> found;
    auto list = info.is_object() ? info.find("NSServices") : info.end();
    if (!info.is_object() || list == info.end() || !list->is_array())
        return found;
    for (const auto& service : *list) {
        if (!service.is_object())
            return {};
        found.push_back(service);
    }
    return found;
}

bool takesLinks()
{
    return !declaredSchemes.empty() || !declaredServices.empty();
}

void readTheLinkSettings(const nlohmann::json& info)
{
    declaredSchemes = schemesOf(info);
    declaredServices = servicesOf(info);
    extension = lowerCasedString(info, linkExtensionKey);
    relayPrefix = lowerCasedString(info, linkRelayPrefixKey);
}

const std::set<std::string>& schemes()
{
    return declaredSchemes;
}

const std::vector<nlohmann::json>& services()
{
    return declaredServices;
}

const std::optional<std::string>& linkExtension()
{
    return extension;
}

const std::optional<std::string>& linkRelayPrefix()
{
    return relayPrefix;
}

} // namespace kestrune::links
