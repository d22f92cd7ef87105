// The shell's panels through the real host, the views library built here and
// the desktop server: calls reaching the library in order, names and calls
// it ignores, missing entry points recorded, what the user does coming back
// as "act", and every panel closed when the shell ends.
#include "support/desktop_server.h"
#include "support/fixture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <sstream>

using fixture::DesktopServer;
using fixture::eventually;
using nlohmann::json;
using fixture::textOf;
using namespace std::chrono_literals;

namespace {

const std::string identifier = "com.example.acme";


std::string panelLine(json panel)
{
    return "ts:print=" + json({{"panel", panel}}).dump();
}

json callsOf(const json& record, const std::string& panel)
{
    for (const auto& view : record.value("viewPanels", json::array())) {
        if (view["name"] == panel)
            return view["calls"];
    }
    return json::array();
}

std::vector<std::string> callNames(const json& calls)
{
    std::vector<std::string> names;
    for (const auto& call : calls)
        names.push_back(call["call"]);
    return names;
}

} // namespace

TEST(Panels, CallsReachTheLibraryAndActionsReachTheShell)
{
    DesktopServer desktop;
    fixture::Bundle bundle;
    const std::string records = bundle.root() + "/records.jsonl";
    bundle.writeInfoWithIdentifier(identifier, {{"CFBundleURLTypes", json::array({{{"CFBundleURLSchemes", {"acme"}}}})}});
    bundle.writeTestShellDescriptor("acme", {{"panel", "host"}, {"log", records}});
    bundle.writeFile("Contents/Frameworks/libViews.dylib", textOf(KESTRUNE_VIEWS_LIBRARY), true);
    bundle.installHost();
    fixture::RunOptions options;
    options.arguments = {
        panelLine({{"name", "settings"}, {"call", "open"}, {"look", "first"}}),
        panelLine({{"name", "settings"}, {"call", "update"}, {"look", "second"}}),
        panelLine({{"name", "about"}, {"call", "prepare"}}),                       // no look: an empty one
        panelLine({{"name", "set-tings"}, {"call", "open"}}),                      // names: letters and "_" only
        panelLine({{"name", "settings2"}, {"call", "open"}}),
        panelLine({{"name", "about.x"}, {"call", "open"}}),
        panelLine({{"name", 7}, {"call", "open"}}),
        panelLine({{"name", "settings"}, {"call", "hide"}}),                       // no such entry point
        panelLine({{"name", "missing"}, {"call", "open"}, {"look", "x"}}),         // nor here
        panelLine({{"name", "welcome"}, {"call", "close"}}),
        "ts:echo=60000:{root}/heard"};
    for (auto& argument : options.arguments)
        argument = bundle.expand(argument);
    auto host = fixture::startHost(bundle, desktop.withDesktop(options));
    ASSERT_TRUE(desktop.waitForHost(identifier)) << host->err();

    auto record = [&] { return DesktopServer::hostIn(desktop.state(), host->pid()); };
    ASSERT_TRUE(eventually([&] { return callNames(callsOf(record(), "welcome")) == std::vector<std::string>{"close"}; }))
        << record().dump();
    const json first = record();
    EXPECT_EQ(callsOf(first, "settings"), json::parse(R"([{"call":"open","look":"first"},{"call":"update","look":"second"}])"));
    EXPECT_EQ(callsOf(first, "about"), json::parse(R"([{"call":"prepare","look":""}])"));
    EXPECT_EQ(first["viewPanels"].size(), 3u) << first["viewPanels"].dump();

    // One record for each missing entry point, none for the names ignored.
    auto missing = [&] {
        std::vector<json> found;
        for (const auto& line : fixture::readLines(records))
            if (line.value("kind", "") == "panel-entry-missing")
                found.push_back(line);
        return found;
    };
    ASSERT_TRUE(eventually([&] { return missing().size() == 2; })) << textOf(records);
    EXPECT_EQ(missing()[0]["entry"], "settings_hide");
    EXPECT_EQ(missing()[1]["entry"], "missing_open");
    EXPECT_EQ(missing()[1]["views"], bundle.path() + "/Contents/Frameworks/libViews.dylib");
    EXPECT_NE(missing()[1]["error"].get<std::string>().find("missing_open"), std::string::npos) << missing()[1].dump();

    // The user acts in the panel: the library's own thread hands it to the
    // host, the shell hears it.
    EXPECT_FALSE(desktop.request({{"op", "panelAct"}, {"host", host->pid()}, {"panel", "settings"}, {"text", "saved"}}).contains("error"));
    const std::string heard = bundle.root() + "/heard";
    ASSERT_TRUE(eventually([&] {
        auto lines = fixture::readLines(heard);
        return std::find(lines.begin(), lines.end(), json{{"act", "saved"}}) != lines.end();
    })) << textOf(heard);

    // The shell ends (a swap): every panel it prepared or opened is closed
    // before the next shell starts, which opens them again.
    host->signal(SIGHUP);
    ASSERT_TRUE(eventually([&] { return callNames(callsOf(record(), "settings")).size() >= 5; }, 20s)) << record().dump();
    EXPECT_EQ(callNames(callsOf(record(), "settings")), (std::vector<std::string>{"open", "update", "close", "open", "update"}));
    EXPECT_EQ(callNames(callsOf(record(), "about")), (std::vector<std::string>{"prepare", "close", "prepare"}));
    EXPECT_EQ(callNames(callsOf(record(), "welcome")), (std::vector<std::string>{"close", "close"}));
    EXPECT_TRUE(eventually([&] { return missing().size() == 4; }));
}

TEST(Panels, ALibraryThatCannotBeLoadedIsRecordedOncePerCall)
{
    struct Case {
        const char* what;
        std::function<void(fixture::Bundle&)> make;
        bool error;
    };
    const Case cases[] = {
        {"no library", [](fixture::Bundle&) {}, true},
        {"not a library", [](fixture::Bundle& b) { b.writeFile("Contents/Frameworks/libViews.dylib", "#!/bin/sh\n", true); }, true},
        {"a folder", [](fixture::Bundle& b) { b.writeFile("Contents/Frameworks/libViews.dylib/x", ""); }, true},
        {"a FIFO", [](fixture::Bundle& b) { mkdir(b.contents("Frameworks").c_str(), 0755); mkfifo(b.contents("Frameworks/libViews.dylib").c_str(), 0644); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DesktopServer desktop;
        fixture::Bundle bundle;
        const std::string records = bundle.root() + "/records.jsonl";
        bundle.writeInfoWithIdentifier(identifier, {{"CFBundleURLTypes", json::array({{{"CFBundleURLSchemes", {"acme"}}}})}});
        bundle.writeTestShellDescriptor("acme", {{"panel", "host"}, {"log", records}});
        c.make(bundle);
        bundle.installHost();
        fixture::RunOptions options;
        options.arguments = {panelLine({{"name", "settings"}, {"call", "open"}}), panelLine({{"name", "settings"}, {"call", "close"}}),
                             "ts:echo=60000:/dev/null"};
        auto host = fixture::startHost(bundle, desktop.withDesktop(options));
        ASSERT_TRUE(desktop.waitForHost(identifier)) << host->err();
        auto missing = [&] {
            std::vector<json> found;
            for (const auto& line : fixture::readLines(records))
                if (line.value("kind", "") == "panel-entry-missing")
                    found.push_back(line);
            return found;
        };
        ASSERT_TRUE(eventually([&] { return missing().size() == 2; })) << textOf(records) << host->err();
        EXPECT_EQ(missing()[0]["entry"], "settings_open");
        EXPECT_EQ(missing()[1]["entry"], "settings_close");
        EXPECT_NE(missing()[0]["error"], "");
        EXPECT_FALSE(host->ended());
    }
}
