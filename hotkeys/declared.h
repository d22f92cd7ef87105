// Hot keys declared in the Info.plist under "KestruneHotKeys".
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string>
#include <vector>

namespace kestrune::hotkeys {

struct HotKey {
    std::string key;
    std::string url;
    std::string when = "always";
    std::optional<std::string> action;
};

inline const std::string hotKeysKey = "KestruneHotKeys";
inline const std::string frontWhenPrefix = "front:";
inline const std::string hotKeyPlanFlag = "--hotkey-plan";

// The declared hot keys of an Info.plist: entries without a string "key" or
// "url" are skipped; a list that is not an array of dictionaries declares
// none at all.
std::vector<HotKey> hotKeysOf(const nlohmann::json& info);

// Start-up step 5: the declared hot keys of the bundle's Info.plist.
void readTheDeclaredHotKeys(const nlohmann::json& info);
const std::vector<HotKey>& declaredHotKeys();

// Whether a hot key with this `when` may be registered while `front` is the
// front application (nothing: none is known).
bool registersNow(const std::string& when, const std::optional<std::string>& front);

// The "--hotkey-plan" mode: one line per declared hot key for the front
// application named by the single argument; exits.
[[noreturn]] void runTheHotKeyPlan(const std::vector<std::string>& commandLine);

} // namespace kestrune::hotkeys
