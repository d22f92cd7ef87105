#include "platform/linux/desktop/live/dbus_menu.h"

#include "platform/linux/desktop/live/symbol_image.h"
#include "platform/main_queue.h"

#include <algorithm>
#include <cstdlib>

namespace platform {

namespace {

constexpr const char* INTERFACE = "com.canonical.dbusmenu";
constexpr const char* LAYOUT_SIGNATURE = "(ia{sv}av)";
// Row images are drawn at the size menus show them.
constexpr int ROW_ICON_SIDE = 16;
// Past this many distinct row images the cache starts again.
constexpr size_t ICON_CACHE_LIMIT = 256;

// The first failure of a run of sd-bus calls that write one message; the
// calls after a failure fail too, so only the first is kept.
struct Written {
    int error = 0;
    void operator+=(int result)
    {
        if (result < 0 && error == 0)
            error = result;
    }
};

// The strings of an "as" argument.
int readStrings(sd_bus_message* m, std::vector<std::string>& into)
{
    char** strings = nullptr;
    int result = sd_bus_message_read_strv(m, &strings);
    if (result < 0)
        return result;
    for (char** each = strings; each && *each; ++each) {
        into.emplace_back(*each);
        std::free(*each);
    }
    std::free(strings);
    return 0;
}

bool wants(const std::vector<std::string>& wanted, const char* name)
{
    return wanted.empty() || std::find(wanted.begin(), wanted.end(), name) != wanted.end();
}

// The name the tray gives a key: what GTK calls it, for the keys the host's
// key strings name by glyph; any other key as it is.
std::string keyName(const std::string& key)
{
    static const std::map<std::string, std::string> names = {
        {" ", "space"},          {"\r", "Return"},        {"\x1b", "Escape"},      {"\t", "Tab"},
        {"\x7f", "BackSpace"},   {"\xef\x9c\x80", "Up"},  {"\xef\x9c\x81", "Down"}, {"\xef\x9c\x82", "Left"},
        {"\xef\x9c\x83", "Right"},
    };
    auto found = names.find(key);
    return found == names.end() ? key : found->second;
}

} // namespace

std::vector<std::string> dbusMenuShortcut(const std::string& keyEquivalent, uint64_t modifierMask)
{
    if (keyEquivalent.empty())
        return {};
    std::vector<std::string> keys;
    if (modifierMask & MODIFIER_CONTROL)
        keys.push_back("Control");
    if (modifierMask & MODIFIER_OPTION)
        keys.push_back("Alt");
    if (modifierMask & MODIFIER_SHIFT)
        keys.push_back("Shift");
    if (modifierMask & MODIFIER_COMMAND)
        keys.push_back("Super");
    keys.push_back(keyName(keyEquivalent));
    return keys;
}

std::string dbusMenuLabel(const std::string& title)
{
    std::string label;
    label.reserve(title.size());
    for (char c : title) {
        label += c;
        if (c == '_')
            label += '_';
    }
    return label;
}

DBusMenu::DBusMenu(BusConnection& bus, std::string objectPath, Handlers handlers)
    : bus_(bus), objectPath_(std::move(objectPath)), handlers_(std::move(handlers))
{
    if (bus_.gone())
        return;
    sd_bus_add_object_vtable(bus_.bus(), &slot_, objectPath_.c_str(), INTERFACE, vtable(), this);
}

DBusMenu::~DBusMenu()
{
    sd_bus_slot_unref(slot_);
}

void DBusMenu::setMenu(const Menu& menu)
{
    menu_ = menu;
    ++revision_;
    openingSigns_ = 0;
    // Ids in pre-order: a row's rows follow it, so a row's subtree is the
    // run of ids up to its `end`.
    nodes_.assign(1, Node{});
    struct Frame {
        const Menu* menu;
        size_t next;
        int node;
    };
    std::vector<Frame> stack{{&menu_, 0, 0}};
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.menu->items.size()) {
            nodes_[top.node].end = int(nodes_.size());
            stack.pop_back();
            continue;
        }
        int index = int(top.next++);
        const MenuItem& item = top.menu->items[index];
        int id = int(nodes_.size());
        nodes_.push_back({&item, top.node, index, id + 1});
        if (item.submenu && !item.separator)
            stack.push_back({&*item.submenu, 0, id});
    }
    if (bus_.gone())
        return;
    sd_bus_emit_signal(bus_.bus(), objectPath_.c_str(), INTERFACE, "LayoutUpdated", "ui", revision_, 0);
    bus_.settle();
}

std::vector<int> DBusMenu::pathOf(int id) const
{
    std::vector<int> path;
    for (int at = id; at > 0; at = nodes_[at].parent)
        path.push_back(nodes_[at].index);
    std::reverse(path.begin(), path.end());
    return path;
}

const std::vector<uint8_t>& DBusMenu::iconOf(const SymbolImage& image)
{
    std::string key = image.symbol + '\n' + image.badge.value_or("");
    auto found = icons_.find(key);
    if (found != icons_.end())
        return found->second;
    if (icons_.size() >= ICON_CACHE_LIMIT)
        icons_.clear();
    return icons_[key] = symbolPng(image, ROW_ICON_SIDE, MENU_INK);
}

int DBusMenu::appendProperties(sd_bus_message* m, int id, const std::vector<std::string>& wanted)
{
    Written w;
    w += sd_bus_message_open_container(m, 'a', "{sv}");
    const MenuItem* item = nodes_[id].item;
    bool hasRows = nodes_[id].end > id + 1 || (item && item->submenu && !item->separator);
    if (!item) {
        if (wants(wanted, "children-display"))
            w += sd_bus_message_append(m, "{sv}", "children-display", "s", "submenu");
    } else if (item->separator) {
        if (wants(wanted, "type"))
            w += sd_bus_message_append(m, "{sv}", "type", "s", "separator");
    } else {
        if (wants(wanted, "label"))
            w += sd_bus_message_append(m, "{sv}", "label", "s", dbusMenuLabel(item->title).c_str());
        if (wants(wanted, "enabled"))
            w += sd_bus_message_append(m, "{sv}", "enabled", "b", int(item->enabled));
        if (hasRows && wants(wanted, "children-display"))
            w += sd_bus_message_append(m, "{sv}", "children-display", "s", "submenu");
        if (item->image && wants(wanted, "icon-data")) {
            const std::vector<uint8_t>& png = iconOf(*item->image);
            if (!png.empty()) {
                w += sd_bus_message_open_container(m, 'e', "sv");
                w += sd_bus_message_append(m, "s", "icon-data");
                w += sd_bus_message_open_container(m, 'v', "ay");
                w += sd_bus_message_append_array(m, 'y', png.data(), png.size());
                w += sd_bus_message_close_container(m);
                w += sd_bus_message_close_container(m);
            }
        }
        auto shortcut = dbusMenuShortcut(item->keyEquivalent, item->keyEquivalentModifierMask);
        if (!shortcut.empty() && wants(wanted, "shortcut")) {
            w += sd_bus_message_open_container(m, 'e', "sv");
            w += sd_bus_message_append(m, "s", "shortcut");
            w += sd_bus_message_open_container(m, 'v', "aas");
            w += sd_bus_message_open_container(m, 'a', "as");
            w += sd_bus_message_open_container(m, 'a', "s");
            for (const auto& key : shortcut)
                w += sd_bus_message_append(m, "s", key.c_str());
            w += sd_bus_message_close_container(m);
            w += sd_bus_message_close_container(m);
            w += sd_bus_message_close_container(m);
            w += sd_bus_message_close_container(m);
        }
    }
    w += sd_bus_message_close_container(m);
    return w.error;
}

int DBusMenu::appendLayout(sd_bus_message* m, int parent, int depth, const std::vector<std::string>& wanted)
{
    int levels = depth < 0 ? LAYOUT_LEVELS_PER_REPLY : std::min(depth, LAYOUT_LEVELS_PER_REPLY);
    Written w;
    // The parent's structure, then one open (variant, structure, array)
    // per row being written, walked with a stack: each row is written once.
    struct Frame {
        int node;
        int next;   // the next row below it to write
        int level;
    };
    w += sd_bus_message_open_container(m, 'r', "ia{sv}av");
    w += sd_bus_message_append(m, "i", parent);
    w += appendProperties(m, parent, wanted);
    w += sd_bus_message_open_container(m, 'a', "v");
    std::vector<Frame> stack{{parent, parent + 1, 0}};
    while (!stack.empty() && w.error == 0) {
        Frame& top = stack.back();
        if (top.level < levels && top.next < nodes_[top.node].end) {
            int row = top.next;
            top.next = nodes_[row].end;
            int level = top.level + 1;
            w += sd_bus_message_open_container(m, 'v', LAYOUT_SIGNATURE);
            w += sd_bus_message_open_container(m, 'r', "ia{sv}av");
            w += sd_bus_message_append(m, "i", row);
            w += appendProperties(m, row, wanted);
            w += sd_bus_message_open_container(m, 'a', "v");
            stack.push_back({row, row + 1, level});
            continue;
        }
        bool isParent = stack.size() == 1;
        stack.pop_back();
        w += sd_bus_message_close_container(m);   // the rows' array
        w += sd_bus_message_close_container(m);   // the structure
        if (!isParent)
            w += sd_bus_message_close_container(m);   // the variant
    }
    return w.error;
}

bool DBusMenu::handleEvent(int id, const std::string& event)
{
    if (!known(id))
        return false;
    if (id == 0) {
        if (event == "opened")
            topMenuSign(OPENED_EVENT);
        else if (event == "closed")
            openingSigns_ = 0;
        return true;
    }
    if (event != "clicked")
        return true;
    const MenuItem* item = nodes_[id].item;
    if (item->separator || !item->enabled || !item->hasAction)
        return true;
    // A click closes the menu: the next sign of opening is a new opening.
    openingSigns_ = 0;
    if (handlers_.picked)
        handlers_.picked(pathOf(id), *item);
    return true;
}

void DBusMenu::aboutToShow(int id)
{
    if (id == 0)
        topMenuSign(ABOUT_TO_SHOW);
}

void DBusMenu::topMenuSign(OpeningSign sign)
{
    // A sign already seen in this opening starts the next one: a tray that
    // never says "closed" still has each opening told.
    if (openingSigns_ & sign)
        openingSigns_ = 0;
    bool first = openingSigns_ == 0;
    openingSigns_ |= sign;
    if (first && handlers_.opening)
        handlers_.opening();
}

int DBusMenu::getLayout(sd_bus_message* m, void* self, sd_bus_error* error)
{
    auto& menu = *static_cast<DBusMenu*>(self);
    int32_t parent = 0, depth = -1;
    std::vector<std::string> wanted;
    int result = sd_bus_message_read(m, "ii", &parent, &depth);
    if (result < 0 || (result = readStrings(m, wanted)) < 0)
        return result;
    if (!menu.known(parent))
        return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "no menu row %d", int(parent));
    sd_bus_message* reply = nullptr;
    if ((result = sd_bus_message_new_method_return(m, &reply)) < 0)
        return result;
    Written w;
    w += sd_bus_message_append(reply, "u", menu.revision_);
    w += menu.appendLayout(reply, parent, depth, wanted);
    if (w.error == 0)
        w += sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return w.error < 0 ? w.error : 1;
}

int DBusMenu::getGroupProperties(sd_bus_message* m, void* self, sd_bus_error*)
{
    auto& menu = *static_cast<DBusMenu*>(self);
    const void* ids = nullptr;
    size_t size = 0;
    std::vector<std::string> wanted;
    int result = sd_bus_message_read_array(m, 'i', &ids, &size);
    if (result < 0 || (result = readStrings(m, wanted)) < 0)
        return result;
    std::vector<int32_t> asked(size / sizeof(int32_t));
    std::copy_n(static_cast<const char*>(ids), asked.size() * sizeof(int32_t), reinterpret_cast<char*>(asked.data()));
    sd_bus_message* reply = nullptr;
    if ((result = sd_bus_message_new_method_return(m, &reply)) < 0)
        return result;
    Written w;
    w += sd_bus_message_open_container(reply, 'a', "(ia{sv})");
    for (int32_t id : asked) {
        if (!menu.known(id))
            continue;
        w += sd_bus_message_open_container(reply, 'r', "ia{sv}");
        w += sd_bus_message_append(reply, "i", id);
        w += menu.appendProperties(reply, id, wanted);
        w += sd_bus_message_close_container(reply);
    }
    w += sd_bus_message_close_container(reply);
    if (w.error == 0)
        w += sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return w.error < 0 ? w.error : 1;
}

int DBusMenu::getProperty(sd_bus_message* m, void* self, sd_bus_error* error)
{
    auto& menu = *static_cast<DBusMenu*>(self);
    int32_t id = 0;
    const char* name = nullptr;
    int result = sd_bus_message_read(m, "is", &id, &name);
    if (result < 0)
        return result;
    if (!menu.known(id))
        return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "no menu row %d", int(id));
    // The row's properties, written to a scratch message and the one asked
    // for copied over: one writer for all three ways of asking.
    sd_bus_message* scratch = nullptr;
    sd_bus_message* reply = nullptr;
    Written w;
    w += sd_bus_message_new_method_return(m, &scratch);
    if (w.error == 0)
        w += menu.appendProperties(scratch, id, {name});
    if (w.error == 0)
        w += sd_bus_message_seal(scratch, 0, 0);
    if (w.error == 0)
        w += sd_bus_message_rewind(scratch, 1);
    bool found = false;
    if (w.error == 0 && sd_bus_message_enter_container(scratch, 'a', "{sv}") > 0) {
        if (sd_bus_message_enter_container(scratch, 'e', "sv") > 0) {
            const char* key = nullptr;
            w += sd_bus_message_read(scratch, "s", &key);
            w += sd_bus_message_new_method_return(m, &reply);
            if (w.error == 0)
                w += sd_bus_message_copy(reply, scratch, 0);
            found = w.error == 0;
        }
    }
    if (found)
        w += sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(scratch);
    if (w.error < 0)
        return w.error;
    if (!found)
        return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "menu row %d has no property %s", int(id), name);
    return 1;
}

int DBusMenu::event(sd_bus_message* m, void* self, sd_bus_error* error)
{
    auto& menu = *static_cast<DBusMenu*>(self);
    int32_t id = 0;
    const char* name = nullptr;
    int result = sd_bus_message_read(m, "is", &id, &name);
    if (result < 0 || (result = sd_bus_message_skip(m, "vu")) < 0)
        return result;
    // The event is answered before it is acted on, so that a tray waiting
    // for the answer is not held by the host's handlers.
    std::string event = name;
    if (!menu.known(id))
        return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "no menu row %d", int(id));
    result = sd_bus_reply_method_return(m, "");
    menu.handleEvent(id, event);
    return result < 0 ? result : 1;
}

int DBusMenu::eventGroup(sd_bus_message* m, void* self, sd_bus_error*)
{
    auto& menu = *static_cast<DBusMenu*>(self);
    std::vector<std::pair<int32_t, std::string>> events;
    int result = sd_bus_message_enter_container(m, 'a', "(isvu)");
    if (result < 0)
        return result;
    while ((result = sd_bus_message_enter_container(m, 'r', "isvu")) > 0) {
        int32_t id = 0;
        const char* name = nullptr;
        if ((result = sd_bus_message_read(m, "is", &id, &name)) < 0 || (result = sd_bus_message_skip(m, "vu")) < 0
            || (result = sd_bus_message_exit_container(m)) < 0)
            return result;
        events.emplace_back(id, name);
    }
    if (result < 0 || (result = sd_bus_message_exit_container(m)) < 0)
        return result;
    std::vector<int32_t> unknown;
    for (const auto& [id, name] : events) {
        if (!menu.known(id))
            unknown.push_back(id);
    }
    sd_bus_message* reply = nullptr;
    if ((result = sd_bus_message_new_method_return(m, &reply)) < 0)
        return result;
    Written w;
    w += sd_bus_message_append_array(reply, 'i', unknown.data(), unknown.size() * sizeof(int32_t));
    if (w.error == 0)
        w += sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    // A pick may change the menu: the events are taken by id from the
    // revision they were sent against, each looked up afresh.
    uint32_t revision = menu.revision_;
    for (const auto& [id, name] : events) {
        if (menu.revision_ != revision)
            break;
        menu.handleEvent(id, name);
    }
    return w.error < 0 ? w.error : 1;
}

int DBusMenu::aboutToShowMethod(sd_bus_message* m, void* self, sd_bus_error* error)
{
    auto& menu = *static_cast<DBusMenu*>(self);
    int32_t id = 0;
    int result = sd_bus_message_read(m, "i", &id);
    if (result < 0)
        return result;
    if (!menu.known(id))
        return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "no menu row %d", int(id));
    // The layout is always current: nothing to update.
    result = sd_bus_reply_method_return(m, "b", 0);
    menu.aboutToShow(id);
    return result < 0 ? result : 1;
}

int DBusMenu::aboutToShowGroup(sd_bus_message* m, void* self, sd_bus_error*)
{
    auto& menu = *static_cast<DBusMenu*>(self);
    const void* ids = nullptr;
    size_t size = 0;
    int result = sd_bus_message_read_array(m, 'i', &ids, &size);
    if (result < 0)
        return result;
    std::vector<int32_t> asked(size / sizeof(int32_t)), unknown;
    std::copy_n(static_cast<const char*>(ids), asked.size() * sizeof(int32_t), reinterpret_cast<char*>(asked.data()));
    for (int32_t id : asked) {
        if (!menu.known(id))
            unknown.push_back(id);
    }
    sd_bus_message* reply = nullptr;
    if ((result = sd_bus_message_new_method_return(m, &reply)) < 0)
        return result;
    Written w;
    w += sd_bus_message_append_array(reply, 'i', nullptr, 0);
    w += sd_bus_message_append_array(reply, 'i', unknown.data(), unknown.size() * sizeof(int32_t));
    if (w.error == 0)
        w += sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    if (std::find(asked.begin(), asked.end(), 0) != asked.end())
        menu.aboutToShow(0);
    return w.error < 0 ? w.error : 1;
}

namespace {

int getVersion(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*)
{
    return sd_bus_message_append(reply, "u", uint32_t(3));
}

int getTextDirection(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*)
{
    return sd_bus_message_append(reply, "s", "ltr");
}

int getStatus(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*)
{
    return sd_bus_message_append(reply, "s", "normal");
}

int getIconThemePath(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*)
{
    return sd_bus_message_append(reply, "as", 0);
}

} // namespace

const sd_bus_vtable* DBusMenu::vtable()
{
    static const sd_bus_vtable table[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("Version", "u", getVersion, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("TextDirection", "s", getTextDirection, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("Status", "s", getStatus, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("IconThemePath", "as", getIconThemePath, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_METHOD("GetLayout", "iias", "u(ia{sv}av)", DBusMenu::getLayout, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("GetGroupProperties", "aias", "a(ia{sv})", DBusMenu::getGroupProperties, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("GetProperty", "is", "v", DBusMenu::getProperty, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("Event", "isvu", "", DBusMenu::event, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("EventGroup", "a(isvu)", "ai", DBusMenu::eventGroup, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("AboutToShow", "i", "b", DBusMenu::aboutToShowMethod, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("AboutToShowGroup", "ai", "aiai", DBusMenu::aboutToShowGroup, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_SIGNAL("ItemsPropertiesUpdated", "a(ia{sv})a(ias)", 0),
        SD_BUS_SIGNAL("LayoutUpdated", "ui", 0),
        SD_BUS_SIGNAL("ItemActivationRequested", "iu", 0),
        SD_BUS_VTABLE_END,
    };
    return table;
}

} // namespace platform
