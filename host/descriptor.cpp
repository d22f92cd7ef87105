#include "host/descriptor.h"

#include "host/startup.h"
#include "platform/exit.h"
#include "platform/files.h"
#include "platform/json_line.h"
#include "platform/text.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace kestrune::host {

platform::Result<std::string> chooseRuntimeFile(const std::vector<std::string>& files, const std::string& name)
{
    const std::string wanted = name + RUNTIME_FILE_ENDING;
    for (const auto& file : files) {
        if (platform::lastComponent(file) == wanted)
            return file;
    }
    if (files.size() == 1)
        return files.front();
    return platform::failureBecause(
        "chooseRuntimeFile", "Contents/Resources holds " + std::to_string(files.size()) + " *-runtime.json, none is " + wanted);
}

std::optional<nlohmann::json> runtimeObjectFrom(const std::string& text)
{
    return platform::objectWithin(text, RUNTIME_NESTING_LIMIT);
}

std::map<std::string, std::string> stringMembersOf(const nlohmann::json& object)
{
    std::map<std::string, std::string> strings;
    for (const auto& [name, value] : object.items()) {
        if (value.is_string())
            strings[name] = platform::expandingTilde(value.get<std::string>());
    }
    return strings;
}


std::string prefixOf(const std::string& unitName)
{
    std::string upper = platform::upperCased(unitName);
    for (char& c : upper) {
        if (c == '-')
            c = '_';
    }
    return upper + "_";
}

std::string frozenPath(const std::string& name, const std::string& bundlePath,
                       const std::optional<std::string>& helper)
{
    if (helper) {
        std::string candidate = platform::appendingComponent(platform::appendingComponent(*helper, "Contents/MacOS"), name);
        if (platform::isExecutableFile(candidate))
            return candidate;
    }
    return platform::appendingComponent(platform::appendingComponent(bundlePath, "Contents/MacOS"), name);
}

std::optional<std::string> RuntimeDescriptor::value(const std::string& name) const
{
    auto found = runtime.find(name);
    if (found == runtime.end())
        return std::nullopt;
    return found->second;
}

RuntimeDescriptor readTheRuntimeDescriptor(const platform::Bundle& bundle, const std::string& programPath, bool whichRuntime)
{
    RuntimeDescriptor d;
    // 11. resources and runtimeFiles.
    for (const auto& name : platform::entriesOf(bundle.resourcesPath()))
        d.resources.push_back(platform::appendingComponent(bundle.resourcesPath(), name));
    for (const auto& path : d.resources) {
        const std::string name = platform::lastComponent(path);
        if (name.size() >= 13 && name.compare(name.size() - 13, 13, RUNTIME_FILE_ENDING) == 0)
            d.runtimeFiles.push_back(path);
    }

    // 12. identity.
    auto identifier = bundle.identifier();
    if (!identifier)
        unavailable("CFBundleIdentifier is missing");
    d.identity = *identifier;

    // 13. executableName and runtimeFile.
    d.executableName = platform::lastComponent(programPath);
    auto chosen = chooseRuntimeFile(d.runtimeFiles, d.executableName);
    if (!chosen)
        unavailable(chosen.failure().description());
    d.runtimeFile = *chosen;

    // 14. "--which-runtime" answers before the descriptor is read.
    if (whichRuntime) {
        std::string line = platform::lastComponent(d.runtimeFile) + "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
        platform::leave(platform::EXIT_DONE);
    }

    // 15. The descriptor and the values derived from it.
    const std::string fileName = platform::lastComponent(d.runtimeFile);
    auto text = platform::contentsOf(d.runtimeFile, RUNTIME_FILE_LIMIT);
    std::optional<nlohmann::json> object = text ? runtimeObjectFrom(*text) : std::nullopt;
    if (!object)
        unavailable(fileName + " is not a JSON object");
    d.runtimeObject = std::move(*object);
    d.runtime = stringMembersOf(d.runtimeObject);
    d.unit = fileName.substr(0, fileName.size() - 13);
    d.prefix = prefixOf(d.unit);

    if (auto name = bundle.string("CFBundleName"))
        d.helperBundle = platform::appendingComponent(platform::appendingComponent(bundle.path(), "Contents/Helpers"), *name + ".app");

    if (auto name = d.value("executable"))
        d.frozen = frozenPath(*name, bundle.path(), d.helperBundle);

    if (auto path = d.value(bunInBundleKey)) {
        if (path->rfind("Contents/", 0) == 0)
            *path = platform::appendingComponent(bundle.path(), *path);
        if (platform::isExecutableFile(*path))
            d.bunInBundle = *path;
    }

    if (d.frozen)
        d.executable = *d.frozen;
    else if (d.bunInBundle)
        d.executable = *d.bunInBundle;
    else if (auto bun = d.value("bun"))
        d.executable = *bun;
    else
        unavailable("neither executable nor bun");

    if (!platform::isExecutableFile(d.executable))
        unavailable(d.executable + " is not executable");

    if (!d.frozen) {
        auto shell = d.value("shell");
        if (!shell || !platform::fileExists(*shell))
            unavailable("shell is missing");
    }
    return d;
}

} // namespace kestrune::host
