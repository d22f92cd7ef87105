// Focus return through the real host and the desktop server: after a link,
// activation goes back to the application the user was in, at once or once
// the shell answers, stays on a panel the shell names until that panel's
// process ends, and is never handed to a menu-bar extra or to an application
// that has gone; every move is a line of the link log.
#include "support/desktop_server.h"
#include "support/fixture.h"
#include "support/host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

using fixture::DesktopServer;
using fixture::eventually;
using nlohmann::json;
using fixture::pidIn;
using fixture::textOf;
using namespace std::chrono_literals;

namespace {

const std::string identifier = "com.example.acme";
const std::string shellIdentifier = "com.example.acme.shell";



const json menuRows = json::array({{{"id", "hello"}, {"title", "Hello"}, {"enabled", true}}});

// A process that sleeps until the test ends it, reaped by the test.
class Sleeper {
public:
    Sleeper()
    {
        pid_ = fork();
        if (pid_ == 0) {
            for (;;)
                pause();
        }
    }
    ~Sleeper() { end(); }
    pid_t pid() const { return pid_; }
    void end()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
};

// A host whose shell draws a menu (so that the host can be activated),
// joins the session as an application of its own, and either only listens
// or, with `replies`, says {"focus":"replies"} and answers the n-th link
// once the test writes reply-n.
class FocusHost : public fixture::Host {
public:
    FocusHost(DesktopServer& desktop, bool replies)
        : desktop_(desktop)
    {
        bundle.writeInfoWithIdentifier(identifier, {{"CFBundleURLTypes", json::array({{{"CFBundleURLSchemes", {"acme"}}}})}});
        bundle.writeTestShellDescriptor("acme", {{"menu", "child"}, {"links", linkLog()}, {"opens", opensLog()}});
        bundle.installHost();
        fixture::RunOptions options;
        options.arguments = {bundle.expand("ts:pid={root}/shell.pid"), "ts:register-app=" + shellIdentifier + ":Acme shell"};
        // The declaration comes before the menu, so a drawn menu says the
        // host has taken it.
        if (replies)
            options.arguments.push_back("ts:print={\"focus\":\"replies\"}");
        options.arguments.push_back("ts:print=" + json{{"menu", menuRows}}.dump());
        options.arguments.push_back(bundle.expand(replies ? "ts:reply-links={root}" : "ts:echo=120000:{root}/heard"));
        start(desktop.withDesktop(options));
    }

    // Waits until the shell runs as an application and the menu is drawn.
    bool started()
    {
        return desktop_.waitForHost(identifier).has_value() && eventually([&] { return shell() > 0; })
            && desktop_.waitFor([&](const json& state) {
                   return DesktopServer::hostIn(state, pid())["activationPolicy"] == 1
                       && DesktopServer::applicationIn(state, shell()).is_object();
               }).has_value();
    }
    pid_t shell() const { return pidIn(file("shell.pid")); }
    std::string linkLog() const { return file("links.jsonl"); }
    std::string opensLog() const { return file("opens.jsonl"); }

    // A link from Safari; with `activate` the system brings the host forward
    // with it, as when the user follows a link.
    void link(const std::string& url, bool activate)
    {
        desktop_.ok({{"op", "getURL"}, {"url", url}, {"sender", "Safari"}, {"host", pid()}, {"activate", activate}});
    }
    // Waits until the host has acted on everything sent to it before: a URL
    // of no scheme of ours reaches only the opens log, in order.
    void settle()
    {
        const std::string url = "other://settle/" + std::to_string(++settles_);
        desktop_.getURL(url, nullptr, pid());
        ASSERT_TRUE(eventually([&] {
            auto lines = fixture::readLines(opensLog());
            return std::any_of(lines.begin(), lines.end(), [&](const json& line) { return line["url"] == url; });
        })) << process->err();
    }
    // The link-log records about focus, in order.
    std::vector<json> focusRecords() const
    {
        std::vector<json> found;
        for (const auto& line : fixture::readLines(linkLog())) {
            if (line.contains("focus"))
                found.push_back(line);
        }
        return found;
    }
    std::vector<json> focusRecords(const std::string& kind) const
    {
        auto all = focusRecords();
        std::vector<json> found;
        std::copy_if(all.begin(), all.end(), std::back_inserter(found), [&](const json& record) { return record["focus"] == kind; });
        return found;
    }
    // Waits for a record of this kind; the last one then.
    json waitForRecord(const std::string& kind)
    {
        json found;
        eventually([&] {
            auto records = focusRecords(kind);
            if (!records.empty())
                found = records.back();
            return !records.empty();
        });
        return found;
    }
    // Writes the shell's answer to its n-th link, whole.
    void reply(int n, const json& members)
    {
        const std::string path = file("reply-" + std::to_string(n));
        std::ofstream(path + ".part") << members.dump();
        std::rename((path + ".part").c_str(), path.c_str());
    }
    // Waits until the link went down the shell's pipe (a shell that replies
    // reads its links one answer at a time).
    bool delivered(const std::string& url) const
    {
        return eventually([&] {
            auto lines = fixture::readLines(linkLog());
            return std::any_of(lines.begin(), lines.end(), [&](const json& line) { return line.value("url", "") == url && line.value("delivered", false); });
        });
    }
    json record() { return DesktopServer::hostIn(desktop_.state(), pid()); }


private:
    DesktopServer& desktop_;
    int settles_ = 0;
};

// The user's browser, in front.
int64_t safariInFront(DesktopServer& desktop)
{
    auto safari = desktop.add({{"bundleIdentifier", "com.apple.Safari"},
                               {"localizedName", "Safari"},
                               {"windows", json::array({{{"bounds", {{"x", 100}, {"y", 50}, {"width", 800}, {"height", 600}}}}})}})["application"]["pid"]
                      .get<int64_t>();
    desktop.front(safari);
    return safari;
}

std::vector<std::string> keysOf(const json& record)
{
    std::vector<std::string> keys;
    for (const auto& [key, value] : record.items())
        keys.push_back(key);
    return keys;
}

} // namespace

TEST(FocusReturn, WithoutRepliesFocusGoesBackAsSoonAsTheHostIsActive)
{
    struct Case {
        const char* what;
        bool activatedWithTheLink;
        bool safariRefuses;
    } cases[] = {
        {"the link activates the host", true, false},
        {"the host is activated after the link", false, false},
        {"the previous application refuses activation", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DesktopServer desktop;
        auto safari = safariInFront(desktop);
        FocusHost host(desktop, false);
        ASSERT_TRUE(host.started()) << host.process->err();
        if (c.safariRefuses)
            desktop.refuseActivation(safari);

        host.link("acme://open/1", c.activatedWithTheLink);
        if (!c.activatedWithTheLink) {
            host.settle();
            EXPECT_TRUE(host.focusRecords().empty()) << "nothing moves while the host is not active";
            desktop.front(host.pid());
        }
        const std::string kind = c.safariRefuses ? "refused" : "returned";
        json moved = host.waitForRecord(kind);
        ASSERT_TRUE(moved.is_object()) << textOf(host.linkLog());
        EXPECT_EQ(keysOf(moved), (std::vector<std::string>{"at", "focus", "launcher", "link", "pid", "to"}));
        EXPECT_EQ(moved["link"], "acme://open/1");
        EXPECT_EQ(moved["to"], "com.apple.Safari");
        EXPECT_EQ(moved["pid"], safari);
        EXPECT_EQ(moved["launcher"], host.pid());
        host.settle();
        EXPECT_EQ(desktop.state()["front"], c.safariRefuses ? json(host.pid()) : json(safari));
        EXPECT_EQ(host.focusRecords(c.safariRefuses ? "returned" : "refused").size(), 0u);

        // The delivery's record comes first; the host's activation is
        // recorded with what was owed then.
        auto lines = fixture::readLines(host.linkLog());
        auto delivered = std::find_if(lines.begin(), lines.end(), [](const json& line) { return line.contains("delivered"); });
        auto movedAt = std::find_if(lines.begin(), lines.end(), [&](const json& line) { return line.value("focus", "") == kind; });
        EXPECT_LT(delivered, movedAt);
        auto active = host.focusRecords("launcher-active");
        ASSERT_FALSE(active.empty());
        EXPECT_EQ(keysOf(active[0]), (std::vector<std::string>{"answered", "at", "childReplies", "focus", "launcher", "link", "owed", "previous"}));
        EXPECT_EQ(active[0]["previous"], "com.apple.Safari");
        EXPECT_EQ(active[0]["childReplies"], false);
        EXPECT_EQ(active[0]["link"], "acme://open/1");
        EXPECT_EQ(active[0]["owed"], !c.activatedWithTheLink) << "given back on arrival when the host was active already";
        EXPECT_EQ(host.focusRecords(kind).size(), 1u);
    }
}

TEST(FocusReturn, AShellThatRepliesHoldsFocusUntilItAnswersTheLatestLink)
{
    DesktopServer desktop;
    auto safari = safariInFront(desktop);
    FocusHost host(desktop, true);
    ASSERT_TRUE(host.started()) << host.process->err();
    const pid_t shell = host.shell();

    host.link("acme://one", true);
    ASSERT_TRUE(host.delivered("acme://one"));
    // The host lets the shell take activation while it works on the link.
    ASSERT_TRUE(eventually([&] {
        auto yields = host.record()["yields"];
        return std::find(yields.begin(), yields.end(), json(shell)) != yields.end();
    }));
    host.link("acme://two", false);
    ASSERT_TRUE(host.delivered("acme://two"));
    host.settle();
    EXPECT_EQ(desktop.state()["front"], host.pid()) << "held until the answer";
    EXPECT_TRUE(host.focusRecords("returned").empty());

    // The answer to the older link is stale: had it counted, its panel would
    // have kept focus and the next answer could not give it back.
    host.reply(1, {{"focus", "panel"}});
    host.reply(2, json::object());
    json returned = host.waitForRecord("returned");
    ASSERT_TRUE(returned.is_object()) << textOf(host.linkLog()) << host.process->err();
    EXPECT_EQ(returned["link"], "acme://two");
    EXPECT_EQ(returned["to"], "com.apple.Safari");
    host.settle();
    EXPECT_TRUE(host.focusRecords("kept").empty()) << textOf(host.linkLog());
    EXPECT_EQ(host.focusRecords("returned").size(), 1u);
    EXPECT_EQ(desktop.state()["front"], safari);
    auto active = host.focusRecords("launcher-active");
    ASSERT_FALSE(active.empty());
    EXPECT_EQ(active[0]["childReplies"], true);
    EXPECT_EQ(active[0]["answered"], false);
}

TEST(FocusReturn, APanelKeepsFocusUntilItsProcessEnds)
{
    struct Case {
        const char* what;
        bool panelRefuses;
    } cases[] = {
        {"the panel's application takes activation", false},
        {"the panel's application refuses it", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DesktopServer desktop;
        auto safari = safariInFront(desktop);
        Sleeper panelProcess;
        auto panel = desktop.add({{"pid", panelProcess.pid()},
                                  {"bundleIdentifier", "com.example.acme.panel"},
                                  {"activationPolicy", "accessory"},
                                  {"refusesActivation", c.panelRefuses},
                                  {"windows", json::array({{{"bounds", {{"x", 10}, {"y", 10}, {"width", 300}, {"height", 200}}}, {"layer", 3}}})}});
        ASSERT_FALSE(panel.contains("error")) << panel.dump();
        FocusHost host(desktop, true);
        ASSERT_TRUE(host.started()) << host.process->err();

        host.link("acme://panel", true);
        ASSERT_TRUE(host.delivered("acme://panel"));
        host.reply(1, {{"focus", "panel"}, {"panel", panelProcess.pid()}});
        json kept = host.waitForRecord("kept");
        ASSERT_TRUE(kept.is_object()) << textOf(host.linkLog());
        EXPECT_EQ(keysOf(kept), (std::vector<std::string>{"activated", "at", "focus", "launcher", "link"}));
        EXPECT_EQ(kept["link"], "acme://panel");
        EXPECT_EQ(kept["activated"], !c.panelRefuses);
        EXPECT_EQ(desktop.state()["front"], c.panelRefuses ? json(host.pid()) : json(panelProcess.pid()));

        // The user comes back to the host while the panel is up: nothing is
        // owed, nothing moves.
        if (!c.panelRefuses)
            desktop.front(host.pid());
        host.settle();
        EXPECT_TRUE(host.focusRecords("returned").empty());
        // The panel's process ends: focus goes back to where the user was.
        panelProcess.end();
        json returned = host.waitForRecord("returned");
        ASSERT_TRUE(returned.is_object()) << textOf(host.linkLog());
        EXPECT_EQ(returned["to"], "com.apple.Safari");
        EXPECT_EQ(returned["pid"], safari);
        host.settle();
        EXPECT_EQ(desktop.state()["front"], safari);
    }
}

TEST(FocusReturn, MovingOnAfterTheLinkCancelsTheReturn)
{
    struct Case {
        const char* what;
        const char* previous;   // in the host's record once it is active
        std::function<void(DesktopServer&, FocusHost&)> moveOn;
    } cases[] = {
        {"the user activates another application", "com.apple.Notes",
         [](DesktopServer& desktop, FocusHost&) { desktop.front("Notes"); }},
        {"the user opens the application again (its menu pops up)", "com.apple.Safari",
         [](DesktopServer& desktop, FocusHost& host) {
             desktop.request({{"op", "reopen"}, {"host", host.pid()}});
             ASSERT_TRUE(eventually([&] { return host.record()["popUp"].is_object(); }));
             desktop.dismiss(host.pid());
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DesktopServer desktop;
        safariInFront(desktop);
        desktop.add({{"bundleIdentifier", "com.apple.Notes"}, {"localizedName", "Notes"}});
        FocusHost host(desktop, false);
        ASSERT_TRUE(host.started()) << host.process->err();

        host.link("acme://later", false);
        host.settle();
        c.moveOn(desktop, host);
        host.settle();
        desktop.front(host.pid());
        json active = host.waitForRecord("launcher-active");
        ASSERT_TRUE(active.is_object());
        EXPECT_EQ(active["owed"], false);
        EXPECT_EQ(active["previous"], c.previous);
        EXPECT_EQ(active["link"], "acme://later");
        host.settle();
        EXPECT_EQ(desktop.state()["front"], host.pid());
        EXPECT_TRUE(host.focusRecords("returned").empty()) << textOf(host.linkLog());
    }
}

TEST(FocusReturn, OnlyAnApplicationTheUserWorksInBecomesTheOneToReturnTo)
{
    struct Case {
        const char* what;
        json application;
        bool becomesPrevious;
    } cases[] = {
        {"a menu-bar extra without windows", json::parse(R"({"activationPolicy": "accessory"})"), false},
        {"a menu-bar extra with a window at the status level",
         json::parse(R"({"activationPolicy": "accessory",
                         "windows": [{"bounds": {"x": 1300, "y": 0, "width": 24, "height": 24}, "layer": 25}]})"),
         false},
        {"an accessory with a window below the status level",
         json::parse(R"({"activationPolicy": "accessory",
                         "windows": [{"bounds": {"x": 10, "y": 10, "width": 300, "height": 200}, "layer": 3}]})"),
         true},
        {"a regular application without windows", json::object(), true},
    };
    DesktopServer desktop;
    auto safari = safariInFront(desktop);
    FocusHost host(desktop, false);
    ASSERT_TRUE(host.started()) << host.process->err();
    int n = 0;
    for (auto c : cases) {
        SCOPED_TRACE(c.what);
        c.application["bundleIdentifier"] = "com.example.other-" + std::to_string(++n);
        auto other = desktop.add(c.application)["application"]["pid"];
        desktop.front(safari);
        desktop.front(other);
        const std::string url = "acme://case/" + std::to_string(n);
        host.link(url, true);
        json returned;
        ASSERT_TRUE(eventually([&] {
            auto records = host.focusRecords("returned");
            returned = records.empty() ? json() : records.back();
            return returned.is_object() && returned["link"] == url;
        })) << textOf(host.linkLog());
        EXPECT_EQ(returned["pid"], c.becomesPrevious ? other : json(safari));
        desktop.quit(other);
    }
}

TEST(FocusReturn, APreviousApplicationThatHasGoneIsNotActivated)
{
    DesktopServer desktop;
    auto safari = safariInFront(desktop);
    FocusHost host(desktop, false);
    ASSERT_TRUE(host.started()) << host.process->err();
    host.settle();
    desktop.quit(safari);
    // Another application of the same kind comes up with another process.
    desktop.add({{"bundleIdentifier", "com.apple.Safari"}, {"localizedName", "Safari"}});

    host.link("acme://nobody", true);
    ASSERT_TRUE(host.delivered("acme://nobody"));
    host.settle();
    EXPECT_TRUE(host.focusRecords("returned").empty());
    EXPECT_TRUE(host.focusRecords("refused").empty());
    EXPECT_EQ(host.record()["activations"], json::array()) << "nothing was asked to activate";
    EXPECT_EQ(desktop.state()["front"], host.pid());
    EXPECT_FALSE(host.process->ended());
}
