// A status item as the session's tray shows it: an org.kde.StatusNotifierItem
// object on the session bus, with its own bus name, whose menu is a
// com.canonical.dbusmenu object the tray reads itself (ItemIsMenu).
//
// The item only answers; telling the tray's watcher about it is the status
// bar's work (it knows when a watcher comes and goes).
#pragma once

#include "platform/desktop/status_bar.h"
#include "platform/linux/desktop/live/bus_connection.h"
#include "platform/linux/desktop/live/symbol_image.h"

#include <systemd/sd-bus.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class StatusNotifierItem {
public:
    // The icon's sides in pixels: a panel's usual size and twice it.
    static constexpr int ICON_SIDES[] = {22, 44};

    // What the item's methods ask of the status bar: the tray asks for the
    // menu at a point of the screen (top-left origin, pixels).
    struct Handlers {
        std::function<void(int x, int y)> showMenu;
    };

    // Exports the item at `objectPath` under `busName`, its menu at
    // `menuPath`.
    StatusNotifierItem(BusConnection& bus, std::string busName, std::string objectPath, std::string menuPath,
                       Handlers handlers);
    ~StatusNotifierItem();
    StatusNotifierItem(const StatusNotifierItem&) = delete;
    StatusNotifierItem& operator=(const StatusNotifierItem&) = delete;

    const std::string& busName() const { return busName_; }
    const std::string& objectPath() const { return objectPath_; }

    void setId(std::string id) { id_ = std::move(id); }
    // Each setter tells the tray (NewTitle, NewIcon, NewToolTip) only when
    // the value changed.
    void setTitle(const std::string& title);
    void setToolTip(const std::string& toolTip);
    // The symbol drawn as the icon; nothing: a text item, with no pixmap.
    void setImage(const std::optional<SymbolImage>& image);

private:
    void emit(const char* signal);
    static const sd_bus_vtable* vtable();
    static int property(sd_bus* bus, const char* path, const char* interface, const char* name, sd_bus_message* reply,
                        void* self, sd_bus_error* error);
    static int showMenuMethod(sd_bus_message* m, void* self, sd_bus_error* error);
    static int acceptMethod(sd_bus_message* m, void* self, sd_bus_error* error);

    BusConnection& bus_;
    std::string busName_;
    std::string objectPath_;
    std::string menuPath_;
    Handlers handlers_;
    sd_bus_slot* objectSlot_ = nullptr;
    sd_bus_slot* nameSlot_ = nullptr;
    std::string id_, title_, toolTip_;
    std::optional<SymbolImage> image_;
    std::vector<IconPixmap> pixmaps_;
};

} // namespace platform
