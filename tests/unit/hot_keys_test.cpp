// Key strings to chords, the published names of hot keys, the shell's hot-key
// rows, and the remote-session settings and files.
#include "hotkeys/child_hot_keys.h"
#include "hotkeys/chords.h"
#include "hotkeys/remote.h"
#include "links/url.h"
#include "platform/text.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace kestrune::hotkeys;
using nlohmann::json;

TEST(GraphemesOf, SplitsUserPerceivedCharacters)
{
    struct Case {
        std::string text;
        std::vector<std::string> characters;
    };
    const Case cases[] = {
        {"", {}},
        {"\u2303\u2325K", {"\u2303", "\u2325", "K"}},
        {"K\u0301", {"K\u0301"}},                                  // a combining accent joins its letter
        {"\u2318\U0001F1E9\U0001F1EA", {"\u2318", "\U0001F1E9\U0001F1EA"}},   // a flag is one
        {"\U0001F468\u200D\U0001F469\u200D\U0001F467x", {"\U0001F468\u200D\U0001F469\u200D\U0001F467", "x"}},
        {"\r\n", {"\r\n"}},
        {"a\xff" "b", {"a", "\xff", "b"}},                         // a stray byte stands alone
        {"\xe2\x8c", {"\xe2", "\x8c"}},                            // so does a cut-off sequence
    };
    for (const auto& c : cases) {
        auto found = platform::graphemesOf(c.text);
        EXPECT_EQ(std::vector<std::string>(found.begin(), found.end()), c.characters) << c.text;
    }
}

TEST(ChordOf, ReadsModifiersThenOneKey)
{
    makeTheKeyTables(platform::KeyboardLayoutType::ansi);
    struct Case {
        std::string key;
        std::optional<Chord> chord;
    };
    const Case cases[] = {
        {"\u2303\u2325K", Chord{40, 6144}},
        {"\u2325\u2303K", Chord{40, 6144}},          // order does not matter
        {"k", Chord{40, 0}},                         // no modifier needed; upper-cased
        {"\u2318\u2318K", Chord{40, 256}},           // repetition neither
        {"\u2318\u21E7\u2325\u2303A", Chord{0, 256 | 512 | 2048 | 4096}},
        {"\u23181", Chord{18, 256}},
        {"\u23180", Chord{29, 256}},
        {"\u2318M", Chord{46, 256}},
        {"\u2318`", Chord{50, 256}},
        {"\u2318\u00A7", Chord{50, 256}},            // ANSI: the top-left key is the grave accent's
        {"", std::nullopt},
        {"\u2318", std::nullopt},                    // a modifier alone is the key, and no key
        {"K\u2318", std::nullopt},
        {"\u2318 K", std::nullopt},                  // a space is no modifier
        {"\u2318F1", std::nullopt},
        {"\u2318\u00DF", std::nullopt},              // ß upper-cases to two letters
        {"\u2318K\u0301", std::nullopt},             // K with an accent is one other character
        {"cmd+K", std::nullopt},
        {"\u2318\xff", std::nullopt},
        {"\u2318\u00E9", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(chordOf(c.key), c.chord) << c.key;

    makeTheKeyTables(platform::KeyboardLayoutType::iso);
    EXPECT_EQ(chordOf("\u2318\u00A7"), (Chord{10, 256}));
    EXPECT_EQ(chordOf("\u2318`"), (Chord{50, 256}));
    EXPECT_EQ(topLeftKeyCode(), 10u);
    makeTheKeyTables(platform::KeyboardLayoutType::jis);
    EXPECT_EQ(chordOf("\u2318\u00A7"), (Chord{50, 256}));
    EXPECT_EQ(hotKeyCodes().size(), 38u);
    EXPECT_EQ(hotKeyModifiers().size(), 4u);
}

TEST(PublishedNames, ActionAndKey)
{
    struct Case {
        std::string url;
        std::string action;
    };
    const Case cases[] = {
        {"myapp://open/settings", "action:settings"},
        {"myapp://toggle", "action:toggle"},
        {"myapp://toggle/", "action:toggle"},
        {"myapp://open/settings/", "action:settings"},
        {"myapp://open/a%20b?x=1#f", "action:a b"},
        {"myapp:compose", "action:compose"},
        {"myapp://u@host:80", "action:host"},
        {"mailto:", "action:mailto:"},               // no component and no host: the text
        {"not a url", "action:not a url"},
        {"", "action:"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(actionOf(c.url), c.action) << c.url;
    EXPECT_EQ(publishedKey("\u2318K"), "key:\u2318K");
    EXPECT_EQ(publishedKey("key:\u2318K"), "key:\u2318K");
}

TEST(ChildHotKeyRows, LeaveOutWhatCannotBeRegistered)
{
    json list = json::parse(R"([
        {"key":"a","url":"u","code":40,"modifiers":256},
        {"key":"b","url":"v","code":4294967295,"modifiers":0,"options":7},
        {"key":"c","url":"w","code":1,"modifiers":2,"options":"x"},
        {"key":"no code","url":"u","modifiers":256},
        {"key":"float","url":"u","code":40.5,"modifiers":256},
        {"key":"negative","url":"u","code":-1,"modifiers":256},
        {"key":"too large","url":"u","code":4294967296,"modifiers":256},
        {"key":"options too large","url":"u","code":1,"modifiers":0,"options":4294967296},
        {"key":"options negative","url":"u","code":1,"modifiers":0,"options":-2},
        {"key":5,"url":"u","code":1,"modifiers":0},
        {"key":"no url","code":1,"modifiers":0},
        "not an object",
        {"key":"d","url":"x","code":0,"modifiers":0,"extra":{"deep":[1,2]}}
    ])");
    std::vector<ChildHotKeys::Row> expected = {
        {"a", 40, 256, 0, "u"},
        {"b", 4294967295u, 0, 7, "v"},
        {"c", 1, 2, 0, "w"},
        {"d", 0, 0, 0, "x"},
    };
    EXPECT_EQ(rowsOf(list), expected);
    EXPECT_TRUE(rowsOf(json::object()).empty());
}

TEST(RemoteSettings, TakeOnlyValuesOfTheRightType)
{
    auto settings = remoteSettingsOf(json::parse(R"({"KestruneRemoteMachines":{
        "bundles":["com.remote.a","com.remote.b"],"config":"Remote/config.json","key":"forward","session":["com.remote.b"]}})"));
    EXPECT_EQ(settings.remoteBundles, (std::set<std::string>{"com.remote.a", "com.remote.b"}));
    EXPECT_EQ(settings.sessionBundles, (std::set<std::string>{"com.remote.b"}));
    EXPECT_EQ(settings.remoteConfig, "Remote/config.json");
    EXPECT_EQ(settings.remoteKey, "forward");

    auto odd = remoteSettingsOf(json::parse(R"({"KestruneRemoteMachines":{
        "bundles":["com.remote.a",1],"config":5,"key":["k"],"session":"com.remote.b"}})"));
    EXPECT_TRUE(odd.remoteBundles.empty());
    EXPECT_TRUE(odd.sessionBundles.empty());
    EXPECT_FALSE(odd.remoteConfig);
    EXPECT_FALSE(odd.remoteKey);
    EXPECT_TRUE(remoteSettingsOf(json::parse(R"({"KestruneRemoteMachines":[1]})")).remoteBundles.empty());
}

TEST(RemoteFiles, ForwardingAndTheBridge)
{
    struct Forwarding {
        std::string text;
        bool on;
    };
    const Forwarding forwarding[] = {
        {R"({"forward":"1"})", true},
        {R"({"forward":1})", false},
        {R"({"forward":"true"})", false},
        {R"({"other":"1"})", false},
        {R"(["forward","1"])", false},
        {"not json", false},
        {"", false},
    };
    for (const auto& c : forwarding)
        EXPECT_EQ(forwardsIn(c.text, "forward"), c.on) << c.text;

    auto bridge = bridgeIn(R"({"routes":{"⌃⌥K":"köprü","x":"burada"},"press":["/bin/press","--key","{key}"]})");
    ASSERT_TRUE(bridge);
    EXPECT_EQ(bridge->routes.at("\u2303\u2325K"), bridgeRoute);
    EXPECT_EQ(bridge->routes.at("x"), localRoute);
    EXPECT_EQ(bridge->press, (std::vector<std::string>{"/bin/press", "--key", "{key}"}));
    const std::string noBridge[] = {
        R"({"routes":{},"press":[]})",
        R"({"routes":{"a":1},"press":["p"]})",
        R"({"routes":{"a":"b"},"press":["p",2]})",
        R"({"press":["p"]})",
        R"({"routes":{"a":"b"}})",
        R"({"routes":[],"press":["p"]})",
        "[]",
        std::string(100, '[') + std::string(100, ']'),
    };
    for (const auto& text : noBridge)
        EXPECT_FALSE(bridgeIn(text)) << text;
}

TEST(URLParts, HostAndPath)
{
    using kestrune::links::lastPathComponentOf;
    using kestrune::links::partsOf;
    auto parts = partsOf("acme://user@[::1]:80/a/b%20c?q#f");
    ASSERT_TRUE(parts);
    EXPECT_EQ(parts->host, "::1");
    EXPECT_EQ(parts->path, "/a/b c");
    EXPECT_FALSE(partsOf("acme:x")->host);
    EXPECT_FALSE(partsOf("acme:///p")->host);
    EXPECT_FALSE(partsOf("a b"));
    EXPECT_EQ(lastPathComponentOf(""), "");
    EXPECT_EQ(lastPathComponentOf("/"), "/");
    EXPECT_EQ(lastPathComponentOf("//"), "/");
    EXPECT_EQ(lastPathComponentOf("/a/b/"), "b");
    EXPECT_EQ(lastPathComponentOf("a"), "a");
}
