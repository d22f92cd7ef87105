// Key equivalents of menu rows: "⌘⇧K", "key:⌥⌘Space", "⌘↩".
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace kestrune::menu {

// Key names and glyphs that stand for a key equivalent character.
const std::map<std::string, std::string>& menuKeyGlyphs();
// Modifier symbols and their NSEventModifierFlags.
const std::map<std::string, uint64_t>& menuKeyModifiers();

// The key equivalent and modifier mask a key string names: an optional
// "key:", modifier symbols in any order, then a glyph of the table or any
// text, lower-cased. Nothing when no key is left or it is "none".
std::optional<std::pair<std::string, uint64_t>> menuKeyOf(const std::string& key);

} // namespace kestrune::menu
