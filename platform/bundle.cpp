#include "platform/bundle.h"

#include "platform/files.h"

#include <plist/plist.h>

#include <climits>
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

} // namespace

std::optional<nlohmann::json> propertyListFrom(const std::string& bytes)
{
    if (bytes.empty() || bytes.size() > INFO_PLIST_LIMIT)
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
