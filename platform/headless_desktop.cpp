// The headless desktop: a session with nobody at it. No other application
// runs, no window is on screen, hot keys register and are never pressed,
// alerts are answered with their first button, and the host's own state is
// kept so that what the host reads back is what it set.
#include "platform/headless_desktop.h"

#include "platform/desktop_json.h"
#include "platform/main_queue.h"

#include <algorithm>
#include <cstdlib>

namespace platform {

bool isWellFormedSymbolName(const std::string& name)
{
    if (name.empty() || name.front() == '.' || name.back() == '.')
        return false;
    char previous = 0;
    for (char c : name) {
        bool allowed = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.';
        if (!allowed || (c == '.' && previous == '.'))
            return false;
        previous = c;
    }
    return true;
}

HeadlessDesktop::HeadlessDesktop(DesktopIdentity identity)
    : policy_(identity.activationPolicy)
    , identity_(std::move(identity))
{
}

Screen HeadlessDesktop::headlessScreen()
{
    // A 1440 by 900 display with a 24-point menu bar.
    return {1, {0, 0, 1440, 900}, {0, 0, 1440, 876}};
}

void HeadlessDesktop::later(std::function<void()> work)
{
    post([alive = std::weak_ptr<int>(lifetime_), work = std::move(work)] {
        if (alive.lock())
            work();
    });
}

RunningApplication HeadlessDesktop::ownApplication() const
{
    RunningApplication application;
    application.pid = identity_.pid;
    application.bundleIdentifier = identity_.bundleIdentifier;
    application.localizedName = identity_.localizedName;
    application.bundlePath = identity_.bundlePath;
    application.activationPolicy = policy_;
    return application;
}

std::optional<RunningApplication> HeadlessDesktop::frontmostApplication()
{
    assertOnTheMainThread("frontmostApplication");
    if (active_)
        return ownApplication();
    return std::nullopt;
}

std::vector<RunningApplication> HeadlessDesktop::runningApplications()
{
    assertOnTheMainThread("runningApplications");
    return {ownApplication()};
}

std::optional<RunningApplication> HeadlessDesktop::runningApplication(pid_t pid)
{
    assertOnTheMainThread("runningApplication");
    if (pid == identity_.pid)
        return ownApplication();
    return std::nullopt;
}

std::vector<RunningApplication> HeadlessDesktop::runningApplications(const std::string& bundleIdentifier)
{
    assertOnTheMainThread("runningApplications");
    if (identity_.bundleIdentifier == bundleIdentifier)
        return {ownApplication()};
    return {};
}

bool HeadlessDesktop::activate(pid_t pid)
{
    assertOnTheMainThread("activate");
    if (pid != identity_.pid || policy_ == ActivationPolicy::prohibited)
        return false;
    becomeActive();
    return true;
}

bool HeadlessDesktop::openURL(const std::string&)
{
    assertOnTheMainThread("openURL");
    // Nobody else runs here, so no application takes the URL.
    return false;
}

ObserverId HeadlessDesktop::observeWorkspace(WorkspaceNotification notification, WorkspaceObserver observer)
{
    assertOnTheMainThread("observeWorkspace");
    ObserverId id = nextObserver_++;
    workspaceObservers_.push_back({id, notification, std::move(observer)});
    return id;
}

void HeadlessDesktop::setActivationPolicy(ActivationPolicy policy)
{
    assertOnTheMainThread("setActivationPolicy");
    policy_ = policy;
    // An application that may not be activated stops being active.
    if (policy == ActivationPolicy::prohibited && active_)
        resignActive();
}

ActivationPolicy HeadlessDesktop::activationPolicy()
{
    assertOnTheMainThread("activationPolicy");
    return policy_;
}

bool HeadlessDesktop::isActive()
{
    assertOnTheMainThread("isActive");
    return active_;
}

void HeadlessDesktop::activateIgnoringOtherApps()
{
    assertOnTheMainThread("activateIgnoringOtherApps");
    if (policy_ != ActivationPolicy::prohibited)
        becomeActive();
}

// The host takes the front; its observers hear of it from the main queue.
void HeadlessDesktop::becomeActive()
{
    if (active_)
        return;
    active_ = true;
    later([this, application = ownApplication()] {
        notifyApplication(ApplicationNotification::didBecomeActive);
        notifyWorkspace(WorkspaceNotification::didActivateApplication, application);
    });
}

// The host leaves the front.
void HeadlessDesktop::resignActive()
{
    active_ = false;
    later([this] { notifyApplication(ApplicationNotification::didResignActive); });
}

void HeadlessDesktop::yieldActivation(pid_t)
{
    assertOnTheMainThread("yieldActivation");
}

ObserverId HeadlessDesktop::observeApplication(ApplicationNotification notification, std::function<void()> observer)
{
    assertOnTheMainThread("observeApplication");
    ObserverId id = nextObserver_++;
    applicationObservers_.push_back({id, notification, std::move(observer)});
    return id;
}

void HeadlessDesktop::removeObserver(ObserverId observer)
{
    assertOnTheMainThread("removeObserver");
    std::erase_if(workspaceObservers_, [&](const WorkspaceEntry& entry) { return entry.id == observer; });
    std::erase_if(applicationObservers_, [&](const ApplicationEntry& entry) { return entry.id == observer; });
}

std::optional<std::vector<nlohmann::json>> HeadlessDesktop::onScreenWindows()
{
    assertOnTheMainThread("onScreenWindows");
    return std::vector<nlohmann::json>{};
}

int HeadlessDesktop::statusWindowLevel()
{
    return STATUS_WINDOW_LEVEL;
}

std::vector<Screen> HeadlessDesktop::screens()
{
    assertOnTheMainThread("screens");
    return {headlessScreen()};
}

Point HeadlessDesktop::mouseLocation()
{
    assertOnTheMainThread("mouseLocation");
    auto screen = headlessScreen();
    return {screen.frame.width / 2, screen.frame.height / 2};
}

void HeadlessDesktop::setDisplayReconfigurationHandler(DisplayReconfigurationHandler handler)
{
    assertOnTheMainThread("setDisplayReconfigurationHandler");
    displayHandler_ = std::move(handler);
}

bool HeadlessDesktop::systemSymbolExists(const std::string& name)
{
    assertOnTheMainThread("systemSymbolExists");
    return isWellFormedSymbolName(name);
}

StatusItemId HeadlessDesktop::makeStatusItem(double length)
{
    assertOnTheMainThread("makeStatusItem");
    StatusItemId id = nextStatusItem_++;
    StatusItem item;
    item.length = length;
    statusItems_[id] = item;
    return id;
}

void HeadlessDesktop::setStatusItemAutosaveName(StatusItemId item, const std::string& name)
{
    assertOnTheMainThread("setStatusItemAutosaveName");
    if (auto found = statusItems_.find(item); found != statusItems_.end())
        found->second.autosaveName = name;
}

void HeadlessDesktop::setStatusItemButton(StatusItemId item, const StatusItemButton& button)
{
    assertOnTheMainThread("setStatusItemButton");
    if (auto found = statusItems_.find(item); found != statusItems_.end())
        found->second.button = button;
}

void HeadlessDesktop::setStatusItemMenu(StatusItemId item, const Menu& menu)
{
    assertOnTheMainThread("setStatusItemMenu");
    if (auto found = statusItems_.find(item); found != statusItems_.end())
        found->second.menu = menu;
}

std::optional<StatusItem> HeadlessDesktop::statusItem(StatusItemId item)
{
    assertOnTheMainThread("statusItem");
    if (auto found = statusItems_.find(item); found != statusItems_.end())
        return found->second;
    return std::nullopt;
}

void HeadlessDesktop::setMenuPickHandler(MenuPickHandler handler)
{
    assertOnTheMainThread("setMenuPickHandler");
    pickHandler_ = std::move(handler);
}

void HeadlessDesktop::setMenuWillOpenHandler(MenuWillOpenHandler handler)
{
    assertOnTheMainThread("setMenuWillOpenHandler");
    willOpenHandler_ = std::move(handler);
}

bool HeadlessDesktop::popUpMenu(const Menu&, Point)
{
    assertOnTheMainThread("popUpMenu");
    // The menu opens and, with nobody to pick, closes again.
    deliverMenuWillOpen(MenuPlace{});
    return false;
}

int HeadlessDesktop::runModalAlert(const Alert&)
{
    assertOnTheMainThread("runModalAlert");
    return 0;
}

PanelId HeadlessDesktop::makePanel(const PanelStyle& style)
{
    assertOnTheMainThread("makePanel");
    PanelId id = nextPanel_++;
    Panel panel;
    panel.style = style;
    panel.frame = {0, 0, style.width, style.height};
    panels_[id] = panel;
    return id;
}

void HeadlessDesktop::setPanelText(PanelId panel, const std::string& text)
{
    assertOnTheMainThread("setPanelText");
    if (auto found = panels_.find(panel); found != panels_.end())
        found->second.text = text;
}

void HeadlessDesktop::setPanelFrame(PanelId panel, const Rect& frame)
{
    assertOnTheMainThread("setPanelFrame");
    if (auto found = panels_.find(panel); found != panels_.end())
        found->second.frame = frame;
}

void HeadlessDesktop::orderPanelFrontRegardless(PanelId panel)
{
    assertOnTheMainThread("orderPanelFrontRegardless");
    if (auto found = panels_.find(panel); found != panels_.end())
        found->second.visible = true;
}

void HeadlessDesktop::orderPanelOut(PanelId panel)
{
    assertOnTheMainThread("orderPanelOut");
    if (auto found = panels_.find(panel); found != panels_.end())
        found->second.visible = false;
}

std::optional<Panel> HeadlessDesktop::panel(PanelId panel)
{
    assertOnTheMainThread("panel");
    if (auto found = panels_.find(panel); found != panels_.end())
        return found->second;
    return std::nullopt;
}

HotKeyRegistration HeadlessDesktop::registerHotKey(uint32_t code, uint32_t modifiers, HotKeyID id, uint32_t options)
{
    assertOnTheMainThread("registerHotKey");
    // A chord is held once in the whole system, by whoever took it first.
    for (const auto& [reference, record] : hotKeys_) {
        if (record.code == code && record.modifiers == modifiers)
            return {EVENT_HOT_KEY_EXISTS_ERR, 0};
    }
    // References the server handed out before it went away stay taken.
    while (hotKeys_.count(nextHotKeyReference_))
        ++nextHotKeyReference_;
    uint64_t reference = nextHotKeyReference_++;
    hotKeys_[reference] = {code, modifiers, id, options};
    return {NO_ERR, reference};
}

int32_t HeadlessDesktop::unregisterHotKey(uint64_t reference)
{
    assertOnTheMainThread("unregisterHotKey");
    return hotKeys_.erase(reference) ? NO_ERR : PARAM_ERR;
}

void HeadlessDesktop::addHotKeyHandler(HotKeyHandler handler)
{
    assertOnTheMainThread("addHotKeyHandler");
    hotKeyHandlers_.push_back(std::move(handler));
}

KeyboardLayoutType HeadlessDesktop::keyboardLayoutType()
{
    assertOnTheMainThread("keyboardLayoutType");
    return KeyboardLayoutType::ansi;
}

void HeadlessDesktop::setGetURLHandler(AppleEventHandler handler)
{
    assertOnTheMainThread("setGetURLHandler");
    getURLHandler_ = std::move(handler);
}

std::optional<AppleEvent> HeadlessDesktop::currentAppleEvent()
{
    assertOnTheMainThread("currentAppleEvent");
    return currentEvent_;
}

void HeadlessDesktop::setApplicationDelegate(ApplicationDelegate delegate)
{
    assertOnTheMainThread("setApplicationDelegate");
    delegate_ = std::move(delegate);
    delegateInstalled_ = true;
}

void HeadlessDesktop::setServicesProvider(ServicesProvider provider)
{
    assertOnTheMainThread("setServicesProvider");
    servicesProvider_ = std::move(provider);
}

// --- Delivery ---------------------------------------------------------------

template <typename Work>
auto HeadlessDesktop::withCurrentEvent(const std::optional<AppleEvent>& event, Work&& work)
{
    // Handlers may nest (a quit during an alert's wait); the outer event comes
    // back when the inner one is done.
    auto outer = currentEvent_;
    currentEvent_ = event;
    struct Restore {
        std::optional<AppleEvent>& slot;
        std::optional<AppleEvent> value;
        ~Restore() { slot = value; }
    } restore{currentEvent_, outer};
    return work();
}

void HeadlessDesktop::notifyWorkspace(WorkspaceNotification notification, const std::optional<RunningApplication>& application)
{
    std::vector<ObserverId> ids;
    for (const auto& entry : workspaceObservers_) {
        if (entry.notification == notification)
            ids.push_back(entry.id);
    }
    for (ObserverId id : ids) {
        // Look the observer up again: an earlier one may have removed it.
        auto found = std::find_if(workspaceObservers_.begin(), workspaceObservers_.end(),
                                  [&](const WorkspaceEntry& entry) { return entry.id == id; });
        if (found == workspaceObservers_.end())
            continue;
        auto observer = found->observer;
        observer(application);
    }
}

void HeadlessDesktop::notifyApplication(ApplicationNotification notification)
{
    std::vector<ObserverId> ids;
    for (const auto& entry : applicationObservers_) {
        if (entry.notification == notification)
            ids.push_back(entry.id);
    }
    for (ObserverId id : ids) {
        auto found = std::find_if(applicationObservers_.begin(), applicationObservers_.end(),
                                  [&](const ApplicationEntry& entry) { return entry.id == id; });
        if (found == applicationObservers_.end())
            continue;
        auto observer = found->observer;
        observer();
    }
}

bool HeadlessDesktop::deliverHotKey(const HotKeyID& id)
{
    auto handlers = hotKeyHandlers_;
    for (auto handler = handlers.rbegin(); handler != handlers.rend(); ++handler) {
        if ((*handler)(id) == NO_ERR)
            return true;
    }
    return false;
}

bool HeadlessDesktop::deliverStatusItemPick(StatusItemId item, const std::vector<int>& path)
{
    auto found = statusItems_.find(item);
    if (found == statusItems_.end() || !found->second.menu)
        return false;
    const MenuItem* picked = wire::itemAt(*found->second.menu, path);
    if (!picked || picked->separator || !picked->hasAction)
        return false;
    deliverMenuPick({MenuPlace{item}, path, *picked});
    return true;
}

void HeadlessDesktop::deliverMenuPick(const MenuPick& pick)
{
    if (pickHandler_) {
        auto handler = pickHandler_;
        handler(pick);
    }
}

void HeadlessDesktop::deliverMenuWillOpen(const MenuPlace& place)
{
    if (willOpenHandler_) {
        auto handler = willOpenHandler_;
        handler(place);
    }
}

void HeadlessDesktop::deliverGetURL(const AppleEvent& event)
{
    withCurrentEvent(event, [&] {
        if (getURLHandler_) {
            auto handler = getURLHandler_;
            handler(event);
            return;
        }
        // Without a handler of its own the application gets the URL as an
        // opened URL, as AppKit does.
        if (event.directObject && delegate_.openURLs) {
            auto openURLs = delegate_.openURLs;
            openURLs({*event.directObject});
        }
    });
}

void HeadlessDesktop::deliverOpenURLs(const std::vector<std::string>& urls, const std::optional<AppleEvent>& event)
{
    withCurrentEvent(event, [&] {
        if (delegate_.openURLs) {
            auto openURLs = delegate_.openURLs;
            openURLs(urls);
        }
    });
}

bool HeadlessDesktop::askToReopen(const std::optional<AppleEvent>& event)
{
    return withCurrentEvent(event, [&] {
        if (!delegate_.shouldHandleReopen)
            return true;
        auto reopen = delegate_.shouldHandleReopen;
        return reopen(false);
    });
}

TerminateReply HeadlessDesktop::askToTerminate(const std::optional<AppleEvent>& event)
{
    return withCurrentEvent(event, [&] {
        if (!delegate_.shouldTerminate)
            return TerminateReply::now;
        auto shouldTerminate = delegate_.shouldTerminate;
        return shouldTerminate();
    });
}

std::optional<std::string> HeadlessDesktop::askTheServicesProvider(const ServicesRequest& request)
{
    if (!servicesProvider_)
        return std::string("The application provides no services");
    auto provider = servicesProvider_;
    return provider(request);
}

void HeadlessDesktop::deliverDisplayChange(uint32_t display, uint32_t flags)
{
    if (displayHandler_) {
        auto handler = displayHandler_;
        handler(display, flags);
    }
}

std::unique_ptr<Desktop> makeHeadlessDesktop(DesktopIdentity identity)
{
    return std::make_unique<HeadlessDesktop>(std::move(identity));
}

std::unique_ptr<Desktop> makeHeadlessDesktop()
{
    return makeHeadlessDesktop(ownDesktopIdentity());
}

} // namespace platform
