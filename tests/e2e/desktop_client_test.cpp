// The client commands of kestrune-desktop, run as a person runs them: each
// changes the server's session or plays the user or the system, and says
// what it did as JSON on standard output.
#include "support/desktop_server.h"

#include <gtest/gtest.h>

#include <future>
#include <unistd.h>

using fixture::DesktopServer;
using fixture::ProtocolPeer;
using fixture::Run;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

json outputOf(const Run& run)
{
    auto parsed = json::parse(run.out, nullptr, false);
    EXPECT_FALSE(parsed.is_discarded()) << run.out;
    return parsed;
}

int64_t pidNamed(const json& state, const std::string& bundle)
{
    for (const auto& application : state["applications"]) {
        if (application["bundleIdentifier"] == bundle)
            return application["pid"].get<int64_t>();
    }
    return -1;
}

} // namespace

TEST(DesktopClient, SessionCommandsChangeTheSession)
{
    DesktopServer server;
    struct Step {
        std::vector<std::string> arguments;
        std::function<void(const json& state, const json& output)> check;
    };
    std::vector<Step> steps = {
        {{"add", "--bundle", "com.apple.Safari", "--name", "Safari", "--window", "100,50,800,600", "--window", "0,0,10,10@3:offscreen"},
         [](const json& state, const json& output) {
             EXPECT_EQ(output["application"]["localizedName"], "Safari");
             ASSERT_EQ(state["applications"].size(), 1u);
             const auto& windows = state["applications"][0]["windows"];
             ASSERT_EQ(windows.size(), 2u);
             EXPECT_EQ(windows[1]["layer"], 3);
             EXPECT_FALSE(windows[1]["onScreen"].get<bool>());
             EXPECT_EQ(state["windowList"].size(), 1u);
         }},
        {{"launch", "--bundle", "com.apple.Terminal", "--name", "Terminal", "--policy", "accessory", "--path", "/Applications/Terminal.app",
          "--window", "10,10,300,200"},
         [](const json& state, const json&) {
             ASSERT_EQ(state["applications"].size(), 2u);
             EXPECT_EQ(state["applications"][1]["activationPolicy"], 1);
             EXPECT_EQ(state["applications"][1]["bundlePath"], "/Applications/Terminal.app");
         }},
        {{"front", "Safari"}, [](const json& state, const json&) { EXPECT_EQ(state["front"], pidNamed(state, "com.apple.Safari")); }},
        {{"hide", "com.apple.Safari"},
         [](const json& state, const json&) {
             EXPECT_TRUE(state["applications"][0]["hidden"].get<bool>());
             EXPECT_TRUE(state["front"].is_null()) << "an accessory does not take the front when another hides";
         }},
        {{"unhide", "Safari"}, [](const json& state, const json&) { EXPECT_FALSE(state["applications"][0]["hidden"].get<bool>()); }},
        {{"windows", "Terminal", "1,2,3,4@0", "5,6,7,8@-20:desktop"},
         [](const json& state, const json& output) {
             EXPECT_EQ(state["applications"][1]["windows"].size(), 2u);
             EXPECT_TRUE(state["applications"][1]["windows"][1]["desktopElement"].get<bool>());
             EXPECT_EQ(output["windowList"].size(), 2u) << "the desktop element is not listed";
         }},
        {{"screens", "0,0,1920,1080", "-1440,0,1440,900@7"},
         [](const json& state, const json&) {
             ASSERT_EQ(state["screens"].size(), 2u);
             EXPECT_EQ(state["screens"][0]["display"], 1);
             EXPECT_EQ(state["screens"][1]["display"], 7);
             EXPECT_EQ(state["screens"][1]["frame"]["x"], -1440);
         }},
        {{"reconfigure", "0,0,2560,1440"},
         [](const json& state, const json& output) {
             EXPECT_EQ(state["screens"].size(), 1u);
             // Begin for both displays, then display 1's new mode and display 7's removal.
             EXPECT_EQ(output["changes"], (json{{{"display", 1}, {"flags", 1}},
                                                {{"display", 7}, {"flags", 1}},
                                                {{"display", 1}, {"flags", 8 | 4096}},
                                                {{"display", 7}, {"flags", 32 | 512 | 4096}}}));
         }},
        {{"mouse", "10", "20.5"}, [](const json& state, const json&) { EXPECT_EQ(state["mouse"], (json{{"x", 10}, {"y", 20.5}})); }},
        {{"keyboard", "ISO"}, [](const json& state, const json&) { EXPECT_EQ(state["keyboardLayoutType"], "ISO"); }},
        {{"refuse-activation", "Terminal"},
         [](const json& state, const json&) { EXPECT_EQ(state["refusesActivation"], json::array({pidNamed(state, "com.apple.Terminal")})); }},
        {{"refuse-activation", "Terminal", "--allow"}, [](const json& state, const json&) { EXPECT_TRUE(state["refusesActivation"].empty()); }},
        {{"refuse-hotkey", "⌘§", "-9870"},
         [](const json& state, const json&) {
             // On an ISO keyboard § is the key left of 1, code 10.
             EXPECT_EQ(state["refusedHotKeys"], (json{{{"code", 10}, {"modifiers", 256}, {"status", -9870}}}));
         }},
        {{"refuse-hotkey", "10:256", "0"}, [](const json& state, const json&) { EXPECT_TRUE(state["refusedHotKeys"].empty()); }},
        {{"missing-symbols", "sparkles", "star"},
         [](const json& state, const json&) { EXPECT_EQ(state["missingSymbols"], (json{"sparkles", "star"})); }},
        {{"send", R"({"op":"frontmostApplication"})"},
         [](const json&, const json& output) { EXPECT_TRUE(output["application"].is_null()) << "unhiding does not activate"; }},
        {{"quit", "Terminal"},
         [](const json& state, const json& output) {
             EXPECT_EQ(state["applications"].size(), 1u);
             EXPECT_EQ(output["application"]["bundleIdentifier"], "com.apple.Terminal");
         }},
        {{"log", "--since", "1"}, [](const json&, const json& output) { EXPECT_GE(output["records"].size(), 15u); }},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(json(step.arguments).dump());
        auto run = server.client(step.arguments);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        step.check(server.state(), outputOf(run));
    }

    // "state" prints the state itself, on one line or indented.
    auto state = server.client({"state"});
    EXPECT_EQ(outputOf(state)["applications"], server.state()["applications"]);
    auto pretty = server.client({"--pretty", "state"});
    EXPECT_GT(std::count(pretty.out.begin(), pretty.out.end(), '\n'), 20);
}

TEST(DesktopClient, ItSaysWhatWentWrongWithItsExitStatus)
{
    DesktopServer server;
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string error;
    };
    std::vector<Case> cases = {
        {{"quit", "Nobody"}, 1, "kestrune-desktop: no application \"Nobody\"\n"},
        {{"pick", "Row"}, 1, "kestrune-desktop: no host is connected\n"},
        {{"wait-host", "--bundle", "com.example.none", "--within", "50"}, 1, "kestrune-desktop: no such host connected within 50 ms\n"},
        {{"frobnicate"}, 2, "kestrune-desktop: unknown command frobnicate\n"},
        {{"add", "--window", "1,2,3"}, 2, "kestrune-desktop: a window is X,Y,WIDTH,HEIGHT, not \"1,2,3\"\n"},
        {{"mouse", "1"}, 2, "kestrune-desktop: usage: kestrune-desktop mouse X Y\n"},
        {{"add", "--colour", "red"}, 2, "kestrune-desktop: unknown option --colour\n"},
        {{"pick"}, 2, "kestrune-desktop: pick needs a ROW or --path\n"},
        {{"send", "[1]"}, 2, "kestrune-desktop: send takes one JSON object\n"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(json(test.arguments).dump());
        auto run = server.client(test.arguments);
        EXPECT_EQ(run.status, test.status);
        EXPECT_EQ(run.err, test.error);
        EXPECT_EQ(run.out, "");
    }
    fixture::RunOptions options;
    options.arguments = {"--socket", "/tmp/kd-no-such-folder/desktop.sock", "state"};
    auto unreachable = fixture::runProgram(fixture::desktopServerBinary(), options, "/tmp");
    EXPECT_EQ(unreachable.status, 3);
    EXPECT_NE(unreachable.err.find("cannot reach the desktop server at /tmp/kd-no-such-folder/desktop.sock"), std::string::npos)
        << unreachable.err;
}

TEST(DesktopClient, UserAndSystemCommandsReachTheHost)
{
    DesktopServer server;
    ProtocolPeer host(server.socket());
    ASSERT_TRUE(host.helloAs("host", 700100, "com.example.acme"));
    ASSERT_TRUE(host.request({{"op", "registerHotKey"}, {"code", 40}, {"modifiers", 6144}, {"signature", 1265322059}, {"hotKeyId", 2}}));
    json item = {{"button", {{"title", "Acme"}}},
                 {"menu", {{"items", json::array({{{"title", "Hello"}, {"action", true}, {"representedObject", "hello"}}})}}}};
    ASSERT_TRUE(host.request({{"op", "statusItem"}, {"item", 1}, {"state", item}}));
    auto safari = server.add({{"bundleIdentifier", "com.apple.Safari"}, {"name", "Safari"}})["application"]["pid"];

    struct Case {
        std::vector<std::string> arguments;
        std::vector<json> events;   // what the host receives, asks without their number
    };
    char folder[4096];
    ASSERT_TRUE(getcwd(folder, sizeof folder));
    const std::string here = folder;
    std::vector<Case> cases = {
        {{"press", "⌃⌥K"}, {{{"event", "hotKey"}, {"signature", 1265322059}, {"hotKeyId", 2}}}},
        {{"open-menu"}, {{{"event", "menuWillOpen"}, {"item", 1}}}},
        {{"pick", "--host", "com.example.acme", "Hello"}, {{{"event", "menuPick"}, {"item", 1}, {"path", {0}}}}},
        {{"get-url", "--sender", "Safari", "acme://open"}, {{{"event", "getURL"}, {"url", "acme://open"}, {"sender", safari}}}},
        {{"get-url"}, {{{"event", "getURL"}, {"url", nullptr}, {"sender", nullptr}}}},
        // A process that is no application of the session: its id goes as it
        // is, for the host to look the process up itself.
        {{"get-url", "--sender", std::to_string(getpid()), "acme://open"},
         {{{"event", "getURL"}, {"url", "acme://open"}, {"sender", getpid()}}}},
        {{"open-urls", "--sender", "1", "acme://a", "acme://b"},
         {{{"event", "openURLs"}, {"urls", {"acme://a", "acme://b"}}, {"appleEvent", {{"sender", 1}, {"reason", nullptr}}}}}},
        // Paths become file URLs, made absolute against the client's folder.
        {{"open-files", "--sender", "Safari", "/tmp/one.acmelink", "two words.acmelink"},
         {{{"event", "openURLs"},
           {"urls", {"file:///tmp/one.acmelink", "file://" + here + "/two%20words.acmelink"}},
           {"appleEvent", {{"sender", safari}, {"reason", nullptr}}}}}},
        {{"reopen", "--host", "700100"}, {{{"event", "reopen"}, {"appleEvent", nullptr}}}},
        {{"ask-quit", "--reason", "shut", "--sender", "Safari"}, {{{"event", "quit"}, {"appleEvent", {{"sender", safari}, {"reason", "shut"}}}}}},
        {{"ask-quit", "--apple-event"}, {{{"event", "quit"}, {"appleEvent", {{"sender", nullptr}, {"reason", nullptr}}}}}},
        {{"service", "--user-data", "import", "/tmp/one.txt", "/tmp/two words.txt"},
         {{{"event", "services"},
           {"message", "openFiles"},
           {"userData", "import"},
           {"pasteboard", {"file:///tmp/one.txt", "file:///tmp/two%20words.txt"}}}}},
        {{"reconfigure", "0,0,1440,900@1", "1440,0,1920,1080@2"},
         {{{"event", "displays"}, {"changes", {{{"display", 2}, {"flags", 1}}, {{"display", 2}, {"flags", 16 | 256 | 4096}}}}}}},
        {{"reconfigure", "--without-begin", "0,0,1440,900@1"},
         {{{"event", "displays"}, {"changes", {{{"display", 2}, {"flags", 32 | 512 | 4096}}}}}}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(json(test.arguments).dump());
        auto run = server.client(test.arguments);
        ASSERT_EQ(run.status, 0) << run.err;
        // "open-menu" before "pick" leaves the menu open: the pick opens nothing more.
        for (const auto& expected : test.events) {
            auto event = host.next();
            ASSERT_TRUE(event);
            json seen = *event;
            if (seen.contains("ask")) {
                EXPECT_EQ(outputOf(run)["ask"], seen["ask"]) << "the client is told which question it asked";
                seen.erase("ask");
            }
            EXPECT_EQ(seen, expected);
        }
    }

    // With --activate the system brings the host forward after the link, as
    // when the user follows one.
    auto activating = server.client({"get-url", "--activate", "acme://forward"});
    ASSERT_EQ(activating.status, 0) << activating.err;
    EXPECT_EQ(outputOf(activating), (json{{"activated", true}, {"host", 700100}}));
    EXPECT_EQ((*host.nextEvent("getURL"))["url"], "acme://forward");
    EXPECT_EQ((*host.nextEvent("application"))["notification"], "didBecomeActive");
    EXPECT_EQ((*host.nextEvent("workspace"))["notification"], "didActivateApplication");
    EXPECT_EQ(server.state()["front"], 700100);

    // A sender that cannot be a process id, or a name the session does not
    // know, is refused and reaches no host (the next line the host reads
    // below is the answer to its alert).
    const std::vector<std::pair<std::string, std::string>> wrongSenders = {
        {"0", "a sender's process id must be a positive 32-bit number"},
        {"Nobody", "no application \"Nobody\""},
    };
    for (const auto& [sender, error] : wrongSenders) {
        auto run = server.client({"get-url", "--sender", sender, "acme://open"});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "kestrune-desktop: " + error + "\n");
    }
    EXPECT_EQ(server.getURL("acme://open", int64_t(1) << 40)["error"], "a sender's process id must be a positive 32-bit number");
    EXPECT_EQ(server.openURLs({"acme://open"}, -7)["error"], "a sender's process id must be a positive 32-bit number");

    // Modal calls are answered by the user's commands.
    ASSERT_TRUE(host.send({{"op", "alert"}, {"id", 500}, {"alert", {{"messageText", "Quit Acme?"}, {"buttons", {"Quit", "Cancel"}}}}}));
    ASSERT_TRUE(server.waitFor([](const json& state) { return !state["hosts"][0]["alert"].is_null(); }));
    auto answered = server.client({"answer", "Quit"});
    EXPECT_EQ(outputOf(answered)["button"], 0);
    EXPECT_EQ(host.next()->value("button", -1), 0);
    ASSERT_TRUE(host.send({{"op", "popUp"}, {"id", 501}, {"menu", item["menu"]}, {"location", {{"x", 1}, {"y", 2}}}}));
    ASSERT_TRUE(server.waitFor([](const json& state) { return !state["hosts"][0]["popUp"].is_null(); }));
    EXPECT_EQ(server.client({"pick", "--path", "0"}).status, 0);
    EXPECT_EQ((*host.next())["picked"], json::array({0}));
    ASSERT_TRUE(host.send({{"op", "popUp"}, {"id", 502}, {"menu", item["menu"]}, {"location", {{"x", 1}, {"y", 2}}}}));
    ASSERT_TRUE(server.waitFor([](const json& state) { return !state["hosts"][0]["popUp"].is_null(); }));
    EXPECT_EQ(outputOf(server.client({"dismiss"}))["dismissed"], "popUp");
    EXPECT_TRUE((*host.next())["picked"].is_null());

    // With --wait the command prints the host's answer.
    auto waiting = std::async(std::launch::async, [&] { return server.client({"ask-quit", "--wait"}); });
    auto quit = host.nextEvent("quit");
    ASSERT_TRUE(quit);
    ASSERT_TRUE(host.send({{"op", "answer"}, {"ask", (*quit)["ask"]}, {"reply", "cancel"}}));
    auto run = waiting.get();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(outputOf(run)["answer"], (json{{"reply", "cancel"}}));

    auto found = server.client({"wait-host", "--bundle", "com.example.acme"});
    EXPECT_EQ(outputOf(found)["host"]["pid"], 700100);

    auto stopped = server.client({"shutdown"});
    EXPECT_EQ(stopped.status, 0);
    EXPECT_FALSE(host.next(10s)) << "the server ends and closes its connections";
}

TEST(DesktopClient, PanelsListsWhatTheHostsBadgesShow)
{
    DesktopServer server;
    ProtocolPeer host(server.socket());
    ASSERT_TRUE(host.helloAs("host", 700071, "com.example.acme"));
    auto send = [&](int panel, const json& state) {
        auto reply = host.request({{"op", "panel"}, {"panel", panel}, {"state", state}, {"front", true}});
        ASSERT_TRUE(reply && reply->value("ok", false)) << (reply ? reply->dump() : "no reply");
    };
    // A badge as the host makes it, and a panel that says nothing of its
    // style: the listing reads it with the panel shape's defaults.
    send(2, {{"style", {{"width", 150}, {"height", 34}, {"nonactivating", true}, {"level", 25}, {"ignoresMouseEvents", true}}},
             {"frame", {{"x", 425}, {"y", 764}, {"width", 150}, {"height", 34}}},
             {"text", "Copied"},
             {"visible", true}});
    send(1, {{"style", json::object()}, {"frame", {{"x", 0}, {"y", 0}, {"width", 10}, {"height", 10}}}});

    for (const auto& arguments : {std::vector<std::string>{"panels"}, std::vector<std::string>{"panels", "--host", "com.example.acme"}}) {
        SCOPED_TRACE(json(arguments).dump());
        auto run = server.client(arguments);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(outputOf(run), json::parse(R"({"host":700071,"panels":[
            {"panel":1,"text":"","frame":{"x":0,"y":0,"width":10,"height":10},"visible":false,"level":0,
             "ignoresMouseEvents":false,"nonactivating":false},
            {"panel":2,"text":"Copied","frame":{"x":425,"y":764,"width":150,"height":34},"visible":true,"level":25,
             "ignoresMouseEvents":true,"nonactivating":true}]})"));
    }
    auto nobody = server.client({"panels", "--host", "com.example.none"});
    EXPECT_EQ(nobody.status, 1);
    EXPECT_EQ(nobody.err, "kestrune-desktop: no application \"com.example.none\"\n");
}
