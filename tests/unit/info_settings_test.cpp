// What the host reads from the Info.plist dictionary: declared hot keys,
// URL schemes and services.
#include "hotkeys/declared.h"
#include "links/settings.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace kestrune::links;
using namespace kestrune::hotkeys;

TEST(RegistersNow, FollowsWhen)
{
    struct Case {
        std::string when;
        std::optional<std::string> front;
        bool registers;
    };
    const Case cases[] = {
        {"always", std::nullopt, true},
        {"always", "com.example.e", true},
        {"front:com.example.e", "com.example.e", true},
        {"front:com.example.e", "com.example.other", false},
        {"front:com.example.e", std::nullopt, false},
        {"front:com.example.e", "COM.EXAMPLE.E", false},
        {"front:com.example.e", "com.example.e ", false},
        {"front:", "", true},
        {"front:", std::nullopt, false},
        {"Always", "com.example.e", false},
        {"always ", "com.example.e", false},
        {"never", "com.example.e", false},
        {"", "", false},
        {"Front:com.example.e", "com.example.e", false},
        {"front:com.example.e:x", "com.example.e", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(registersNow(c.when, c.front), c.registers) << c.when << " / " << c.front.value_or("<none>");
}

TEST(HotKeysOf, KeepsWellFormedEntriesInOrder)
{
    nlohmann::json info = {{"KestruneHotKeys",
                            {{{"key", "⌘K"}, {"url", "acme://k"}},
                             {{"key", "⌥F1"}, {"url", "acme://e"}, {"when", "front:com.example.e"}, {"action", "edit"}},
                             {{"url", "acme://no-key"}},
                             {{"key", "x"}},
                             {{"key", 1}, {"url", "acme://number-key"}},
                             {{"key", "y"}, {"url", nullptr}},
                             {{"key", "⌃W"}, {"url", "acme://w"}, {"when", 7}, {"action", false}},
                             {{"key", ""}, {"url", ""}, {"when", ""}}}}};
    auto keys = hotKeysOf(info);
    ASSERT_EQ(keys.size(), 4u);
    EXPECT_EQ(keys[0].key, "⌘K");
    EXPECT_EQ(keys[0].url, "acme://k");
    EXPECT_EQ(keys[0].when, "always");
    EXPECT_EQ(keys[0].action, std::nullopt);
    EXPECT_EQ(keys[1].key, "⌥F1");
    EXPECT_EQ(keys[1].when, "front:com.example.e");
    EXPECT_EQ(keys[1].action, "edit");
    EXPECT_EQ(keys[2].key, "⌃W");
    EXPECT_EQ(keys[2].when, "always");
    EXPECT_EQ(keys[2].action, std::nullopt);
    EXPECT_EQ(keys[3].key, "");
    EXPECT_EQ(keys[3].when, "");
}

TEST(HotKeysOf, DeclaresNoneForAListOfTheWrongShape)
{
    const nlohmann::json infos[] = {
        nlohmann::json::object(),
        {{"KestruneHotKeys", nlohmann::json::array()}},
        {{"KestruneHotKeys", {{"key", "⌘K"}, {"url", "acme://k"}}}},
        {{"KestruneHotKeys", "⌘K"}},
        {{"KestruneHotKeys", {{{"key", "⌘K"}, {"url", "acme://k"}}, "⌘J"}}},
        {{"KestruneHotKeys", {{{"key", "⌘K"}, {"url", "acme://k"}}, nullptr}}},
        {{"KestruneHotKeys", {{{"key", "⌘K"}, {"url", "acme://k"}}, nlohmann::json::array()}}},
        {{"kestrunehotkeys", {{{"key", "⌘K"}, {"url", "acme://k"}}}}},
        nlohmann::json::array({{{"KestruneHotKeys", {{{"key", "⌘K"}, {"url", "acme://k"}}}}}}),
        nullptr,
    };
    for (const auto& info : infos)
        EXPECT_TRUE(hotKeysOf(info).empty()) << info.dump();
}

TEST(SchemesOf, CollectsEveryWellFormedSchemeLowerCased)
{
    struct Case {
        nlohmann::json info;
        std::set<std::string> schemes;
    };
    const Case cases[] = {
        {nlohmann::json::object(), {}},
        {{{"CFBundleURLTypes", {{{"CFBundleURLSchemes", {"Acme", "acme-x"}}}, {{"CFBundleURLSchemes", {"Other"}}}}}},
         {"acme", "acme-x", "other"}},
        {{{"KestruneURLSchemes", {"ACME"}}}, {"acme"}},
        {{{"CFBundleURLTypes", {{{"CFBundleURLSchemes", {"a"}}}}}, {"KestruneURLSchemes", {"b"}}}, {"a", "b"}},
        // A type without schemes, or with a non-string among them, adds nothing.
        {{{"CFBundleURLTypes", {{{"CFBundleURLName", "x"}}, {{"CFBundleURLSchemes", {"a", 1}}}, {{"CFBundleURLSchemes", {"b"}}}}}},
         {"b"}},
        {{{"CFBundleURLTypes", {{{"CFBundleURLSchemes", "a"}}}}}, {}},
        // Types that are not all dictionaries count for nothing.
        {{{"CFBundleURLTypes", {{{"CFBundleURLSchemes", {"a"}}}, "b"}}, {"KestruneURLSchemes", {"c"}}}, {"c"}},
        {{{"CFBundleURLTypes", {{"CFBundleURLSchemes", {"a"}}}}}, {}},
        {{{"KestruneURLSchemes", {"a", 2}}}, {}},
        {{{"KestruneURLSchemes", "a"}}, {}},
        {{{"KestruneURLSchemes", {""}}}, {""}},
        {nlohmann::json::array(), {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(schemesOf(c.info), c.schemes) << c.info.dump();
}

TEST(ServicesOf, TakesAnArrayOfDictionariesOrNothing)
{
    nlohmann::json service = {{"NSMessage", "openFiles"}, {"NSUserData", "open"}};
    struct Case {
        nlohmann::json info;
        std::size_t count;
    };
    const Case cases[] = {
        {nlohmann::json::object(), 0},
        {{{"NSServices", {service}}}, 1},
        {{{"NSServices", {service, nlohmann::json::object()}}}, 2},
        {{{"NSServices", nlohmann::json::array()}}, 0},
        {{{"NSServices", {service, "x"}}}, 0},
        {{{"NSServices", service}}, 0},
        {{{"NSServices", "openFiles"}}, 0},
        {nlohmann::json::array(), 0},
    };
    for (const auto& c : cases) {
        auto services = servicesOf(c.info);
        EXPECT_EQ(services.size(), c.count) << c.info.dump();
        if (c.count > 0) {
            EXPECT_EQ(services.front(), service);
        }
    }
}
