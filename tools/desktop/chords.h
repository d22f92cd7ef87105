// Key chords as a person or a test names them when pressing a hot key.
#pragma once

#include "platform/desktop.h"

#include <cstdint>
#include <optional>
#include <string>

namespace desktop {

struct Chord {
    uint32_t code = 0;        // macOS virtual key code
    uint32_t modifiers = 0;   // Carbon modifier mask
};

// A chord from its text: modifier symbols and one key ("⌃⌥K", "k"), the
// same with words ("ctrl+opt+k", "cmd+shift+1"), or numbers ("40:6144").
// "§" is the key left of "1": code 10 on an ISO keyboard, 50 otherwise.
std::optional<Chord> chordOf(const std::string& text, platform::KeyboardLayoutType keyboard);

// A chord written back as modifier symbols and its key, or as numbers when
// the key has no letter here.
std::string textOf(const Chord& chord, platform::KeyboardLayoutType keyboard);

} // namespace desktop
