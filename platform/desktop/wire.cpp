#include "platform/desktop/wire.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

namespace platform::wire {

std::string lineOf(const json& message)
{
    return message.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::optional<json> objectOfLine(const std::string& line)
{
    json parsed = json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded() || !parsed.is_object())
        return std::nullopt;
    return parsed;
}

std::optional<std::string> stringAt(const json& object, const char* key)
{
    if (!object.is_object())
        return std::nullopt;
    auto found = object.find(key);
    if (found == object.end() || !found->is_string())
        return std::nullopt;
    return found->get<std::string>();
}

std::optional<int64_t> integerAt(const json& object, const char* key)
{
    if (!object.is_object())
        return std::nullopt;
    auto found = object.find(key);
    if (found == object.end())
        return std::nullopt;
    if (found->is_number_unsigned()) {
        uint64_t value = found->get<uint64_t>();
        if (value > uint64_t(std::numeric_limits<int64_t>::max()))
            return std::nullopt;
        return int64_t(value);
    }
    if (found->is_number_integer())
        return found->get<int64_t>();
    if (found->is_number_float()) {
        double value = found->get<double>();
        // A whole number written with a fraction still counts as an integer.
        if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 9.0e18)
            return int64_t(value);
    }
    return std::nullopt;
}

std::optional<double> numberAt(const json& object, const char* key)
{
    if (!object.is_object())
        return std::nullopt;
    auto found = object.find(key);
    if (found == object.end() || !found->is_number())
        return std::nullopt;
    double value = found->get<double>();
    if (!std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<bool> booleanAt(const json& object, const char* key)
{
    if (!object.is_object())
        return std::nullopt;
    auto found = object.find(key);
    if (found == object.end() || !found->is_boolean())
        return std::nullopt;
    return found->get<bool>();
}

namespace {
// A string or null.
json optionalString(const std::optional<std::string>& text)
{
    return text ? json(*text) : json(nullptr);
}

// A member that must be present and of its kind; absence fails the decoder.
template <typename T>
bool need(const std::optional<T>& value, T& target)
{
    if (!value)
        return false;
    target = *value;
    return true;
}
}

json numberJson(double value)
{
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 9.0e15)
        return int64_t(value);
    return value;
}

json toJson(const Rect& rect)
{
    return {{"x", numberJson(rect.x)}, {"y", numberJson(rect.y)}, {"width", numberJson(rect.width)}, {"height", numberJson(rect.height)}};
}

std::optional<Rect> rectOf(const json& value)
{
    Rect rect;
    if (!need(numberAt(value, "x"), rect.x) || !need(numberAt(value, "y"), rect.y)
        || !need(numberAt(value, "width"), rect.width) || !need(numberAt(value, "height"), rect.height))
        return std::nullopt;
    return rect;
}

json toJson(const Point& point)
{
    return {{"x", numberJson(point.x)}, {"y", numberJson(point.y)}};
}

std::optional<Point> pointOf(const json& value)
{
    Point point;
    if (!need(numberAt(value, "x"), point.x) || !need(numberAt(value, "y"), point.y))
        return std::nullopt;
    return point;
}

json toJson(const Screen& screen)
{
    return {{"display", screen.display}, {"frame", toJson(screen.frame)}, {"visibleFrame", toJson(screen.visibleFrame)}};
}

std::optional<Screen> screenOf(const json& value)
{
    if (!value.is_object())
        return std::nullopt;
    Screen screen;
    auto display = integerAt(value, "display");
    if (!display || *display < 0 || *display > int64_t(UINT32_MAX))
        return std::nullopt;
    screen.display = uint32_t(*display);
    auto frame = value.contains("frame") ? rectOf(value["frame"]) : std::nullopt;
    if (!frame)
        return std::nullopt;
    screen.frame = *frame;
    auto visible = value.contains("visibleFrame") ? rectOf(value["visibleFrame"]) : std::nullopt;
    screen.visibleFrame = visible.value_or(*frame);
    return screen;
}

const char* nameOf(ActivationPolicy policy)
{
    switch (policy) {
    case ActivationPolicy::regular:
        return "regular";
    case ActivationPolicy::accessory:
        return "accessory";
    case ActivationPolicy::prohibited:
        return "prohibited";
    }
    return "regular";
}

std::optional<ActivationPolicy> activationPolicyOf(const json& value)
{
    if (value.is_string()) {
        for (auto policy : {ActivationPolicy::regular, ActivationPolicy::accessory, ActivationPolicy::prohibited}) {
            if (value.get<std::string>() == nameOf(policy))
                return policy;
        }
        return std::nullopt;
    }
    if (value.is_number_integer()) {
        auto number = value.get<int64_t>();
        if (number >= 0 && number <= 2)
            return ActivationPolicy(number);
    }
    return std::nullopt;
}

json toJson(const RunningApplication& application)
{
    return {
        {"pid", application.pid},
        {"bundleIdentifier", optionalString(application.bundleIdentifier)},
        {"localizedName", optionalString(application.localizedName)},
        {"bundlePath", optionalString(application.bundlePath)},
        {"activationPolicy", int(application.activationPolicy)},
        {"terminated", application.terminated},
        {"hidden", application.hidden},
    };
}

std::optional<RunningApplication> runningApplicationOf(const json& value)
{
    if (!value.is_object())
        return std::nullopt;
    RunningApplication application;
    auto pid = integerAt(value, "pid");
    if (!pid || *pid < INT32_MIN || *pid > INT32_MAX)
        return std::nullopt;
    application.pid = pid_t(*pid);
    application.bundleIdentifier = stringAt(value, "bundleIdentifier");
    application.localizedName = stringAt(value, "localizedName");
    application.bundlePath = stringAt(value, "bundlePath");
    if (value.contains("activationPolicy")) {
        auto policy = activationPolicyOf(value["activationPolicy"]);
        if (!policy)
            return std::nullopt;
        application.activationPolicy = *policy;
    }
    application.terminated = booleanAt(value, "terminated").value_or(false);
    application.hidden = booleanAt(value, "hidden").value_or(false);
    return application;
}

namespace {
const std::pair<WorkspaceNotification, const char*> workspaceNames[] = {
    {WorkspaceNotification::didActivateApplication, "didActivateApplication"},
    {WorkspaceNotification::didTerminateApplication, "didTerminateApplication"},
    {WorkspaceNotification::didLaunchApplication, "didLaunchApplication"},
    {WorkspaceNotification::didHideApplication, "didHideApplication"},
    {WorkspaceNotification::didUnhideApplication, "didUnhideApplication"},
};
const std::pair<ApplicationNotification, const char*> applicationNames[] = {
    {ApplicationNotification::didBecomeActive, "didBecomeActive"},
    {ApplicationNotification::didResignActive, "didResignActive"},
};
}

const char* nameOf(WorkspaceNotification notification)
{
    for (auto [value, name] : workspaceNames) {
        if (value == notification)
            return name;
    }
    return "";
}

std::optional<WorkspaceNotification> workspaceNotificationOf(const std::string& name)
{
    for (auto [value, text] : workspaceNames) {
        if (name == text)
            return value;
    }
    return std::nullopt;
}

const char* nameOf(ApplicationNotification notification)
{
    for (auto [value, name] : applicationNames) {
        if (value == notification)
            return name;
    }
    return "";
}

std::optional<ApplicationNotification> applicationNotificationOf(const std::string& name)
{
    for (auto [value, text] : applicationNames) {
        if (name == text)
            return value;
    }
    return std::nullopt;
}

json toJson(const SymbolImage& image)
{
    return {
        {"symbol", image.symbol},
        {"accessibilityDescription", image.accessibilityDescription},
        {"pointSize", image.pointSize ? json(*image.pointSize) : json(nullptr)},
        {"weight", image.weight ? json(*image.weight) : json(nullptr)},
        {"badge", optionalString(image.badge)},
        {"template", image.isTemplate},
    };
}

std::optional<SymbolImage> symbolImageOf(const json& value)
{
    SymbolImage image;
    if (!need(stringAt(value, "symbol"), image.symbol))
        return std::nullopt;
    image.accessibilityDescription = stringAt(value, "accessibilityDescription").value_or("");
    image.pointSize = numberAt(value, "pointSize");
    image.weight = numberAt(value, "weight");
    image.badge = stringAt(value, "badge");
    image.isTemplate = booleanAt(value, "template").value_or(false);
    return image;
}

json toJson(const MenuItem& item)
{
    if (item.separator)
        return {{"separator", true}};
    return {
        {"separator", false},
        {"title", item.title},
        {"enabled", item.enabled},
        {"action", item.hasAction},
        {"identifier", optionalString(item.identifier)},
        {"representedObject", optionalString(item.representedObject)},
        {"keyEquivalent", item.keyEquivalent},
        {"modifierMask", item.keyEquivalentModifierMask},
        {"image", item.image ? toJson(*item.image) : json(nullptr)},
        {"preferredImageVisibility", item.preferredImageVisibility ? json(*item.preferredImageVisibility) : json(nullptr)},
        {"submenu", item.submenu ? toJson(*item.submenu) : json(nullptr)},
    };
}

namespace {
// Menus nest; a tree deeper than this is refused rather than followed.
constexpr int MENU_DEPTH_LIMIT = 64;

std::optional<Menu> menuOfAt(const json& value, int depth);

// An item at a depth of nesting.
std::optional<MenuItem> menuItemOfAt(const json& value, int depth)
{
    if (!value.is_object())
        return std::nullopt;
    if (booleanAt(value, "separator").value_or(false))
        return separatorItem();
    MenuItem item;
    item.title = stringAt(value, "title").value_or("");
    item.enabled = booleanAt(value, "enabled").value_or(true);
    item.hasAction = booleanAt(value, "action").value_or(false);
    item.identifier = stringAt(value, "identifier");
    item.representedObject = stringAt(value, "representedObject");
    item.keyEquivalent = stringAt(value, "keyEquivalent").value_or("");
    if (auto mask = integerAt(value, "modifierMask"); mask && *mask >= 0)
        item.keyEquivalentModifierMask = uint64_t(*mask);
    if (value.contains("image") && !value["image"].is_null()) {
        item.image = symbolImageOf(value["image"]);
        if (!item.image)
            return std::nullopt;
    }
    if (auto visibility = integerAt(value, "preferredImageVisibility"))
        item.preferredImageVisibility = int(*visibility);
    if (value.contains("submenu") && !value["submenu"].is_null()) {
        auto submenu = menuOfAt(value["submenu"], depth + 1);
        if (!submenu)
            return std::nullopt;
        item.submenu = std::move(*submenu);
    }
    return item;
}

// A menu at a depth of nesting.
std::optional<Menu> menuOfAt(const json& value, int depth)
{
    if (!value.is_object() || depth > MENU_DEPTH_LIMIT)
        return std::nullopt;
    Menu menu;
    menu.title = stringAt(value, "title").value_or("");
    menu.autoenablesItems = booleanAt(value, "autoenablesItems").value_or(true);
    auto items = value.find("items");
    if (items == value.end() || !items->is_array())
        return std::nullopt;
    for (const auto& element : *items) {
        auto item = menuItemOfAt(element, depth);
        if (!item)
            return std::nullopt;
        menu.items.push_back(std::move(*item));
    }
    return menu;
}
}

std::optional<MenuItem> menuItemOf(const json& value)
{
    return menuItemOfAt(value, 0);
}

json toJson(const Menu& menu)
{
    json items = json::array();
    for (const auto& item : menu.items)
        items.push_back(toJson(item));
    return {{"title", menu.title}, {"autoenablesItems", menu.autoenablesItems}, {"items", std::move(items)}};
}

std::optional<Menu> menuOf(const json& value)
{
    return menuOfAt(value, 0);
}

json toJson(const StatusItemButton& button)
{
    return {
        {"image", button.image ? toJson(*button.image) : json(nullptr)},
        {"title", button.title},
        {"toolTip", button.toolTip},
        {"accessibilityLabel", button.accessibilityLabel},
    };
}

std::optional<StatusItemButton> statusItemButtonOf(const json& value)
{
    if (!value.is_object())
        return std::nullopt;
    StatusItemButton button;
    if (value.contains("image") && !value["image"].is_null()) {
        button.image = symbolImageOf(value["image"]);
        if (!button.image)
            return std::nullopt;
    }
    button.title = stringAt(value, "title").value_or("");
    button.toolTip = stringAt(value, "toolTip").value_or("");
    button.accessibilityLabel = stringAt(value, "accessibilityLabel").value_or("");
    return button;
}

json toJson(const StatusItem& item)
{
    return {
        {"length", item.length},
        {"autosaveName", item.autosaveName},
        {"button", toJson(item.button)},
        {"menu", item.menu ? toJson(*item.menu) : json(nullptr)},
    };
}

std::optional<StatusItem> statusItemOf(const json& value)
{
    if (!value.is_object())
        return std::nullopt;
    StatusItem item;
    item.length = numberAt(value, "length").value_or(VARIABLE_STATUS_ITEM_LENGTH);
    item.autosaveName = stringAt(value, "autosaveName").value_or("");
    if (value.contains("button")) {
        auto button = statusItemButtonOf(value["button"]);
        if (!button)
            return std::nullopt;
        item.button = *button;
    }
    if (value.contains("menu") && !value["menu"].is_null()) {
        item.menu = menuOf(value["menu"]);
        if (!item.menu)
            return std::nullopt;
    }
    return item;
}

json toJson(const Alert& alert)
{
    return {{"messageText", alert.messageText}, {"informativeText", alert.informativeText}, {"buttons", alert.buttons}};
}

std::optional<Alert> alertOf(const json& value)
{
    if (!value.is_object())
        return std::nullopt;
    Alert alert;
    alert.messageText = stringAt(value, "messageText").value_or("");
    alert.informativeText = stringAt(value, "informativeText").value_or("");
    auto buttons = value.find("buttons");
    if (buttons != value.end()) {
        if (!buttons->is_array())
            return std::nullopt;
        for (const auto& button : *buttons) {
            if (!button.is_string())
                return std::nullopt;
            alert.buttons.push_back(button.get<std::string>());
        }
    }
    return alert;
}

json toJson(const PanelStyle& style)
{
    return {
        {"width", style.width},
        {"height", style.height},
        {"nonactivating", style.nonactivating},
        {"level", style.level},
        {"floating", style.floating},
        {"ignoresMouseEvents", style.ignoresMouseEvents},
        {"hidesOnDeactivate", style.hidesOnDeactivate},
        {"opaque", style.opaque},
        {"hasShadow", style.hasShadow},
        {"collectionBehavior", style.collectionBehavior},
        {"cornerRadius", style.cornerRadius},
        {"background", style.background},
        {"fontSize", style.fontSize},
        {"fontWeight", style.fontWeight},
    };
}

std::optional<PanelStyle> panelStyleOf(const json& value)
{
    if (!value.is_object())
        return std::nullopt;
    PanelStyle style;
    style.width = numberAt(value, "width").value_or(0);
    style.height = numberAt(value, "height").value_or(0);
    style.nonactivating = booleanAt(value, "nonactivating").value_or(false);
    style.level = int(integerAt(value, "level").value_or(NORMAL_WINDOW_LEVEL));
    style.floating = booleanAt(value, "floating").value_or(false);
    style.ignoresMouseEvents = booleanAt(value, "ignoresMouseEvents").value_or(false);
    style.hidesOnDeactivate = booleanAt(value, "hidesOnDeactivate").value_or(true);
    style.opaque = booleanAt(value, "opaque").value_or(true);
    style.hasShadow = booleanAt(value, "hasShadow").value_or(true);
    if (auto behavior = integerAt(value, "collectionBehavior"); behavior && *behavior >= 0)
        style.collectionBehavior = uint64_t(*behavior);
    style.cornerRadius = numberAt(value, "cornerRadius").value_or(0);
    style.background = stringAt(value, "background").value_or("");
    style.fontSize = numberAt(value, "fontSize").value_or(0);
    style.fontWeight = numberAt(value, "fontWeight").value_or(FONT_WEIGHT_REGULAR);
    return style;
}

json toJson(const Panel& panel)
{
    return {{"style", toJson(panel.style)}, {"frame", toJson(panel.frame)}, {"text", panel.text}, {"visible", panel.visible}};
}

std::optional<Panel> panelOf(const json& value)
{
    if (!value.is_object() || !value.contains("style") || !value.contains("frame"))
        return std::nullopt;
    auto style = panelStyleOf(value["style"]);
    auto frame = rectOf(value["frame"]);
    if (!style || !frame)
        return std::nullopt;
    Panel panel;
    panel.style = *style;
    panel.frame = *frame;
    panel.text = stringAt(value, "text").value_or("");
    panel.visible = booleanAt(value, "visible").value_or(false);
    return panel;
}

const char* nameOf(KeyboardLayoutType type)
{
    switch (type) {
    case KeyboardLayoutType::ansi:
        return "ANSI";
    case KeyboardLayoutType::iso:
        return "ISO";
    case KeyboardLayoutType::jis:
        return "JIS";
    }
    return "ANSI";
}

std::optional<KeyboardLayoutType> keyboardLayoutTypeOf(const json& value)
{
    if (!value.is_string())
        return std::nullopt;
    for (auto type : {KeyboardLayoutType::ansi, KeyboardLayoutType::iso, KeyboardLayoutType::jis}) {
        if (value.get<std::string>() == nameOf(type))
            return type;
    }
    return std::nullopt;
}

const char* nameOf(TerminateReply reply)
{
    switch (reply) {
    case TerminateReply::cancel:
        return "cancel";
    case TerminateReply::now:
        return "now";
    case TerminateReply::later:
        return "later";
    }
    return "cancel";
}

std::optional<TerminateReply> terminateReplyOf(const json& value)
{
    if (!value.is_string())
        return std::nullopt;
    for (auto reply : {TerminateReply::cancel, TerminateReply::now, TerminateReply::later}) {
        if (value.get<std::string>() == nameOf(reply))
            return reply;
    }
    return std::nullopt;
}

const MenuItem* itemAt(const Menu& menu, const std::vector<int>& path)
{
    const Menu* current = &menu;
    const MenuItem* item = nullptr;
    for (std::size_t step = 0; step < path.size(); ++step) {
        if (!current)
            return nullptr;
        int index = path[step];
        if (index < 0 || std::size_t(index) >= current->items.size())
            return nullptr;
        item = &current->items[std::size_t(index)];
        current = item->submenu ? &*item->submenu : nullptr;
    }
    return item;
}

std::optional<std::vector<int>> pathOf(const json& value)
{
    if (!value.is_array() || value.empty())
        return std::nullopt;
    std::vector<int> path;
    for (const auto& step : value) {
        if (!step.is_number_integer())
            return std::nullopt;
        auto index = step.get<int64_t>();
        if (index < 0 || index > INT32_MAX)
            return std::nullopt;
        path.push_back(int(index));
    }
    return path;
}

} // namespace platform::wire
