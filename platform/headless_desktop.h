// The headless desktop, and what every desktop keeps of the host's own: its
// status items, menus, panels, hot keys, observers and handlers. The
// server-backed desktop builds on it and falls back to it.
#pragma once

#include "platform/desktop.h"

#include <map>
#include <string>
#include <vector>

namespace platform {

class HeadlessDesktop : public Desktop {
public:
    explicit HeadlessDesktop(DesktopIdentity identity);

    std::optional<RunningApplication> frontmostApplication() override;
    std::vector<RunningApplication> runningApplications() override;
    std::optional<RunningApplication> runningApplication(pid_t pid) override;
    std::vector<RunningApplication> runningApplications(const std::string& bundleIdentifier) override;
    bool activate(pid_t pid) override;
    bool openURL(const std::string& url) override;
    ObserverId observeWorkspace(WorkspaceNotification notification, WorkspaceObserver observer) override;

    void setActivationPolicy(ActivationPolicy policy) override;
    ActivationPolicy activationPolicy() override;
    bool isActive() override;
    void activateIgnoringOtherApps() override;
    void yieldActivation(pid_t pid) override;
    ObserverId observeApplication(ApplicationNotification notification, std::function<void()> observer) override;
    void removeObserver(ObserverId observer) override;

    std::optional<std::vector<nlohmann::json>> onScreenWindows() override;
    int statusWindowLevel() override;
    std::vector<Screen> screens() override;
    Point mouseLocation() override;
    void setDisplayReconfigurationHandler(DisplayReconfigurationHandler handler) override;

    bool systemSymbolExists(const std::string& name) override;
    StatusItemId makeStatusItem(double length) override;
    void setStatusItemAutosaveName(StatusItemId item, const std::string& name) override;
    void setStatusItemButton(StatusItemId item, const StatusItemButton& button) override;
    void setStatusItemMenu(StatusItemId item, const Menu& menu) override;
    std::optional<StatusItem> statusItem(StatusItemId item) override;
    void setMenuPickHandler(MenuPickHandler handler) override;
    void setMenuWillOpenHandler(MenuWillOpenHandler handler) override;
    bool popUpMenu(const Menu& menu, Point location) override;

    int runModalAlert(const Alert& alert) override;
    PanelId makePanel(const PanelStyle& style) override;
    void setPanelText(PanelId panel, const std::string& text) override;
    void setPanelFrame(PanelId panel, const Rect& frame) override;
    void orderPanelFrontRegardless(PanelId panel) override;
    void orderPanelOut(PanelId panel) override;
    std::optional<Panel> panel(PanelId panel) override;

    HotKeyRegistration registerHotKey(uint32_t code, uint32_t modifiers, HotKeyID id, uint32_t options) override;
    int32_t unregisterHotKey(uint64_t reference) override;
    void addHotKeyHandler(HotKeyHandler handler) override;
    KeyboardLayoutType keyboardLayoutType() override;

    void setGetURLHandler(AppleEventHandler handler) override;
    std::optional<AppleEvent> currentAppleEvent() override;
    void setApplicationDelegate(ApplicationDelegate delegate) override;
    void setServicesProvider(ServicesProvider provider) override;

    // The one screen of a session with nobody at it.
    static Screen headlessScreen();

protected:
    struct HotKeyRecord {
        uint32_t code = 0;
        uint32_t modifiers = 0;
        HotKeyID id;
        uint32_t options = 0;
    };

    // The host as a running application, as it stands now.
    RunningApplication ownApplication() const;
    const DesktopIdentity& identity() const { return identity_; }

    // What the system tells the host, run on the main thread in the order
    // given. Observers may add or remove observers while they run.
    void notifyWorkspace(WorkspaceNotification notification, const std::optional<RunningApplication>& application);
    void notifyApplication(ApplicationNotification notification);
    // Offers a press to the handlers, latest first; false when none took it.
    bool deliverHotKey(const HotKeyID& id);
    // A pick of the item at `path` of a status item's menu; false when the
    // item is not there (the menu changed) or has no action.
    bool deliverStatusItemPick(StatusItemId item, const std::vector<int>& path);
    void deliverMenuPick(const MenuPick& pick);
    void deliverMenuWillOpen(const MenuPlace& place);
    void deliverGetURL(const AppleEvent& event);
    void deliverOpenURLs(const std::vector<std::string>& urls, const std::optional<AppleEvent>& event);
    bool askToReopen(const std::optional<AppleEvent>& event);
    TerminateReply askToTerminate(const std::optional<AppleEvent>& event);
    std::optional<std::string> askTheServicesProvider(const ServicesRequest& request);
    void deliverDisplayChange(uint32_t display, uint32_t flags);
    bool hasGetURLHandler() const { return static_cast<bool>(getURLHandler_); }
    bool hasServicesProvider() const { return static_cast<bool>(servicesProvider_); }
    bool hasDelegate() const { return delegateInstalled_; }
    // Runs `work` on the main queue later, unless this desktop is gone by then.
    void later(std::function<void()> work);

    // The host's own state, as it set it.
    std::map<StatusItemId, StatusItem> statusItems_;
    std::map<PanelId, Panel> panels_;
    std::map<uint64_t, HotKeyRecord> hotKeys_;
    ActivationPolicy policy_ = ActivationPolicy::regular;
    bool active_ = false;

private:
    struct WorkspaceEntry {
        ObserverId id;
        WorkspaceNotification notification;
        WorkspaceObserver observer;
    };
    struct ApplicationEntry {
        ObserverId id;
        ApplicationNotification notification;
        std::function<void()> observer;
    };

    // Runs `work` with `event` as the current Apple event.
    template <typename Work>
    auto withCurrentEvent(const std::optional<AppleEvent>& event, Work&& work);

    // The host takes or loses activation in a session with nobody else.
    void becomeActive();
    void resignActive();

    DesktopIdentity identity_;
    StatusItemId nextStatusItem_ = 1;
    PanelId nextPanel_ = 1;
    uint64_t nextHotKeyReference_ = 1;
    ObserverId nextObserver_ = 1;
    std::vector<WorkspaceEntry> workspaceObservers_;
    std::vector<ApplicationEntry> applicationObservers_;
    std::vector<HotKeyHandler> hotKeyHandlers_;
    MenuPickHandler pickHandler_;
    MenuWillOpenHandler willOpenHandler_;
    DisplayReconfigurationHandler displayHandler_;
    AppleEventHandler getURLHandler_;
    ApplicationDelegate delegate_;
    bool delegateInstalled_ = false;
    ServicesProvider servicesProvider_;
    std::optional<AppleEvent> currentEvent_;
    // Work queued by later() holds this weakly.
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

// Whether a name is shaped like a system symbol's: lower-case letters and
// digits in parts joined by single dots ("rectangle.grid.2x2").
bool isWellFormedSymbolName(const std::string& name);

} // namespace platform
