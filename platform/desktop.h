// The desktop: what AppKit, Carbon, CoreGraphics and the Apple-event manager
// give a menu-bar host on macOS. The host's subsystems call this interface
// and nothing below it. Two implementations serve it: the embedded headless
// desktop (the default) and the desktop server, a separate program named by
// the environment (see desktop() below).
//
// The calls are shaped after what the host does with them, not after
// AppKit's classes: a menu is a value the host builds and hands over whole, a
// status item or a panel is a number with a state the host sets and can read
// back, and everything the system tells the host (notifications, hot-key
// presses, picks, Apple events) arrives through observers and handlers that
// run on the main queue. Every call is made on the main thread.
#pragma once

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// The environment variable that names the desktop server's socket.
inline constexpr const char* DESKTOP_SOCKET_VARIABLE = "KESTRUNE_DESKTOP_SOCKET";
// How long a call that is not modal waits for the server's answer, in
// milliseconds (default DESKTOP_ANSWER_MS); past it the server counts as gone.
inline constexpr const char* DESKTOP_TIMEOUT_VARIABLE = "KESTRUNE_DESKTOP_TIMEOUT_MS";
inline constexpr int DESKTOP_ANSWER_MS = 5000;
// The version of the protocol spoken with the desktop server.
inline constexpr int DESKTOP_PROTOCOL = 1;

// A four-character code as the system reads it: the four ASCII letters as a
// big-endian unsigned 32-bit number ('GURL', 'KsHK').
constexpr uint32_t fourCharCode(const char (&code)[5])
{
    return (uint32_t(uint8_t(code[0])) << 24) | (uint32_t(uint8_t(code[1])) << 16) | (uint32_t(uint8_t(code[2])) << 8)
           | uint32_t(uint8_t(code[3]));
}
// The four letters of a code; nothing when one of them is not printable ASCII.
std::optional<std::string> fourCharText(uint32_t code);
// The code of a four-letter text; nothing for any other text.
std::optional<uint32_t> fourCharCodeOf(const std::string& text);

// ---------------------------------------------------------------------------
// Geometry

struct Point {
    double x = 0, y = 0;
    bool operator==(const Point&) const = default;
};

struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
};

// A display. `frame` and `visibleFrame` are in screen coordinates: points,
// origin at the lower-left corner of the first screen, y growing upwards.
struct Screen {
    uint32_t display = 0;     // the display's id
    Rect frame;
    Rect visibleFrame;        // without the menu bar
    bool operator==(const Screen&) const = default;
};

// ---------------------------------------------------------------------------
// Applications

enum class ActivationPolicy { regular = 0, accessory = 1, prohibited = 2 };

struct RunningApplication {
    pid_t pid = 0;
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> localizedName;
    std::optional<std::string> bundlePath;
    ActivationPolicy activationPolicy = ActivationPolicy::regular;
    bool terminated = false;
    bool hidden = false;
    bool operator==(const RunningApplication&) const = default;
};

// Notifications of the shared workspace. Each carries the application it is
// about (absent when the system gives none).
enum class WorkspaceNotification {
    didActivateApplication,
    didTerminateApplication,
    didLaunchApplication,
    didHideApplication,
    didUnhideApplication,
};
using WorkspaceObserver = std::function<void(const std::optional<RunningApplication>&)>;

// Notifications of the host's own application object.
enum class ApplicationNotification { didBecomeActive, didResignActive };

using ObserverId = uint64_t;

// ---------------------------------------------------------------------------
// The window server

// Keys of a window description, as the window server names them.
inline constexpr const char* WINDOW_NUMBER = "kCGWindowNumber";
inline constexpr const char* WINDOW_OWNER_PID = "kCGWindowOwnerPID";
inline constexpr const char* WINDOW_OWNER_NAME = "kCGWindowOwnerName";
inline constexpr const char* WINDOW_LAYER = "kCGWindowLayer";
inline constexpr const char* WINDOW_BOUNDS = "kCGWindowBounds";   // {"X","Y","Width","Height"}

// Window levels (CGWindowLevelForKey).
inline constexpr int NORMAL_WINDOW_LEVEL = 0;
inline constexpr int FLOATING_WINDOW_LEVEL = 3;
inline constexpr int STATUS_WINDOW_LEVEL = 25;

// Flags of a display reconfiguration (CGDisplayChangeSummaryFlags).
inline constexpr uint32_t DISPLAY_BEGIN_CONFIGURATION_FLAG = 1 << 0;
inline constexpr uint32_t DISPLAY_MOVED_FLAG = 1 << 1;
inline constexpr uint32_t DISPLAY_SET_MAIN_FLAG = 1 << 2;
inline constexpr uint32_t DISPLAY_SET_MODE_FLAG = 1 << 3;
inline constexpr uint32_t DISPLAY_ADD_FLAG = 1 << 4;
inline constexpr uint32_t DISPLAY_REMOVE_FLAG = 1 << 5;
inline constexpr uint32_t DISPLAY_ENABLED_FLAG = 1 << 8;
inline constexpr uint32_t DISPLAY_DISABLED_FLAG = 1 << 9;
inline constexpr uint32_t DISPLAY_DESKTOP_SHAPE_CHANGED_FLAG = 1 << 12;

using DisplayReconfigurationHandler = std::function<void(uint32_t display, uint32_t flags)>;

// A bounds dictionary turned into a rectangle; nothing when it is not one.
std::optional<Rect> rectFromBounds(const nlohmann::json& bounds);
// The bounds dictionary of a rectangle.
nlohmann::json boundsOf(const Rect& rect);

// ---------------------------------------------------------------------------
// Images, status items and menus

// Font weights (NSFontWeight) used for symbol configurations.
inline constexpr double FONT_WEIGHT_REGULAR = 0.0;
inline constexpr double FONT_WEIGHT_SEMIBOLD = 0.3;
inline constexpr double FONT_WEIGHT_BOLD = 0.4;

// A system-symbol image as the host composes it: the symbol, an optional
// configuration (point size and weight), an optional badge symbol drawn at
// its lower right with a transparent halo, and the template flag.
struct SymbolImage {
    std::string symbol;
    std::string accessibilityDescription;
    std::optional<double> pointSize;
    std::optional<double> weight;
    std::optional<std::string> badge;
    bool isTemplate = false;
    bool operator==(const SymbolImage&) const = default;
};

// Modifier flags of a key equivalent (NSEventModifierFlags).
inline constexpr uint64_t MODIFIER_SHIFT = 1ull << 17;
inline constexpr uint64_t MODIFIER_CONTROL = 1ull << 18;
inline constexpr uint64_t MODIFIER_OPTION = 1ull << 19;
inline constexpr uint64_t MODIFIER_COMMAND = 1ull << 20;

// NSVariableStatusItemLength.
inline constexpr double VARIABLE_STATUS_ITEM_LENGTH = -1;

struct MenuItem;

struct Menu {
    std::string title;
    bool autoenablesItems = true;
    std::vector<MenuItem> items;
    bool operator==(const Menu&) const;
};

struct MenuItem {
    bool separator = false;
    std::string title;
    bool enabled = true;
    // An action is set: picking the item reaches the host's pick handler.
    bool hasAction = false;
    std::optional<std::string> identifier;          // user-interface identifier
    std::optional<std::string> representedObject;   // a string, when there is one
    std::string keyEquivalent;
    uint64_t keyEquivalentModifierMask = MODIFIER_COMMAND;
    std::optional<SymbolImage> image;
    std::optional<int> preferredImageVisibility;
    std::optional<Menu> submenu;
    bool operator==(const MenuItem&) const = default;
};

inline bool Menu::operator==(const Menu& other) const
{
    return title == other.title && autoenablesItems == other.autoenablesItems && items == other.items;
}

// A separator item.
MenuItem separatorItem();

struct StatusItemButton {
    std::optional<SymbolImage> image;
    std::string title;
    std::string toolTip;
    std::string accessibilityLabel;
    bool operator==(const StatusItemButton&) const = default;
};

using StatusItemId = int;

struct StatusItem {
    double length = VARIABLE_STATUS_ITEM_LENGTH;
    std::string autosaveName;
    StatusItemButton button;
    std::optional<Menu> menu;
    bool operator==(const StatusItem&) const = default;
};

// Where a menu was opened or picked: a status item's menu, or a menu popped
// up by the host (statusItem absent).
struct MenuPlace {
    std::optional<StatusItemId> statusItem;
    bool operator==(const MenuPlace&) const = default;
};

// The item picked, with its place and its index path in that menu.
struct MenuPick {
    MenuPlace place;
    std::vector<int> path;
    MenuItem item;
};

using MenuPickHandler = std::function<void(const MenuPick&)>;
using MenuWillOpenHandler = std::function<void(const MenuPlace&)>;

// ---------------------------------------------------------------------------
// Alerts and panels

struct Alert {
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttons;   // in order; none gives one "OK" button
    bool operator==(const Alert&) const = default;
};

// NSWindowCollectionBehavior bits.
inline constexpr uint64_t COLLECTION_CAN_JOIN_ALL_SPACES = 1 << 0;
inline constexpr uint64_t COLLECTION_TRANSIENT = 1 << 3;
inline constexpr uint64_t COLLECTION_IGNORES_CYCLE = 1 << 6;

// How a panel is made. A badge is a non-activating, floating panel at the
// status level that lets clicks through to the window below.
struct PanelStyle {
    double width = 0, height = 0;        // the content size
    bool nonactivating = false;
    int level = NORMAL_WINDOW_LEVEL;
    bool floating = false;
    bool ignoresMouseEvents = false;
    bool hidesOnDeactivate = true;
    bool opaque = true;
    bool hasShadow = true;
    uint64_t collectionBehavior = 0;
    double cornerRadius = 0;              // of its rounded background
    std::string background;               // "black 0.78", free text for readers
    double fontSize = 0;                  // of its label
    double fontWeight = FONT_WEIGHT_REGULAR;
    bool operator==(const PanelStyle&) const = default;
};

using PanelId = int;

struct Panel {
    PanelStyle style;
    Rect frame;               // screen coordinates
    std::string text;         // its label's text
    bool visible = false;     // ordered front and not ordered out since
    bool operator==(const Panel&) const = default;
};

// ---------------------------------------------------------------------------
// Hot keys

// Carbon statuses the host meets.
inline constexpr int32_t NO_ERR = 0;
inline constexpr int32_t PARAM_ERR = -50;
inline constexpr int32_t EVENT_NOT_HANDLED_ERR = -9874;
inline constexpr int32_t EVENT_HOT_KEY_EXISTS_ERR = -9878;

// Carbon modifier bits of a hot key.
inline constexpr uint32_t HOT_KEY_COMMAND = 256;
inline constexpr uint32_t HOT_KEY_SHIFT = 512;
inline constexpr uint32_t HOT_KEY_OPTION = 2048;
inline constexpr uint32_t HOT_KEY_CONTROL = 4096;

struct HotKeyID {
    uint32_t signature = 0;
    uint32_t id = 0;
    bool operator==(const HotKeyID&) const = default;
};

// RegisterEventHotKey's result: the status and, when it is 0, the reference.
struct HotKeyRegistration {
    int32_t status = NO_ERR;
    uint64_t reference = 0;   // 0: none
};

// A handler on the application's event target for hot-key presses. It
// returns NO_ERR when it took the press, EVENT_NOT_HANDLED_ERR to let the
// next handler see it.
using HotKeyHandler = std::function<int32_t(const HotKeyID&)>;

enum class KeyboardLayoutType { ansi, iso, jis };

// ---------------------------------------------------------------------------
// Apple events and the application's delegate

inline constexpr uint32_t INTERNET_EVENT_CLASS = fourCharCode("GURL");   // and event id
inline constexpr uint32_t CORE_EVENT_CLASS = fourCharCode("aevt");
inline constexpr uint32_t QUIT_EVENT_ID = fourCharCode("quit");
inline constexpr uint32_t REOPEN_EVENT_ID = fourCharCode("rapp");
inline constexpr uint32_t OPEN_DOCUMENTS_EVENT_ID = fourCharCode("odoc");

// The attributes of an Apple event that the host reads.
struct AppleEvent {
    uint32_t eventClass = 0;
    uint32_t eventID = 0;
    std::optional<std::string> directObject;   // keyword '----', as a string
    std::optional<int32_t> senderPid;          // attribute 'spid'
    std::optional<uint32_t> quitReason;        // attribute 'why?'
    bool operator==(const AppleEvent&) const = default;
};

using AppleEventHandler = std::function<void(const AppleEvent&)>;

enum class TerminateReply { cancel = 0, now = 1, later = 2 };

// The application's delegate. A missing member behaves as AppKit's default:
// opened URLs are dropped, a reopen is handled, a quit terminates now.
// Terminating now ends the process with status 0, as the system does.
struct ApplicationDelegate {
    std::function<void(const std::vector<std::string>& urls)> openURLs;
    std::function<bool(bool hasVisibleWindows)> shouldHandleReopen;
    std::function<TerminateReply()> shouldTerminate;
};

// A Services request: the message the service names ("openFiles"), its user
// data, and the file URLs on its pasteboard (other pasteboard items left out).
struct ServicesRequest {
    std::string message;
    std::optional<std::string> userData;
    std::vector<std::string> fileURLs;
};
// Answers a request: an error text for the system, or nothing on success.
using ServicesProvider = std::function<std::optional<std::string>(const ServicesRequest&)>;

// ---------------------------------------------------------------------------

class Desktop {
public:
    virtual ~Desktop() = default;

    // --- Workspace -------------------------------------------------------
    // The application in front, if any.
    virtual std::optional<RunningApplication> frontmostApplication() = 0;
    // Every running application, in the workspace's order.
    virtual std::vector<RunningApplication> runningApplications() = 0;
    // The running application with this process id; nothing when the system
    // knows none (also after it terminated).
    virtual std::optional<RunningApplication> runningApplication(pid_t pid) = 0;
    // The running applications with this bundle identifier.
    virtual std::vector<RunningApplication> runningApplications(const std::string& bundleIdentifier) = 0;
    // Asks the application to activate (from the host, no options); true
    // when it did.
    virtual bool activate(pid_t pid) = 0;
    // Opens a URL with whichever application claims it; true when one did.
    virtual bool openURL(const std::string& url) = 0;
    // Observers run on the main queue, in the order they were added.
    virtual ObserverId observeWorkspace(WorkspaceNotification notification, WorkspaceObserver observer) = 0;

    // --- The host's own application --------------------------------------
    virtual void setActivationPolicy(ActivationPolicy policy) = 0;
    virtual ActivationPolicy activationPolicy() = 0;
    // Whether the host is the active application.
    virtual bool isActive() = 0;
    // Activates the host ignoring other applications (refused while its
    // policy is prohibited).
    virtual void activateIgnoringOtherApps() = 0;
    // Lets the application with this process id take activation from the host.
    virtual void yieldActivation(pid_t pid) = 0;
    virtual ObserverId observeApplication(ApplicationNotification notification, std::function<void()> observer) = 0;
    // Stops an observer of either kind.
    virtual void removeObserver(ObserverId observer) = 0;

    // --- Window server -----------------------------------------------------
    // The on-screen windows without desktop elements, front to back, each a
    // dictionary with the keys above; nothing when the window server gives
    // no list.
    virtual std::optional<std::vector<nlohmann::json>> onScreenWindows() = 0;
    // The status-window level.
    virtual int statusWindowLevel() = 0;
    // The screens; the first one holds the menu bar and the origin.
    virtual std::vector<Screen> screens() = 0;
    // The mouse location in screen coordinates.
    virtual Point mouseLocation() = 0;
    // Replaces the display reconfiguration callback (nullptr removes it). It
    // runs once per affected display, first with the begin flag, then with
    // what changed.
    virtual void setDisplayReconfigurationHandler(DisplayReconfigurationHandler handler) = 0;

    // --- Status bar and menus ----------------------------------------------
    // Whether the system has a symbol image of this name.
    virtual bool systemSymbolExists(const std::string& name) = 0;
    // A new status item in the system status bar.
    virtual StatusItemId makeStatusItem(double length) = 0;
    virtual void setStatusItemAutosaveName(StatusItemId item, const std::string& name) = 0;
    virtual void setStatusItemButton(StatusItemId item, const StatusItemButton& button) = 0;
    virtual void setStatusItemMenu(StatusItemId item, const Menu& menu) = 0;
    // What the host set on a status item; nothing for an unknown one.
    virtual std::optional<StatusItem> statusItem(StatusItemId item) = 0;
    // The handler of picks of items with an action, in any menu.
    virtual void setMenuPickHandler(MenuPickHandler handler) = 0;
    // The top menus' delegate call: a status item's menu or a popped-up menu
    // is opening. Submenus have none.
    virtual void setMenuWillOpenHandler(MenuWillOpenHandler handler) = 0;
    // Pops the menu up at a location in screen coordinates, with no item
    // under the mouse, and returns when it closes: true when an item was
    // picked (its pick has reached the pick handler by then). Modal.
    virtual bool popUpMenu(const Menu& menu, Point location) = 0;

    // --- Alerts and panels ---------------------------------------------------
    // Runs the alert modally; the index of the button chosen.
    virtual int runModalAlert(const Alert& alert) = 0;
    virtual PanelId makePanel(const PanelStyle& style) = 0;
    virtual void setPanelText(PanelId panel, const std::string& text) = 0;
    // Moves and resizes the panel (screen coordinates) and redisplays it.
    virtual void setPanelFrame(PanelId panel, const Rect& frame) = 0;
    // Orders the panel front whichever application is active; the host is
    // not activated.
    virtual void orderPanelFrontRegardless(PanelId panel) = 0;
    virtual void orderPanelOut(PanelId panel) = 0;
    virtual std::optional<Panel> panel(PanelId panel) = 0;

    // --- Hot keys ------------------------------------------------------------
    virtual HotKeyRegistration registerHotKey(uint32_t code, uint32_t modifiers, HotKeyID id, uint32_t options) = 0;
    virtual int32_t unregisterHotKey(uint64_t reference) = 0;
    // Installs a handler; the latest installed sees a press first.
    virtual void addHotKeyHandler(HotKeyHandler handler) = 0;
    // KBGetLayoutType(LMGetKbdType()).
    virtual KeyboardLayoutType keyboardLayoutType() = 0;

    // --- Apple events, the delegate, Services --------------------------------
    // The get-URL ('GURL'/'GURL') handler (nullptr removes it). Without one,
    // get-URL events reach the delegate's openURLs.
    virtual void setGetURLHandler(AppleEventHandler handler) = 0;
    // The Apple event being handled, while a handler or delegate call runs.
    virtual std::optional<AppleEvent> currentAppleEvent() = 0;
    virtual void setApplicationDelegate(ApplicationDelegate delegate) = 0;
    // Makes the host the application's services provider (nullptr: none).
    virtual void setServicesProvider(ServicesProvider provider) = 0;
};

// The desktop of this process, chosen once on first use: the desktop server
// whose socket the environment names (DESKTOP_SOCKET_VARIABLE), else the
// headless desktop. A named server that cannot be reached is said once on
// standard error, and the headless desktop serves.
Desktop& desktop();

// Who the host is, as it introduces itself to the desktop.
struct DesktopIdentity {
    pid_t pid = 0;
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> localizedName;
    std::optional<std::string> bundlePath;
    // The policy the system gives the application at launch.
    ActivationPolicy activationPolicy = ActivationPolicy::regular;
};

// This process, from its main bundle: its Info.plist's LSBackgroundOnly
// makes it prohibited at launch, LSUIElement an accessory.
DesktopIdentity ownDesktopIdentity();

// The embedded default: one screen, no other applications, no windows, hot
// keys that register and never fire, alerts answered with their first button.
std::unique_ptr<Desktop> makeHeadlessDesktop(DesktopIdentity identity);
std::unique_ptr<Desktop> makeHeadlessDesktop();

// A desktop backed by the server at `socketPath`; nothing, with the reason in
// `error`, when the server cannot be reached or refuses the host.
std::unique_ptr<Desktop> connectToTheDesktopServer(const std::string& socketPath, DesktopIdentity identity,
                                                   std::string& error);

} // namespace platform
