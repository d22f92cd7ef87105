// The values several topics of the desktop share: geometry, four-character
// codes, window levels and font weights.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// A four-character code as the system reads it: the four ASCII letters as a
// big-endian unsigned 32-bit number ('GURL', 'KsHK').
constexpr uint32_t fourCharCode(const char (&code)[5])
{
    return (uint32_t(uint8_t(code[0])) << 24) | (uint32_t(uint8_t(code[1])) << 16) | (uint32_t(uint8_t(code[2])) << 8)
           | uint32_t(uint8_t(code[3]));
}
// The four letters of a code; nothing when one of them is not printable ASCII.
std::optional<std::string> fourCharText(uint32_t code);
// The code of a four-letter text; nothing for any other text.
std::optional<uint32_t> fourCharCodeOf(const std::string& text);

struct Point {
    double x = 0, y = 0;
    bool operator==(const Point&) const = default;
};

struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
};

// Window levels (CGWindowLevelForKey): where the window server stacks the
// host's status items and panels.
inline constexpr int NORMAL_WINDOW_LEVEL = 0;
inline constexpr int FLOATING_WINDOW_LEVEL = 3;
inline constexpr int STATUS_WINDOW_LEVEL = 25;

// Font weights (NSFontWeight) of symbol configurations and panel labels.
inline constexpr double FONT_WEIGHT_REGULAR = 0.0;
inline constexpr double FONT_WEIGHT_SEMIBOLD = 0.3;
inline constexpr double FONT_WEIGHT_BOLD = 0.4;

} // namespace platform
