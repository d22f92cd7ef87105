// Badges over other applications' windows through the real host and the
// desktop server: where the panel goes, what it shows, how long, and that
// it never takes the user's focus.
#include "support/desktop_server.h"
#include "support/fixture.h"

#include <gtest/gtest.h>

#include <thread>

using fixture::DesktopServer;
using fixture::eventually;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

const std::string identifier = "com.example.acme";

json windowAt(double x, double y, double width, double height, bool onScreen = true)
{
    return {{"bounds", {{"x", x}, {"y", y}, {"width", width}, {"height", height}}}, {"onScreen", onScreen}};
}

std::string badgeLine(json badge)
{
    return json({{"badge", badge}}).dump();
}

// A host whose shell draws the menu (badges come with it) and then says what
// `lines` holds, in order, with the pauses given as ts: instructions.
std::unique_ptr<fixture::Background> startHost(fixture::Bundle& bundle, DesktopServer& desktop, std::vector<std::string> shell)
{
    bundle.writeInfoWithIdentifier(identifier, {{"CFBundleURLTypes", json::array({{{"CFBundleURLSchemes", {"acme"}}}})}});
    bundle.writeTestShellDescriptor("acme", {{"menu", "child"}});
    bundle.installHost();
    fixture::RunOptions options;
    options.arguments = {"ts:print={\"menu\":[{\"kind\":\"header\",\"title\":\"Acme\"}]}"};
    for (auto& argument : shell)
        options.arguments.push_back(argument);
    options.arguments.push_back("ts:echo=60000:/dev/null");
    return fixture::startHost(bundle, desktop.withDesktop(options));
}

// The host's badge panel as the server has it; an empty object before the
// first badge.
json badgePanelOf(DesktopServer& desktop, pid_t host)
{
    const json record = DesktopServer::hostIn(desktop.state(), host);
    if (!record.is_object() || record["panels"].empty())
        return json::object();
    return record["panels"][0];
}

} // namespace

TEST(Badges, AnEmptyBadgeStaysItsDefaultTimeOverTheFrontWindow)
{
    DesktopServer desktop;
    json safari = desktop.add({{"bundleIdentifier", "com.apple.Safari"}, {"windows", {windowAt(100, 50, 800, 600)}}})["application"];
    desktop.front(safari["pid"]);
    fixture::Bundle bundle;
    auto host = startHost(bundle, desktop, {"ts:print=" + badgeLine({{"pid", safari["pid"]}})});
    ASSERT_TRUE(desktop.waitForHost(identifier)) << host->err();

    ASSERT_TRUE(eventually([&] { return badgePanelOf(desktop, host->pid()).value("visible", false); })) << desktop.state().dump();
    const json panel = badgePanelOf(desktop, host->pid());
    EXPECT_EQ(panel["text"], "");
    // Centred, 52 points below the window's top, in screen coordinates
    // (origin at the bottom of the 900-point screen).
    EXPECT_EQ(panel["frame"], json({{"x", 425}, {"y", 900 - (50 + 52 + 34)}, {"width", 150}, {"height", 34}}));
    const json style = panel["style"];
    EXPECT_EQ(style["nonactivating"], true);
    EXPECT_EQ(style["ignoresMouseEvents"], true);
    EXPECT_EQ(style["level"], 25);
    EXPECT_EQ(style["floating"], true);
    EXPECT_EQ(style["hidesOnDeactivate"], false);
    EXPECT_EQ(style["collectionBehavior"], 73);
    // Hidden again after about 600 ms; Safari kept the focus all along.
    ASSERT_TRUE(eventually([&] { return !badgePanelOf(desktop, host->pid()).value("visible", true); }, 5s));
    EXPECT_EQ(desktop.state()["front"], safari["pid"]);
    EXPECT_TRUE(DesktopServer::hostIn(desktop.state(), host->pid())["activations"].empty());
}

TEST(Badges, OnlyTheLastBadgesTimeHidesThePanel)
{
    DesktopServer desktop;
    json safari = desktop.add({{"bundleIdentifier", "com.apple.Safari"}, {"windows", {windowAt(100, 50, 800, 600)}}})["application"];
    json notes = desktop.add({{"bundleIdentifier", "com.apple.Notes"}, {"windows", {windowAt(0, 300, 400, 300)}}})["application"];
    json minimised = desktop.add({{"bundleIdentifier", "com.example.min"}, {"windows", {windowAt(0, 0, 400, 300, false)}}})["application"];
    fixture::Bundle bundle;
    const std::string marks = bundle.root() + "/marks";
    auto host = startHost(bundle, desktop,
                          {"ts:print=" + badgeLine({{"pid", safari["pid"]}, {"text", "first"}, {"ms", 200}}), "ts:sleep=100",
                           "ts:print=" + badgeLine({{"pid", notes["pid"]}, {"text", "second"}, {"ms", 1200}}),
                           // Nothing to show for an application without a window on screen.
                           "ts:print=" + badgeLine({{"pid", minimised["pid"]}, {"text", "none"}})});
    ASSERT_TRUE(desktop.waitForHost(identifier)) << host->err();
    ASSERT_TRUE(eventually([&] { return badgePanelOf(desktop, host->pid()).value("text", "") == "second"; })) << desktop.state().dump();
    EXPECT_EQ(badgePanelOf(desktop, host->pid())["frame"], json({{"x", 125}, {"y", 900 - (300 + 52 + 34)}, {"width", 150}, {"height", 34}}));
    // Well past the first badge's 200 ms the panel still shows the second:
    // a window of nothing happening, which no later event could show.
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(badgePanelOf(desktop, host->pid()).value("visible", false));
    EXPECT_EQ(DesktopServer::hostIn(desktop.state(), host->pid())["panels"].size(), 1u) << "one panel, reused";
    ASSERT_TRUE(eventually([&] { return !badgePanelOf(desktop, host->pid()).value("visible", true); }, 5s));
}

TEST(Badges, OddRequestsNeverShowOrBreakAnything)
{
    DesktopServer desktop;
    json safari = desktop.add({{"bundleIdentifier", "com.apple.Safari"}, {"windows", {windowAt(100, 50, 800, 600)}}})["application"];
    fixture::Bundle bundle;
    // As large as one argument of the test shell may be.
    const std::string huge(100000, 'x');
    auto host = startHost(bundle, desktop,
                          {"ts:print=" + badgeLine({{"pid", 0}}), "ts:print=" + badgeLine({{"pid", -4}}),
                           "ts:print=" + badgeLine({{"pid", "12"}}), "ts:print=" + badgeLine({{"pid", 999999999}, {"text", "gone"}}),
                           "ts:print=" + badgeLine({{"pid", safari["pid"]}, {"text", "zero"}, {"ms", 0}}),
                           "ts:print=" + badgeLine({{"pid", safari["pid"]}, {"text", huge}, {"ms", "soon"}}),
                           "ts:out={\"badge\":{\"pid\":" + std::to_string(safari["pid"].get<int>()) + ",\"text\":\"\\xff\\xfe\",\"ms\":1e300}}\\n",
                           "ts:print=" + badgeLine({{"pid", safari["pid"]}, {"text", "last"}, {"ms", 300}})});
    ASSERT_TRUE(desktop.waitForHost(identifier)) << host->err();
    ASSERT_TRUE(eventually([&] { return badgePanelOf(desktop, host->pid()).value("text", "") == "last"; })) << host->err();
    ASSERT_TRUE(eventually([&] { return !badgePanelOf(desktop, host->pid()).value("visible", true); }, 5s));
    EXPECT_FALSE(host->ended()) << host->err();
}
