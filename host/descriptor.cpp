#include "host/descriptor.h"

#include "host/startup.h"
#include "platform/exit.h"
#include "platform/files.h"
#include "platform/json_line.h"

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <locale.h>
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
    // Overlong forms, surrogates and points beyond Unicode are not UTF-8:
    // their bytes are kept as they are rather than decoded.
    const long smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < smallest[length] || (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF) {
        ++at;
        return -1;
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

// The upper-case mappings of Unicode that give more than one character
// (SpecialCasing, unconditional), sorted by code point; every other
// character maps one to one through the C library's tables.
struct Expansion {
    long point;
    const char32_t* upper;
};
constexpr Expansion expandingUpperCase[] = {
    {0x00DF, U"SS"}, {0x0149, U"\u02BCN"}, {0x01F0, U"J\u030C"}, {0x0390, U"\u0399\u0308\u0301"},
    {0x03B0, U"\u03A5\u0308\u0301"}, {0x0587, U"\u0535\u0552"}, {0x1E96, U"H\u0331"}, {0x1E97, U"T\u0308"},
    {0x1E98, U"W\u030A"}, {0x1E99, U"Y\u030A"}, {0x1E9A, U"A\u02BE"}, {0x1F50, U"\u03A5\u0313"},
    {0x1F52, U"\u03A5\u0313\u0300"}, {0x1F54, U"\u03A5\u0313\u0301"}, {0x1F56, U"\u03A5\u0313\u0342"}, {0x1F80, U"\u1F08\u0399"},
    {0x1F81, U"\u1F09\u0399"}, {0x1F82, U"\u1F0A\u0399"}, {0x1F83, U"\u1F0B\u0399"}, {0x1F84, U"\u1F0C\u0399"},
    {0x1F85, U"\u1F0D\u0399"}, {0x1F86, U"\u1F0E\u0399"}, {0x1F87, U"\u1F0F\u0399"}, {0x1F88, U"\u1F08\u0399"},
    {0x1F89, U"\u1F09\u0399"}, {0x1F8A, U"\u1F0A\u0399"}, {0x1F8B, U"\u1F0B\u0399"}, {0x1F8C, U"\u1F0C\u0399"},
    {0x1F8D, U"\u1F0D\u0399"}, {0x1F8E, U"\u1F0E\u0399"}, {0x1F8F, U"\u1F0F\u0399"}, {0x1F90, U"\u1F28\u0399"},
    {0x1F91, U"\u1F29\u0399"}, {0x1F92, U"\u1F2A\u0399"}, {0x1F93, U"\u1F2B\u0399"}, {0x1F94, U"\u1F2C\u0399"},
    {0x1F95, U"\u1F2D\u0399"}, {0x1F96, U"\u1F2E\u0399"}, {0x1F97, U"\u1F2F\u0399"}, {0x1F98, U"\u1F28\u0399"},
    {0x1F99, U"\u1F29\u0399"}, {0x1F9A, U"\u1F2A\u0399"}, {0x1F9B, U"\u1F2B\u0399"}, {0x1F9C, U"\u1F2C\u0399"},
    {0x1F9D, U"\u1F2D\u0399"}, {0x1F9E, U"\u1F2E\u0399"}, {0x1F9F, U"\u1F2F\u0399"}, {0x1FA0, U"\u1F68\u0399"},
    {0x1FA1, U"\u1F69\u0399"}, {0x1FA2, U"\u1F6A\u0399"}, {0x1FA3, U"\u1F6B\u0399"}, {0x1FA4, U"\u1F6C\u0399"},
    {0x1FA5, U"\u1F6D\u0399"}, {0x1FA6, U"\u1F6E\u0399"}, {0x1FA7, U"\u1F6F\u0399"}, {0x1FA8, U"\u1F68\u0399"},
    {0x1FA9, U"\u1F69\u0399"}, {0x1FAA, U"\u1F6A\u0399"}, {0x1FAB, U"\u1F6B\u0399"}, {0x1FAC, U"\u1F6C\u0399"},
    {0x1FAD, U"\u1F6D\u0399"}, {0x1FAE, U"\u1F6E\u0399"}, {0x1FAF, U"\u1F6F\u0399"}, {0x1FB2, U"\u1FBA\u0399"},
    {0x1FB3, U"\u0391\u0399"}, {0x1FB4, U"\u0386\u0399"}, {0x1FB6, U"\u0391\u0342"}, {0x1FB7, U"\u0391\u0342\u0399"},
    {0x1FBC, U"\u0391\u0399"}, {0x1FC2, U"\u1FCA\u0399"}, {0x1FC3, U"\u0397\u0399"}, {0x1FC4, U"\u0389\u0399"},
    {0x1FC6, U"\u0397\u0342"}, {0x1FC7, U"\u0397\u0342\u0399"}, {0x1FCC, U"\u0397\u0399"}, {0x1FD2, U"\u0399\u0308\u0300"},
    {0x1FD3, U"\u0399\u0308\u0301"}, {0x1FD6, U"\u0399\u0342"}, {0x1FD7, U"\u0399\u0308\u0342"}, {0x1FE2, U"\u03A5\u0308\u0300"},
    {0x1FE3, U"\u03A5\u0308\u0301"}, {0x1FE4, U"\u03A1\u0313"}, {0x1FE6, U"\u03A5\u0342"}, {0x1FE7, U"\u03A5\u0308\u0342"},
    {0x1FF2, U"\u1FFA\u0399"}, {0x1FF3, U"\u03A9\u0399"}, {0x1FF4, U"\u038F\u0399"}, {0x1FF6, U"\u03A9\u0342"},
    {0x1FF7, U"\u03A9\u0342\u0399"}, {0x1FFC, U"\u03A9\u0399"}, {0xFB00, U"FF"}, {0xFB01, U"FI"},
    {0xFB02, U"FL"}, {0xFB03, U"FFI"}, {0xFB04, U"FFL"}, {0xFB05, U"ST"},
    {0xFB06, U"ST"}, {0xFB13, U"\u0544\u0546"}, {0xFB14, U"\u0544\u0535"}, {0xFB15, U"\u0544\u053B"},
    {0xFB16, U"\u054E\u0546"}, {0xFB17, U"\u0544\u053D"},
};

// The C library's UTF-8 character tables, loaded on first need: loading
// them costs time and memory that ASCII names never need.
locale_t utf8Locale()
{
    static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    return utf8;
}

// Upper-cases UTF-8 text by Unicode's full case mappings, locale-free. Bytes
// that are not UTF-8 stay as they are.
std::string upperCased(const std::string& text)
{
    std::string result;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t start = at;
        long point = nextCodePoint(text, at);
        if (point < 0) {
            result += text[start];
            continue;
        }
        auto expansion = std::lower_bound(std::begin(expandingUpperCase), std::end(expandingUpperCase), point,
                                          [](const Expansion& entry, long wanted) { return entry.point < wanted; });
        if (expansion != std::end(expandingUpperCase) && expansion->point == point) {
            for (const char32_t* upper = expansion->upper; *upper; ++upper)
                appendUtf8(result, static_cast<long>(*upper));
            continue;
        }
        long upper = point;
        if (point < 0x80)
            upper = (point >= 'a' && point <= 'z') ? point - 'a' + 'A' : point;
        else if (locale_t utf8 = utf8Locale())
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
