// The desktop's values as the desktop server's protocol writes them (the
// shapes are documented in docs/desktop.md). Decoders give nothing for a
// value of the wrong shape; optional members that are missing or null take
// their defaults.
#pragma once

#include "platform/desktop.h"

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string>

namespace platform::wire {

using nlohmann::json;

// One protocol line: compact, invalid UTF-8 replaced, no line feed.
std::string lineOf(const json& message);
// A line parsed; nothing when it is not a JSON object.
std::optional<json> objectOfLine(const std::string& line);

// A number as JSON: whole values without a fraction, so they read as written.
json numberJson(double value);

json toJson(const Rect& rect);                   // {"x","y","width","height"}
std::optional<Rect> rectOf(const json& value);
json toJson(const Point& point);                 // {"x","y"}
std::optional<Point> pointOf(const json& value);
json toJson(const Screen& screen);               // {"display","frame","visibleFrame"}
std::optional<Screen> screenOf(const json& value);

const char* nameOf(ActivationPolicy policy);     // "regular", "accessory", "prohibited"
std::optional<ActivationPolicy> activationPolicyOf(const json& value);   // a name or 0, 1, 2

json toJson(const RunningApplication& application);
std::optional<RunningApplication> runningApplicationOf(const json& value);

const char* nameOf(WorkspaceNotification notification);   // "didActivateApplication", ...
std::optional<WorkspaceNotification> workspaceNotificationOf(const std::string& name);
const char* nameOf(ApplicationNotification notification);  // "didBecomeActive", "didResignActive"
std::optional<ApplicationNotification> applicationNotificationOf(const std::string& name);

json toJson(const SymbolImage& image);
std::optional<SymbolImage> symbolImageOf(const json& value);
json toJson(const MenuItem& item);
std::optional<MenuItem> menuItemOf(const json& value);
json toJson(const Menu& menu);
std::optional<Menu> menuOf(const json& value);
json toJson(const StatusItemButton& button);
std::optional<StatusItemButton> statusItemButtonOf(const json& value);
json toJson(const StatusItem& item);
std::optional<StatusItem> statusItemOf(const json& value);

json toJson(const Alert& alert);
std::optional<Alert> alertOf(const json& value);
json toJson(const PanelStyle& style);
std::optional<PanelStyle> panelStyleOf(const json& value);
json toJson(const Panel& panel);
std::optional<Panel> panelOf(const json& value);

const char* nameOf(KeyboardLayoutType type);     // "ANSI", "ISO", "JIS"
std::optional<KeyboardLayoutType> keyboardLayoutTypeOf(const json& value);

const char* nameOf(TerminateReply reply);        // "cancel", "now", "later"
std::optional<TerminateReply> terminateReplyOf(const json& value);

// The item at an index path of a menu, descending through submenus.
const MenuItem* itemAt(const Menu& menu, const std::vector<int>& path);
// An index path from JSON; nothing unless an array of integers.
std::optional<std::vector<int>> pathOf(const json& value);

// Members read leniently: the value under `key` when it has the kind asked
// for, else nothing.
std::optional<std::string> stringAt(const json& object, const char* key);
std::optional<int64_t> integerAt(const json& object, const char* key);
std::optional<double> numberAt(const json& object, const char* key);
std::optional<bool> booleanAt(const json& object, const char* key);

} // namespace platform::wire
