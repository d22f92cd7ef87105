// The runtime descriptor: the JSON file in Contents/Resources, named after a
// unit and ending in "-runtime.json", that says how to start the shell.
#pragma once

#include "platform/bundle.h"

#include <nlohmann/json.hpp>

#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kestrune {

// Process-wide values, set once at start-up in this order.
inline std::vector<std::string> resources;      // paths of the entries of Contents/Resources
inline std::vector<std::string> runtimeFiles;   // those ending in "-runtime.json"
inline std::string identity;                    // the bundle identifier
inline std::string executableName;              // last component of the host's program path
inline std::string runtimeFile;                 // the chosen descriptor's path
inline nlohmann::json runtimeObject;            // its top-level object
inline std::map<std::string, std::string> runtime;   // its string members, "~/" expanded
inline std::string unit;
inline std::string prefix;                      // environment-variable prefix, ACME_MENU_
inline nlohmann::json info = nlohmann::json::object();   // the Info.plist dictionary
inline std::optional<std::string> helperBundle;
inline std::optional<std::string> frozen;       // a self-contained shell executable
inline const std::string bunInBundleKey = "bunInBundle";
inline std::optional<std::string> bunInBundle;
inline std::string executable;                  // the program the shell's process runs

// Descriptor files are small; a larger file is refused unread.
inline constexpr std::size_t RUNTIME_FILE_LIMIT = 4 * 1024 * 1024;
// Arrays and objects nested deeper than this make a descriptor unreadable.
inline constexpr int RUNTIME_NESTING_LIMIT = 512;
inline constexpr const char* RUNTIME_FILE_ENDING = "-runtime.json";

// The entry of `runtimeFiles` named after the executable, else the only one;
// otherwise the message that counts them.
std::variant<std::string, std::string> chooseRuntimeFile(const std::vector<std::string>& runtimeFiles,
                                                         const std::string& executableName);

// The descriptor's top-level object; nothing when the text is not JSON, nests
// deeper than RUNTIME_NESTING_LIMIT, or its top level is not an object.
std::optional<nlohmann::json> runtimeObjectFrom(const std::string& text);

// The string members of a descriptor, with "~/" expanded.
std::map<std::string, std::string> stringMembersOf(const nlohmann::json& object);

// "acme-menu" gives "ACME_MENU_".
std::string prefixOf(const std::string& unit);

// A descriptor value that may point into the bundle: "~/x" is expanded,
// "Contents/x" becomes a path inside `base`, anything else is returned as is.
std::string resolvedRuntimeValue(const std::string& value, const std::string& base);

// The self-contained executable that the "executable" member names: in the
// helper bundle when executable there, else in the main bundle, unchecked.
std::string frozenPath(const std::string& name, const std::string& bundlePath,
                       const std::optional<std::string>& helperBundle);

// Start-up steps 11 to 15: fills the values above from `bundle`, ending the
// host through unavailable() on the first failure. `whichRuntime` is the
// "--which-runtime" mode, answered between choosing and reading.
void readTheRuntimeDescriptor(const platform::Bundle& bundle, const std::string& programPath, bool whichRuntime);

} // namespace kestrune
