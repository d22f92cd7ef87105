// The application bundle around the running executable, and property lists.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace platform {

// A property list turned into JSON values: dictionaries become objects,
// arrays arrays, strings, booleans, integers and reals keep their kinds;
// dates and data become null (nothing the host reads is of those kinds).
// Strings keep every byte, NUL included. Nothing when the bytes are no
// property list (XML or binary; XML holds no NUL byte), nest deeper than the
// host will follow, or have a dictionary key that holds NUL (such a key
// cannot be read whole).
std::optional<nlohmann::json> propertyListFrom(const std::string& bytes);

class Bundle {
public:
    // The bundle that holds the executable at `executablePath`:
    // …/Name.app/Contents/MacOS/exe gives …/Name.app; an executable outside
    // that layout has its own folder as bundle, like a bare tool.
    static Bundle containing(const std::string& executablePath);

    // The bundle of the running executable, read once: the start-up and the
    // desktop both ask for it.
    static const Bundle& main();

    const std::string& path() const { return path_; }
    // Contents/Resources, or the folder itself for a bare tool.
    const std::string& resourcesPath() const { return resourcesPath_; }
    // The Info.plist dictionary; an empty object when there is none, or when
    // the file is no property list or not a dictionary at its top.
    const nlohmann::json& info() const { return info_; }
    // CFBundleIdentifier when it is a non-empty string without NUL.
    std::optional<std::string> identifier() const;
    // The Info.plist string under `key`, when it is a string.
    std::optional<std::string> string(const std::string& key) const;

private:
    std::string path_;
    std::string resourcesPath_;
    nlohmann::json info_ = nlohmann::json::object();
};

// The path of the running executable, asked of the system once.
const std::string& runningExecutablePath();

} // namespace platform
