#include "hotkeys/declared.h"

#include "platform/json_line.h"

#include "platform/exit.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace kestrune::hotkeys {

namespace {
std::vector<HotKey> declared;
}

void readTheDeclaredHotKeys(const nlohmann::json& info)
{
    declared = hotKeysOf(info);
}

const std::vector<HotKey>& declaredHotKeys()
{
    return declared;
}

std::vector<HotKey> hotKeysOf(const nlohmann::json& info)
{
    std::vector<HotKey> keys;
    auto list = info.is_object() ? info.find(hotKeysKey) : info.end();
    if (!info.is_object() || list == info.end() || !list->is_array())
        return keys;
    for (const auto& entry : *list) {
        if (!entry.is_object())
            return {};
    }
    for (const auto& entry : *list) {
        auto key = entry.find("key");
        auto url = entry.find("url");
        if (key == entry.end() || !key->is_string() || url == entry.end() || !url->is_string())
            continue;
        HotKey hotKey;
        hotKey.key = key->get<std::string>();
        hotKey.url = url->get<std::string>();
        if (auto when = entry.find("when"); when != entry.end() && when->is_string())
            hotKey.when = when->get<std::string>();
        if (auto action = entry.find("action"); action != entry.end() && action->is_string())
            hotKey.action = action->get<std::string>();
        keys.push_back(std::move(hotKey));
    }
    return keys;
}

bool registersNow(const std::string& when, const std::optional<std::string>& front)
{
    if (when == "always")
        return true;
    if (when.rfind(frontWhenPrefix, 0) == 0)
        return front && *front == when.substr(frontWhenPrefix.size());
    return false;
}

void runTheHotKeyPlan(const std::vector<std::string>& commandLine)
{
    if (commandLine.size() != 2) {
        std::string usage = "usage: " + hotKeyPlanFlag + " <front bundle id>\n";
        std::fwrite(usage.data(), 1, usage.size(), stderr);
        platform::leave(platform::EXIT_MISUSED);
    }
    const std::string& front = commandLine[1];
    std::string lines;
    for (const auto& hotKey : declared) {
        nlohmann::json row = {
            {"key", hotKey.key}, {"register", registersNow(hotKey.when, front)}, {"url", hotKey.url}, {"when", hotKey.when}};
        lines += platform::jsonLine(row) + "\n";
    }
    std::fwrite(lines.data(), 1, lines.size(), stdout);
    std::fflush(stdout);
    platform::leave(platform::EXIT_DONE);
}

} // namespace kestrune::hotkeys
