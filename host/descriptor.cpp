#include "host/descriptor.h"

#include "host/startup.h"
#include "platform/files.h"

#include <cstdio>
#include <cwctype>
#include <locale.h>
#include <unistd.h>

namespace kestrune {

std::variant<std::string, std::string> chooseRuntimeFile(const std::vector<std::string>& files,
                                                         const std::string& name)
{
    const std::string wanted = name + RUNTIME_FILE_ENDING;
    for (const auto& file : files) {
        if (platform::lastComponent(file) == wanted)
            return std::variant<std::string, std::string>(std::in_place_index<0>, file);
    }
    if (files.size() == 1)
        return std::variant<std::string, std::string>(std::in_place_index<0>, files.front());
    return std::variant<std::string, std::string>(
        std::in_place_index<1>, "Contents/Resources holds " + std::to_string(files.size()) + " *-runtime.json, none is " + wanted);
}

std::optional<nlohmann::json> runtimeObjectFrom(const std::string& text)
{
    // The parser validates UTF-8 and keeps its own stack, so neither bad
    // bytes nor deep nesting can bring the host down here.
    nlohmann::json parsed = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_object())
        return std::nullopt;
    return parsed;
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

namespace {
// The next code point of UTF-8 text, or -1 for a byte that starts none.
long nextCodePoint(const std::string& text, std::size_t& at)
{
    auto byte = static_cast<unsigned char>(text[at]);
    int length = byte < 0x80 ? 1 : (byte >> 5) == 0x6 ? 2 : (byte >> 4) == 0xE ? 3 : (byte >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || at + static_cast<std::size_t>(length) > text.size()) {
        ++at;
        return -1;
    }
    long point = length == 1 ? byte : byte & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        auto next = static_cast<unsigned char>(text[at + static_cast<std::size_t>(i)]);
        if ((next & 0xC0) != 0x80) {
            ++at;
            return -1;
        }
        point = (point << 6) | (next & 0x3F);
    }
    at += static_cast<std::size_t>(length);
    return point;
}

void appendUtf8(std::string& text, long point)
{
    if (point < 0x80) {
        text += static_cast<char>(point);
    } else if (point < 0x800) {
        text += static_cast<char>(0xC0 | (point >> 6));
        text += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        text += static_cast<char>(0xE0 | (point >> 12));
        text += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (point >> 18));
        text += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (point & 0x3F));
    }
}

// Upper-cases UTF-8 text by Unicode's case mappings (the C library's
// tables), with the one expanding mapping a unit name may plausibly hold:
// ß to SS. Bytes that are not UTF-8 stay as they are.
std::string upperCased(const std::string& text)
{
    static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    std::string result;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t start = at;
        long point = nextCodePoint(text, at);
        if (point < 0) {
            result += text[start];
            continue;
        }
        if (point == 0xDF) {
            result += "SS";
            continue;
        }
        long upper = point;
        if (point < 0x80)
            upper = (point >= 'a' && point <= 'z') ? point - 'a' + 'A' : point;
        else if (utf8)
            upper = static_cast<long>(towupper_l(static_cast<wint_t>(point), utf8));
        appendUtf8(result, upper);
    }
    return result;
}
}

std::string prefixOf(const std::string& unitName)
{
    std::string upper = upperCased(unitName);
    for (char& c : upper) {
        if (c == '-')
            c = '_';
    }
    return upper + "_";
}

std::string resolvedRuntimeValue(const std::string& value, const std::string& base)
{
    if (value.rfind("~/", 0) == 0)
        return platform::expandingTilde(value);
    if (value.rfind("Contents/", 0) == 0)
        return platform::appendingComponent(base, value);
    return value;
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

void readTheRuntimeDescriptor(const platform::Bundle& bundle, const std::string& programPath, bool whichRuntime)
{
    // 11. resources and runtimeFiles.
    for (const auto& name : platform::entriesOf(bundle.resourcesPath()))
        resources.push_back(platform::appendingComponent(bundle.resourcesPath(), name));
    for (const auto& path : resources) {
        const std::string name = platform::lastComponent(path);
        if (name.size() >= 13 && name.compare(name.size() - 13, 13, RUNTIME_FILE_ENDING) == 0)
            runtimeFiles.push_back(path);
    }

    // 12. identity.
    auto identifier = bundle.identifier();
    if (!identifier)
        unavailable("CFBundleIdentifier is missing");
    identity = *identifier;

    // 13. executableName and runtimeFile.
    executableName = platform::lastComponent(programPath);
    auto chosen = chooseRuntimeFile(runtimeFiles, executableName);
    if (chosen.index() == 1)
        unavailable(std::get<1>(chosen));
    runtimeFile = std::get<0>(chosen);

    // 14. "--which-runtime" answers before the descriptor is read.
    if (whichRuntime) {
        std::string line = platform::lastComponent(runtimeFile) + "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
        std::exit(0);
    }

    // 15. The descriptor and the values derived from it.
    const std::string fileName = platform::lastComponent(runtimeFile);
    auto text = platform::contentsOf(runtimeFile, RUNTIME_FILE_LIMIT);
    std::optional<nlohmann::json> object = text ? runtimeObjectFrom(*text) : std::nullopt;
    if (!object)
        unavailable(fileName + " is not a JSON object");
    runtimeObject = std::move(*object);
    runtime = stringMembersOf(runtimeObject);
    unit = fileName.substr(0, fileName.size() - 13);
    prefix = prefixOf(unit);

    info = bundle.info();
    if (auto name = bundle.string("CFBundleName"))
        helperBundle = platform::appendingComponent(platform::appendingComponent(bundle.path(), "Contents/Helpers"), *name + ".app");

    if (auto found = runtime.find("executable"); found != runtime.end())
        frozen = frozenPath(found->second, bundle.path(), helperBundle);

    if (auto found = runtime.find(bunInBundleKey); found != runtime.end()) {
        std::string path = found->second;
        if (path.rfind("Contents/", 0) == 0)
            path = platform::appendingComponent(bundle.path(), path);
        if (platform::isExecutableFile(path))
            bunInBundle = path;
    }

    if (frozen)
        executable = *frozen;
    else if (bunInBundle)
        executable = *bunInBundle;
    else if (auto bun = runtime.find("bun"); bun != runtime.end())
        executable = bun->second;
    else
        unavailable("neither executable nor bun");

    if (!platform::isExecutableFile(executable))
        unavailable(executable + " is not executable");

    if (!frozen) {
        auto shell = runtime.find("shell");
        if (shell == runtime.end() || !platform::fileExists(shell->second))
            unavailable("shell is missing");
    }
}

} // namespace kestrune
