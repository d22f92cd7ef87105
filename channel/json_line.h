// Encoders of the JSON lines the host writes.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace kestrune {

// A message to the shell: keys stay in the order they were put in.
using Message = nlohmann::ordered_json;

// The compact encoding of `object` with its keys sorted, without a line
// feed; "{}" when it cannot be encoded (a string that is not UTF-8, say).
std::string jsonLine(const nlohmann::json& object);

// The compact encoding of a message without sorting its keys; nothing when
// it cannot be encoded.
std::optional<std::string> compactUnsorted(const Message& message);

} // namespace kestrune
