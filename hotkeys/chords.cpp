#include "hotkeys/chords.h"

#include "links/url.h"
#include "platform/desktop.h"
#include "platform/text.h"

namespace kestrune::hotkeys {

namespace {

using Table = std::map<std::string, uint32_t, std::less<>>;

Table modifiers = {
    {"\u2318", platform::HOT_KEY_COMMAND},
    {"\u21E7", platform::HOT_KEY_SHIFT},
    {"\u2325", platform::HOT_KEY_OPTION},
    {"\u2303", platform::HOT_KEY_CONTROL},
};

// The macOS ANSI virtual key codes, row by row as the keyboard lays them out
// in the code space.
Table codesWithTopLeft(uint32_t topLeftCode)
{
    Table codes;
    auto row = [&codes](std::string_view keys, std::initializer_list<uint32_t> values) {
        auto value = values.begin();
        for (char key : keys)
            codes[std::string(1, key)] = *value++;
    };
    row("ASDFHGZXCV", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    row("BQWERYT", {11, 12, 13, 14, 15, 16, 17});
    row("123465", {18, 19, 20, 21, 22, 23});
    row("9780", {25, 26, 28, 29});
    row("OUIPLJK", {31, 32, 34, 35, 37, 38, 40});
    row("NM", {45, 46});
    codes["`"] = ansiGraveKeyCode;
    codes[topLeftKeyName] = topLeftCode;
    return codes;
}

uint32_t topLeft = ansiGraveKeyCode;
Table codes = codesWithTopLeft(ansiGraveKeyCode);

} // namespace

void makeTheKeyTables()
{
    makeTheKeyTables(platform::hotKeys().keyboardLayoutType());
}

void makeTheKeyTables(platform::KeyboardLayoutType layout)
{
    topLeft = layout == platform::KeyboardLayoutType::iso ? isoSectionKeyCode : ansiGraveKeyCode;
    codes = codesWithTopLeft(topLeft);
}

uint32_t topLeftKeyCode()
{
    return topLeft;
}

const Table& hotKeyModifiers()
{
    return modifiers;
}

const Table& hotKeyCodes()
{
    return codes;
}

// Every character but the last must be a modifier; the last, upper-cased,
// must be one key of the table.
std::optional<Chord> chordOf(std::string_view key)
{
    auto characters = platform::graphemesOf(key);
    if (characters.empty())
        return std::nullopt;
    Chord chord;
    for (std::size_t i = 0; i + 1 < characters.size(); ++i) {
        auto modifier = modifiers.find(characters[i]);
        if (modifier == modifiers.end())
            return std::nullopt;
        chord.modifiers |= modifier->second;
    }
    auto code = codes.find(platform::upperCased(std::string(characters.back())));
    if (code == codes.end())
        return std::nullopt;
    chord.code = code->second;
    return chord;
}

// The URL's last path component, else its host, else the text itself.
std::string actionOf(const std::string& url)
{
    auto parts = links::partsOf(url);
    std::string name = parts ? links::lastPathComponentOf(parts->path) : std::string();
    if (name.empty() || name == "/")
        name = parts && parts->host ? *parts->host : url;
    return publishedActionPrefix + name;
}

std::string publishedKey(const std::string& key)
{
    if (key.rfind(publishedKeyPrefix, 0) == 0)
        return key;
    return publishedKeyPrefix + key;
}

} // namespace kestrune::hotkeys
