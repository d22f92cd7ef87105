#include "platform/bundle.h"

#include "platform/files.h"

#include <plist/plist.h>

#include <algorithm>
#include <climits>
#include <string_view>
#include <vector>
#include <cstdlib>
#include <unistd.h>

namespace platform {

namespace {

// Info.plists are a few kilobytes; anything this large is not one.
constexpr std::size_t INFO_PLIST_LIMIT = 16 * 1024 * 1024;
// Deeper nesting than any real property list; also bounds our recursion.
constexpr int PLIST_DEPTH_LIMIT = 256;

struct PlistHolder {
    plist_t node = nullptr;
    ~PlistHolder()
    {
        if (node)
            plist_free(node);
    }
};

std::optional<nlohmann::json> jsonOf(plist_t node, int depth)
{
    if (depth > PLIST_DEPTH_LIMIT)
        return std::nullopt;
    switch (plist_get_node_type(node)) {
    case PLIST_DICT: {
        nlohmann::json object = nlohmann::json::object();
        plist_dict_iter iterator = nullptr;
        plist_dict_new_iter(node, &iterator);
        if (!iterator)
            return object;
        for (;;) {
            char* key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, iterator, &key, &value);
            if (!value) {
                std::free(key);
                break;
            }
            auto converted = jsonOf(value, depth + 1);
            if (!converted) {
                std::free(key);
                std::free(iterator);
                return std::nullopt;
            }
            object[key ? key : ""] = std::move(*converted);
            std::free(key);
        }
        std::free(iterator);
        return object;
    }
    case PLIST_ARRAY: {
        nlohmann::json array = nlohmann::json::array();
        uint32_t count = plist_array_get_size(node);
        for (uint32_t i = 0; i < count; ++i) {
            auto converted = jsonOf(plist_array_get_item(node, i), depth + 1);
            if (!converted)
                return std::nullopt;
            array.push_back(std::move(*converted));
        }
        return array;
    }
    case PLIST_STRING:
    case PLIST_KEY: {
        char* text = nullptr;
        if (plist_get_node_type(node) == PLIST_STRING)
            plist_get_string_val(node, &text);
        else
            plist_get_key_val(node, &text);
        std::string value = text ? text : "";
        std::free(text);
        // Property lists may hold text that is not UTF-8 once decoded; such a
        // string cannot be a JSON value, so it counts as absent.
        try {
            (void)nlohmann::json(value).dump();
        } catch (const nlohmann::json::exception&) {
            return nlohmann::json();
        }
        return nlohmann::json(value);
    }
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return nlohmann::json(value != 0);
    }
    case PLIST_UINT: {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        // libplist keeps negative integers as their two's complement.
        return nlohmann::json(static_cast<int64_t>(value));
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return nlohmann::json(value);
    }
    default:
        return nlohmann::json();
    }
}

// A big-endian unsigned number of `size` bytes (1 to 8) at `at`.
uint64_t bigEndianAt(std::string_view data, uint64_t at, int size)
{
    uint64_t value = 0;
    for (int i = 0; i < size; ++i)
        value = (value << 8) | static_cast<unsigned char>(data[at + static_cast<uint64_t>(i)]);
    return value;
}

// How deeply the arrays, sets and dictionaries of a binary property list
// nest, walked without recursion over its object table; nothing when the
// table is malformed or an object contains itself.
std::optional<int> binaryNestingOf(std::string_view data, int limit)
{
    constexpr uint64_t header = 8, trailerSize = 32;
    if (data.size() < header + trailerSize)
        return std::nullopt;
    const uint64_t trailer = data.size() - trailerSize;
    const int offsetSize = static_cast<unsigned char>(data[trailer + 6]);
    const int refSize = static_cast<unsigned char>(data[trailer + 7]);
    const uint64_t count = bigEndianAt(data, trailer + 8, 8);
    const uint64_t top = bigEndianAt(data, trailer + 16, 8);
    const uint64_t table = bigEndianAt(data, trailer + 24, 8);
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || table < header || table > trailer
        || count == 0 || count > (trailer - table) / static_cast<uint64_t>(offsetSize) || top >= count)
        return std::nullopt;

    struct Refs {
        uint64_t first = 0, count = 0;
        bool collection = false;
    };
    // Where the references of object `index` start and how many there are
    // (none for an object that is not a collection).
    auto refsOf = [&](uint64_t index) -> std::optional<Refs> {
        uint64_t at = bigEndianAt(data, table + index * static_cast<uint64_t>(offsetSize), offsetSize);
        if (at < header || at >= table)
            return std::nullopt;
        const auto marker = static_cast<unsigned char>(data[at]);
        const int kind = marker >> 4;
        if (kind != 0xA && kind != 0xB && kind != 0xC && kind != 0xD)
            return Refs{};
        uint64_t length = marker & 0xF;
        ++at;
        if (length == 0xF) {
            if (at >= table)
                return std::nullopt;
            const auto lengthMarker = static_cast<unsigned char>(data[at]);
            const int lengthSize = 1 << (lengthMarker & 0xF);
            if ((lengthMarker >> 4) != 0x1 || lengthSize > 8 || at + 1 + static_cast<uint64_t>(lengthSize) > table)
                return std::nullopt;
            length = bigEndianAt(data, at + 1, lengthSize);
            at += 1 + static_cast<uint64_t>(lengthSize);
        }
        if (length > table)
            return std::nullopt;
        const uint64_t refs = kind == 0xD ? 2 * length : length;
        if (refs > (table - at) / static_cast<uint64_t>(refSize))
            return std::nullopt;
        return Refs{at, refs, true};
    };

    // Depth-first, with the path in `path`; heights of finished objects are
    // kept so that shared objects are walked once.
    struct Step {
        uint64_t index;
        Refs refs;
        uint64_t next = 0;
        int tallest = 0;
    };
    std::vector<int> height(count, -1);   // -1: not finished
    std::vector<bool> onPath(count, false);
    std::vector<Step> path;
    int deepest = 0;
    auto enter = [&](uint64_t index) -> bool {
        auto refs = refsOf(index);
        if (!refs)
            return false;
        if (!refs->collection || refs->count == 0) {
            height[index] = refs->collection ? 1 : 0;
            deepest = std::max(deepest, static_cast<int>(path.size()) + height[index]);
            return true;
        }
        onPath[index] = true;
        path.push_back({index, *refs});
        deepest = std::max(deepest, static_cast<int>(path.size()));
        return true;
    };
    if (!enter(top))
        return std::nullopt;
    while (!path.empty()) {
        Step& step = path.back();
        if (step.next == step.refs.count) {
            const int own = step.tallest + 1;
            height[step.index] = own;
            onPath[step.index] = false;
            path.pop_back();
            if (!path.empty())
                path.back().tallest = std::max(path.back().tallest, own);
            continue;
        }
        const uint64_t child = bigEndianAt(data, step.refs.first + step.next * static_cast<uint64_t>(refSize), refSize);
        ++step.next;
        if (child >= count || onPath[child])
            return std::nullopt;
        if (height[child] >= 0) {
            step.tallest = std::max(step.tallest, height[child]);
            continue;
        }
        if (!enter(child))
            return std::nullopt;
        if (deepest > limit)
            return deepest;
    }
    return deepest;
}

// How deeply <array> and <dict> elements nest in XML text (comments and
// character data skipped); a tag left open ends the count.
int xmlNestingOf(std::string_view text, int limit)
{
    int depth = 0, deepest = 0;
    std::size_t at = 0;
    while ((at = text.find('<', at)) != std::string_view::npos) {
        std::string_view rest = text.substr(at);
        std::string_view skipTo;
        if (rest.rfind("<!--", 0) == 0)
            skipTo = "-->";
        else if (rest.rfind("<![CDATA[", 0) == 0)
            skipTo = "]]>";
        if (!skipTo.empty()) {
            std::size_t end = text.find(skipTo, at + 4);
            if (end == std::string_view::npos)
                break;
            at = end + skipTo.size();
            continue;
        }
        std::size_t close = text.find('>', at);
        if (close == std::string_view::npos)
            break;
        std::string_view tag = text.substr(at + 1, close - at - 1);
        at = close + 1;
        const bool closing = !tag.empty() && tag.front() == '/';
        if (closing)
            tag.remove_prefix(1);
        const bool empty = !tag.empty() && tag.back() == '/';
        std::string_view name = tag.substr(0, tag.find_first_of(" \t\r\n/"));
        if (name != "array" && name != "dict")
            continue;
        if (closing)
            depth = std::max(depth - 1, 0);
        else if (!empty && ++depth > deepest) {
            deepest = depth;
            if (deepest > limit)
                break;
        }
    }
    return deepest;
}

// The property-list parser and its release of a parsed tree recurse once
// per level of nesting: nesting beyond the limit is refused before they run.
bool nestsDeeperThan(std::string_view bytes, int limit)
{
    if (bytes.rfind("bplist00", 0) == 0) {
        auto nesting = binaryNestingOf(bytes, limit);
        return !nesting || *nesting > limit;
    }
    return xmlNestingOf(bytes, limit) > limit;
}

} // namespace

std::optional<nlohmann::json> propertyListFrom(const std::string& bytes)
{
    if (bytes.empty() || bytes.size() > INFO_PLIST_LIMIT || nestsDeeperThan(bytes, PLIST_DEPTH_LIMIT))
        return std::nullopt;
    PlistHolder root;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root.node);
    if (!root.node)
        return std::nullopt;
    return jsonOf(root.node, 0);
}

Bundle Bundle::containing(const std::string& executablePath)
{
    Bundle bundle;
    std::string macOS = deletingLastComponent(executablePath);
    std::string contents = deletingLastComponent(macOS);
    bool layered = lastComponent(macOS) == "MacOS" && lastComponent(contents) == "Contents";
    std::string infoPath;
    if (layered) {
        bundle.path_ = deletingLastComponent(contents);
        bundle.resourcesPath_ = appendingComponent(contents, "Resources");
        infoPath = appendingComponent(contents, "Info.plist");
    } else {
        bundle.path_ = macOS;
        bundle.resourcesPath_ = macOS;
        infoPath = appendingComponent(macOS, "Info.plist");
    }
    if (auto bytes = contentsOf(infoPath, INFO_PLIST_LIMIT)) {
        if (auto list = propertyListFrom(*bytes); list && list->is_object())
            bundle.info_ = std::move(*list);
    }
    return bundle;
}

Bundle Bundle::main()
{
    return containing(runningExecutablePath());
}

std::optional<std::string> Bundle::identifier() const
{
    auto identifier = string("CFBundleIdentifier");
    if (identifier && identifier->empty())
        return std::nullopt;
    return identifier;
}

std::optional<std::string> Bundle::string(const std::string& key) const
{
    auto found = info_.find(key);
    if (found == info_.end() || !found->is_string())
        return std::nullopt;
    return found->get<std::string>();
}

std::string runningExecutablePath()
{
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return {};
    return std::string(path, static_cast<std::size_t>(length));
}

} // namespace platform
