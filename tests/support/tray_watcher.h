// The tray of a live session, played by the test: a StatusNotifierWatcher
// on the session's bus (on a thread of its own, so that items registering
// with it are answered whenever they call) that records the items told to
// it and the signals items send; and a client that reads an item's
// properties and drives its dbusmenu menu with synchronous calls.
#pragma once

#include <nlohmann/json.hpp>
#include <systemd/sd-bus.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fixture {

class TrayWatcher {
public:
    struct Registration {
        std::string sender;    // the registering connection's unique name
        std::string service;   // what it registered: a bus name or an object path
        // Where the item is: the bus name and the object path.
        std::string destination() const;
        std::string path() const;
    };
    struct Signal {
        std::string sender, path, interface, member;
        uint32_t revision = 0;   // LayoutUpdated's
    };

    // Takes org.kde.StatusNotifierWatcher on the bus at `address`, from the
    // watcher that holds it when `replacing`; throws when it cannot.
    explicit TrayWatcher(const std::string& address, bool replacing = false);
    ~TrayWatcher();
    TrayWatcher(const TrayWatcher&) = delete;
    TrayWatcher& operator=(const TrayWatcher&) = delete;

    std::vector<Registration> registrations();
    std::vector<Signal> signalsHeard();
    // The last LayoutUpdated revision heard from a path; 0 before any.
    uint32_t lastRevision(const std::string& path);

    // The watcher's side of the bus's table.
    static int registerItem(sd_bus_message* m, void* self, sd_bus_error* error);
    static int registerHost(sd_bus_message* m, void* self, sd_bus_error* error);
    static int items(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* self, sd_bus_error*);
    static int heard(sd_bus_message* m, void* self, sd_bus_error* error);

private:
    void run();

    sd_bus* bus_ = nullptr;
    sd_bus_slot* object_ = nullptr;
    sd_bus_slot* match_ = nullptr;
    std::mutex mutex_;
    std::vector<Registration> registrations_;
    std::vector<Signal> signals_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// One row of a menu layout as the tray got it: its properties as JSON
// ("icon-data" as {"png": starts like a PNG, "size": bytes}).
struct TrayMenuRow {
    int id = 0;
    int parent = -1;
    int depth = 0;
    nlohmann::json properties;
};

struct TrayMenuLayout {
    uint32_t revision = 0;
    std::vector<TrayMenuRow> rows;   // pre-order; the first is the parent asked for
    // The rows right below `id`, in order.
    std::vector<const TrayMenuRow*> below(int id) const;
};

struct TrayPixmap {
    int width = 0, height = 0;
    std::vector<uint8_t> argb;
};

// Synchronous calls on a connection of the test's own.
class TrayClient {
public:
    explicit TrayClient(const std::string& address);
    ~TrayClient();
    TrayClient(const TrayClient&) = delete;
    TrayClient& operator=(const TrayClient&) = delete;

    // A property of org.kde.StatusNotifierItem: "s", "o", "b" and "i" ones
    // as JSON, ToolTip as [icon name, pixmap count, title, text].
    nlohmann::json itemProperty(const std::string& destination, const std::string& path, const std::string& name);
    std::vector<TrayPixmap> itemPixmaps(const std::string& destination, const std::string& path, const std::string& name);
    nlohmann::json menuProperty(const std::string& destination, const std::string& path, const std::string& name);

    // GetLayout; nothing (the error in `error`) when the call fails.
    std::optional<TrayMenuLayout> layout(const std::string& destination, const std::string& path, int parent = 0,
                                         int depth = -1);
    // Event; the error's name, or empty when it was taken.
    std::string event(const std::string& destination, const std::string& path, int id, const std::string& name);
    std::string aboutToShow(const std::string& destination, const std::string& path, int id);
    // A call of the item's methods with two integers (Activate, ...).
    std::string callItem(const std::string& destination, const std::string& path, const std::string& method);

    std::string error;

private:
    // Properties.Get's reply, positioned at its variant; null on failure.
    sd_bus_message* propertyOf(const std::string& destination, const std::string& path, const char* interface,
                               const std::string& name);

    sd_bus* bus_ = nullptr;
};

} // namespace fixture
