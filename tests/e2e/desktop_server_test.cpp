// The desktop server's own behaviour, through its protocol: the session it
// keeps, the events it delivers to each host, its synchronous and modal
// answers, and what it does with hosts that leave and lines that are wrong.
#include "support/desktop_server.h"

#include <gtest/gtest.h>

#include <csignal>
#include <future>
#include <sys/wait.h>
#include <unistd.h>

using fixture::DesktopServer;
using fixture::ProtocolPeer;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

json window(double x, double y, double width, double height, int layer = 0)
{
    return {{"bounds", {{"x", x}, {"y", y}, {"width", width}, {"height", height}}}, {"layer", layer}};
}

std::vector<std::pair<int64_t, int64_t>> ownersAndLayers(const json& windowList)
{
    std::vector<std::pair<int64_t, int64_t>> pairs;
    for (const auto& entry : windowList)
        pairs.push_back({entry["kCGWindowOwnerPID"].get<int64_t>(), entry["kCGWindowLayer"].get<int64_t>()});
    return pairs;
}

int64_t pidOf(const json& reply)
{
    return reply["application"]["pid"].get<int64_t>();
}

// A peer that has said hello as a host.
std::unique_ptr<ProtocolPeer> hostPeer(DesktopServer& server, pid_t pid, const std::string& bundle)
{
    auto peer = std::make_unique<ProtocolPeer>(server.socket());
    auto welcome = peer->helloAs("host", pid, bundle);
    EXPECT_TRUE(welcome && welcome->value("ok", false)) << (welcome ? welcome->dump() : "no answer");
    return peer;
}

} // namespace

TEST(DesktopServerSession, ApplicationsWindowsAndTheFrontFollowTheClient)
{
    DesktopServer server;
    auto safari = pidOf(server.add({{"bundleIdentifier", "com.apple.Safari"},
                                    {"name", "Safari"},
                                    {"windows", {window(100, 50, 800, 600), window(0, 0, 200, 100, 3)}}}));
    auto terminal = pidOf(server.launch({{"bundleIdentifier", "com.apple.Terminal"}, {"windows", {window(10, 10, 400, 300)}}}));
    auto finder = pidOf(server.add({{"bundleIdentifier", "com.apple.finder"},
                                    {"windows",
                                     {{{"bounds", {{"x", 0}, {"y", 0}, {"width", 1440}, {"height", 900}}}, {"layer", -2147483603}, {"desktopElement", true}},
                                      {{"bounds", {{"x", 5}, {"y", 5}, {"width", 50}, {"height", 50}}}, {"onScreen", false}}}}}));

    server.front("com.apple.Terminal");
    auto state = server.state();
    EXPECT_EQ(state["front"], terminal);
    // Higher layers first, then the front application's windows; desktop
    // elements and windows off screen are not listed.
    using Pairs = std::vector<std::pair<int64_t, int64_t>>;
    EXPECT_EQ(ownersAndLayers(state["windowList"]), (Pairs{{safari, 3}, {terminal, 0}, {safari, 0}}));

    server.front("Safari");
    EXPECT_EQ(ownersAndLayers(server.state()["windowList"]), (Pairs{{safari, 3}, {safari, 0}, {terminal, 0}}));

    // Hiding the front application hides its windows and gives the front to
    // the one used before it.
    server.hide(safari);
    state = server.state();
    EXPECT_EQ(state["front"], terminal);
    EXPECT_EQ(ownersAndLayers(state["windowList"]), (Pairs{{terminal, 0}}));
    EXPECT_TRUE(DesktopServer::applicationIn(state, pid_t(safari))["hidden"].get<bool>());
    server.unhide(safari);
    EXPECT_EQ(server.state()["windowList"].size(), 3u);

    server.quit(terminal);
    state = server.state();
    EXPECT_TRUE(DesktopServer::applicationIn(state, pid_t(terminal)).is_null());
    EXPECT_EQ(state["front"], safari);
    EXPECT_TRUE(DesktopServer::applicationIn(state, pid_t(finder)).is_object());

    server.setWindows(safari, json::array({window(1, 2, 3, 4)}));
    EXPECT_EQ(ownersAndLayers(server.state()["windowList"]), (Pairs{{safari, 0}}));

    server.setMouse(12.5, 40);
    server.setKeyboard("ISO");
    server.setScreens({{{"frame", {{"x", 0}, {"y", 0}, {"width", 1920}, {"height", 1080}}}}});
    state = server.state();
    EXPECT_EQ(state["mouse"], (json{{"x", 12.5}, {"y", 40}}));
    EXPECT_EQ(state["keyboardLayoutType"], "ISO");
    EXPECT_EQ(state["screens"][0]["visibleFrame"], (json{{"x", 0}, {"y", 0}, {"width", 1920}, {"height", 1056}}));

    // A prohibited application cannot be brought to the front.
    auto daemon = pidOf(server.add({{"bundleIdentifier", "com.example.daemon"}, {"activationPolicy", "prohibited"}}));
    EXPECT_TRUE(server.request({{"op", "front"}, {"app", daemon}}).contains("error"));
}

TEST(DesktopServerEvents, EachHostHearsTheSessionAndOnlyItsOwnActivation)
{
    DesktopServer server;
    auto first = hostPeer(server, 700001, "com.example.first");
    auto second = hostPeer(server, 700002, "com.example.second");
    auto launched = first->nextEvent("workspace");
    ASSERT_TRUE(launched);
    EXPECT_EQ((*launched)["notification"], "didLaunchApplication");
    EXPECT_EQ((*launched)["application"]["pid"], 700002);

    auto safari = pidOf(server.launch({{"bundleIdentifier", "com.apple.Safari"}}));
    for (auto* peer : {first.get(), second.get()}) {
        auto event = peer->nextEvent("workspace");
        ASSERT_TRUE(event);
        EXPECT_EQ((*event)["notification"], "didLaunchApplication");
        EXPECT_EQ((*event)["application"]["bundleIdentifier"], "com.apple.Safari");
    }

    server.front("com.example.second");
    auto becameActive = second->next();
    ASSERT_TRUE(becameActive);
    EXPECT_EQ(*becameActive, (json{{"event", "application"}, {"notification", "didBecomeActive"}}));
    for (auto* peer : {first.get(), second.get()}) {
        auto event = peer->nextEvent("workspace");
        ASSERT_TRUE(event);
        EXPECT_EQ((*event)["notification"], "didActivateApplication");
        EXPECT_EQ((*event)["application"]["pid"], 700002);
    }

    server.front(safari);
    auto resigned = second->next();
    ASSERT_TRUE(resigned);
    EXPECT_EQ(*resigned, (json{{"event", "application"}, {"notification", "didResignActive"}}));
    for (auto* peer : {first.get(), second.get()}) {
        auto event = peer->next();
        ASSERT_TRUE(event);
        EXPECT_EQ((*event)["notification"], "didActivateApplication") << "the first host is told nothing of its own";
        EXPECT_EQ((*event)["application"]["pid"], safari);
    }

    // The front application quits: its end first, then the front goes back.
    server.quit(safari);
    auto ended = second->nextEvent("workspace");
    ASSERT_TRUE(ended);
    EXPECT_EQ((*ended)["notification"], "didTerminateApplication");
    EXPECT_TRUE((*ended)["application"]["terminated"].get<bool>());
    auto back = second->next();
    ASSERT_TRUE(back);
    EXPECT_EQ((*back)["notification"], "didBecomeActive");
}

TEST(DesktopServerEvents, DisplayChangesComeWithOrWithoutTheirBeginRound)
{
    DesktopServer server;
    auto host = hostPeer(server, 700010, "com.example.acme");
    auto screen = [](double x, double width, int display) {
        return json{{"frame", {{"x", x}, {"y", 0}, {"width", width}, {"height", 900}}}, {"display", display}};
    };
    struct Case {
        const char* what;
        json screens;
        bool begin;
        json changes;   // what the host hears, in order
    };
    const int shape = 4096;
    const std::vector<Case> cases = {
        {"a display added, announced", {screen(0, 1440, 1), screen(1440, 1920, 2)}, true,
         {{{"display", 2}, {"flags", 1}}, {{"display", 2}, {"flags", 16 | 256 | shape}}}},
        {"a mode and a move, unannounced", {screen(0, 1280, 1), screen(1280, 1920, 2)}, false,
         {{{"display", 1}, {"flags", 8 | shape}}, {{"display", 2}, {"flags", 2 | shape}}}},
        {"a display removed and the main one changed, unannounced", {screen(0, 1920, 2)}, false,
         {{{"display", 1}, {"flags", 32 | 512 | shape}}, {{"display", 2}, {"flags", 2 | 4 | shape}}}},
        {"the same again, announced", {screen(0, 1440, 1)}, true,
         {{{"display", 1}, {"flags", 1}},
          {{"display", 2}, {"flags", 1}},
          {{"display", 1}, {"flags", 4 | 16 | 256 | shape}},
          {{"display", 2}, {"flags", 32 | 512 | shape}}}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        auto reply = server.reconfigure(test.screens, test.begin);
        EXPECT_EQ(reply["changes"], test.changes) << "the client is told what the hosts are";
        auto event = host->next();
        ASSERT_TRUE(event);
        EXPECT_EQ(*event, (json{{"event", "displays"}, {"changes", test.changes}}));
        EXPECT_EQ(server.state()["screens"].size(), test.screens.size());
    }

    // Nothing that changes sends nothing, with or without the round; a
    // "begin" that is no boolean is refused and leaves the screens as they are.
    EXPECT_TRUE(server.reconfigure({screen(0, 1440, 1)}, false)["changes"].empty());
    auto refused = server.request({{"op", "reconfigure"}, {"screens", {screen(0, 800, 1)}}, {"begin", "no"}});
    EXPECT_EQ(refused["error"], "\"begin\" must be true or false");
    EXPECT_EQ(server.state()["screens"][0]["frame"]["width"], 1440);
    server.reconfigure({screen(0, 1440, 1), screen(1440, 800, 3)}, false);
    auto next = host->next();
    ASSERT_TRUE(next);
    EXPECT_EQ((*next)["changes"], (json{{{"display", 3}, {"flags", 16 | 256 | shape}}})) << "no displays event came of either";
}

TEST(DesktopServerAnswers, QueriesAreAnsweredAtOnce)
{
    DesktopServer server;
    auto host = hostPeer(server, 700010, "com.example.acme");
    auto other = hostPeer(server, 700011, "com.example.other");
    auto safari = pidOf(server.add({{"bundleIdentifier", "com.apple.Safari"}, {"windows", {window(100, 50, 800, 600)}}}));
    auto ask = [&](ProtocolPeer& peer, json request) {
        auto reply = peer.request(request);
        EXPECT_TRUE(reply && reply->value("ok", false)) << request.dump() << " -> " << (reply ? reply->dump() : "nothing");
        return reply.value_or(json::object());
    };

    EXPECT_TRUE(ask(*host, {{"op", "frontmostApplication"}})["application"].is_null());
    EXPECT_EQ(ask(*host, {{"op", "runningApplications"}})["applications"].size(), 3u);
    EXPECT_EQ(ask(*host, {{"op", "runningApplications"}, {"bundleIdentifier", "com.apple.Safari"}})["applications"][0]["pid"], safari);
    EXPECT_TRUE(ask(*host, {{"op", "runningApplication"}, {"pid", 12345678}})["application"].is_null());
    EXPECT_EQ(ask(*host, {{"op", "windowList"}})["windows"][0]["kCGWindowBounds"], (json{{"X", 100}, {"Y", 50}, {"Width", 800}, {"Height", 600}}));
    EXPECT_EQ(ask(*host, {{"op", "screens"}})["screens"].size(), 1u);
    server.setMouse(3, 4);
    auto mouse = ask(*host, {{"op", "mouseLocation"}});
    EXPECT_EQ(json({{"x", mouse["x"]}, {"y", mouse["y"]}}), (json{{"x", 3}, {"y", 4}}));
    server.setKeyboard("JIS");
    EXPECT_EQ(ask(*host, {{"op", "keyboardLayoutType"}})["type"], "JIS");

    EXPECT_TRUE(ask(*host, {{"op", "systemSymbolExists"}, {"name", "rectangle.grid.2x2"}})["exists"].get<bool>());
    EXPECT_FALSE(ask(*host, {{"op", "systemSymbolExists"}, {"name", "Not A Symbol"}})["exists"].get<bool>());
    server.missingSymbols({"sparkles"});
    EXPECT_FALSE(ask(*host, {{"op", "systemSymbolExists"}, {"name", "sparkles"}})["exists"].get<bool>());

    // Hot keys: a chord is held once; a refused chord answers its status.
    json key = {{"op", "registerHotKey"}, {"code", 40}, {"modifiers", 6144}, {"signature", 1265322059}, {"hotKeyId", 0}};
    auto registered = ask(*host, key);
    EXPECT_EQ(registered["status"], 0);
    EXPECT_GT(registered["reference"].get<int64_t>(), 0);
    EXPECT_EQ(ask(*other, key)["status"], -9878);
    server.refuseHotKey("⌘K", -9870);
    EXPECT_EQ(ask(*host, {{"op", "registerHotKey"}, {"code", 40}, {"modifiers", 256}, {"signature", 1}, {"hotKeyId", 1}})["status"], -9870);
    EXPECT_EQ(ask(*other, {{"op", "unregisterHotKey"}, {"reference", registered["reference"]}})["status"], -50)
        << "a host cannot release another's hot key";
    EXPECT_EQ(ask(*host, {{"op", "unregisterHotKey"}, {"reference", registered["reference"]}})["status"], 0);
    EXPECT_EQ(ask(*host, {{"op", "unregisterHotKey"}, {"reference", registered["reference"]}})["status"], -50);

    // Activation.
    EXPECT_TRUE(ask(*host, {{"op", "activate"}, {"pid", safari}})["activated"].get<bool>());
    EXPECT_EQ(ask(*host, {{"op", "frontmostApplication"}})["application"]["pid"], safari);
    server.refuseActivation(safari);
    EXPECT_FALSE(ask(*host, {{"op", "activate"}, {"pid", safari}})["activated"].get<bool>());
    EXPECT_FALSE(ask(*host, {{"op", "isActive"}})["active"].get<bool>());
    ask(*host, {{"op", "setActivationPolicy"}, {"policy", 2}});
    EXPECT_FALSE(ask(*host, {{"op", "activateIgnoringOtherApps"}})["active"].get<bool>());
    ask(*host, {{"op", "setActivationPolicy"}, {"policy", 1}});
    EXPECT_TRUE(ask(*host, {{"op", "activateIgnoringOtherApps"}})["active"].get<bool>());
    EXPECT_TRUE(ask(*host, {{"op", "isActive"}})["active"].get<bool>());
    // Becoming prohibited gives the front away.
    ask(*host, {{"op", "setActivationPolicy"}, {"policy", 2}});
    EXPECT_EQ(server.state()["front"], safari);

    EXPECT_TRUE(ask(*host, {{"op", "openURL"}, {"url", "https://kestrune.app"}})["opened"].get<bool>());
    EXPECT_FALSE(ask(*host, {{"op", "openURL"}, {"url", "no scheme"}})["opened"].get<bool>());
    ask(*host, {{"op", "yieldActivation"}, {"pid", safari}});
    auto recorded = DesktopServer::hostIn(server.state(), 700010);
    EXPECT_EQ(recorded["openedURLs"][0], (json{{"url", "https://kestrune.app"}, {"opened", true}}));
    EXPECT_EQ(recorded["yields"], json::array({safari}));
    EXPECT_EQ(recorded["activations"].size(), 2u);
    EXPECT_EQ(recorded["activationPolicy"], 2);
}

TEST(DesktopServerAnswers, ModalCallsWaitForTheUser)
{
    DesktopServer server;
    auto host = hostPeer(server, 700020, "com.example.acme");
    json alert = {{"messageText", "Quit Acme?"}, {"informativeText", "Every window closes."}, {"buttons", {"Quit", "Cancel"}}};
    ASSERT_TRUE(host->send({{"op", "alert"}, {"id", 77}, {"alert", alert}}));
    ASSERT_TRUE(server.waitFor([](const json& state) { return !state["hosts"][0]["alert"].is_null(); }));
    EXPECT_FALSE(host->next(200ms)) << "the alert is answered only by the user";
    EXPECT_TRUE(server.answerAlert("Maybe").contains("error"));
    auto answered = server.answerAlert("Cancel");
    EXPECT_EQ(answered["button"], 1);
    auto reply = host->next();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, (json{{"id", 77}, {"ok", true}, {"button", 1}}));
    auto recorded = DesktopServer::hostIn(server.state(), 700020);
    EXPECT_TRUE(recorded["alert"].is_null());
    EXPECT_EQ(recorded["alerts"][0]["title"], "Cancel");

    json menu = {{"title", ""},
                 {"items",
                  {{{"title", "Open"}, {"enabled", true}, {"action", true}, {"representedObject", "open"}},
                   {{"title", "Off"}, {"enabled", false}, {"action", false}, {"representedObject", "off"}},
                   {{"title", "More"}, {"enabled", true}, {"submenu", {{"items", {{{"title", "Deep"}, {"action", true}, {"identifier", "deep"}}}}}}}}}};
    ASSERT_TRUE(host->send({{"op", "popUp"}, {"id", 78}, {"menu", menu}, {"location", {{"x", 10}, {"y", 20}}}}));
    ASSERT_TRUE(server.waitFor([](const json& state) { return !state["hosts"][0]["popUp"].is_null(); }));
    EXPECT_EQ(server.pick("off")["error"], "row \"off\" is disabled");
    EXPECT_EQ(server.pick("More")["error"], "row \"More\" has no action");
    auto picked = server.pick("deep");
    EXPECT_EQ(picked["path"], json::array({2, 0}));
    reply = host->next();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, (json{{"id", 78}, {"ok", true}, {"picked", {2, 0}}}));

    ASSERT_TRUE(host->send({{"op", "popUp"}, {"id", 79}, {"menu", menu}, {"location", {{"x", 10}, {"y", 20}}}}));
    ASSERT_TRUE(server.waitFor([](const json& state) { return !state["hosts"][0]["popUp"].is_null(); }));
    EXPECT_EQ(server.dismiss()["dismissed"], "popUp");
    reply = host->next();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, (json{{"id", 79}, {"ok", true}, {"picked", nullptr}}));
    EXPECT_EQ(DesktopServer::hostIn(server.state(), 700020)["popUps"].size(), 2u);
}

TEST(DesktopServerAnswers, QuestionsReachTheirHostAndTheAnswersTheClient)
{
    DesktopServer server;
    auto first = hostPeer(server, 700030, "com.example.first");
    auto second = hostPeer(server, 700031, "com.example.second");
    ASSERT_TRUE(second->request({{"op", "registerHotKey"}, {"code", 40}, {"modifiers", 6144}, {"signature", 7}, {"hotKeyId", 3}}));
    auto sender = pidOf(server.add({{"bundleIdentifier", "com.apple.Terminal"}}));

    struct Case {
        const char* what;
        ProtocolPeer* host;
        json request;
        json expectedEvent;    // members the event must have
        json answer;
    };
    std::vector<Case> cases = {
        {"a hot-key press goes to the host that holds the chord", second.get(), {{"op", "press"}, {"chord", "ctrl+opt+k"}},
         {{"event", "hotKey"}, {"signature", 7}, {"hotKeyId", 3}}, {{"handled", true}}},
        {"a quit with its reason and sender", first.get(),
         {{"op", "askToQuit"}, {"host", "com.example.first"}, {"reason", "shut"}, {"sender", "com.apple.Terminal"}},
         {{"event", "quit"}, {"appleEvent", {{"sender", sender}, {"reason", "shut"}}}}, {{"reply", "cancel"}}},
        {"a quit from the host's own menu has no Apple event", first.get(), {{"op", "askToQuit"}, {"host", 700030}},
         {{"event", "quit"}, {"appleEvent", nullptr}}, {{"reply", "cancel"}}},
        {"a reopen", second.get(), {{"op", "reopen"}, {"host", "com.example.second"}}, {{"event", "reopen"}}, {{"handled", false}}},
        {"files handed to a service", first.get(),
         {{"op", "service"}, {"host", 700030}, {"userData", "import"}, {"files", {"/tmp/a b.txt", "https://x.example/"}}},
         {{"event", "services"}, {"message", "openFiles"}, {"userData", "import"}, {"pasteboard", {"file:///tmp/a%20b.txt", "https://x.example/"}}},
         {{"error", nullptr}}},
    };
    for (auto& test : cases) {
        SCOPED_TRACE(test.what);
        json request = test.request;
        request["wait"] = true;
        auto answered = std::async(std::launch::async, [&server, request] { return server.request(request); });
        auto event = test.host->nextEvent(test.expectedEvent["event"]);
        ASSERT_TRUE(event);
        for (const auto& [key, value] : test.expectedEvent.items())
            EXPECT_EQ((*event)[key], value) << key;
        ASSERT_TRUE((*event)["ask"].is_number_integer());
        json answer = test.answer;
        answer["op"] = "answer";
        answer["ask"] = (*event)["ask"];
        ASSERT_TRUE(test.host->send(answer));
        auto reply = answered.get();
        EXPECT_EQ(reply["answer"], test.answer) << reply.dump();
    }
    // Another host cannot answer a question that is not its own.
    auto asked = server.request({{"op", "reopen"}, {"host", 700030}});
    auto event = first->nextEvent("reopen");
    ASSERT_TRUE(event);
    auto stolen = second->request({{"op", "answer"}, {"ask", (*event)["ask"]}, {"handled", true}});
    ASSERT_TRUE(stolen);
    EXPECT_TRUE(stolen->contains("error"));
    EXPECT_EQ(asked["ask"], (*event)["ask"]);

    // Get-URL and open-URLs events need no answer.
    server.getURL("acme://open", sender, 700031);
    event = second->nextEvent("getURL");
    ASSERT_TRUE(event);
    EXPECT_EQ(*event, (json{{"event", "getURL"}, {"url", "acme://open"}, {"sender", sender}}));
    server.openURLs({"acme://a", "file:///tmp/x.acmelink"}, nullptr, 700031);
    event = second->nextEvent("openURLs");
    ASSERT_TRUE(event);
    EXPECT_EQ(*event, (json{{"event", "openURLs"}, {"urls", {"acme://a", "file:///tmp/x.acmelink"}}, {"appleEvent", nullptr}}));
    EXPECT_EQ(DesktopServer::hostIn(server.state(), 700030)["answers"].size(), 3u);
}

TEST(DesktopServerAnswers, PicksInTheStatusItemsMenuOpenItFirst)
{
    DesktopServer server;
    auto host = hostPeer(server, 700040, "com.example.acme");
    json item = {{"length", -1},
                 {"autosaveName", "com.example.acme"},
                 {"button", {{"title", ""}, {"toolTip", "Acme"}, {"accessibilityLabel", "Acme"}, {"image", {{"symbol", "star"}, {"template", true}}}}},
                 {"menu", {{"items", json::array({{{"title", "Hello"}, {"action", true}, {"representedObject", "hello"}}})}}}};
    ASSERT_TRUE(host->send({{"op", "statusItem"}, {"item", 1}, {"state", item}}));
    ASSERT_TRUE(server.waitFor([](const json& state) { return state["hosts"][0]["statusItems"].size() == 1; }));
    // The status item stands in the menu bar at the status level.
    auto windows = server.state()["windowList"];
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows[0]["kCGWindowLayer"], 25);
    EXPECT_EQ(windows[0]["kCGWindowBounds"]["Y"], 0);

    auto picked = std::async(std::launch::async, [&] { return server.pick("Hello"); });
    auto opened = host->next();
    ASSERT_TRUE(opened);
    EXPECT_EQ(*opened, (json{{"event", "menuWillOpen"}, {"item", 1}}));
    auto pick = host->next();
    ASSERT_TRUE(pick);
    EXPECT_EQ((*pick)["event"], "menuPick");
    EXPECT_EQ((*pick)["path"], json::array({0}));
    ASSERT_TRUE(host->send({{"op", "answer"}, {"ask", (*pick)["ask"]}, {"picked", true}}));
    EXPECT_EQ(picked.get()["answer"], (json{{"picked", true}}));

    // Opened by hand, then picked: the menu opens once.
    EXPECT_EQ(server.openMenu()["item"], 1);
    ASSERT_EQ(host->next()->value("event", ""), "menuWillOpen");
    server.request({{"op", "pick"}, {"path", {0}}});
    EXPECT_EQ(host->next()->value("event", ""), "menuPick");
    EXPECT_EQ(server.dismiss()["error"], "no menu of the host is open");
}

TEST(DesktopServerHosts, AHostThatGoesAwayIsForgottenByTheSessionButNotByTheRecord)
{
    DesktopServer server;
    auto leaving = hostPeer(server, 700050, "com.example.leaving");
    auto staying = hostPeer(server, 700051, "com.example.staying");
    ASSERT_TRUE(leaving->request({{"op", "registerHotKey"}, {"code", 1}, {"modifiers", 256}, {"signature", 9}, {"hotKeyId", 0}}));
    ASSERT_TRUE(leaving->request({{"op", "statusItem"}, {"item", 1}, {"state", {{"button", {{"title", "L"}}}}}}));
    auto safari = pidOf(server.add({{"bundleIdentifier", "com.apple.Safari"}}));
    server.front(safari);
    server.front("com.example.leaving");

    auto waiting = std::async(std::launch::async, [&] { return server.askToQuit(nullptr, nullptr, 700050); });
    ASSERT_TRUE(leaving->nextEvent("quit"));
    leaving->close();
    EXPECT_EQ(waiting.get()["error"], "the host went away before it answered");

    auto state = server.waitFor([](const json& state) { return !DesktopServer::hostIn(state, 700050)["connected"].get<bool>(); });
    ASSERT_TRUE(state);
    EXPECT_TRUE(DesktopServer::applicationIn(*state, 700050).is_null());
    EXPECT_EQ((*state)["front"], safari) << "the front goes back to the application used before";
    auto record = DesktopServer::hostIn(*state, 700050);
    EXPECT_EQ(record["statusItems"].size(), 1u) << "what the host drew stays readable";
    EXPECT_TRUE(record["hotKeys"].empty());
    EXPECT_TRUE((*state)["windowList"].empty());
    EXPECT_TRUE(server.press("⌘A").contains("error")) << "its hot key went with it";

    std::optional<json> ended;
    while ((ended = staying->nextEvent("workspace")) && (*ended)["notification"] != "didTerminateApplication") {
    }
    ASSERT_TRUE(ended);
    EXPECT_EQ((*ended)["application"]["pid"], 700050);
    // Its process id is free again.
    auto again = hostPeer(server, 700050, "com.example.leaving");
    EXPECT_EQ(server.state()["hosts"].size(), 3u);
}

TEST(DesktopServerHosts, ApplicationProcessesRegisterThemselvesWithTheirWindows)
{
    DesktopServer server;
    {
        ProtocolPeer application(server.socket());
        auto welcome = application.request({{"op", "hello"},
                                            {"protocol", 1},
                                            {"role", "application"},
                                            {"bundleIdentifier", "com.example.editor"},
                                            {"windows", {window(100, 50, 800, 600)}}});
        ASSERT_TRUE(welcome && welcome->value("ok", false));
        auto state = server.state();
        ASSERT_EQ(state["windowList"].size(), 1u);
        // Without a pid of its own choosing it is known by its real one.
        EXPECT_EQ(state["windowList"][0]["kCGWindowOwnerPID"], getpid());
        ASSERT_TRUE(application.request({{"op", "setWindows"}, {"windows", {window(0, 0, 10, 10), window(5, 5, 10, 10)}}}));
        EXPECT_EQ(server.state()["windowList"].size(), 2u);
    }
    ASSERT_TRUE(server.waitFor([](const json& state) { return state["applications"].empty(); }));

    // A real process added by the client leaves the session when it ends.
    pid_t sleeper = fork();
    if (sleeper == 0) {
        execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    server.add({{"pid", sleeper}, {"bundleIdentifier", "com.example.sleeper"}, {"windows", {window(0, 0, 10, 10)}}});
    EXPECT_EQ(server.state()["applications"][0]["pid"], sleeper);
    kill(sleeper, SIGKILL);
    waitpid(sleeper, nullptr, 0);
    EXPECT_TRUE(server.waitFor([](const json& state) { return state["applications"].empty() && state["windowList"].empty(); }));
}

TEST(DesktopServerLines, WrongLinesGetAnErrorAndChangeNothing)
{
    DesktopServer server;
    ProtocolPeer peer(server.socket());
    struct Case {
        std::string line;
        std::string error;
    };
    std::vector<Case> beforeHello = {
        {"not json", "malformed line: not a JSON object"},
        {"[1,2]", "malformed line: not a JSON object"},
        {R"({"id":1})", "a request needs an \"op\" string"},
        {R"({"op":7,"id":2})", "a request needs an \"op\" string"},
        {R"({"op":"state","id":3})", "say hello first"},
        {R"({"op":"hello","id":4,"protocol":2,"role":"client"})", "protocol 2 is not spoken here; this server speaks 1"},
        {R"({"op":"hello","id":5,"protocol":1,"role":"window"})", "role must be \"host\", \"application\", \"views\" or \"client\""},
    };
    for (const auto& test : beforeHello) {
        SCOPED_TRACE(test.line);
        ASSERT_TRUE(peer.write(test.line + "\n"));
        auto reply = peer.next();
        ASSERT_TRUE(reply);
        EXPECT_EQ((*reply)["error"], test.error);
    }
    ASSERT_TRUE(peer.request({{"op", "hello"}, {"protocol", 1}, {"role", "client"}}));
    std::vector<Case> afterHello = {
        {R"({"op":"nope","id":6})", "unknown op \"nope\""},
        {R"({"op":"registerHotKey","id":7})", "\"registerHotKey\" is not for a client"},
        {R"({"op":"quit","id":8,"app":"Nobody"})", "no application \"Nobody\""},
        {R"({"op":"windows","id":9,"app":1,"windows":5})", "no application with process id 1"},
        {R"({"op":"setMouse","id":10,"x":"left"})", "\"x\" and \"y\" must be numbers"},
        {R"({"op":"hello","id":11,"protocol":1,"role":"client"})", "hello was said already"},
        {std::string(17 * 1024 * 1024, 'x'), "a line longer than 16777216 bytes"},
    };
    for (const auto& test : afterHello) {
        SCOPED_TRACE(test.line.substr(0, 60));
        ASSERT_TRUE(peer.write(test.line + "\n"));
        auto reply = peer.next(30s);
        ASSERT_TRUE(reply);
        EXPECT_EQ((*reply)["error"], test.error);
    }
    // The same connection and the server go on.
    auto state = peer.request({{"op", "state"}});
    ASSERT_TRUE(state);
    EXPECT_TRUE((*state)["state"]["applications"].empty());

    // A host's wrong requests are refused the same way and leave it connected.
    auto host = hostPeer(server, 700060, "com.example.acme");
    auto refused = host->request({{"op", "statusItem"}, {"item", 0}, {"state", 5}});
    ASSERT_TRUE(refused);
    EXPECT_TRUE(refused->contains("error"));
    ASSERT_TRUE(host->write("{\"op\":\"yieldActivation\"}\n"));
    auto complaint = host->next();
    ASSERT_TRUE(complaint);
    EXPECT_EQ(*complaint, (json{{"id", nullptr}, {"error", "\"pid\" is missing"}, {"op", "yieldActivation"}}));
    EXPECT_TRUE(DesktopServer::hostIn(server.state(), 700060)["connected"].get<bool>());
    // Another process cannot take a registered process id.
    auto twin = std::make_unique<ProtocolPeer>(server.socket());
    auto welcome = twin->helloAs("host", 700060, "com.example.twin");
    ASSERT_TRUE(welcome);
    EXPECT_EQ((*welcome)["error"], "process 700060 is registered already (connection " + std::to_string(DesktopServer::hostIn(server.state(), 700060)["connection"].get<int>()) + ")");
}

TEST(DesktopServerLines, AMissingOrWrongMemberIsRefusedByNameAndChangesNothing)
{
    DesktopServer server;
    auto host = hostPeer(server, 700070, "com.example.acme");
    const json status = {{"length", -1}, {"autosaveName", ""}, {"button", json::object()}, {"menu", nullptr}};
    const std::string hotKeyRefusal = " must be an unsigned 32-bit number";
    struct Case {
        json request;
        std::string error;
    };
    const std::vector<Case> cases = {
        {{{"op", "runningApplication"}}, "\"pid\" is missing"},
        {{{"op", "runningApplication"}, {"pid", "7"}}, "\"pid\" is missing"},
        {{{"op", "openURL"}, {"url", 5}}, "\"url\" is missing"},
        {{{"op", "systemSymbolExists"}}, "\"name\" is missing"},
        {{{"op", "activate"}, {"pid", 0}}, "\"pid\" must be a process id"},
        {{{"op", "activate"}, {"pid", int64_t(1) << 40}}, "\"pid\" must be a process id"},
        {{{"op", "registerHotKey"}, {"modifiers", 0}, {"signature", 1}, {"hotKeyId", 1}}, "\"code\"" + hotKeyRefusal},
        {{{"op", "registerHotKey"}, {"code", 40}, {"modifiers", -1}, {"signature", 1}, {"hotKeyId", 1}}, "\"modifiers\"" + hotKeyRefusal},
        {{{"op", "registerHotKey"}, {"code", 40}, {"modifiers", 0}, {"signature", 1}, {"hotKeyId", 1}, {"options", int64_t(1) << 33}},
         "\"options\"" + hotKeyRefusal},
        {{{"op", "statusItem"}, {"item", "one"}, {"state", status}}, "a status item needs \"item\" and a \"state\" of the status-item shape"},
        {{{"op", "panel"}, {"panel", 1}}, "a panel needs \"panel\" and a \"state\" of the panel shape"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.request.dump());
        auto reply = host->request(test.request);
        ASSERT_TRUE(reply);
        EXPECT_EQ((*reply)["error"], test.error);
        EXPECT_EQ((*reply)["op"], test.request["op"]);
        EXPECT_FALSE(reply->contains("ok"));
    }
    auto record = DesktopServer::hostIn(server.state(), 700070);
    EXPECT_TRUE(record["connected"].get<bool>());
    EXPECT_TRUE(record["hotKeys"].empty());
    EXPECT_TRUE(record["statusItems"].empty());
    EXPECT_TRUE(record["panels"].empty());
    EXPECT_TRUE(record["activations"].empty());
    EXPECT_TRUE(record["openedURLs"].empty());
    // A client's request is refused the same way.
    EXPECT_EQ(server.request({{"op", "setMouse"}, {"x", 1}})["error"], "\"x\" and \"y\" must be numbers");
    EXPECT_EQ(server.state()["mouse"], (json{{"x", 720}, {"y", 450}}));
}

TEST(DesktopServerLog, ComesAPageAtATimeAndKeepsItsOrder)
{
    DesktopServer server;
    for (int i = 0; i < 2100; ++i)
        server.setMouse(i, 0);
    auto first = server.request({{"op", "log"}, {"since", 1}});
    ASSERT_EQ(first["records"].size(), 2000u);
    EXPECT_TRUE(first["more"].get<bool>());
    EXPECT_EQ(first["next"], 2001);
    auto all = server.log(1);
    ASSERT_GE(all.size(), 2100u);
    for (std::size_t i = 0; i < all.size(); ++i)
        EXPECT_EQ(all[i]["seq"], int64_t(i + 1));
    EXPECT_EQ(all[2099]["request"], (json{{"op", "setMouse"}, {"x", 2099}, {"y", 0}}));
}
