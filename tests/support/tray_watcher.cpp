#include "support/tray_watcher.h"

#include <cstring>
#include <stdexcept>

namespace fixture {

namespace {

constexpr const char* WATCHER = "org.kde.StatusNotifierWatcher";
constexpr const char* ITEM = "org.kde.StatusNotifierItem";
constexpr const char* MENU = "com.canonical.dbusmenu";

// A client connection to the bus at `address`.
sd_bus* connectTo(const std::string& address)
{
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0)
        throw std::runtime_error("sd_bus_new failed");
    sd_bus_set_address(bus, address.c_str());
    sd_bus_set_bus_client(bus, 1);
    if (int error = sd_bus_start(bus); error < 0) {
        sd_bus_unref(bus);
        throw std::runtime_error("cannot reach the bus at " + address + ": " + std::strerror(-error));
    }
    return bus;
}

const sd_bus_vtable* watcherTable();

// One property value of the kinds a menu row carries, as JSON; skipped
// (null) for other kinds.
nlohmann::json readValue(sd_bus_message* m)
{
    char type = 0;
    const char* contents = nullptr;
    if (sd_bus_message_peek_type(m, &type, &contents) <= 0)
        return nullptr;
    if (type != 'v' || !contents)
        return nullptr;
    std::string signature = contents;
    nlohmann::json value;
    sd_bus_message_enter_container(m, 'v', contents);
    if (signature == "s" || signature == "o") {
        const char* text = nullptr;
        sd_bus_message_read_basic(m, signature[0], &text);
        value = text ? text : "";
    } else if (signature == "b") {
        int flag = 0;
        sd_bus_message_read_basic(m, 'b', &flag);
        value = bool(flag);
    } else if (signature == "i") {
        int32_t number = 0;
        sd_bus_message_read_basic(m, 'i', &number);
        value = number;
    } else if (signature == "u") {
        uint32_t number = 0;
        sd_bus_message_read_basic(m, 'u', &number);
        value = number;
    } else if (signature == "ay") {
        const void* bytes = nullptr;
        size_t size = 0;
        sd_bus_message_read_array(m, 'y', &bytes, &size);
        bool png = size >= 8 && std::memcmp(bytes, "\x89PNG\r\n\x1a\n", 8) == 0;
        value = {{"png", png}, {"size", size}};
    } else if (signature == "aas") {
        value = nlohmann::json::array();
        sd_bus_message_enter_container(m, 'a', "as");
        char** strings = nullptr;
        while (sd_bus_message_read_strv(m, &strings) > 0) {
            nlohmann::json keys = nlohmann::json::array();
            for (char** each = strings; each && *each; ++each) {
                keys.push_back(*each);
                free(*each);
            }
            free(strings);
            strings = nullptr;
            value.push_back(keys);
        }
        sd_bus_message_exit_container(m);
    } else {
        sd_bus_message_skip(m, contents);
    }
    sd_bus_message_exit_container(m);
    return value;
}

// An a{sv} of row properties.
nlohmann::json readProperties(sd_bus_message* m)
{
    nlohmann::json properties = nlohmann::json::object();
    if (sd_bus_message_enter_container(m, 'a', "{sv}") <= 0)
        return properties;
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
        const char* key = nullptr;
        sd_bus_message_read(m, "s", &key);
        std::string name = key ? key : "";
        properties[name] = readValue(m);
        sd_bus_message_exit_container(m);
    }
    sd_bus_message_exit_container(m);
    return properties;
}

} // namespace

std::string TrayWatcher::Registration::destination() const
{
    return service.empty() || service[0] == '/' ? sender : service;
}

std::string TrayWatcher::Registration::path() const
{
    return !service.empty() && service[0] == '/' ? service : "/StatusNotifierItem";
}

TrayWatcher::TrayWatcher(const std::string& address, bool replacing)
{
    bus_ = connectTo(address);
    sd_bus_add_object_vtable(bus_, &object_, "/StatusNotifierWatcher", WATCHER, watcherTable(), this);
    uint64_t flags = SD_BUS_NAME_ALLOW_REPLACEMENT | (replacing ? SD_BUS_NAME_REPLACE_EXISTING : 0);
    if (int error = sd_bus_request_name(bus_, WATCHER, flags); error < 0) {
        sd_bus_slot_unref(object_);
        sd_bus_flush_close_unref(bus_);
        throw std::runtime_error(std::string("cannot own the watcher's name: ") + std::strerror(-error));
    }
    sd_bus_add_match(bus_, &match_, "type='signal',interface='com.canonical.dbusmenu'", heard, this);
    sd_bus_add_match(bus_, nullptr, "type='signal',interface='org.kde.StatusNotifierItem'", heard, this);
    thread_ = std::thread([this] { run(); });
}

TrayWatcher::~TrayWatcher()
{
    stopping_ = true;
    thread_.join();
    sd_bus_slot_unref(match_);
    sd_bus_slot_unref(object_);
    sd_bus_flush_close_unref(bus_);
}

void TrayWatcher::run()
{
    while (!stopping_) {
        int processed = sd_bus_process(bus_, nullptr);
        if (processed < 0)
            return;   // the bus is gone
        if (processed == 0)
            sd_bus_wait(bus_, 20000);
    }
}

std::vector<TrayWatcher::Registration> TrayWatcher::registrations()
{
    std::lock_guard lock(mutex_);
    return registrations_;
}

std::vector<TrayWatcher::Signal> TrayWatcher::signalsHeard()
{
    std::lock_guard lock(mutex_);
    return signals_;
}

uint32_t TrayWatcher::lastRevision(const std::string& path)
{
    std::lock_guard lock(mutex_);
    uint32_t revision = 0;
    for (const auto& each : signals_) {
        if (each.member == "LayoutUpdated" && each.path == path)
            revision = each.revision;
    }
    return revision;
}

int TrayWatcher::registerItem(sd_bus_message* m, void* self, sd_bus_error*)
{
    auto& watcher = *static_cast<TrayWatcher*>(self);
    const char* service = nullptr;
    if (int error = sd_bus_message_read(m, "s", &service); error < 0)
        return error;
    const char* sender = sd_bus_message_get_sender(m);
    {
        std::lock_guard lock(watcher.mutex_);
        watcher.registrations_.push_back({sender ? sender : "", service ? service : ""});
    }
    sd_bus_emit_signal(watcher.bus_, "/StatusNotifierWatcher", WATCHER, "StatusNotifierItemRegistered", "s", service);
    return sd_bus_reply_method_return(m, "");
}

int TrayWatcher::registerHost(sd_bus_message* m, void*, sd_bus_error*)
{
    return sd_bus_reply_method_return(m, "");
}

int TrayWatcher::items(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* self, sd_bus_error*)
{
    auto& watcher = *static_cast<TrayWatcher*>(self);
    std::vector<std::string> services;
    {
        std::lock_guard lock(watcher.mutex_);
        for (const auto& each : watcher.registrations_)
            services.push_back(each.service);
    }
    int result = sd_bus_message_open_container(reply, 'a', "s");
    for (const auto& service : services)
        if (result >= 0)
            result = sd_bus_message_append(reply, "s", service.c_str());
    return result < 0 ? result : sd_bus_message_close_container(reply);
}

int TrayWatcher::heard(sd_bus_message* m, void* self, sd_bus_error*)
{
    auto& watcher = *static_cast<TrayWatcher*>(self);
    Signal signal;
    auto text = [](const char* value) { return std::string(value ? value : ""); };
    signal.sender = text(sd_bus_message_get_sender(m));
    signal.path = text(sd_bus_message_get_path(m));
    signal.interface = text(sd_bus_message_get_interface(m));
    signal.member = text(sd_bus_message_get_member(m));
    if (signal.member == "LayoutUpdated") {
        int32_t parent = 0;
        sd_bus_message_read(m, "ui", &signal.revision, &parent);
    }
    std::lock_guard lock(watcher.mutex_);
    watcher.signals_.push_back(std::move(signal));
    return 0;
}

namespace {

int always(sd_bus*, const char*, const char*, const char* name, sd_bus_message* reply, void*, sd_bus_error*)
{
    if (std::strcmp(name, "ProtocolVersion") == 0)
        return sd_bus_message_append(reply, "i", 0);
    return sd_bus_message_append(reply, "b", 1);
}

const sd_bus_vtable* watcherTable()
{
    static const sd_bus_vtable table[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("RegisterStatusNotifierItem", "s", "", TrayWatcher::registerItem, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("RegisterStatusNotifierHost", "s", "", TrayWatcher::registerHost, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_PROPERTY("RegisteredStatusNotifierItems", "as", TrayWatcher::items, 0, 0),
        SD_BUS_PROPERTY("IsStatusNotifierHostRegistered", "b", always, 0, 0),
        SD_BUS_PROPERTY("ProtocolVersion", "i", always, 0, 0),
        SD_BUS_SIGNAL("StatusNotifierItemRegistered", "s", 0),
        SD_BUS_SIGNAL("StatusNotifierItemUnregistered", "s", 0),
        SD_BUS_SIGNAL("StatusNotifierHostRegistered", "", 0),
        SD_BUS_VTABLE_END,
    };
    return table;
}

} // namespace

std::vector<const TrayMenuRow*> TrayMenuLayout::below(int id) const
{
    std::vector<const TrayMenuRow*> found;
    for (const auto& row : rows) {
        if (row.parent == id)
            found.push_back(&row);
    }
    return found;
}

TrayClient::TrayClient(const std::string& address)
    : bus_(connectTo(address))
{
}

TrayClient::~TrayClient()
{
    sd_bus_flush_close_unref(bus_);
}

sd_bus_message* TrayClient::propertyOf(const std::string& destination, const std::string& path, const char* interface,
                                      const std::string& name)
{
    sd_bus_error failure = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus_, destination.c_str(), path.c_str(), "org.freedesktop.DBus.Properties", "Get", &failure,
                           &reply, "ss", interface, name.c_str())
        < 0) {
        error = failure.name ? failure.name : "failed";
        sd_bus_error_free(&failure);
        return nullptr;
    }
    return reply;
}

nlohmann::json TrayClient::itemProperty(const std::string& destination, const std::string& path, const std::string& name)
{
    sd_bus_message* reply = propertyOf(destination, path, ITEM, name);
    if (!reply)
        return nullptr;
    nlohmann::json value;
    char type = 0;
    const char* contents = nullptr;
    sd_bus_message_peek_type(reply, &type, &contents);
    std::string signature = contents ? contents : "";
    if (signature == "(sa(iiay)ss)") {
        sd_bus_message_enter_container(reply, 'v', contents);
        sd_bus_message_enter_container(reply, 'r', "sa(iiay)ss");
        const char* icon = nullptr;
        sd_bus_message_read(reply, "s", &icon);
        int pixmaps = 0;
        sd_bus_message_enter_container(reply, 'a', "(iiay)");
        while (sd_bus_message_at_end(reply, 0) == 0 && sd_bus_message_skip(reply, "(iiay)") >= 0)
            ++pixmaps;
        sd_bus_message_exit_container(reply);
        const char* title = nullptr;
        const char* text = nullptr;
        sd_bus_message_read(reply, "ss", &title, &text);
        value = {icon ? icon : "", pixmaps, title ? title : "", text ? text : ""};
    } else {
        value = readValue(reply);
    }
    sd_bus_message_unref(reply);
    return value;
}

std::vector<TrayPixmap> TrayClient::itemPixmaps(const std::string& destination, const std::string& path,
                                                const std::string& name)
{
    std::vector<TrayPixmap> pixmaps;
    sd_bus_message* reply = propertyOf(destination, path, ITEM, name);
    if (!reply)
        return pixmaps;
    sd_bus_message_enter_container(reply, 'v', "a(iiay)");
    sd_bus_message_enter_container(reply, 'a', "(iiay)");
    while (sd_bus_message_enter_container(reply, 'r', "iiay") > 0) {
        TrayPixmap pixmap;
        const void* bytes = nullptr;
        size_t size = 0;
        sd_bus_message_read(reply, "ii", &pixmap.width, &pixmap.height);
        sd_bus_message_read_array(reply, 'y', &bytes, &size);
        if (size)
            pixmap.argb.assign(static_cast<const uint8_t*>(bytes), static_cast<const uint8_t*>(bytes) + size);
        sd_bus_message_exit_container(reply);
        pixmaps.push_back(std::move(pixmap));
    }
    sd_bus_message_unref(reply);
    return pixmaps;
}

nlohmann::json TrayClient::menuProperty(const std::string& destination, const std::string& path, const std::string& name)
{
    sd_bus_message* reply = propertyOf(destination, path, MENU, name);
    if (!reply)
        return nullptr;
    nlohmann::json value = readValue(reply);
    sd_bus_message_unref(reply);
    return value;
}

std::optional<TrayMenuLayout> TrayClient::layout(const std::string& destination, const std::string& path, int parent,
                                                 int depth)
{
    sd_bus_error failure = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus_, destination.c_str(), path.c_str(), MENU, "GetLayout", &failure, &reply, "iias", parent,
                           depth, 0)
        < 0) {
        error = failure.name ? failure.name : "no reply";
        sd_bus_error_free(&failure);
        return std::nullopt;
    }
    TrayMenuLayout layout;
    sd_bus_message_read(reply, "u", &layout.revision);
    // The nested layout, walked with a stack of the rows open around the
    // reader.
    std::vector<int> open;
    auto readRow = [&] {
        TrayMenuRow row;
        sd_bus_message_enter_container(reply, 'r', "ia{sv}av");
        sd_bus_message_read(reply, "i", &row.id);
        row.properties = readProperties(reply);
        row.parent = open.empty() ? -1 : open.back();
        row.depth = int(open.size());
        sd_bus_message_enter_container(reply, 'a', "v");
        open.push_back(row.id);
        layout.rows.push_back(std::move(row));
    };
    readRow();
    while (!open.empty()) {
        if (sd_bus_message_enter_container(reply, 'v', "(ia{sv}av)") > 0) {
            readRow();
            continue;
        }
        sd_bus_message_exit_container(reply);   // the array of rows
        sd_bus_message_exit_container(reply);   // the row's structure
        open.pop_back();
        if (!open.empty())
            sd_bus_message_exit_container(reply);   // the variant
    }
    sd_bus_message_unref(reply);
    return layout;
}

std::string TrayClient::event(const std::string& destination, const std::string& path, int id, const std::string& name)
{
    sd_bus_error failure = SD_BUS_ERROR_NULL;
    int result = sd_bus_call_method(bus_, destination.c_str(), path.c_str(), MENU, "Event", &failure, nullptr, "isvu",
                                    id, name.c_str(), "s", "", 0u);
    std::string said = result < 0 ? (failure.name ? failure.name : "failed") : "";
    sd_bus_error_free(&failure);
    return said;
}

std::string TrayClient::aboutToShow(const std::string& destination, const std::string& path, int id)
{
    sd_bus_error failure = SD_BUS_ERROR_NULL;
    int result = sd_bus_call_method(bus_, destination.c_str(), path.c_str(), MENU, "AboutToShow", &failure, nullptr, "i", id);
    std::string said = result < 0 ? (failure.name ? failure.name : "failed") : "";
    sd_bus_error_free(&failure);
    return said;
}

std::string TrayClient::callItem(const std::string& destination, const std::string& path, const std::string& method)
{
    sd_bus_error failure = SD_BUS_ERROR_NULL;
    int result = method == "Scroll"
                     ? sd_bus_call_method(bus_, destination.c_str(), path.c_str(), ITEM, "Scroll", &failure, nullptr, "is", 1, "vertical")
                     : sd_bus_call_method(bus_, destination.c_str(), path.c_str(), ITEM, method.c_str(), &failure, nullptr, "ii", 10, 10);
    std::string said = result < 0 ? (failure.name ? failure.name : "failed") : "";
    sd_bus_error_free(&failure);
    return said;
}

} // namespace fixture
