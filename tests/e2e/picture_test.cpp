// Pictures of a session with the real host in it: what the desktop client's
// picture command draws of the status item, the open menu and its
// submenu, a badge while it is shown, and an alert; the PNG's size and its
// sameness; and the picture a failed test leaves beside its log.
#include "support/desktop_server.h"
#include "support/fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

using fixture::DesktopServer;
using fixture::eventually;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

const std::string identifier = "com.example.acme";

const json rows = json::array({
    {{"kind", "header"}, {"title", "Acme"}, {"symbol", "star.fill"}},
    {{"id", "open"}, {"title", "Open…"}, {"enabled", true}, {"key", "⌘⇧O"}, {"symbol", "doc"}},
    {{"kind", "separator"}},
    {{"id", "more"}, {"title", "More"}, {"enabled", true}, {"submenu", true}},
    {{"id", "deep"}, {"parent", "more"}, {"title", "Deep"}, {"enabled", true}, {"key", "⌥⌘D"}},
    {{"id", "off"}, {"title", "Off"}},
    {{"id", "hidden"}, {"title", "Hidden"}, {"hidden", true}, {"enabled", true}},
    {{"id", "quit"}, {"title", "Quit Acme"}, {"enabled", true}, {"key", "⌘Q"}},
});

json windowAt(double x, double y, double width, double height)
{
    return {{"bounds", {{"x", x}, {"y", y}, {"width", width}, {"height", height}}}};
}

// A piped host whose shell draws `rows` as its menu, then prints `lines`.
std::unique_ptr<fixture::Background> startHost(fixture::Bundle& bundle, DesktopServer& desktop, const std::vector<std::string>& lines = {})
{
    bundle.writeInfoWithIdentifier(identifier, {{"CFBundleURLTypes", json::array({{{"CFBundleURLSchemes", {"acme"}}}})}});
    bundle.writeTestShellDescriptor("acme", {{"menu", "child"}});
    bundle.installHost();
    fixture::RunOptions options;
    options.arguments = {"ts:print=" + json({{"menu", rows}}).dump()};
    options.arguments.insert(options.arguments.end(), lines.begin(), lines.end());
    options.arguments.push_back("ts:echo=60000:/dev/null");
    return fixture::startHost(bundle, desktop.withDesktop(options));
}

// Whether the host's status item with its menu is up, waiting for it.
bool menuIsDrawn(DesktopServer& desktop, pid_t host)
{
    return eventually([&] {
        json record = DesktopServer::hostIn(desktop.state(), host);
        return record.is_object() && !record["statusItems"].empty() && record["statusItems"][0]["menu"].is_object();
    });
}

std::string contentsOf(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

// The texts of the SVG's text layer, in the order they were drawn.
std::vector<std::string> textsOf(const std::string& svg)
{
    static const std::regex text("<text [^>]*>([^<]*)</text>");
    std::vector<std::string> texts;
    for (auto match = std::sregex_iterator(svg.begin(), svg.end(), text); match != std::sregex_iterator(); ++match) {
        std::string found = (*match)[1];
        for (auto [entity, character] : {std::pair{"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&amp;", "&"}}) {
            for (auto at = found.find(entity); at != std::string::npos; at = found.find(entity, at + 1))
                found.replace(at, std::string(entity).size(), character);
        }
        texts.push_back(found);
    }
    return texts;
}

// The session's picture as SVG, by the client; its texts.
std::vector<std::string> drawnTexts(DesktopServer& desktop, fixture::Bundle& bundle)
{
    std::string path = bundle.root() + "/session.svg";
    auto run = desktop.client({"picture", "--svg", path});
    EXPECT_EQ(run.status, 0) << run.err;
    return textsOf(contentsOf(path));
}

// Whether `wanted` appear in `texts` in this order (others may come between).
::testing::AssertionResult inOrder(const std::vector<std::string>& texts, const std::vector<std::string>& wanted)
{
    std::size_t next = 0;
    for (const auto& text : texts) {
        if (next < wanted.size() && text == wanted[next])
            ++next;
    }
    if (next == wanted.size())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << wanted[next] << "\" is missing or out of order in " << json(texts).dump();
}

bool contains(const std::vector<std::string>& texts, const std::string& wanted)
{
    return std::find(texts.begin(), texts.end(), wanted) != texts.end();
}

// The width and height a PNG's header gives.
std::pair<uint32_t, uint32_t> sizeOfPng(const std::string& png)
{
    auto big = [&](std::size_t at) {
        return uint32_t(uint8_t(png[at])) << 24 | uint32_t(uint8_t(png[at + 1])) << 16 | uint32_t(uint8_t(png[at + 2])) << 8 | uint8_t(png[at + 3]);
    };
    if (png.size() < 24 || png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0)
        return {0, 0};
    return {big(16), big(20)};
}

} // namespace

TEST(Picture, TheStatusItemTheOpenMenuAndItsSubmenuAreDrawnInOrder)
{
    DesktopServer desktop;
    // Its symbol missing, the status item shows its title.
    desktop.missingSymbols({"star.fill"});
    fixture::Bundle bundle;
    auto host = startHost(bundle, desktop);
    ASSERT_TRUE(menuIsDrawn(desktop, host->pid())) << host->err();

    auto closed = drawnTexts(desktop, bundle);
    EXPECT_TRUE(contains(closed, "Acme")) << json(closed).dump();
    EXPECT_FALSE(contains(closed, "Open…")) << "a closed menu is not drawn";

    ASSERT_FALSE(desktop.openMenu().contains("error"));
    EXPECT_TRUE(desktop.request({{"op", "openSubmenu"}, {"row", "Off"}}).contains("error")) << "a row without a submenu";
    ASSERT_FALSE(desktop.request({{"op", "openSubmenu"}, {"row", "more"}}).contains("error"));
    auto open = drawnTexts(desktop, bundle);
    EXPECT_TRUE(inOrder(open, {"Acme", "Open…", "⇧⌘O", "More", "Off", "Quit Acme", "⌘Q", "Deep", "⌥⌘D"}));
    EXPECT_FALSE(contains(open, "Hidden"));

    // The client's command line opens the submenu the same way (the
    // header's row comes first).
    ASSERT_FALSE(desktop.dismiss().contains("error"));
    EXPECT_FALSE(contains(drawnTexts(desktop, bundle), "Open…")) << "dismissed";
    ASSERT_FALSE(desktop.openMenu().contains("error"));
    auto run = desktop.client({"open-submenu", "--path", "3"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(DesktopServer::hostIn(desktop.state(), host->pid())["openSubmenu"], json({3}));
    EXPECT_TRUE(contains(drawnTexts(desktop, bundle), "Deep"));
}

TEST(Picture, APngHasTheScreensSizeTimesTheScaleAndTheSameStateGivesTheSameBytes)
{
    DesktopServer desktop;
    desktop.setScreens({{{"frame", {{"x", 0}, {"y", 0}, {"width", 1280}, {"height", 800}}}}});
    desktop.add({{"bundleIdentifier", "com.apple.Safari"}, {"localizedName", "Safari"}, {"windows", {windowAt(100, 50, 800, 600)}}});
    fixture::Bundle bundle;
    auto host = startHost(bundle, desktop);
    ASSERT_TRUE(menuIsDrawn(desktop, host->pid())) << host->err();
    ASSERT_FALSE(desktop.openMenu().contains("error"));

    struct Case {
        std::vector<std::string> options;
        std::pair<uint32_t, uint32_t> size;
    };
    for (const auto& c : std::vector<Case>{{{}, {1280, 800}}, {{"--scale", "2"}, {2560, 1600}}, {{"--scale", "0.5"}, {640, 400}}}) {
        std::vector<std::string> first = {"picture"}, second = {"picture"};
        first.insert(first.end(), c.options.begin(), c.options.end());
        second.insert(second.end(), c.options.begin(), c.options.end());
        first.push_back(bundle.root() + "/first.png");
        second.push_back(bundle.root() + "/second.png");
        auto run = desktop.client(first);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(json::parse(run.out)["width"], c.size.first);
        ASSERT_EQ(desktop.client(second).status, 0);
        std::string png = contentsOf(bundle.root() + "/first.png");
        EXPECT_EQ(sizeOfPng(png), c.size) << json(c.options).dump();
        EXPECT_TRUE(png == contentsOf(bundle.root() + "/second.png")) << "the same state, the same bytes: " << json(c.options).dump();
    }

    // What cannot be drawn is refused, and no file is written.
    struct Refusal {
        std::vector<std::string> arguments;
        int status;
    };
    for (const auto& c : std::vector<Refusal>{{{"picture", "--host", "com.example.nobody"}, 1}, {{"picture", "--scale", "0"}, 2},
                                              {{"picture", "--scale", "many"}, 2}, {{"picture", "--state", "/nonexistent.json"}, 2}}) {
        auto arguments = c.arguments;
        arguments.push_back(bundle.root() + "/refused.png");
        auto run = desktop.client(arguments);
        EXPECT_EQ(run.status, c.status) << json(c.arguments).dump() << run.err;
        EXPECT_FALSE(std::ifstream(bundle.root() + "/refused.png").good()) << json(c.arguments).dump();
    }
    // The host named by its bundle identifier draws the same as the only host.
    auto named = desktop.client({"picture", "--host", identifier, bundle.root() + "/named.png"});
    EXPECT_EQ(named.status, 0) << named.err;
    ASSERT_EQ(desktop.client({"picture", bundle.root() + "/every.png"}).status, 0);
    EXPECT_TRUE(contentsOf(bundle.root() + "/named.png") == contentsOf(bundle.root() + "/every.png"));
}

TEST(Picture, TheBadgeShowsItsTextWhileShownAndNotAfterItsTime)
{
    DesktopServer desktop;
    json safari = desktop.add({{"bundleIdentifier", "com.apple.Safari"}, {"localizedName", "Safari"}, {"windows", {windowAt(100, 50, 800, 600)}}})["application"];
    desktop.front(safari["pid"]);
    fixture::Bundle bundle;
    auto host = startHost(bundle, desktop, {"ts:print=" + json({{"badge", {{"pid", safari["pid"]}, {"text", "Well done"}, {"ms", 1500}}}}).dump()});
    auto shown = [&] {
        json record = DesktopServer::hostIn(desktop.state(), host->pid());
        return record.is_object() && !record["panels"].empty() && record["panels"][0].value("visible", false);
    };
    ASSERT_TRUE(eventually(shown)) << host->err();
    auto texts = drawnTexts(desktop, bundle);
    // The picture may be taken just as the badge goes: it counts only while the state still shows it.
    if (shown()) {
        EXPECT_TRUE(inOrder(texts, {"Safari", "Well done"}));
    }
    ASSERT_TRUE(eventually([&] { return !shown(); }, 5s));
    texts = drawnTexts(desktop, bundle);
    EXPECT_FALSE(contains(texts, "Well done")) << json(texts).dump();
    EXPECT_TRUE(contains(texts, "Badge panel 1: hidden")) << json(texts).dump();
}

TEST(Picture, AnAlertShowsItsMessageItsInformativeTextAndItsButtonsInOrder)
{
    DesktopServer desktop;
    fixture::Bundle bundle;
    auto host = startHost(bundle, desktop);
    ASSERT_TRUE(desktop.waitForHost(identifier)) << host->err();
    ASSERT_TRUE(eventually([&] { return DesktopServer::hostIn(desktop.state(), host->pid())["activationPolicy"] == 1; }))
        << "the menu is drawn";
    // As from the application's own menu: the user is asked.
    desktop.request({{"op", "askToQuit"}, {"host", host->pid()}});
    json alert;
    ASSERT_TRUE(eventually([&] {
        alert = DesktopServer::hostIn(desktop.state(), host->pid())["alert"];
        return alert.is_object();
    }));
    auto texts = drawnTexts(desktop, bundle);
    std::vector<std::string> wanted = {alert["messageText"], alert["informativeText"]};
    for (const auto& button : alert["buttons"])
        wanted.push_back(button);
    ASSERT_EQ(wanted.size(), 4u) << alert.dump();
    EXPECT_TRUE(inOrder(texts, wanted));

    ASSERT_FALSE(desktop.answerAlert("Cancel").contains("error"));
    EXPECT_FALSE(contains(drawnTexts(desktop, bundle), alert["messageText"])) << "answered, the alert is gone";
}

TEST(Picture, AFailedTestLeavesAPictureOfItsSessionBesideItsLogAndAPassingOneNone)
{
    char pattern[] = "/tmp/kp-XXXXXX";
    ASSERT_TRUE(mkdtemp(pattern));
    const std::string folder = pattern;
    struct Case {
        std::string test;
        bool fails;
    };
    for (const auto& c : std::vector<Case>{{"FailingSession.FailsWithAWindowOnScreen", true}, {"FailingSession.Passes", false}}) {
        fixture::RunOptions options;
        options.arguments = {"--gtest_filter=" + c.test, "--gtest_output=xml:" + folder + "/"};
        options.timeout = 60s;
        auto run = fixture::runProgram(KESTRUNE_FAILING_SESSION, options, folder);
        const std::string picture = folder + "/" + c.test + ".png";
        EXPECT_EQ(run.status, c.fails ? 1 : 0) << run.out << run.err;
        std::string png = contentsOf(picture);
        if (c.fails) {
            EXPECT_NE(run.err.find("the session when the test failed: " + picture), std::string::npos) << run.err;
            EXPECT_EQ(sizeOfPng(png), (std::pair<uint32_t, uint32_t>{1440, 900})) << picture;
        } else {
            EXPECT_TRUE(png.empty()) << "a passing test leaves no picture";
        }
    }
    std::filesystem::remove_all(folder);
}
