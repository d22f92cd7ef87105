// The runtime descriptor: the JSON file in Contents/Resources, named after a
// unit and ending in "-runtime.json", that says how to start the shell.
#pragma once

#include "platform/bundle.h"
#include "platform/result.h"

#include <nlohmann/json.hpp>

#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kestrune::host {

inline const std::string bunInBundleKey = "bunInBundle";

// What the start-up learns from the bundle and its descriptor, in the order
// it learns it.
struct RuntimeDescriptor {
    std::vector<std::string> resources;      // paths of the entries of Contents/Resources
    std::vector<std::string> runtimeFiles;   // those ending in "-runtime.json"
    std::string identity;                    // the bundle identifier
    std::string executableName;              // last component of the host's program path
    std::string runtimeFile;                 // the chosen descriptor's path
    nlohmann::json runtimeObject;            // its top-level object
    std::map<std::string, std::string> runtime;   // its string members, "~/" expanded
    std::string unit;
    std::string prefix;                      // environment-variable prefix, ACME_MENU_
    std::optional<std::string> helperBundle;
    std::optional<std::string> frozen;       // a self-contained shell executable
    std::optional<std::string> bunInBundle;
    std::string executable;                  // the program the shell's process runs

    // The string member `name`, when there is one.
    std::optional<std::string> value(const std::string& name) const;
};

// Descriptor files are small; a larger file is refused unread.
inline constexpr std::size_t RUNTIME_FILE_LIMIT = 4 * 1024 * 1024;
// Arrays and objects nested deeper than this make a descriptor unreadable.
inline constexpr int RUNTIME_NESTING_LIMIT = 512;
inline constexpr const char* RUNTIME_FILE_ENDING = "-runtime.json";

// The entry of `runtimeFiles` named after the executable, else the only one;
// otherwise a failure whose description counts them.
platform::Result<std::string> chooseRuntimeFile(const std::vector<std::string>& runtimeFiles, const std::string& executableName);

// The descriptor's top-level object; nothing when the text is not JSON, nests
// deeper than RUNTIME_NESTING_LIMIT, or its top level is not an object.
std::optional<nlohmann::json> runtimeObjectFrom(const std::string& text);

// The string members of a descriptor, with "~/" expanded.
std::map<std::string, std::string> stringMembersOf(const nlohmann::json& object);

// "acme-menu" gives "ACME_MENU_".
std::string prefixOf(const std::string& unit);

// The self-contained executable that the "executable" member names: in the
// helper bundle when executable there, else in the main bundle, unchecked.
std::string frozenPath(const std::string& name, const std::string& bundlePath,
                       const std::optional<std::string>& helperBundle);

// Start-up steps 11 to 15: the descriptor of `bundle`, ending the host
// through unavailable() on the first failure. `whichRuntime` is the
// "--which-runtime" mode, answered between choosing and reading.
RuntimeDescriptor readTheRuntimeDescriptor(const platform::Bundle& bundle, const std::string& programPath, bool whichRuntime);

} // namespace kestrune::host
