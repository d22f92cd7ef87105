// The shell's menu on the desktop: the status item and menu drawn from its
// rows, picks and openings told to the shell, pop-ups, reopen requests, and
// the records of each drawing.
#include "support/desktop_server.h"
#include "support/fixture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <unistd.h>

using fixture::eventually;
using nlohmann::json;

namespace {

std::string textOf(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The records of one kind in a death log.
std::vector<json> recordsOf(const std::string& log, const std::string& kind)
{
    std::vector<json> found;
    for (const auto& record : fixture::readLines(log)) {
        if (record.value("kind", "") == kind)
            found.push_back(record);
    }
    return found;
}

const json rows = json::array({
    {{"kind", "header"}, {"title", "Acme"}, {"symbol", "star.fill"}, {"pointSize", 16}, {"weight", 0.3}, {"badge", "circle.fill"}},
    {{"id", "open"}, {"title", "Open…"}, {"enabled", true}, {"key", "⌘O"}, {"symbol", "doc"}},
    {{"kind", "separator"}},
    {{"id", "more"}, {"title", "More"}, {"enabled", true}, {"submenu", true}},
    {{"id", "deep"}, {"parent", "more"}, {"title", "Deep"}, {"enabled", true}},
    {{"id", "off"}, {"title", "Off"}},
    {{"id", "hidden"}, {"title", "Hidden"}, {"hidden", true}, {"enabled", true}},
});

// A piped host whose shell draws the menu: it prints `messages`, then
// writes what it hears to `heard`.
struct MenuHost {
    MenuHost(fixture::DesktopServer& desktop, const std::vector<json>& messages, const json& extra = json::object())
    {
        bundle.writeInfoWithIdentifier("com.example.acme", {{"CFBundleURLTypes", json::array({{{"CFBundleURLSchemes", {"acme"}}}})}});
        json descriptor = {{"menu", "child"}, {"log", deathLog()}};
        descriptor.update(extra);
        bundle.writeTestShellDescriptor("acme", descriptor);
        bundle.installHost();
        fixture::RunOptions options;
        for (const auto& message : messages)
            options.arguments.push_back("ts:print=" + message.dump());
        options.arguments.push_back("ts:echo=60000:" + heard());
        host = fixture::startHost(bundle, desktop.withDesktop(options));
    }
    std::string deathLog() const { return bundle.root() + "/death.jsonl"; }
    std::string heard() const { return bundle.root() + "/heard"; }
    fixture::Bundle bundle;
    std::unique_ptr<fixture::Background> host;
};

json hostState(fixture::DesktopServer& desktop)
{
    json state = desktop.state();
    return state["hosts"].empty() ? json() : state["hosts"].back();
}

} // namespace

TEST(Menu, TheStatusItemAndMenuAreDrawnFromTheRows)
{
    fixture::DesktopServer desktop;
    MenuHost acme(desktop, {{{"menu", rows}}});
    json host;
    ASSERT_TRUE(eventually([&] {
        host = hostState(desktop);
        return host.is_object() && !host["statusItems"].empty() && host["statusItems"][0]["menu"].is_object();
    })) << acme.host->err();

    const json& item = host["statusItems"][0];
    EXPECT_EQ(item["autosaveName"], "com.example.acme");
    EXPECT_EQ(item["button"]["toolTip"], "Acme");
    EXPECT_EQ(item["button"]["image"]["symbol"], "star.fill");
    EXPECT_EQ(item["button"]["image"]["badge"], "circle.fill");
    EXPECT_EQ(item["button"]["image"]["pointSize"], 16);
    EXPECT_EQ(item["button"]["image"]["template"], true);
    EXPECT_EQ(host["activationPolicy"], 1);

    const json& items = item["menu"]["items"];
    ASSERT_EQ(items.size(), 5u) << items.dump();   // header, open, separator, more, off
    EXPECT_EQ(items[0]["title"], "Acme");
    EXPECT_EQ(items[1]["title"], "Open…");
    EXPECT_EQ(items[1]["keyEquivalent"], "o");
    EXPECT_EQ(items[1]["modifierMask"], 1 << 20);
    EXPECT_EQ(items[1]["image"]["symbol"], "doc");
    EXPECT_EQ(items[1]["action"], true);
    EXPECT_EQ(items[2]["separator"], true);
    EXPECT_EQ(items[3]["action"], false);
    EXPECT_EQ(items[3]["submenu"]["items"][0]["title"], "Deep");
    EXPECT_EQ(items[4]["enabled"], false);
    EXPECT_EQ(items[4]["action"], false);

    auto drawn = recordsOf(acme.deathLog(), "menu-drawn");
    ASSERT_EQ(drawn.size(), 1u);
    EXPECT_EQ(drawn[0]["statusItem"], true);
    EXPECT_EQ(drawn[0]["hosted"], false);
    EXPECT_EQ(drawn[0]["published"], nullptr);
    EXPECT_EQ(drawn[0]["menu"][4], (json{{"enabled", true}, {"id", "deep"}, {"title", "Deep"}}));
    EXPECT_EQ(drawn[0]["menu"][2], (json{{"id", "separator"}, {"title", nullptr}}));
    EXPECT_NE(access((acme.bundle.applicationSupport("com.example.acme") + "/menu.json").c_str(), F_OK), 0);
}

TEST(Menu, AMissingSymbolMakesATextItem)
{
    fixture::DesktopServer desktop;
    desktop.missingSymbols({"star.fill"});
    MenuHost acme(desktop, {{{"menu", rows}}});
    ASSERT_TRUE(eventually([&] {
        json host = hostState(desktop);
        return host.is_object() && !host["statusItems"].empty() && host["statusItems"][0]["button"]["title"] == "Acme";
    })) << hostState(desktop).dump();
    EXPECT_EQ(hostState(desktop)["statusItems"][0]["button"]["image"], nullptr);
}

TEST(Menu, APickReachesTheShellAsOneLine)
{
    fixture::DesktopServer desktop;
    MenuHost acme(desktop, {{{"menu", rows}}});
    ASSERT_TRUE(eventually([&] { return !recordsOf(acme.deathLog(), "menu-drawn").empty(); }));
    json answer = desktop.pick("Open…");
    EXPECT_EQ(answer["answer"]["picked"], true) << answer.dump();
    EXPECT_TRUE(eventually([&] { return textOf(acme.heard()) == "{\"menu\":\"open\"}\n"; })) << textOf(acme.heard());
    desktop.pick("Deep");
    EXPECT_TRUE(eventually([&] { return textOf(acme.heard()) == "{\"menu\":\"open\"}\n{\"menu\":\"deep\"}\n"; })) << textOf(acme.heard());
    // A disabled row cannot be picked; nothing more reaches the shell.
    EXPECT_TRUE(desktop.pick("Off").contains("error"));
}

TEST(Menu, TheShellHearsTheMenuOpenOnlyWhenItAsked)
{
    for (bool asked : {false, true}) {
        fixture::DesktopServer desktop;
        MenuHost acme(desktop, {{{"menu", rows}}}, asked ? json{{"opened", "tell"}} : json::object());
        ASSERT_TRUE(eventually([&] { return !recordsOf(acme.deathLog(), "menu-drawn").empty(); }));
        desktop.openMenu();
        desktop.pick("Open…");
        std::string expected = std::string(asked ? "{\"opened\":true}\n" : "") + "{\"menu\":\"open\"}\n";
        EXPECT_TRUE(eventually([&] { return textOf(acme.heard()) == expected; })) << asked << textOf(acme.heard());
    }
}

TEST(Menu, PopsUpAtTheMouseOnlyOnceDrawn)
{
    fixture::DesktopServer desktop;
    desktop.setMouse(300, 200);
    MenuHost acme(desktop, {{{"popUp", true}}, {{"menu", rows}}, {{"popUp", true}}});
    json host;
    ASSERT_TRUE(eventually([&] {
        host = hostState(desktop);
        return host.is_object() && host["popUp"].is_object();
    })) << acme.host->err();
    EXPECT_EQ(host["popUp"]["location"], (json{{"x", 300}, {"y", 200}}));
    desktop.dismiss();
    auto reopens = recordsOf(acme.deathLog(), "reopen");
    ASSERT_EQ(reopens.size(), 1u);   // the first request came before any menu
    EXPECT_EQ(reopens[0]["x"], 300.0);
    EXPECT_EQ(reopens[0]["y"], 200.0);

    // A reopen request (SIGUSR1) pops it up too, and the pick made there
    // reaches the shell.
    acme.host->signal(SIGUSR1);
    ASSERT_TRUE(eventually([&] { return hostState(desktop)["popUp"].is_object(); }));
    desktop.pick("Open…");
    EXPECT_TRUE(eventually([&] { return textOf(acme.heard()) == "{\"menu\":\"open\"}\n"; })) << textOf(acme.heard());
    EXPECT_EQ(recordsOf(acme.deathLog(), "reopen").size(), 2u);
}

TEST(Menu, EveryMessageRedrawsTheWholeMenu)
{
    fixture::DesktopServer desktop;
    MenuHost acme(desktop, {{{"menu", rows}}, {{"menu", json::array({{{"id", "only"}, {"title", "Only"}, {"enabled", true}}})}}});
    ASSERT_TRUE(eventually([&] { return recordsOf(acme.deathLog(), "menu-drawn").size() == 2; }));
    json host = hostState(desktop);
    ASSERT_EQ(host["statusItems"].size(), 1u);
    EXPECT_EQ(host["statusItems"][0]["menu"]["items"].size(), 1u);
    // Without a header the title is the identity and the symbol the default.
    EXPECT_EQ(host["statusItems"][0]["button"]["toolTip"], "com.example.acme");
    EXPECT_EQ(host["statusItems"][0]["button"]["image"]["symbol"], "rectangle.grid.2x2");
}
