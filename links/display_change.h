// The display-change URL: an application may ask, in its Info.plist, to be
// handed one of its own URLs whenever the display configuration changes.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace kestrune::links {

inline const std::string displayChangeKey = "KestruneDisplayChangeURL";
inline const std::string displayChangeSource = "display-change";

// Start-up: reads the URL (kept only when its scheme is one of the
// application's) and, when there is one, installs the reconfiguration
// callback. Needs the schemes read first.
void watchTheDisplays(const nlohmann::json& info);
const std::optional<std::string>& displayChangeURL();

// The reconfiguration callback: once per affected display, the begin round
// ignored; every call delivers the URL once.
void displaysReconfigured(uint32_t display, uint32_t flags);

} // namespace kestrune::links
