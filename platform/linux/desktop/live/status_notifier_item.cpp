#include "platform/linux/desktop/live/status_notifier_item.h"

#include <cstring>

namespace platform {

namespace {

constexpr const char* INTERFACE = "org.kde.StatusNotifierItem";

// Writes an a(iiay) of square pixmaps.
int appendPixmaps(sd_bus_message* reply, const std::vector<IconPixmap>& pixmaps)
{
    int result = sd_bus_message_open_container(reply, 'a', "(iiay)");
    for (const auto& pixmap : pixmaps) {
        if (result < 0)
            break;
        result = sd_bus_message_open_container(reply, 'r', "iiay");
        if (result >= 0)
            result = sd_bus_message_append(reply, "ii", pixmap.side, pixmap.side);
        if (result >= 0)
            result = sd_bus_message_append_array(reply, 'y', pixmap.argb.data(), pixmap.argb.size());
        if (result >= 0)
            result = sd_bus_message_close_container(reply);
    }
    return result < 0 ? result : sd_bus_message_close_container(reply);
}

} // namespace

StatusNotifierItem::StatusNotifierItem(BusConnection& bus, std::string busName, std::string objectPath,
                                       std::string menuPath, Handlers handlers)
    : bus_(bus)
    , busName_(std::move(busName))
    , objectPath_(std::move(objectPath))
    , menuPath_(std::move(menuPath))
    , handlers_(std::move(handlers))
{
    if (bus_.gone())
        return;
    sd_bus_add_object_vtable(bus_.bus(), &objectSlot_, objectPath_.c_str(), INTERFACE, vtable(), this);
    // A name of its own, as trays expect of an item; the item answers on
    // our unique name meanwhile, and a refusal leaves it there.
    sd_bus_request_name_async(bus_.bus(), &nameSlot_, busName_.c_str(), 0, nullptr, nullptr);
}

StatusNotifierItem::~StatusNotifierItem()
{
    sd_bus_slot_unref(nameSlot_);
    sd_bus_slot_unref(objectSlot_);
}

void StatusNotifierItem::setTitle(const std::string& title)
{
    if (title == title_)
        return;
    title_ = title;
    emit("NewTitle");
}

void StatusNotifierItem::setToolTip(const std::string& toolTip)
{
    if (toolTip == toolTip_)
        return;
    toolTip_ = toolTip;
    emit("NewToolTip");
}

void StatusNotifierItem::setImage(const std::optional<SymbolImage>& image)
{
    if (image == image_)
        return;
    image_ = image;
    pixmaps_.clear();
    if (image_) {
        for (int side : ICON_SIDES)
            pixmaps_.push_back(symbolPixmap(*image_, side, TRAY_INK));
    }
    emit("NewIcon");
}

void StatusNotifierItem::emit(const char* signal)
{
    if (bus_.gone())
        return;
    sd_bus_emit_signal(bus_.bus(), objectPath_.c_str(), INTERFACE, signal, "");
    bus_.settle();
}

int StatusNotifierItem::property(sd_bus*, const char*, const char*, const char* name, sd_bus_message* reply,
                                 void* self, sd_bus_error*)
{
    const auto& item = *static_cast<StatusNotifierItem*>(self);
    auto is = [name](const char* wanted) { return std::strcmp(name, wanted) == 0; };
    if (is("Category"))
        return sd_bus_message_append(reply, "s", "ApplicationStatus");
    if (is("Id"))
        return sd_bus_message_append(reply, "s", item.id_.c_str());
    if (is("Title"))
        return sd_bus_message_append(reply, "s", item.title_.c_str());
    if (is("Status"))
        return sd_bus_message_append(reply, "s", "Active");
    if (is("WindowId"))
        return sd_bus_message_append(reply, "i", 0);
    if (is("ItemIsMenu"))
        return sd_bus_message_append(reply, "b", 1);
    if (is("Menu"))
        return sd_bus_message_append(reply, "o", item.menuPath_.c_str());
    if (is("IconPixmap"))
        return appendPixmaps(reply, item.pixmaps_);
    if (is("OverlayIconPixmap") || is("AttentionIconPixmap"))
        return appendPixmaps(reply, {});
    if (is("ToolTip")) {
        int result = sd_bus_message_open_container(reply, 'r', "sa(iiay)ss");
        if (result >= 0)
            result = sd_bus_message_append(reply, "s", "");
        if (result >= 0)
            result = appendPixmaps(reply, {});
        if (result >= 0)
            result = sd_bus_message_append(reply, "ss", item.toolTip_.c_str(), "");
        return result < 0 ? result : sd_bus_message_close_container(reply);
    }
    // The names of themed icons, and the theme's path: the icon is drawn
    // here, so they are empty.
    return sd_bus_message_append(reply, "s", "");
}

int StatusNotifierItem::showMenuMethod(sd_bus_message* m, void* self, sd_bus_error*)
{
    auto& item = *static_cast<StatusNotifierItem*>(self);
    int32_t x = 0, y = 0;
    int result = sd_bus_message_read(m, "ii", &x, &y);
    if (result < 0)
        return result;
    result = sd_bus_reply_method_return(m, "");
    if (item.handlers_.showMenu)
        item.handlers_.showMenu(x, y);
    return result < 0 ? result : 1;
}

int StatusNotifierItem::acceptMethod(sd_bus_message* m, void*, sd_bus_error*)
{
    return sd_bus_reply_method_return(m, "");
}

const sd_bus_vtable* StatusNotifierItem::vtable()
{
    static const sd_bus_vtable table[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("Category", "s", property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("Id", "s", property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("Title", "s", property, 0, 0),
        SD_BUS_PROPERTY("Status", "s", property, 0, 0),
        SD_BUS_PROPERTY("WindowId", "i", property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("IconThemePath", "s", property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("IconName", "s", property, 0, 0),
        SD_BUS_PROPERTY("IconPixmap", "a(iiay)", property, 0, 0),
        SD_BUS_PROPERTY("OverlayIconName", "s", property, 0, 0),
        SD_BUS_PROPERTY("OverlayIconPixmap", "a(iiay)", property, 0, 0),
        SD_BUS_PROPERTY("AttentionIconName", "s", property, 0, 0),
        SD_BUS_PROPERTY("AttentionIconPixmap", "a(iiay)", property, 0, 0),
        SD_BUS_PROPERTY("AttentionMovieName", "s", property, 0, 0),
        SD_BUS_PROPERTY("ToolTip", "(sa(iiay)ss)", property, 0, 0),
        SD_BUS_PROPERTY("ItemIsMenu", "b", property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("Menu", "o", property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        // A click where the tray does not open the menu itself, and the
        // context menu: the menu pops up there.
        SD_BUS_METHOD("Activate", "ii", "", showMenuMethod, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("ContextMenu", "ii", "", showMenuMethod, SD_BUS_VTABLE_UNPRIVILEGED),
        // A middle click and the wheel mean nothing to a menu-only item.
        SD_BUS_METHOD("SecondaryActivate", "ii", "", acceptMethod, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("Scroll", "is", "", acceptMethod, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_SIGNAL("NewTitle", "", 0),
        SD_BUS_SIGNAL("NewIcon", "", 0),
        SD_BUS_SIGNAL("NewAttentionIcon", "", 0),
        SD_BUS_SIGNAL("NewOverlayIcon", "", 0),
        SD_BUS_SIGNAL("NewToolTip", "", 0),
        SD_BUS_SIGNAL("NewStatus", "s", 0),
        SD_BUS_VTABLE_END,
    };
    return table;
}

} // namespace platform
