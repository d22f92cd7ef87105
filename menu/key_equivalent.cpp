#include "menu/key_equivalent.h"

#include "platform/desktop/status_bar.h"
#include "platform/text.h"

namespace kestrune::menu {

namespace {

// Whether the code point starting at `at` joins the character before it
// (a combining mark, a variation selector, a joiner): then that character
// is no lone modifier symbol.
bool extendsTheCharacterBefore(const std::string& text, std::size_t at)
{
    if (at >= text.size())
        return false;
    long point = platform::nextCodePoint(text, at);
    return (point >= 0x300 && point <= 0x36F) || (point >= 0x1AB0 && point <= 0x1AFF) || (point >= 0x1DC0 && point <= 0x1DFF)
           || (point >= 0x20D0 && point <= 0x20FF) || (point >= 0xFE00 && point <= 0xFE0F) || (point >= 0xFE20 && point <= 0xFE2F)
           || point == 0x200C || point == 0x200D || (point >= 0xE0100 && point <= 0xE01EF);
}

} // namespace

const std::map<std::string, std::string>& menuKeyGlyphs()
{
    static const std::map<std::string, std::string> glyphs = {
        {"Space", " "},        {"↩", "\r"},           {"⎋", "\x1b"},
        {"⇥", "\t"},           {"⌫", "\x7f"},         {"↑", "\xef\x9c\x80"},   // U+F700
        {"↓", "\xef\x9c\x81"}, {"←", "\xef\x9c\x82"}, {"→", "\xef\x9c\x83"},
    };
    return glyphs;
}

const std::map<std::string, uint64_t>& menuKeyModifiers()
{
    static const std::map<std::string, uint64_t> modifiers = {
        {"⌘", platform::MODIFIER_COMMAND},
        {"⇧", platform::MODIFIER_SHIFT},
        {"⌥", platform::MODIFIER_OPTION},
        {"⌃", platform::MODIFIER_CONTROL},
    };
    return modifiers;
}

std::optional<std::pair<std::string, uint64_t>> menuKeyOf(const std::string& key)
{
    std::size_t at = key.compare(0, 4, "key:") == 0 ? 4 : 0;
    uint64_t mask = 0;
    for (bool more = true; more && at < key.size();) {
        more = false;
        for (const auto& [symbol, flag] : menuKeyModifiers()) {
            if (key.compare(at, symbol.size(), symbol) == 0 && !extendsTheCharacterBefore(key, at + symbol.size())) {
                mask |= flag;
                at += symbol.size();
                more = true;
                break;
            }
        }
    }
    std::string rest = key.substr(at);
    if (rest.empty() || rest == "none")
        return std::nullopt;
    if (auto glyph = menuKeyGlyphs().find(rest); glyph != menuKeyGlyphs().end())
        return std::make_pair(glyph->second, mask);
    return std::make_pair(platform::lowerCased(rest), mask);
}

} // namespace kestrune::menu
