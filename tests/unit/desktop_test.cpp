// The headless desktop, and the desktop's values as the protocol writes them.
#include "platform/desktop.h"
#include "platform/desktop/wire.h"
#include "platform/desktop/headless/status_bar_headless.h"
#include "platform/desktop/headless/window_server_headless.h"
#include "platform/main_queue.h"

#include <asio/io_context.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <thread>

using namespace platform;
using nlohmann::json;

namespace {

// Runs what the main queue holds now.
void runTheMainQueue()
{
    runWhatIsReady();
}

DesktopIdentity someone()
{
    return {4242, "com.example.acme", "Acme", "/Applications/Acme.app", ActivationPolicy::regular};
}

Menu sampleMenu()
{
    MenuItem open;
    open.title = "Open";
    open.hasAction = true;
    open.identifier = "open-row";
    open.representedObject = "open";
    open.keyEquivalent = "\r";
    open.keyEquivalentModifierMask = MODIFIER_COMMAND | MODIFIER_OPTION;
    open.image = SymbolImage{"folder", "Open", 13, FONT_WEIGHT_REGULAR, std::nullopt, true};
    open.preferredImageVisibility = 1;
    MenuItem deeper;
    deeper.title = "Deeper";
    deeper.enabled = false;
    deeper.representedObject = "";
    MenuItem more;
    more.title = "More";
    more.submenu = Menu{"More", false, {deeper, separatorItem()}};
    return Menu{"", false, {open, separatorItem(), more}};
}

} // namespace

TEST(DesktopValues, SurviveTheirWayThroughJson)
{
    RunningApplication application{77, "com.apple.Safari", "Safari", std::nullopt, ActivationPolicy::accessory, true, true};
    EXPECT_EQ(wire::runningApplicationOf(wire::toJson(application)), application);
    Menu menu = sampleMenu();
    EXPECT_EQ(wire::menuOf(wire::toJson(menu)), menu);
    StatusItem item{VARIABLE_STATUS_ITEM_LENGTH, "com.example.acme",
                    {SymbolImage{"rectangle.grid.2x2", "Acme", 18.5, FONT_WEIGHT_BOLD, "circle.fill", true}, "", "Acme", "Acme"}, menu};
    EXPECT_EQ(wire::statusItemOf(wire::toJson(item)), item);
    PanelStyle style;
    style.width = 150;
    style.level = STATUS_WINDOW_LEVEL;
    style.collectionBehavior = 73;
    style.background = "black 0.78";
    Panel panel{style, {1.5, 2, 3, 4}, "hi", true};
    EXPECT_EQ(wire::panelOf(wire::toJson(panel)), panel);
    Alert alert{"Quit Acme?", "Every window closes.", {"Quit", "Cancel"}};
    EXPECT_EQ(wire::alertOf(wire::toJson(alert)), alert);
    Screen screen{3, {-1440, 0, 1440, 900}, {-1440, 0, 1440, 876}};
    EXPECT_EQ(wire::screenOf(wire::toJson(screen)), screen);
    // Whole numbers are written without a fraction.
    EXPECT_EQ(wire::lineOf(wire::toJson(Rect{1, 2.5, 3, 4})), R"({"height":4,"width":3,"x":1,"y":2.5})");
    EXPECT_EQ(boundsOf({425, 102, 150, 34}).dump(), R"({"Height":34,"Width":150,"X":425,"Y":102})");
}

TEST(DesktopValues, OfTheWrongShapeGiveNothing)
{
    json deep = {{"items", json::array()}};
    for (int i = 0; i < 70; ++i)
        deep = {{"items", {{{"title", "x"}, {"submenu", deep}}}}};
    const std::pair<const char*, std::optional<Menu>> menus[] = {
        {"items not a list", wire::menuOf({{"items", 5}})},
        {"no items", wire::menuOf(json::object())},
        {"an item not an object", wire::menuOf({{"items", {1}}})},
        {"an image without its symbol", wire::menuOf({{"items", {{{"title", "x"}, {"image", {{"template", true}}}}}}})},
        {"a submenu without items", wire::menuOf({{"items", {{{"title", "x"}, {"submenu", {{"title", "y"}}}}}}})},
        {"menus nested deeper than 64", wire::menuOf(deep)},
    };
    for (const auto& [what, menu] : menus)
        EXPECT_FALSE(menu) << what;
    EXPECT_FALSE(wire::runningApplicationOf({{"pid", "7"}}));
    EXPECT_FALSE(wire::runningApplicationOf({{"pid", 7}, {"activationPolicy", 3}}));
    EXPECT_FALSE(wire::screenOf({{"display", -1}, {"frame", {{"x", 0}, {"y", 0}, {"width", 1}, {"height", 1}}}}));
    EXPECT_FALSE(wire::alertOf({{"buttons", {"OK", 2}}}));
    EXPECT_FALSE(wire::pathOf(json::array()));
    EXPECT_FALSE(wire::pathOf({0, -1}));
    EXPECT_EQ(wire::pathOf({2, 0}), (std::vector<int>{2, 0}));
    Menu menu = sampleMenu();
    EXPECT_EQ(wire::itemAt(menu, {2, 0})->title, "Deeper");
    EXPECT_FALSE(wire::itemAt(menu, {0, 0})) << "the item has no submenu";
    EXPECT_FALSE(wire::itemAt(menu, {3}));
    // Optional members take their defaults; a missing "enabled" is AppKit's true.
    auto item = wire::menuItemOf({{"title", "x"}});
    ASSERT_TRUE(item);
    EXPECT_TRUE(item->enabled);
    EXPECT_FALSE(item->hasAction);
    EXPECT_EQ(item->keyEquivalentModifierMask, MODIFIER_COMMAND);
}

TEST(DesktopValues, FourCharacterCodes)
{
    EXPECT_EQ(fourCharCode("GURL"), 0x4755524Cu);
    EXPECT_EQ(fourCharCode("KsHK"), 0x4B73484Bu);
    EXPECT_EQ(fourCharText(fourCharCode("why?")), "why?");
    EXPECT_FALSE(fourCharText(0x00414243));
    EXPECT_EQ(fourCharCodeOf("shut"), fourCharCode("shut"));
    for (const char* text : {"", "shu", "shutd", "sh\x01t"})
        EXPECT_FALSE(fourCharCodeOf(text)) << text;
}

TEST(DesktopValues, SymbolNamesAreLowerCasePartsJoinedByDots)
{
    for (const char* name : {"star", "rectangle.grid.2x2", "arrow.down.circle", "1.circle"})
        EXPECT_TRUE(isWellFormedSymbolName(name)) << name;
    for (const char* name : {"", "Star", "star.", ".star", "star..fill", "star fill", "star-fill"})
        EXPECT_FALSE(isWellFormedSymbolName(name)) << name;
}

class HeadlessDesktopTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        markTheMainThread();
        runTheMainQueue();
    }
    std::unique_ptr<Desktop> headless = makeHeadlessDesktop(someone());
    Desktop& desktop = *headless;
};

TEST_F(HeadlessDesktopTest, IsASessionWithNobodyElse)
{
    EXPECT_FALSE(desktop.workspace().frontmostApplication());
    auto running = desktop.workspace().runningApplications();
    ASSERT_EQ(running.size(), 1u);
    EXPECT_EQ(running[0].bundleIdentifier, "com.example.acme");
    EXPECT_EQ(desktop.workspace().runningApplication(4242)->localizedName, "Acme");
    EXPECT_FALSE(desktop.workspace().runningApplication(4243));
    EXPECT_EQ(desktop.workspace().runningApplications("com.example.acme").size(), 1u);
    EXPECT_TRUE(desktop.workspace().runningApplications("com.apple.Safari").empty());
    EXPECT_FALSE(desktop.workspace().activate(4243));
    EXPECT_FALSE(desktop.workspace().openURL("https://kestrune.app"));
    EXPECT_EQ(desktop.windowServer().onScreenWindows(), std::vector<json>{});
    EXPECT_EQ(desktop.windowServer().screens(), std::vector<Screen>{headlessScreen()});
    EXPECT_EQ(desktop.windowServer().mouseLocation(), (Point{720, 450}));
    EXPECT_EQ(desktop.windowServer().statusWindowLevel(), STATUS_WINDOW_LEVEL);
    EXPECT_EQ(desktop.hotKeys().keyboardLayoutType(), KeyboardLayoutType::ansi);
    EXPECT_FALSE(desktop.applicationEvents().currentAppleEvent());
    EXPECT_EQ(desktop.alerts().runModalAlert({"Quit?", "", {"Quit", "Cancel"}}), 0) << "the first button";
    EXPECT_EQ(desktop.alerts().runModalAlert({"Note", "", {}}), 0);
}

TEST_F(HeadlessDesktopTest, KeepsWhatTheHostSet)
{
    auto item = desktop.statusBar().makeStatusItem(VARIABLE_STATUS_ITEM_LENGTH);
    EXPECT_NE(desktop.statusBar().makeStatusItem(30), item);
    desktop.statusBar().setStatusItemAutosaveName(item, "com.example.acme");
    StatusItemButton button{SymbolImage{"star", "Acme", std::nullopt, std::nullopt, std::nullopt, true}, "", "Acme", "Acme"};
    desktop.statusBar().setStatusItemButton(item, button);
    desktop.statusBar().setStatusItemMenu(item, sampleMenu());
    EXPECT_EQ(desktop.statusBar().statusItem(item), (StatusItem{VARIABLE_STATUS_ITEM_LENGTH, "com.example.acme", button, sampleMenu()}));
    EXPECT_FALSE(desktop.statusBar().statusItem(99));

    PanelStyle style;
    style.width = 150;
    style.height = 34;
    auto panel = desktop.panels().makePanel(style);
    EXPECT_EQ(desktop.panels().panel(panel), (Panel{style, {0, 0, 150, 34}, "", false}));
    desktop.panels().setPanelText(panel, "Copied");
    desktop.panels().setPanelFrame(panel, {1, 2, 150, 34});
    desktop.panels().orderPanelFrontRegardless(panel);
    EXPECT_EQ(desktop.panels().panel(panel), (Panel{style, {1, 2, 150, 34}, "Copied", true}));
    desktop.panels().orderPanelOut(panel);
    EXPECT_FALSE(desktop.panels().panel(panel)->visible);

    // A pop-up opens and closes with nobody to pick.
    std::vector<MenuPlace> opened;
    desktop.statusBar().setMenuWillOpenHandler([&](const MenuPlace& place) { opened.push_back(place); });
    desktop.statusBar().setMenuPickHandler([](const MenuPick&) { ADD_FAILURE() << "nobody picks"; });
    EXPECT_FALSE(desktop.statusBar().popUpMenu(sampleMenu(), {1, 2}));
    EXPECT_EQ(opened, std::vector<MenuPlace>{MenuPlace{}});
}

TEST_F(HeadlessDesktopTest, HotKeysRegisterOncePerChordAndAreNeverPressed)
{
    auto first = desktop.hotKeys().registerHotKey(40, HOT_KEY_COMMAND, {1, 0}, 0);
    auto second = desktop.hotKeys().registerHotKey(40, HOT_KEY_COMMAND | HOT_KEY_SHIFT, {1, 1}, 0);
    EXPECT_EQ(first.status, NO_ERR);
    EXPECT_EQ(second.status, NO_ERR);
    EXPECT_NE(first.reference, second.reference);
    EXPECT_EQ(desktop.hotKeys().registerHotKey(40, HOT_KEY_COMMAND, {2, 0}, 0).status, EVENT_HOT_KEY_EXISTS_ERR);
    EXPECT_EQ(desktop.hotKeys().unregisterHotKey(first.reference), NO_ERR);
    EXPECT_EQ(desktop.hotKeys().unregisterHotKey(first.reference), PARAM_ERR);
    EXPECT_EQ(desktop.hotKeys().registerHotKey(40, HOT_KEY_COMMAND, {2, 0}, 0).status, NO_ERR) << "a released chord is free again";
}

TEST_F(HeadlessDesktopTest, TheHostActivatesItselfUnlessProhibited)
{
    std::vector<std::string> heard;
    desktop.workspace().observeApplication(ApplicationNotification::didBecomeActive, [&] { heard.push_back("became active"); });
    desktop.workspace().observeApplication(ApplicationNotification::didResignActive, [&] { heard.push_back("resigned"); });
    auto observer = desktop.workspace().observeWorkspace(WorkspaceNotification::didActivateApplication,
                                             [&](const std::optional<RunningApplication>& application) {
                                                 heard.push_back("activated " + std::to_string(application->pid));
                                             });

    desktop.workspace().setActivationPolicy(ActivationPolicy::prohibited);
    desktop.workspace().activateIgnoringOtherApps();
    EXPECT_FALSE(desktop.workspace().activate(4242));
    EXPECT_FALSE(desktop.workspace().isActive());
    desktop.workspace().setActivationPolicy(ActivationPolicy::accessory);
    desktop.workspace().activateIgnoringOtherApps();
    EXPECT_TRUE(desktop.workspace().isActive());
    EXPECT_EQ(desktop.workspace().frontmostApplication()->activationPolicy, ActivationPolicy::accessory);
    EXPECT_TRUE(heard.empty()) << "notifications come from the main queue";
    runTheMainQueue();
    EXPECT_EQ(heard, (std::vector<std::string>{"became active", "activated 4242"}));

    desktop.workspace().removeObserver(observer);
    desktop.workspace().setActivationPolicy(ActivationPolicy::prohibited);
    EXPECT_FALSE(desktop.workspace().isActive());
    desktop.workspace().setActivationPolicy(ActivationPolicy::regular);
    EXPECT_TRUE(desktop.workspace().activate(4242));
    runTheMainQueue();
    EXPECT_EQ(heard, (std::vector<std::string>{"became active", "activated 4242", "resigned", "became active"}));
}

TEST_F(HeadlessDesktopTest, WorkQueuedByADesktopThatIsGoneDoesNothing)
{
    bool heard = false;
    {
        auto shortLived = makeHeadlessDesktop(someone());
        shortLived->workspace().observeApplication(ApplicationNotification::didBecomeActive, [&] { heard = true; });
        shortLived->workspace().activateIgnoringOtherApps();
    }
    runTheMainQueue();
    EXPECT_FALSE(heard);
}
