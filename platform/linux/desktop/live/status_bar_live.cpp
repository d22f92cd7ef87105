#include "platform/linux/desktop/live/status_bar_live.h"

#include "platform/linux/desktop/live/pop_up_menu.h"
#include "platform/main_queue.h"
#include "platform/standard_error.h"

#include <unistd.h>

#include <cstring>

namespace platform {

namespace {

constexpr const char* WATCHER = "org.kde.StatusNotifierWatcher";
constexpr const char* ITEM_PATH = "/StatusNotifierItem";
constexpr const char* MENU_PATH = "/MenuBar";

// The item of a menu's index path; nothing when the path leads nowhere.
const MenuItem* itemAtPath(const Menu& menu, const std::vector<int>& path)
{
    const Menu* current = &menu;
    const MenuItem* item = nullptr;
    for (int index : path) {
        if (!current || index < 0 || size_t(index) >= current->items.size())
            return nullptr;
        item = &current->items[index];
        current = item->submenu ? &*item->submenu : nullptr;
    }
    return item;
}

} // namespace

LiveStatusBar::LiveStatusBar(HeadlessState& state, XConnection& x, BusConnection& bus)
    : state_(state), x_(x), bus_(bus)
{
    bus_.whenGone([this] { dropTheTray(); });
}

LiveStatusBar::~LiveStatusBar()
{
    dropTheTray();
}

StatusItemId LiveStatusBar::makeStatusItem(double length)
{
    StatusItemId id = HeadlessStatusBar::makeStatusItem(length);
    if (!onTheBus())
        return id;
    watchForTheWatcher();
    if (!onTheBus())
        return id;
    // The first item takes the paths trays look at by default; any other
    // has paths of its own and is named to the watcher by its path.
    bool first = trays_.empty();
    std::string suffix = first ? "" : "/" + std::to_string(id);
    std::string busName = "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-" + std::to_string(id);
    TrayItem tray;
    tray.menu = std::make_unique<DBusMenu>(
        bus_, MENU_PATH + suffix,
        DBusMenu::Handlers{
            [this, id](const std::vector<int>& path, const MenuItem& item) {
                state_.later([this, id, path, item] { deliverMenuPick({MenuPlace{id}, path, item}); });
            },
            [this, id] { state_.later([this, id] { deliverMenuWillOpen(MenuPlace{id}); }); },
        });
    tray.item = std::make_unique<StatusNotifierItem>(
        bus_, busName, ITEM_PATH + suffix, MENU_PATH + suffix,
        StatusNotifierItem::Handlers{[this, id](int x, int y) {
            state_.later([this, id, x, y] { popUpStatusItemMenu(id, x, y); });
        }});
    const DesktopIdentity& identity = state_.identity();
    tray.item->setId(identity.bundleIdentifier.value_or(applicationName()));
    tray.item->setTitle(applicationName());
    tray.service = first ? busName : ITEM_PATH + suffix;
    trays_[id] = std::move(tray);
    // Told once the host has set the button and menu of this drawing, so
    // that a tray reading at once finds them.
    state_.later([this, id] { registerWithTheWatcher(id); });
    return id;
}

void LiveStatusBar::setStatusItemButton(StatusItemId item, const StatusItemButton& button)
{
    HeadlessStatusBar::setStatusItemButton(item, button);
    // Each change is told to the tray at once, and telling may find the bus
    // gone and the tray dropped: the item is looked up afresh each time.
    auto tray = [this, item]() -> StatusNotifierItem* {
        auto found = trays_.find(item);
        return found == trays_.end() || !onTheBus() ? nullptr : found->second.item.get();
    };
    if (auto* each = tray())
        each->setTitle(titleOf(button));
    if (auto* each = tray())
        each->setToolTip(button.toolTip);
    if (auto* each = tray())
        each->setImage(button.image);
}

void LiveStatusBar::setStatusItemMenu(StatusItemId item, const Menu& menu)
{
    HeadlessStatusBar::setStatusItemMenu(item, menu);
    auto found = trays_.find(item);
    if (found == trays_.end() || !onTheBus())
        return;
    found->second.menu->setMenu(menu);
}

bool LiveStatusBar::popUpMenu(const Menu& menu, Point location)
{
    assertOnTheMainThread("popUpMenu");
    if (x_.gone())
        return HeadlessStatusBar::popUpMenu(menu, location);
    deliverMenuWillOpen(MenuPlace{});
    auto path = popUpMenuWindow(x_, menu, location);
    if (!path)
        return false;
    const MenuItem* picked = itemAtPath(menu, *path);
    if (!picked || picked->separator || !picked->enabled || !picked->hasAction)
        return false;
    deliverMenuPick({MenuPlace{}, *path, *picked});
    return true;
}

void LiveStatusBar::popUpStatusItemMenu(StatusItemId item, int x, int y)
{
    auto found = statusItems_.find(item);
    if (found == statusItems_.end() || !found->second.menu || x_.gone())
        return;
    // The tray's point has its origin at the top left; the host's screen
    // coordinates grow upwards from the first screen's lower left.
    Point location{double(x), double(x_.screen()->height_in_pixels) - y};
    Menu menu = *found->second.menu;
    deliverMenuWillOpen(MenuPlace{item});
    auto path = popUpMenuWindow(x_, menu, location);
    if (!path)
        return;
    if (const MenuItem* picked = itemAtPath(menu, *path);
        picked && !picked->separator && picked->enabled && picked->hasAction)
        deliverMenuPick({MenuPlace{item}, *path, *picked});
}

void LiveStatusBar::watchForTheWatcher()
{
    if (watcherMatch_ || !onTheBus())
        return;
    // A watcher that starts, restarts or is replaced has no items: each
    // new owner of its name is told of ours.
    std::string match = std::string("type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
                                    "member='NameOwnerChanged',path='/org/freedesktop/DBus',arg0='")
                        + WATCHER + "'";
    sd_bus_add_match_async(bus_.bus(), &watcherMatch_, match.c_str(), watcherChanged, nullptr, this);
    bus_.settle();
}

int LiveStatusBar::watcherChanged(sd_bus_message* m, void* self, sd_bus_error*)
{
    auto& bar = *static_cast<LiveStatusBar*>(self);
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) < 0 || !newOwner || !*newOwner)
        return 0;
    bar.registerEverywhere();
    return 0;
}

void LiveStatusBar::registerEverywhere()
{
    std::vector<StatusItemId> ids;
    for (const auto& [id, tray] : trays_)
        ids.push_back(id);
    for (StatusItemId id : ids)
        registerWithTheWatcher(id);
}

void LiveStatusBar::registerWithTheWatcher(StatusItemId id)
{
    auto found = trays_.find(id);
    if (found == trays_.end() || !onTheBus())
        return;
    TrayItem& tray = found->second;
    // A registration still under way is dropped: its answer no longer matters.
    tray.registration = sd_bus_slot_unref(tray.registration);
    sd_bus_call_method_async(bus_.bus(), &tray.registration, WATCHER, "/StatusNotifierWatcher", WATCHER,
                             "RegisterStatusNotifierItem", registrationAnswered, this, "s", tray.service.c_str());
    bus_.settle();
}

int LiveStatusBar::registrationAnswered(sd_bus_message* m, void* self, sd_bus_error*)
{
    auto& bar = *static_cast<LiveStatusBar*>(self);
    const sd_bus_error* error = sd_bus_message_get_error(m);
    if (!error)
        return 0;
    if (sd_bus_error_has_names(error, SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
        if (!bar.saidNoTray_) {
            bar.saidNoTray_ = true;
            sayOnStandardError("live desktop: no tray on the session bus (nobody owns org.kde.StatusNotifierWatcher); "
                               "the status item shows once one starts");
        }
    } else if (!bar.saidRefused_) {
        bar.saidRefused_ = true;
        sayOnStandardError(std::string("live desktop: the tray did not take the status item (")
                           + (error->message ? error->message : error->name ? error->name : "no reason") + ")");
    }
    return 0;
}

void LiveStatusBar::dropTheTray()
{
    for (auto& [id, tray] : trays_)
        tray.registration = sd_bus_slot_unref(tray.registration);
    trays_.clear();
    watcherMatch_ = sd_bus_slot_unref(watcherMatch_);
}

std::string LiveStatusBar::applicationName() const
{
    const DesktopIdentity& identity = state_.identity();
    if (identity.localizedName && !identity.localizedName->empty())
        return *identity.localizedName;
    if (identity.bundleIdentifier && !identity.bundleIdentifier->empty())
        return *identity.bundleIdentifier;
    return "kestrune";
}

std::string LiveStatusBar::titleOf(const StatusItemButton& button) const
{
    return button.title.empty() ? applicationName() : button.title;
}

} // namespace platform
