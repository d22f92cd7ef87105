// The host's side of the desktop against a live desktop server: every
// operation of the interface once, the modal calls, and a server that dies,
// sticks or talks nonsense. The first tests drive the interface in this
// process (the test is the host); the last run the real host binary.
#include "support/desktop_server.h"

#include "platform/desktop.h"
#include "platform/desktop/wire.h"
#include "platform/desktop/headless/window_server_headless.h"
#include "platform/main_queue.h"
#include "platform/process.h"
#include "platform/unix_socket.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <future>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using fixture::DesktopServer;
using nlohmann::json;
using namespace std::chrono_literals;
using namespace platform;

namespace {

json window(double x, double y, double width, double height, int layer = 0)
{
    return {{"bounds", {{"x", x}, {"y", y}, {"width", width}, {"height", height}}}, {"layer", layer}};
}

std::size_t occurrences(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class DesktopHost : public ::testing::Test {
protected:
    void SetUp() override { markTheMainThread(); }

    std::unique_ptr<Desktop> connect(DesktopServer& server)
    {
        auto desktop = connectToTheDesktopServer(server.socket(), identity);
        EXPECT_TRUE(desktop.ok()) << desktop.failure().description();
        return desktop.ok() ? std::move(*desktop) : nullptr;
    }

    json ownRecord(DesktopServer& server) { return DesktopServer::hostIn(server.state(), getpid()); }

    DesktopIdentity identity{getpid(), "com.example.inprocess", "In Process", "/tmp/InProcess.app", ActivationPolicy::regular};
};

// A server of the test's own making: it greets the host and then does what
// the test says, on a thread of its own.
class FakeServer {
public:
    explicit FakeServer(std::function<void(int fd)> after)
    {
        char pattern[] = "/tmp/kd-fake-XXXXXX";
        folder_ = mkdtemp(pattern);
        path_ = folder_ + "/fake.sock";
        auto listening = listenOnUnixSocket(path_, 4);
        EXPECT_TRUE(listening) << listening.failure().description();
        listener_ = listening ? *listening : -1;
        thread_ = std::thread([this, after] {
            int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0)
                return;
            std::string hello = readLine(fd);
            auto id = json::parse(hello, nullptr, false).value("id", json(0));
            std::string welcome = json{{"id", id}, {"ok", true}, {"protocol", 1}}.dump() + "\n";
            ::send(fd, welcome.data(), welcome.size(), MSG_NOSIGNAL);
            after(fd);
            ::close(fd);
        });
    }

    ~FakeServer()
    {
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
        ::unlink(path_.c_str());
        ::rmdir(folder_.c_str());
    }

    const std::string& path() const { return path_; }

    // One line from the host; empty when it closed.
    static std::string readLine(int fd)
    {
        std::string line;
        char c;
        while (::recv(fd, &c, 1, 0) == 1) {
            if (c == '\n')
                return line;
            line.push_back(c);
        }
        return line;
    }

private:
    std::string folder_, path_;
    int listener_ = -1;
    std::thread thread_;
};

} // namespace

TEST_F(DesktopHost, WorkspaceAndApplicationCallsReachTheSession)
{
    DesktopServer server;
    auto desktop = connect(server);
    ASSERT_TRUE(desktop);
    auto& workspace = desktop->workspace();
    auto safari = server.add({{"bundleIdentifier", "com.apple.Safari"}, {"name", "Safari"}, {"bundlePath", "/Applications/Safari.app"}})["application"]["pid"]
                      .get<pid_t>();
    auto terminal = server.add({{"bundleIdentifier", "com.apple.Terminal"}})["application"]["pid"].get<pid_t>();

    std::vector<std::string> heard;
    auto note = [&](const std::string& what) {
        return [&heard, what](const std::optional<RunningApplication>& application) {
            heard.push_back(what + " " + (application ? application->bundleIdentifier.value_or("?") : "none")
                            + (application && application->terminated ? " terminated" : ""));
        };
    };
    workspace.observeWorkspace(WorkspaceNotification::didActivateApplication, note("activate"));
    auto launchObserver = workspace.observeWorkspace(WorkspaceNotification::didLaunchApplication, note("launch"));
    workspace.observeWorkspace(WorkspaceNotification::didTerminateApplication, note("terminate"));
    workspace.observeWorkspace(WorkspaceNotification::didHideApplication, note("hide"));
    workspace.observeWorkspace(WorkspaceNotification::didUnhideApplication, note("unhide"));
    workspace.observeApplication(ApplicationNotification::didBecomeActive, [&] { heard.push_back("became active"); });
    workspace.observeApplication(ApplicationNotification::didResignActive, [&] { heard.push_back("resigned active"); });

    auto all = workspace.runningApplications();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].pid, getpid());
    EXPECT_EQ(all[0].localizedName, "In Process");
    EXPECT_EQ(workspace.runningApplication(safari)->bundlePath, "/Applications/Safari.app");
    EXPECT_FALSE(workspace.runningApplication(12345678));
    EXPECT_EQ(workspace.runningApplications("com.apple.Terminal").size(), 1u);
    EXPECT_FALSE(workspace.frontmostApplication());

    server.front("Safari");
    ASSERT_TRUE(fixture::runTheMainQueueUntil([&] { return heard.size() == 1; }));
    EXPECT_EQ(heard.back(), "activate com.apple.Safari");
    EXPECT_EQ(workspace.frontmostApplication()->pid, safari);
    EXPECT_TRUE(workspace.activate(terminal));
    EXPECT_EQ(workspace.frontmostApplication()->bundleIdentifier, "com.apple.Terminal");
    server.refuseActivation(safari);
    EXPECT_FALSE(workspace.activate(safari));

    // The host itself: prohibited, it cannot be activated; as an accessory it can.
    workspace.setActivationPolicy(ActivationPolicy::prohibited);
    workspace.activateIgnoringOtherApps();
    EXPECT_FALSE(workspace.isActive());
    workspace.setActivationPolicy(ActivationPolicy::accessory);
    EXPECT_EQ(workspace.activationPolicy(), ActivationPolicy::accessory);
    workspace.activateIgnoringOtherApps();
    EXPECT_TRUE(workspace.isActive());
    ASSERT_TRUE(fixture::runTheMainQueueUntil([&] { return heard.back() == "activate com.example.inprocess"; }));
    EXPECT_NE(std::find(heard.begin(), heard.end(), "became active"), heard.end());
    workspace.yieldActivation(safari);
    EXPECT_TRUE(workspace.openURL("https://kestrune.app"));

    heard.clear();
    server.launch({{"bundleIdentifier", "com.apple.Notes"}});
    ASSERT_TRUE(fixture::runTheMainQueueUntil([&] { return heard.size() == 1; }));
    workspace.removeObserver(launchObserver);
    server.hide(terminal);
    server.unhide(terminal);
    server.front(terminal);
    server.quit(terminal);
    server.launch({{"bundleIdentifier", "com.apple.Mail"}});
    server.quit("com.apple.Mail");
    ASSERT_TRUE(fixture::runTheMainQueueUntil([&] { return heard.size() >= 8; })) << json(heard).dump();
    fixture::runTheMainQueueUntil([] { return false; }, 200ms);
    // The quitting front application leaves the front to the last regular
    // application before it; the host, an accessory now, is passed over.
    EXPECT_EQ(heard, (std::vector<std::string>{"launch com.apple.Notes", "hide com.apple.Terminal", "unhide com.apple.Terminal",
                                               "resigned active", "activate com.apple.Terminal", "terminate com.apple.Terminal terminated",
                                               "activate com.apple.Safari", "terminate com.apple.Mail terminated"}))
        << "a removed observer hears nothing more";

    workspace.setActivationPolicy(ActivationPolicy::prohibited);
    auto record = ownRecord(server);
    EXPECT_EQ(record["activationPolicy"], 2);
    EXPECT_FALSE(workspace.isActive());
    EXPECT_EQ(record["yields"], json::array({safari}));
    EXPECT_EQ(record["openedURLs"][0]["url"], "https://kestrune.app");
    EXPECT_EQ(record["activations"].size(), 2u);
}

TEST_F(DesktopHost, WindowServerCallsReadTheSession)
{
    DesktopServer server;
    auto desktop = connect(server);
    ASSERT_TRUE(desktop);
    auto& windowServer = desktop->windowServer();
    auto safari = server.add({{"bundleIdentifier", "com.apple.Safari"}, {"windows", {window(100, 50, 800, 600), window(0, 0, 40, 40, 3)}}})["application"]["pid"];
    auto windows = windowServer.onScreenWindows();
    ASSERT_TRUE(windows);
    ASSERT_EQ(windows->size(), 2u);
    EXPECT_EQ((*windows)[1][WINDOW_OWNER_PID], safari);
    EXPECT_EQ(rectFromBounds((*windows)[1][WINDOW_BOUNDS]), (Rect{100, 50, 800, 600}));
    EXPECT_EQ((*windows)[0][WINDOW_LAYER], 3);
    EXPECT_EQ(windowServer.statusWindowLevel(), 25);

    server.setMouse(700, 20);
    EXPECT_EQ(windowServer.mouseLocation(), (Point{700, 20}));
    server.setKeyboard("ISO");
    EXPECT_EQ(desktop->hotKeys().keyboardLayoutType(), KeyboardLayoutType::iso);

    std::vector<std::pair<uint32_t, uint32_t>> changes;
    windowServer.setDisplayReconfigurationHandler([&](uint32_t display, uint32_t flags) { changes.push_back({display, flags}); });
    EXPECT_TRUE(ownRecord(server)["handlers"]["displayReconfiguration"].get<bool>());
    server.reconfigure({{{"frame", {{"x", 0}, {"y", 0}, {"width", 1440}, {"height", 900}}}, {"display", 1}},
                        {{"frame", {{"x", 1440}, {"y", 0}, {"width", 1920}, {"height", 1080}}}, {"display", 2}}});
    ASSERT_TRUE(fixture::runTheMainQueueUntil([&] { return changes.size() == 2; }));
    EXPECT_EQ(changes, (std::vector<std::pair<uint32_t, uint32_t>>{
                           {2, DISPLAY_BEGIN_CONFIGURATION_FLAG},
                           {2, DISPLAY_ADD_FLAG | DISPLAY_ENABLED_FLAG | DISPLAY_DESKTOP_SHAPE_CHANGED_FLAG}}));
    auto screens = windowServer.screens();
    ASSERT_EQ(screens.size(), 2u);
    EXPECT_EQ(screens[0].visibleFrame, (Rect{0, 0, 1440, 876}));
    EXPECT_EQ(screens[1].frame, (Rect{1440, 0, 1920, 1080}));
    // A session can have no screen at all (a closed lid).
    server.setScreens(json::array());
    EXPECT_TRUE(windowServer.screens().empty());
}

TEST_F(DesktopHost, StatusItemsMenusAndPopUps)
{
    DesktopServer server;
    auto desktop = connect(server);
    ASSERT_TRUE(desktop);
    auto& statusBar = desktop->statusBar();
    server.missingSymbols({"no.such.symbol"});
    EXPECT_TRUE(statusBar.systemSymbolExists("rectangle.grid.2x2"));
    EXPECT_FALSE(statusBar.systemSymbolExists("no.such.symbol"));

    Menu menu;
    menu.autoenablesItems = false;
    MenuItem hello;
    hello.title = "Hello";
    hello.hasAction = true;
    hello.representedObject = "hello";
    hello.identifier = "hello-row";
    hello.keyEquivalent = "k";
    hello.keyEquivalentModifierMask = MODIFIER_COMMAND | MODIFIER_SHIFT;
    hello.image = SymbolImage{"star", "Hello", 13, FONT_WEIGHT_REGULAR, std::nullopt, true};
    hello.preferredImageVisibility = 1;
    MenuItem more;
    more.title = "More";
    more.submenu = Menu{"More", false, {}};
    MenuItem deep;
    deep.title = "Deep";
    deep.hasAction = true;
    deep.representedObject = "deep";
    more.submenu->items.push_back(deep);
    menu.items = {hello, separatorItem(), more};

    auto item = statusBar.makeStatusItem(VARIABLE_STATUS_ITEM_LENGTH);
    statusBar.setStatusItemAutosaveName(item, "com.example.inprocess");
    StatusItemButton button{SymbolImage{"rectangle.grid.2x2", "Acme", 16, FONT_WEIGHT_SEMIBOLD, "circle.fill", true}, "", "Acme", "Acme"};
    statusBar.setStatusItemButton(item, button);
    statusBar.setStatusItemMenu(item, menu);
    StatusItem expected{VARIABLE_STATUS_ITEM_LENGTH, "com.example.inprocess", button, menu};
    EXPECT_EQ(statusBar.statusItem(item), expected);
    auto drawn = ownRecord(server)["statusItems"][0];
    drawn.erase("item");
    EXPECT_EQ(drawn, wire::toJson(expected)) << "the server sees what the host drew";

    std::vector<std::string> order;
    std::vector<MenuPick> picks;
    statusBar.setMenuWillOpenHandler([&](const MenuPlace& place) {
        order.push_back(place.statusItem ? "open item " + std::to_string(*place.statusItem) : "open pop-up");
    });
    statusBar.setMenuPickHandler([&](const MenuPick& pick) {
        order.push_back("pick " + pick.item.representedObject.value_or("?"));
        picks.push_back(pick);
    });

    auto picked = std::async(std::launch::async, [&] { return server.pick("Deep"); });
    ASSERT_TRUE(fixture::runTheMainQueueUntil([&] { return picks.size() == 1; }));
    EXPECT_EQ(picked.get()["answer"], (json{{"picked", true}}));
    EXPECT_EQ(order, (std::vector<std::string>{"open item 1", "pick deep"}));
    EXPECT_EQ(picks[0].place.statusItem, item);
    EXPECT_EQ(picks[0].path, (std::vector<int>{2, 0}));
    EXPECT_EQ(picks[0].item, deep);

    // A pop-up is modal: the host waits until the user picks or dismisses.
    order.clear();
    auto user = std::async(std::launch::async, [&] {
        server.waitFor([](const json& state) { return !state["hosts"][0]["popUp"].is_null(); });
        return server.pick("hello");
    });
    EXPECT_TRUE(statusBar.popUpMenu(menu, {300, 400}));
    EXPECT_EQ(order, (std::vector<std::string>{"open pop-up", "pick hello"}));
    EXPECT_FALSE(picks.back().place.statusItem);
    EXPECT_EQ(picks.back().item, hello);
    EXPECT_EQ(user.get()["path"], json::array({0}));

    auto dismissing = std::async(std::launch::async, [&] {
        server.waitFor([](const json& state) { return !state["hosts"][0]["popUp"].is_null(); });
        return server.dismiss();
    });
    EXPECT_FALSE(statusBar.popUpMenu(menu, {300, 400}));
    EXPECT_EQ(dismissing.get()["dismissed"], "popUp");
    EXPECT_EQ(ownRecord(server)["popUps"][0]["location"], (json{{"x", 300}, {"y", 400}}));
}

TEST_F(DesktopHost, AlertsAndPanels)
{
    DesktopServer server;
    auto desktop = connect(server);
    ASSERT_TRUE(desktop);
    auto& panels = desktop->panels();
    Alert alert{"Quit Acme?", "Every window and helper process of Acme will close.", {"Quit", "Cancel"}};
    auto user = std::async(std::launch::async, [&] {
        auto shown = server.waitFor([](const json& state) { return !state["hosts"][0]["alert"].is_null(); });
        EXPECT_TRUE(shown);
        EXPECT_EQ((*shown)["hosts"][0]["alert"], wire::toJson(alert));
        return server.answerAlert("Cancel");
    });
    EXPECT_EQ(desktop->alerts().runModalAlert(alert), 1);
    EXPECT_EQ(user.get()["button"], 1);

    PanelStyle style;
    style.width = 150;
    style.height = 34;
    style.nonactivating = true;
    style.level = STATUS_WINDOW_LEVEL;
    style.floating = true;
    style.ignoresMouseEvents = true;
    style.hidesOnDeactivate = false;
    style.opaque = false;
    style.collectionBehavior = COLLECTION_CAN_JOIN_ALL_SPACES | COLLECTION_TRANSIENT | COLLECTION_IGNORES_CYCLE;
    auto panel = panels.makePanel(style);
    panels.setPanelText(panel, "Copied");
    panels.setPanelFrame(panel, {425, 764, 150, 34});
    panels.orderPanelFrontRegardless(panel);
    EXPECT_EQ(panels.panel(panel), (Panel{style, {425, 764, 150, 34}, "Copied", true}));
    auto state = server.state();
    auto shown = DesktopServer::hostIn(state, getpid())["panels"][0];
    EXPECT_EQ(shown["text"], "Copied");
    EXPECT_TRUE(shown["visible"].get<bool>());
    EXPECT_TRUE(shown["style"]["ignoresMouseEvents"].get<bool>());
    // On screen it is a window of the host at the status level, in the
    // window server's coordinates (the screen is 900 points high).
    ASSERT_EQ(state["windowList"].size(), 1u);
    EXPECT_EQ(state["windowList"][0]["kCGWindowLayer"], 25);
    EXPECT_EQ(state["windowList"][0]["kCGWindowBounds"], (json{{"X", 425}, {"Y", 102}, {"Width", 150}, {"Height", 34}}));
    panels.orderPanelOut(panel);
    EXPECT_FALSE(panels.panel(panel)->visible);
    EXPECT_TRUE(server.state()["windowList"].empty());
}

TEST_F(DesktopHost, HotKeysRegisterAndTheirPressesReachTheHandlers)
{
    DesktopServer server;
    auto desktop = connect(server);
    ASSERT_TRUE(desktop);
    auto& hotKeys = desktop->hotKeys();
    const uint32_t declared = fourCharCode("KsHK"), shells = fourCharCode("KsCK");
    auto first = hotKeys.registerHotKey(40, HOT_KEY_CONTROL | HOT_KEY_OPTION, {declared, 0}, 0);
    EXPECT_EQ(first.status, NO_ERR);
    EXPECT_NE(first.reference, 0u);
    EXPECT_EQ(hotKeys.registerHotKey(40, HOT_KEY_CONTROL | HOT_KEY_OPTION, {shells, 0}, 0).status, EVENT_HOT_KEY_EXISTS_ERR);
    server.refuseHotKey("⌘1", -9870);
    auto refused = hotKeys.registerHotKey(18, HOT_KEY_COMMAND, {shells, 1}, 0);
    EXPECT_EQ(refused.status, -9870);
    EXPECT_EQ(refused.reference, 0u);
    auto second = hotKeys.registerHotKey(1, HOT_KEY_COMMAND, {shells, 2}, 0);
    EXPECT_EQ(second.status, NO_ERR);
    EXPECT_EQ(ownRecord(server)["hotKeys"].size(), 2u);

    std::vector<std::string> seen;
    hotKeys.addHotKeyHandler([&](const HotKeyID& id) {
        seen.push_back("declared " + std::to_string(id.id));
        return id.signature == declared ? NO_ERR : EVENT_NOT_HANDLED_ERR;
    });
    hotKeys.addHotKeyHandler([&](const HotKeyID& id) {
        seen.push_back("shells " + std::to_string(id.id));
        return id.signature == shells ? NO_ERR : EVENT_NOT_HANDLED_ERR;
    });
    for (auto [chord, handledBy] : {std::pair{"⌃⌥K", "declared 0"}, std::pair{"⌘S", "shells 2"}}) {
        SCOPED_TRACE(chord);
        seen.clear();
        auto pressed = std::async(std::launch::async, [&, chord = std::string(chord)] { return server.press(chord); });
        ASSERT_TRUE(fixture::runTheMainQueueUntil([&] { return !seen.empty() && seen.back() == handledBy; }));
        EXPECT_EQ(pressed.get()["answer"], (json{{"handled", true}}));
        EXPECT_EQ(seen.front(), std::string("shells ") + (handledBy == std::string("shells 2") ? "2" : "0")) << "the latest handler sees it first";
    }

    EXPECT_EQ(hotKeys.unregisterHotKey(first.reference), NO_ERR);
    EXPECT_EQ(hotKeys.unregisterHotKey(first.reference), PARAM_ERR);
    EXPECT_TRUE(server.press("⌃⌥K").contains("error"));
}

TEST_F(DesktopHost, AppleEventsTheDelegateAndServices)
{
    DesktopServer server;
    auto desktop = connect(server);
    ASSERT_TRUE(desktop);
    auto terminal = server.add({{"bundleIdentifier", "com.apple.Terminal"}})["application"]["pid"].get<int32_t>();

    std::vector<std::pair<std::vector<std::string>, std::optional<AppleEvent>>> opened;
    std::vector<std::optional<AppleEvent>> quits, reopens;
    TerminateReply reply = TerminateReply::cancel;
    int terminations = 0;
    auto& applicationEvents = desktop->applicationEvents();
    applicationEvents.setApplicationDelegate({
        [&](const std::vector<std::string>& urls) { opened.push_back({urls, applicationEvents.currentAppleEvent()}); },
        [&](bool) {
            reopens.push_back(applicationEvents.currentAppleEvent());
            return false;
        },
        [&] {
            quits.push_back(applicationEvents.currentAppleEvent());
            return reply;
        },
        [&] { ++terminations; },
    });
    EXPECT_FALSE(applicationEvents.currentAppleEvent());

    // Without a handler of its own, a get-URL event reaches the delegate.
    server.getURL("acme://one", terminal);
    ASSERT_TRUE(fixture::runTheMainQueueUntil([&] { return opened.size() == 1; }));
    EXPECT_EQ(opened[0].first, std::vector<std::string>{"acme://one"});
    EXPECT_EQ(opened[0].second, (AppleEvent{INTERNET_EVENT_CLASS, INTERNET_EVENT_CLASS, "acme://one", terminal, std::nullopt}));

    std::vector<AppleEvent> events;
    applicationEvents.setGetURLHandler([&](const AppleEvent& event) {
        events.push_back(event);
        EXPECT_EQ(applicationEvents.currentAppleEvent(), event);
    });
    server.getURL("acme://two", terminal);
    server.getURL(nullptr);
    ASSERT_TRUE(fixture::runTheMainQueueUntil([&] { return events.size() == 2; }));
    EXPECT_EQ(events[0].directObject, "acme://two");
    EXPECT_EQ(events[0].senderPid, terminal);
    EXPECT_FALSE(events[1].directObject);
    EXPECT_FALSE(events[1].senderPid);
    EXPECT_FALSE(applicationEvents.currentAppleEvent()) << "the current event lasts only while it is handled";

    server.openURLs({"acme://a", "file:///tmp/x.acmelink"}, terminal);
    ASSERT_TRUE(fixture::runTheMainQueueUntil([&] { return opened.size() == 2; }));
    EXPECT_EQ(opened[1].first, (std::vector<std::string>{"acme://a", "file:///tmp/x.acmelink"}));
    EXPECT_EQ(opened[1].second->eventID, OPEN_DOCUMENTS_EVENT_ID);
    EXPECT_EQ(opened[1].second->senderPid, terminal);

    auto answer = [&](auto request) {
        auto pending = std::async(std::launch::async, request);
        EXPECT_EQ(pending.wait_for(0s), std::future_status::timeout);
        fixture::runTheMainQueueUntil([&] { return pending.wait_for(0s) == std::future_status::ready; });
        return pending.get();
    };
    EXPECT_EQ(answer([&] { return server.reopen(); })["answer"], (json{{"handled", false}}));
    ASSERT_EQ(reopens.size(), 1u);
    EXPECT_FALSE(reopens[0]) << "a reopen the client asks for carries no Apple event";

    EXPECT_EQ(answer([&] { return server.askToQuit("shut", terminal); })["answer"], (json{{"reply", "cancel"}}));
    ASSERT_EQ(quits.size(), 1u);
    EXPECT_EQ(quits[0], (AppleEvent{CORE_EVENT_CLASS, QUIT_EVENT_ID, std::nullopt, terminal, fourCharCode("shut")}));
    EXPECT_EQ(terminations, 0) << "a cancelled quit ends nothing";
    // The platform does not end the process: a quit answered now reaches the
    // delegate's terminate, and the test (playing the host) goes on.
    reply = TerminateReply::now;
    EXPECT_EQ(answer([&] { return server.askToQuit(); })["answer"], (json{{"reply", "now"}}));
    ASSERT_EQ(quits.size(), 2u);
    EXPECT_FALSE(quits[1]) << "a quit from the host's own menu has no Apple event";
    EXPECT_EQ(terminations, 1);

    EXPECT_EQ(answer([&] { return server.service({"/tmp/a.txt"}, "import"); })["answer"],
              (json{{"error", "The application provides no services"}}));
    std::vector<ServicesRequest> requests;
    applicationEvents.setServicesProvider([&](const ServicesRequest& request) -> std::optional<std::string> {
        requests.push_back(request);
        if (request.fileURLs.empty() || !request.userData)
            return std::string("No file for the service");
        return std::nullopt;
    });
    EXPECT_EQ(answer([&] { return server.service({"/tmp/a b.txt", "https://x.example/", "/tmp/c.txt"}, "import"); })["answer"],
              (json{{"error", nullptr}}));
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].message, "openFiles");
    EXPECT_EQ(requests[0].userData, "import");
    EXPECT_EQ(requests[0].fileURLs, (std::vector<std::string>{"file:///tmp/a%20b.txt", "file:///tmp/c.txt"}));
    EXPECT_EQ(answer([&] { return server.service(json::array(), nullptr); })["answer"], (json{{"error", "No file for the service"}}));

    EXPECT_EQ(ownRecord(server)["handlers"],
              (json{{"getURL", true}, {"services", true}, {"delegate", true}, {"displayReconfiguration", false}}));
    applicationEvents.setGetURLHandler(nullptr);
    EXPECT_FALSE(ownRecord(server)["handlers"]["getURL"].get<bool>());
}

TEST_F(DesktopHost, AServerThatDiesDuringAModalCallLeavesTheHostHeadless)
{
    auto server = std::make_unique<DesktopServer>();
    auto desktop = connect(*server);
    ASSERT_TRUE(desktop);
    auto& statusBar = desktop->statusBar();
    auto& alerts = desktop->alerts();
    auto item = statusBar.makeStatusItem(VARIABLE_STATUS_ITEM_LENGTH);
    statusBar.setStatusItemAutosaveName(item, "kept");
    auto killer = std::async(std::launch::async, [&] {
        server->waitFor([](const json& state) { return !state["hosts"][0]["alert"].is_null(); });
        server->kill();
    });
    testing::internal::CaptureStderr();
    EXPECT_EQ(alerts.runModalAlert({"Quit?", "", {"Quit", "Cancel"}}), 0) << "the headless answer: the first button";
    killer.get();
    // Everything afterwards is the headless desktop's, without a word more.
    EXPECT_FALSE(desktop->workspace().frontmostApplication());
    EXPECT_EQ(desktop->windowServer().screens(), std::vector<Screen>{headlessScreen()});
    EXPECT_EQ(desktop->hotKeys().registerHotKey(40, 256, {1, 0}, 0).status, NO_ERR);
    EXPECT_EQ(alerts.runModalAlert({"Again?", "", {"Yes", "No"}}), 0);
    EXPECT_EQ(statusBar.statusItem(item)->autosaveName, "kept") << "the host's own state stays";
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(occurrences(said, "desktop server went away"), 1u) << said;
    EXPECT_NE(said.find("the server closed the connection"), std::string::npos) << said;
}

TEST_F(DesktopHost, AServerThatStopsAnsweringIsDroppedAfterTheBound)
{
    FakeServer silent([](int fd) {
        // It reads and never answers, until the host gives up on it.
        while (!FakeServer::readLine(fd).empty()) {
        }
    });
    setenv(DESKTOP_TIMEOUT_VARIABLE, "300", 1);
    auto connected = connectToTheDesktopServer(silent.path(), identity);
    unsetenv(DESKTOP_TIMEOUT_VARIABLE);
    ASSERT_TRUE(connected.ok()) << connected.failure().description();
    auto desktop = std::move(*connected);
    testing::internal::CaptureStderr();
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(desktop->workspace().frontmostApplication());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_EQ(desktop->windowServer().onScreenWindows()->size(), 0u);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said, "desktop server went away (no answer to frontmostApplication within 300 ms); the headless desktop serves from now on\n");
}

TEST_F(DesktopHost, MalformedLinesFromTheServerAreReportedAndSkipped)
{
    std::promise<std::string> complaint;
    FakeServer talker([&](int fd) {
        std::string lines = "garbage\n{\"neither\":1}\n" + json{{"event", "application"}, {"notification", "didBecomeActive"}}.dump() + "\n";
        ::send(fd, lines.data(), lines.size(), MSG_NOSIGNAL);
        std::string first = FakeServer::readLine(fd);
        std::string second = FakeServer::readLine(fd);
        complaint.set_value(first + "\n" + second);
        while (!FakeServer::readLine(fd).empty()) {
        }
    });
    auto connected = connectToTheDesktopServer(talker.path(), identity);
    ASSERT_TRUE(connected.ok()) << connected.failure().description();
    auto desktop = std::move(*connected);
    bool active = false;
    desktop->workspace().observeApplication(ApplicationNotification::didBecomeActive, [&] { active = true; });
    ASSERT_TRUE(fixture::runTheMainQueueUntil([&] { return active; })) << "the good line after the bad ones still counts";
    auto said = complaint.get_future().get();
    EXPECT_NE(said.find(R"("error":"not a JSON object","line":"garbage","op":"malformed")"), std::string::npos) << said;
    EXPECT_NE(said.find(R"("error":"neither a reply nor an event")"), std::string::npos) << said;
}

TEST_F(DesktopHost, AnUnreachableServerIsNamedAndRefused)
{
    auto missing = connectToTheDesktopServer("/tmp/kd-no-such-folder/desktop.sock", identity);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.failure().description(), "No such file or directory");
    EXPECT_EQ(missing.failure().call, "connect");
    auto tooLong = connectToTheDesktopServer("/tmp/" + std::string(120, 'x'), identity);
    ASSERT_FALSE(tooLong.ok());
    EXPECT_EQ(tooLong.failure().description(), "the socket path is longer than 103 bytes");
}

// --- The real host -------------------------------------------------------------------

TEST(DesktopRealHost, RunsAgainstTheServerFollowsTheFrontAndEndsOnAQuit)
{
    DesktopServer server;
    auto safari = server.add({{"bundleIdentifier", "com.apple.Safari"}, {"windows", {window(100, 50, 800, 600)}}})["application"]["pid"]
                      .get<int64_t>();
    fixture::Bundle bundle;
    bundle.writeInfoWithIdentifier("com.example.acme", {{"CFBundleName", "Acme"}, {"LSUIElement", true}});
    bundle.writeTestShellDescriptor();
    bundle.installHost();
    fixture::RunOptions options;
    options.arguments = {"ts:forever"};
    auto host = fixture::startHost(bundle, server.withDesktop(options));

    auto record = server.waitForHost("com.example.acme");
    ASSERT_TRUE(record) << host->err();
    // It introduced itself with the policy its Info.plist gives it at launch.
    bool introduced = false;
    for (const auto& entry : server.log()) {
        if (entry.value("connected", "") == "host")
            introduced = entry["request"]["activationPolicy"] == 1;
    }
    EXPECT_TRUE(introduced);
    EXPECT_EQ((*record)["localizedName"], "Acme");
    EXPECT_EQ((*record)["bundlePath"], bundle.path());
    pid_t pid = (*record)["pid"].get<pid_t>();
    EXPECT_EQ(pid, host->pid());
    // The host makes itself prohibited at start-up.
    ASSERT_TRUE(server.waitFor([&](const json& state) { return DesktopServer::hostIn(state, pid)["activationPolicy"] == 2; }));

    auto since = server.state()["next"].get<int64_t>();
    server.front(safari);
    auto state = server.state();
    EXPECT_EQ(state["front"], safari);
    bool told = false;
    for (const auto& entry : server.log(since)) {
        told = told || (entry.value("to", 0) == pid && entry["event"]["notification"] == "didActivateApplication");
    }
    EXPECT_TRUE(told) << "the host hears of the new front application";

    // A plan mode of the same bundle reads the window list from the server.
    fixture::RunOptions planOptions;
    planOptions.arguments = {"--badge-plan", json{{"badge", {{"pid", safari}, {"text", "hi"}}}}.dump()};
    auto plan = bundle.run(server.withDesktop(planOptions));
    EXPECT_EQ(plan.status, 0) << plan.err;
    EXPECT_EQ(json::parse(plan.out)["frame"], (json{{"x", 425}, {"y", 102}, {"width", 150}, {"height", 34}}));

    // A quit request never cuts the shell off: the host answers "cancel",
    // stops the shell in order and leaves once it is gone.
    auto answer = server.askToQuit("shut", safari, pid);
    EXPECT_EQ(answer["answer"], (json{{"reply", "cancel"}})) << answer.dump();
    auto run = host->wait();
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(server.waitFor([&](const json& state) { return !DesktopServer::hostIn(state, pid)["connected"].get<bool>(); }));
}

TEST(DesktopRealHost, GoesOnHeadlessWhenTheServerGoesOrWasNeverThere)
{
    fixture::Bundle bundle;
    bundle.writeInfoWithIdentifier("com.example.acme");
    bundle.writeTestShellDescriptor();
    bundle.installHost();
    {
        DesktopServer server;
        fixture::RunOptions options;
        options.arguments = {"ts:forever"};
        auto host = fixture::startHost(bundle, server.withDesktop(options));
        // Once it has made itself prohibited, the host has its answers from the server.
        ASSERT_TRUE(server.waitFor([](const json& state) {
            return !state["hosts"].empty() && state["hosts"][0]["activationPolicy"] == 2;
        })) << host->err();
        server.kill();
        EXPECT_TRUE(host->waitForError("desktop server went away (the server closed the connection)")) << host->err();
        // It goes on until asked to end, and ends as asked.
        host->signal(SIGTERM);
        EXPECT_EQ(host->wait().status, 143) << "the host goes on" << host->err();
        EXPECT_EQ(occurrences(host->err(), "desktop server"), 1u) << host->err();
    }

    fixture::RunOptions options;
    options.arguments = {"--badge-plan", R"({"badge":{"pid":4242}})"};
    options.environment[DESKTOP_SOCKET_VARIABLE] = "/tmp/kd-no-such-folder/desktop.sock";
    auto run = bundle.run(options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(json::parse(run.out)["badge"], false);
    EXPECT_EQ(run.err,
              "desktop server unreachable at /tmp/kd-no-such-folder/desktop.sock (No such file or directory); the headless desktop serves\n");
}

TEST(DesktopRealHost, AQuitFromAnotherApplicationStopsTheShellAndWhatItStarted)
{
    DesktopServer server;
    auto safari = server.add({{"bundleIdentifier", "com.apple.Safari"}})["application"]["pid"].get<int64_t>();
    fixture::Bundle bundle;
    bundle.writeInfoWithIdentifier("com.example.acme");
    bundle.writeTestShellDescriptor();
    bundle.installHost();
    const std::string shellFile = bundle.root() + "/shell", helperFile = bundle.root() + "/helper";
    fixture::RunOptions options;
    // The shell's helper ignores SIGTERM.
    options.arguments = {"ts:pid=" + shellFile, "ts:spawn=" + helperFile, "ts:forever"};
    auto host = fixture::startHost(bundle, server.withDesktop(options));
    auto record = server.waitForHost("com.example.acme");
    ASSERT_TRUE(record) << host->err();
    auto pidIn = [](const std::string& path) {
        std::ifstream file(path);
        pid_t pid = 0;
        file >> pid;
        return pid;
    };
    ASSERT_TRUE(fixture::eventually([&] { return pidIn(shellFile) > 0 && pidIn(helperFile) > 0; }));
    const pid_t shell = pidIn(shellFile), helper = pidIn(helperFile);

    auto answer = server.askToQuit("quit", safari, host->pid());
    EXPECT_EQ(answer["answer"], (json{{"reply", "cancel"}})) << answer.dump();
    auto run = host->wait();
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 0) << run.err;
    auto log = fixture::readLines(bundle.applicationSupport("com.example.acme") + "/shell.jsonl");
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back()["kind"], "child-exit");
    EXPECT_EQ(log.back()["status"], SIGTERM) << "the shell was asked to end";
    EXPECT_TRUE(fixture::eventually([&] { return !platform::isAlive(shell) && !platform::isAlive(helper); }))
        << "nothing the shell started outlives the quit";
}

namespace {

// The process id a test shell wrote to a file, or 0 before it has.
pid_t pidIn(const std::string& path)
{
    std::ifstream file(path);
    pid_t pid = 0;
    file >> pid;
    return pid;
}

// Of a state: the applications that joined the session by themselves.
std::vector<json> joinedApplications(const json& state)
{
    std::vector<json> joined;
    for (const auto& application : state["applications"]) {
        if (application["kind"] == "application")
            joined.push_back(application);
    }
    return joined;
}

} // namespace

TEST(DesktopRealHost, AShellThatRegistersIsARunningApplicationForAsLongAsItRuns)
{
    DesktopServer server;
    fixture::Bundle bundle;
    bundle.writeInfoWithIdentifier("com.example.acme");
    bundle.writeTestShellDescriptor();
    bundle.installHost();
    const std::string shellFile = bundle.root() + "/shell";
    fixture::RunOptions options;
    // The pid is written once the server has taken the registration.
    options.arguments = {"ts:register-app=com.example.acme.shell:Acme shell", "ts:pid=" + shellFile, "ts:forever"};
    auto host = fixture::startHost(bundle, server.withDesktop(options));
    ASSERT_TRUE(fixture::eventually([&] { return pidIn(shellFile) > 0; })) << host->err();
    const pid_t first = pidIn(shellFile);
    auto state = server.state();
    auto joined = joinedApplications(state);
    ASSERT_EQ(joined.size(), 1u) << state["applications"].dump();
    EXPECT_EQ(joined[0]["pid"], first);
    EXPECT_EQ(joined[0]["bundleIdentifier"], "com.example.acme.shell");
    EXPECT_EQ(joined[0]["localizedName"], "Acme shell");
    EXPECT_EQ(joined[0]["activationPolicy"], 0);
    EXPECT_EQ(DesktopServer::applicationIn(state, host->pid())["kind"], "host");

    // A swap ends the shell: it leaves the session, and the new one joins.
    auto since = server.state()["next"].get<int64_t>();
    host->signal(SIGHUP);
    ASSERT_TRUE(fixture::eventually([&] { return pidIn(shellFile) > 0 && pidIn(shellFile) != first; })) << host->err();
    const pid_t second = pidIn(shellFile);
    ASSERT_TRUE(server.waitFor([&](const json& state) {
        auto joined = joinedApplications(state);
        return joined.size() == 1 && joined[0]["pid"] == second;
    })) << server.state()["applications"].dump();
    bool told = false;
    for (const auto& entry : server.log(since)) {
        told = told
            || (entry.value("to", 0) == host->pid() && entry["event"]["notification"] == "didTerminateApplication"
                && entry["event"]["application"]["pid"] == first);
    }
    EXPECT_TRUE(told) << "the host hears that its first shell terminated";

    // The host's end takes the shell, and with it the application, away.
    host->signal(SIGTERM);
    auto run = host->wait();
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.err.find("register-app failed"), std::string::npos) << run.err;
    EXPECT_TRUE(server.waitFor([](const json& state) { return state["applications"].empty(); })) << server.state()["applications"].dump();
}

TEST(DesktopRealHost, ATestShellThatCannotRegisterSaysWhyAndGoesOn)
{
    DesktopServer server;
    struct Case {
        const char* what;
        std::map<std::string, std::string> environment;
        std::vector<std::string> arguments;
        std::string error;   // how standard error begins
        std::string reason = "";   // and what it says after that
    };
    const std::vector<Case> cases = {
        {"no server named", {}, {"ts:register-app=com.example.one"}, "test-shell: register-app failed: KESTRUNE_DESKTOP_SOCKET is not set\n"},
        {"nobody at the socket",
         {{DESKTOP_SOCKET_VARIABLE, "/tmp/kd-no-such-folder/desktop.sock"}},
         {"ts:register-app=com.example.one"},
         "test-shell: register-app failed: cannot connect to /tmp/kd-no-such-folder/desktop.sock: No such file or directory\n"},
        {"refused by the server: the process is registered already",
         {{DESKTOP_SOCKET_VARIABLE, server.socket()}},
         {"ts:register-app=com.example.one", "ts:register-app=com.example.two"},
         "test-shell: register-app failed: process ", " is registered already (connection "},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        fixture::RunOptions options;
        options.environment = test.environment;
        options.arguments = test.arguments;
        options.arguments.push_back("ts:print=went on");
        auto run = fixture::runProgram(fixture::testShell(), options, "/tmp");
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, "went on\n");
        EXPECT_EQ(run.err.substr(0, test.error.size()), test.error);
        EXPECT_NE(run.err.find(test.reason), std::string::npos) << run.err;
        EXPECT_EQ(occurrences(run.err, "\n"), 1u) << run.err;
    }
    EXPECT_TRUE(server.waitFor([](const json& state) { return state["applications"].empty(); }))
        << "the registration that was taken ended with its process";
}
