// Encoders of the JSON lines the host writes.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace platform {

// The compact encoding of `object` with its keys sorted, without a line
// feed; "{}" when it cannot be encoded (a string that is not UTF-8, say).
std::string jsonLine(const nlohmann::json& object);

// The compact encoding of an object whose keys keep the order they were put
// in; nothing when it cannot be encoded.
std::optional<std::string> compactUnsorted(const nlohmann::ordered_json& message);

} // namespace platform
