#include "chords.h"

#include <cctype>
#include <map>
#include <utility>
#include <vector>

namespace desktop {

namespace {

using platform::KeyboardLayoutType;

// macOS ANSI virtual key codes of the keys a hot key can use.
const std::map<std::string, uint32_t>& keyCodes()
{
    static const std::map<std::string, uint32_t> codes = [] {
        std::map<std::string, uint32_t> table;
        const std::pair<const char*, std::vector<uint32_t>> rows[] = {
            {"ASDFHGZXCV", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
            {"BQWERYT", {11, 12, 13, 14, 15, 16, 17}},
            {"123465", {18, 19, 20, 21, 22, 23}},
            {"9780", {25, 26, 28, 29}},
            {"OUIPLJK", {31, 32, 34, 35, 37, 38, 40}},
            {"NM", {45, 46}},
            {"`", {50}},
        };
        for (const auto& [keys, values] : rows) {
            for (std::size_t i = 0; keys[i]; ++i)
                table[std::string(1, keys[i])] = values[i];
        }
        return table;
    }();
    return codes;
}

const std::string topLeftKey = "\xC2\xA7";   // §

const std::pair<const char*, uint32_t> modifierSymbols[] = {
    {"\xE2\x8C\x98", platform::HOT_KEY_COMMAND},   // ⌘
    {"\xE2\x87\xA7", platform::HOT_KEY_SHIFT},     // ⇧
    {"\xE2\x8C\xA5", platform::HOT_KEY_OPTION},    // ⌥
    {"\xE2\x8C\x83", platform::HOT_KEY_CONTROL},   // ⌃
};

const std::pair<const char*, uint32_t> modifierWords[] = {
    {"cmd", platform::HOT_KEY_COMMAND},  {"command", platform::HOT_KEY_COMMAND}, {"shift", platform::HOT_KEY_SHIFT},
    {"opt", platform::HOT_KEY_OPTION},   {"option", platform::HOT_KEY_OPTION},   {"alt", platform::HOT_KEY_OPTION},
    {"ctrl", platform::HOT_KEY_CONTROL}, {"control", platform::HOT_KEY_CONTROL},
};

// An unsigned 32-bit number written in decimal.
std::optional<uint32_t> number(const std::string& text)
{
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
        value = value * 10 + uint64_t(c - '0');
    }
    if (value > UINT32_MAX)
        return std::nullopt;
    return uint32_t(value);
}

// The virtual key code of one key character.
std::optional<uint32_t> codeOfKey(const std::string& key, KeyboardLayoutType keyboard)
{
    if (key == topLeftKey)
        return keyboard == KeyboardLayoutType::iso ? 10u : 50u;
    if (key.size() != 1)
        return std::nullopt;
    std::string upper(1, char(std::toupper(static_cast<unsigned char>(key[0]))));
    auto found = keyCodes().find(upper);
    if (found == keyCodes().end())
        return std::nullopt;
    return found->second;
}

// ASCII letters in lower case.
std::string lower(std::string text)
{
    for (auto& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

std::optional<Chord> chordOf(const std::string& given, KeyboardLayoutType keyboard)
{
    // A published key ("key:⌘K") names the same chord.
    std::string text = given.rfind("key:", 0) == 0 ? given.substr(4) : given;
    // "40:6144" and "code=40,modifiers=6144".
    if (auto colon = text.find(':'); colon != std::string::npos) {
        auto code = number(text.substr(0, colon));
        auto modifiers = number(text.substr(colon + 1));
        if (code && modifiers)
            return Chord{*code, *modifiers};
    }
    if (text.rfind("code=", 0) == 0) {
        auto comma = text.find(",modifiers=");
        auto code = number(text.substr(5, comma == std::string::npos ? std::string::npos : comma - 5));
        auto modifiers = comma == std::string::npos ? std::optional<uint32_t>(0) : number(text.substr(comma + 11));
        if (code && modifiers)
            return Chord{*code, *modifiers};
        return std::nullopt;
    }
    // "ctrl+opt+k".
    if (text.size() > 1 && text.find('+') != std::string::npos && text.back() != '+') {
        Chord chord;
        std::size_t start = 0;
        for (;;) {
            auto plus = text.find('+', start);
            std::string part = text.substr(start, plus == std::string::npos ? std::string::npos : plus - start);
            if (plus == std::string::npos) {
                auto code = codeOfKey(part, keyboard);
                if (!code)
                    return std::nullopt;
                chord.code = *code;
                return chord;
            }
            bool known = false;
            for (auto [word, bit] : modifierWords) {
                if (lower(part) == word) {
                    chord.modifiers |= bit;
                    known = true;
                }
            }
            if (!known)
                return std::nullopt;
            start = plus + 1;
        }
    }
    // "⌃⌥K".
    Chord chord;
    std::string rest = text;
    for (bool stripped = true; stripped;) {
        stripped = false;
        for (auto [symbol, bit] : modifierSymbols) {
            std::string prefix = symbol;
            if (rest.size() > prefix.size() && rest.compare(0, prefix.size(), prefix) == 0) {
                chord.modifiers |= bit;
                rest.erase(0, prefix.size());
                stripped = true;
            }
        }
    }
    auto code = codeOfKey(rest, keyboard);
    if (!code)
        return std::nullopt;
    chord.code = *code;
    return chord;
}

std::string textOf(const Chord& chord, KeyboardLayoutType keyboard)
{
    std::string key;
    if (keyboard == KeyboardLayoutType::iso && chord.code == 10)
        key = topLeftKey;
    for (const auto& [name, code] : keyCodes()) {
        if (key.empty() && code == chord.code)
            key = name;
    }
    uint32_t known = 0;
    std::string text;
    // The order macOS shows them in.
    const std::pair<const char*, uint32_t> shown[] = {
        {"\xE2\x8C\x83", platform::HOT_KEY_CONTROL},
        {"\xE2\x8C\xA5", platform::HOT_KEY_OPTION},
        {"\xE2\x87\xA7", platform::HOT_KEY_SHIFT},
        {"\xE2\x8C\x98", platform::HOT_KEY_COMMAND},
    };
    for (auto [symbol, bit] : shown) {
        known |= bit;
        if (chord.modifiers & bit)
            text += symbol;
    }
    if (key.empty() || (chord.modifiers & ~known))
        return std::to_string(chord.code) + ":" + std::to_string(chord.modifiers);
    return text + key;
}

} // namespace desktop
