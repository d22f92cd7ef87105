#include "platform/desktop/values.h"

namespace platform {

std::optional<std::string> fourCharText(uint32_t code)
{
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        char c = char((code >> shift) & 0xff);
        if (c < 0x20 || c > 0x7e)
            return std::nullopt;
        text.push_back(c);
    }
    return text;
}

std::optional<uint32_t> fourCharCodeOf(const std::string& text)
{
    if (text.size() != 4)
        return std::nullopt;
    uint32_t code = 0;
    for (char c : text) {
        if (c < 0x20 || c > 0x7e)
            return std::nullopt;
        code = (code << 8) | uint8_t(c);
    }
    return code;
}

} // namespace platform
