// The updater of a frozen shell through the real host, the views library
// built here and the desktop server: its start, its two rows at the foot of
// the menu in either language, their picks, and the update-check signal.
#include "support/desktop_server.h"
#include "support/fixture.h"
#include "support/host.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>

using fixture::DesktopServer;
using fixture::eventually;
using nlohmann::json;
using fixture::textOf;
using namespace std::chrono_literals;

namespace {

const std::string identifier = "com.example.acme";
const std::string feedURL = "https://updates.example.com/acme.xml";


struct UpdaterSetup {
    bool frozen = true;
    json feed = feedURL;
    bool library = true;
    std::string language = "en_US.UTF-8";
    int startCode = 0;
    int checkCode = 0;
};

// A bundle whose shell draws a one-row menu and then waits.
class UpdaterHost : public fixture::Host {
public:
    UpdaterHost(DesktopServer& desktop, const UpdaterSetup& setup)
        : desktop_(desktop)
    {
        json info = {{"CFBundleURLTypes", json::array({{{"CFBundleURLSchemes", {"acme"}}}})}, {"CFBundleVersion", "7"}};
        if (!setup.feed.is_null())
            info["SUFeedURL"] = setup.feed;
        bundle.writeInfoWithIdentifier(identifier, info);
        json descriptor = {{"menu", "child"}, {"log", records()}};
        if (setup.frozen) {
            descriptor["executable"] = "Shell";
            bundle.writeDescriptor("acme", descriptor);
            bundle.installTestShell("Contents/MacOS/Shell");
        } else {
            bundle.writeTestShellDescriptor("acme", descriptor);
        }
        if (setup.library)
            bundle.writeFile("Contents/Frameworks/libViews.dylib", textOf(KESTRUNE_VIEWS_LIBRARY), true);
        bundle.installHost();
        fixture::RunOptions options;
        options.environment["LANG"] = setup.language;
        options.environment["KESTRUNE_VIEWS_START_CODE"] = std::to_string(setup.startCode);
        options.environment["KESTRUNE_VIEWS_CHECK_CODE"] = std::to_string(setup.checkCode);
        // The menu comes once the updater has had its start, which runs as
        // soon as the host's main loop does.
        options.arguments = {"ts:sleep=300", "ts:print={\"menu\":[{\"kind\":\"header\",\"title\":\"Acme\"},{\"id\":\"open\",\"title\":\"Open\",\"enabled\":true}]}",
                             "ts:echo=60000:" + bundle.root() + "/heard"};
        start(desktop.withDesktop(options));
    }

    std::string records() const { return bundle.root() + "/records.jsonl"; }
    std::vector<json> recordsOf(const std::string& kind) const
    {
        std::vector<json> found;
        for (const auto& record : fixture::readLines(records())) {
            if (record.value("kind", "") == kind)
                found.push_back(record);
        }
        return found;
    }
    // The drawn menu's items, once there are `count` of them.
    json items(std::size_t count)
    {
        json found;
        eventually([&] {
            const json record = DesktopServer::hostIn(desktop_.state(), process->pid());
            if (!record.is_object() || record["statusItems"].empty() || !record["statusItems"][0]["menu"].is_object())
                return false;
            found = record["statusItems"][0]["menu"]["items"];
            return found.size() == count;
        });
        return found;
    }
    json record() { return DesktopServer::hostIn(desktop_.state(), process->pid()); }


private:
    DesktopServer& desktop_;
};

} // namespace

TEST(Updater, StartsWithTheFeedAndOffersItsTwoRows)
{
    struct Case {
        const char* what;
        std::string language;
        std::string checkTitle;
    };
    const Case cases[] = {
        {"English", "en_US.UTF-8", "Check for Updates\u2026"},
        {"Turkish", "tr_TR.UTF-8", "G\u00FCncellemeleri Denetle\u2026"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DesktopServer desktop;
        UpdaterHost host(desktop, {.language = c.language, .checkCode = 5});
        ASSERT_TRUE(desktop.waitForHost(identifier)) << host.process->err();
        ASSERT_TRUE(eventually([&] { return !host.recordsOf("updater-started").empty(); })) << textOf(host.records());
        const json started = host.recordsOf("updater-started")[0];
        EXPECT_EQ(started["code"], 0);
        EXPECT_EQ(started["feed"], feedURL);
        EXPECT_EQ(started["build"], "7");
        EXPECT_EQ(started["pid"], host.process->pid());

        // The shell's two rows, a separator and the updater's two.
        json items = host.items(5);
        ASSERT_EQ(items.size(), 5u) << items.dump();
        EXPECT_EQ(items[2]["separator"], true);
        EXPECT_EQ(items[3]["title"], c.checkTitle);
        EXPECT_EQ(items[3]["identifier"], "menu-row:check-for-updates");
        EXPECT_EQ(items[3]["representedObject"], "host.check-for-updates");
        EXPECT_EQ(items[3]["image"]["symbol"], "arrow.down.circle");
        EXPECT_EQ(items[4]["title"], "Built with Kestrune");
        EXPECT_EQ(items[4]["identifier"], "menu-row:built-with-kestrune");
        EXPECT_EQ(items[4]["enabled"], true);
        EXPECT_EQ(items[4]["image"]["symbol"], "sparkles");
    }
}

TEST(Updater, PicksAndTheSignalAskTheUpdaterNotTheShell)
{
    DesktopServer desktop;
    UpdaterHost host(desktop, {.checkCode = 5});
    ASSERT_TRUE(desktop.waitForHost(identifier)) << host.process->err();
    ASSERT_TRUE(eventually([&] { return !host.recordsOf("updater-started").empty(); }));
    ASSERT_EQ(host.items(5).size(), 5u);

    EXPECT_FALSE(desktop.pick("Check for Updates\u2026").contains("error"));
    ASSERT_TRUE(eventually([&] { return host.recordsOf("update-check").size() == 1; })) << textOf(host.records());
    EXPECT_EQ(host.recordsOf("update-check")[0]["code"], 5);
    EXPECT_EQ(host.recordsOf("update-check")[0]["from"], "menu");

    EXPECT_FALSE(desktop.pick("Built with Kestrune").contains("error"));
    ASSERT_TRUE(eventually([&] { return !host.record()["openedURLs"].empty(); }));
    EXPECT_EQ(host.record()["openedURLs"][0]["url"], "https://kestrune.dev");

    // The signal brings a menu-bar-only application forward first.
    host.process->signal(SIGPWR);
    ASSERT_TRUE(eventually([&] { return host.recordsOf("update-check").size() == 2; })) << textOf(host.records());
    EXPECT_EQ(host.recordsOf("update-check")[1]["from"], "shell");
    EXPECT_EQ(DesktopServer::applicationIn(desktop.state(), host.process->pid())["activationPolicy"], 1);
    EXPECT_TRUE(eventually([&] { return desktop.state()["front"] == host.process->pid(); }));

    // The shell heard none of it.
    EXPECT_TRUE(fixture::readLines(host.bundle.root() + "/heard").empty()) << textOf(host.bundle.root() + "/heard");
}

TEST(Updater, WithoutAStartedUpdaterTheRowStaysDisabledAndTheSignalIsRecorded)
{
    struct Case {
        const char* what;
        UpdaterSetup setup;
        bool rows;
        std::string failure;   // the kind of the start's record, if any
    };
    const Case cases[] = {
        {"a shell that is not frozen", {.frozen = false}, false, ""},
        {"an empty feed", {.feed = ""}, false, ""},
        {"a feed that is no string", {.feed = 3}, false, ""},
        {"a start that fails", {.startCode = 3}, true, "updater-failed"},
        {"no views library", {.library = false}, true, "updater-failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DesktopServer desktop;
        UpdaterHost host(desktop, c.setup);
        ASSERT_TRUE(desktop.waitForHost(identifier)) << host.process->err();
        json items = host.items(c.rows ? 5 : 2);
        ASSERT_EQ(items.size(), c.rows ? 5u : 2u) << items.dump();
        if (c.rows) {
            EXPECT_EQ(items[3]["enabled"], false);
            EXPECT_EQ(items[4]["enabled"], true);
            ASSERT_TRUE(eventually([&] { return !host.recordsOf(c.failure).empty(); })) << textOf(host.records());
            const json failed = host.recordsOf(c.failure)[0];
            if (c.setup.library) {
                EXPECT_EQ(failed["code"], 3);
            } else {
                EXPECT_EQ(failed["why"], "symbol-missing");
                EXPECT_EQ(failed["views"], host.bundle.path() + "/Contents/Frameworks/libViews.dylib");
                EXPECT_NE(failed["error"], "");
            }
        }
        host.process->signal(SIGPWR);
        ASSERT_TRUE(eventually([&] { return !host.recordsOf("update-check-ignored").empty(); })) << textOf(host.records());
        const json ignored = host.recordsOf("update-check-ignored")[0];
        EXPECT_EQ(ignored["from"], "shell");
        EXPECT_EQ(ignored["started"], false);
        EXPECT_EQ(ignored["feed"], c.rows ? json(feedURL) : json(nullptr));
        EXPECT_TRUE(host.recordsOf("updater-started").empty());
        EXPECT_TRUE(host.recordsOf("update-check").empty());
    }
}
