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
        std::string value;
        if (plist_get_node_type(node) == PLIST_STRING) {
            // Read with its length: a string may hold NUL, and the library's
            // copying getter aborts on one. The bytes are kept as they are.
            uint64_t length = 0;
            if (const char* text = plist_get_string_ptr(node, &length))
                value.assign(text, length);
        } else {
            // Keys have no getter that gives their length; lists whose keys
            // hold NUL were refused before parsing, so the copy is whole.
            char* text = nullptr;
            plist_get_key_val(node, &text);
            value = text ? text : "";
            std::free(text);
        }
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

// The object table of a binary property list, read from its trailer.
struct BinaryTable {
    std::string_view data;
    int offsetSize = 0, refSize = 0;
    uint64_t count = 0, top = 0, table = 0;

    // An object's marker kind (its high four bits), where its payload starts
    // and the length its marker gives (elements, bytes or UTF-16 units).
    struct Object {
        int kind = 0;
        uint64_t payload = 0, length = 0;
    };

    static constexpr uint64_t header = 8, trailerSize = 32;

    // Nothing when the trailer does not describe a table inside the data.
    static std::optional<BinaryTable> of(std::string_view data)
    {
        if (data.size() < header + trailerSize)
            return std::nullopt;
        BinaryTable t;
        t.data = data;
        const uint64_t trailer = data.size() - trailerSize;
        t.offsetSize = static_cast<unsigned char>(data[trailer + 6]);
        t.refSize = static_cast<unsigned char>(data[trailer + 7]);
        t.count = bigEndianAt(data, trailer + 8, 8);
        t.top = bigEndianAt(data, trailer + 16, 8);
        t.table = bigEndianAt(data, trailer + 24, 8);
        if (t.offsetSize < 1 || t.offsetSize > 8 || t.refSize < 1 || t.refSize > 8 || t.table < header || t.table > trailer
            || t.count == 0 || t.count > (trailer - t.table) / static_cast<uint64_t>(t.offsetSize) || t.top >= t.count)
            return std::nullopt;
        return t;
    }

    // Object `index` (below `count`); nothing when its offset or its length
    // leads outside the objects.
    std::optional<Object> object(uint64_t index) const
    {
        uint64_t at = bigEndianAt(data, table + index * static_cast<uint64_t>(offsetSize), offsetSize);
        if (at < header || at >= table)
            return std::nullopt;
        const auto marker = static_cast<unsigned char>(data[at]);
        Object found{marker >> 4, at + 1, static_cast<uint64_t>(marker & 0xF)};
        // Only data, strings and collections carry a length in their marker.
        const bool measured = (found.kind >= 0x4 && found.kind <= 0x7) || isCollection(found.kind);
        if (!measured) {
            found.length = 0;
            return found;
        }
        if (found.length == 0xF) {
            if (found.payload >= table)
                return std::nullopt;
            const auto lengthMarker = static_cast<unsigned char>(data[found.payload]);
            const int lengthSize = 1 << (lengthMarker & 0xF);
            if ((lengthMarker >> 4) != 0x1 || lengthSize > 8 || found.payload + 1 + static_cast<uint64_t>(lengthSize) > table)
                return std::nullopt;
            found.length = bigEndianAt(data, found.payload + 1, lengthSize);
            found.payload += 1 + static_cast<uint64_t>(lengthSize);
        }
        if (found.length > table)
            return std::nullopt;
        return found;
    }

    // Arrays, sets and dictionaries.
    static bool isCollection(int kind) { return kind == 0xA || kind == 0xB || kind == 0xC || kind == 0xD; }

    // How many references a collection holds (a dictionary's keys first,
    // then its values); nothing when they do not fit before the table.
    std::optional<uint64_t> referencesOf(const Object& object) const
    {
        const uint64_t refs = object.kind == 0xD ? 2 * object.length : object.length;
        if (refs > (table - object.payload) / static_cast<uint64_t>(refSize))
            return std::nullopt;
        return refs;
    }

    // The object index at `position` among a collection's references.
    uint64_t reference(const Object& collection, uint64_t position) const
    {
        return bigEndianAt(data, collection.payload + position * static_cast<uint64_t>(refSize), refSize);
    }
};

// How deeply the arrays, sets and dictionaries of a binary property list
// nest, walked without recursion over its object table; nothing when the
// table is malformed or an object contains itself.
std::optional<int> binaryNestingOf(std::string_view data, int limit)
{
    auto parsed = BinaryTable::of(data);
    if (!parsed)
        return std::nullopt;
    const BinaryTable& t = *parsed;
    const uint64_t count = t.count;

    struct Refs {
        uint64_t first = 0, count = 0;
        bool collection = false;
    };
    // Where the references of object `index` start and how many there are
    // (none for an object that is not a collection).
    auto refsOf = [&](uint64_t index) -> std::optional<Refs> {
        auto object = t.object(index);
        if (!object)
            return std::nullopt;
        if (!BinaryTable::isCollection(object->kind))
            return Refs{};
        auto refs = t.referencesOf(*object);
        if (!refs)
            return std::nullopt;
        return Refs{object->payload, *refs, true};
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
    if (!enter(t.top))
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
        const uint64_t child = bigEndianAt(data, step.refs.first + step.next * static_cast<uint64_t>(t.refSize), t.refSize);
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

// Whether a dictionary key of a binary property list holds a NUL character.
// The library reads such a key only through a getter that aborts on it, so
// these lists are refused; a malformed table counts as holding one.
bool binaryKeyHoldsNul(std::string_view data)
{
    auto parsed = BinaryTable::of(data);
    if (!parsed)
        return true;
    const BinaryTable& t = *parsed;
    for (uint64_t index = 0; index < t.count; ++index) {
        auto dictionary = t.object(index);
        if (!dictionary || dictionary->kind != 0xD)
            continue;
        if (!t.referencesOf(*dictionary))
            return true;
        for (uint64_t position = 0; position < dictionary->length; ++position) {
            const uint64_t keyIndex = t.reference(*dictionary, position);
            if (keyIndex >= t.count)
                return true;
            auto key = t.object(keyIndex);
            if (!key)
                return true;
            // ASCII and UTF-8 keys count bytes, UTF-16 keys two-byte units.
            const uint64_t unit = key->kind == 0x6 ? 2 : 1;
            if (key->kind < 0x5 || key->kind > 0x7 || key->length > (t.table - key->payload) / unit)
                continue;
            std::string_view text = data.substr(key->payload, key->length * unit);
            for (std::size_t at = 0; at < text.size(); at += unit) {
                if (text.substr(at, unit).find_first_not_of('\0') == std::string_view::npos)
                    return true;
            }
        }
    }
    return false;
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

// A key holding NUL cannot be read whole (see binaryKeyHoldsNul). XML allows
// no U+0000 anywhere, so there a NUL byte makes the text no property list.
bool holdsAKeyWithNul(std::string_view bytes)
{
    if (bytes.rfind("bplist00", 0) == 0)
        return binaryKeyHoldsNul(bytes);
    return bytes.find('\0') != std::string_view::npos;
}

} // namespace

std::optional<nlohmann::json> propertyListFrom(const std::string& bytes)
{
    if (bytes.empty() || bytes.size() > INFO_PLIST_LIMIT || nestsDeeperThan(bytes, PLIST_DEPTH_LIMIT)
        || holdsAKeyWithNul(bytes))
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

const Bundle& Bundle::main()
{
    static const Bundle bundle = containing(runningExecutablePath());
    return bundle;
}

std::optional<std::string> Bundle::identifier() const
{
    auto identifier = string("CFBundleIdentifier");
    // The identifier names folders and files: a NUL would cut those names
    // short, into another application's.
    if (identifier && (identifier->empty() || identifier->find('\0') != std::string::npos))
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


} // namespace platform
