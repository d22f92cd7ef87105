// Encoders of the JSON lines the host writes.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The JSON object in `text`; nothing when the text is not JSON, its top level
// is no object, or it nests deeper than `depthLimit`. The parser keeps its
// own stack, but copying and encoding a value recurse: nesting beyond the
// limit is refused while parsing, before anything can recurse into it.
std::optional<nlohmann::json> objectWithin(std::string_view text, int depthLimit);

// The compact encoding of `object` with its keys sorted, without a line
// feed; "{}" when it cannot be encoded (a string that is not UTF-8, say).
std::string jsonLine(const nlohmann::json& object);

// The compact encoding of an object whose keys keep the order they were put
// in; nothing when it cannot be encoded.
std::optional<std::string> compactUnsorted(const nlohmann::ordered_json& message);

} // namespace platform
