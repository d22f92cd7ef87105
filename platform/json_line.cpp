#include "platform/json_line.h"

#include <nlohmann/json.hpp>

namespace platform {

namespace {

// Whether arrays and objects nest at most `limit` deep in the text, counted
// in one pass outside strings. For a text the parser takes, this is its own
// depth; for one it refuses, the depth it reaches before refusing is
// counted too.
bool nestsAtMost(std::string_view text, int limit)
{
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit)
                return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

} // namespace

std::optional<nlohmann::json> objectWithin(std::string_view text, int depthLimit)
{
    // The depth is checked before parsing: the parser's own callback could
    // refuse it too, but it then scans each array again as every element
    // ends, which makes long arrays quadratic.
    if (!nestsAtMost(text, depthLimit))
        return std::nullopt;
    // JSON never holds a raw NUL byte, but the parser takes one for the end
    // of its input and would accept whatever stood before it.
    if (text.find('\0') != std::string_view::npos)
        return std::nullopt;
    nlohmann::json parsed = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_object())
        return std::nullopt;
    return parsed;
}

std::string jsonLine(const nlohmann::json& object)
{
    try {
        return object.dump();   // std::map keys: sorted
    } catch (const nlohmann::json::exception&) {
        return "{}";
    }
}

std::optional<std::string> compactUnsorted(const nlohmann::ordered_json& message)
{
    try {
        return message.dump();
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

} // namespace platform
