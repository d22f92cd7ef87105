// Key strings ("⌃⌥K": modifier symbols, then one key character) and the
// chords the hot-key service registers, with the two names a hot key is
// published under.
#pragma once

#include "platform/desktop/hot_keys.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kestrune::hotkeys {

// A virtual key code and a modifier mask.
struct Chord {
    uint32_t code = 0;
    uint32_t modifiers = 0;
    bool operator==(const Chord&) const = default;
};

// The label of the key left of "1" on ISO keyboards.
inline const std::string topLeftKeyName = "\u00A7";
inline constexpr uint32_t isoSectionKeyCode = 10;
inline constexpr uint32_t ansiGraveKeyCode = 50;
inline const std::string publishedKeyPrefix = "key:";
inline const std::string publishedActionPrefix = "action:";

// Start-up: builds the tables, asking the desktop once for the keyboard's
// layout type. Plugging in another keyboard later changes nothing.
void makeTheKeyTables();
// The same for a given layout type.
void makeTheKeyTables(platform::KeyboardLayoutType layout);

// The code of the key left of "1": the ISO section key on an ISO keyboard,
// the grave accent's key on any other.
uint32_t topLeftKeyCode();

// Modifier symbols to Carbon modifier bits, and key characters (upper-case
// letters, digits, "`" and the top-left key) to virtual key codes.
const std::map<std::string, uint32_t, std::less<>>& hotKeyModifiers();
const std::map<std::string, uint32_t, std::less<>>& hotKeyCodes();

// The chord of a key string; nothing when it is not one the tables hold.
std::optional<Chord> chordOf(std::string_view key);

// "action:" and the name of a hot key that declares no action of its own:
// the URL's last path component, else its host, else the whole text.
std::string actionOf(const std::string& url);

// The key string with the "key:" prefix, which it keeps when it has it.
std::string publishedKey(const std::string& key);

} // namespace kestrune::hotkeys
