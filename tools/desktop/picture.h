// The session as a person would see it: a pure function from the server's
// state (as "state" answers it) to a drawing of the first screen, as PNG or
// as SVG. The SVG carries the drawn text a second time, as an invisible
// text layer in drawing order, so that a reader (or a test) can find it.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

namespace desktop {

enum class PictureFormat { png, svg };

// The size of a session without a screen.
inline constexpr double PICTURE_DEFAULT_WIDTH = 1440, PICTURE_DEFAULT_HEIGHT = 900;
// No side of a picture grows past this many pixels: a huge screen lowers
// the scale instead.
inline constexpr int PICTURE_SIDE_LIMIT = 5120;
// The largest scale asked for that a picture takes.
inline constexpr double PICTURE_SCALE_LIMIT = 8;

struct PictureOptions {
    PictureFormat format = PictureFormat::png;
    double scale = 1;
    // The host whose menus, alerts and panels are drawn (its process id,
    // bundle identifier or name); null for every connected host. The menu
    // bar shows every host's status items either way.
    nlohmann::json host;
};

struct Picture {
    std::string bytes;          // the file: PNG or SVG
    int width = 0, height = 0;  // in pixels
    std::string error;          // why nothing was drawn; empty when drawn
};

// Draws the state. The same state gives the same bytes on the same machine.
Picture drawPicture(const nlohmann::json& state, const PictureOptions& options);

// A key equivalent as a menu shows it: the modifiers in the system's order
// (⌃⌥⇧⌘), then the key, upper-cased, or the key's glyph ("⇧⌘K", "⌘↩").
std::string keyEquivalentText(const std::string& key, uint64_t modifierMask);

// Text safe to lay out: invalid UTF-8 repaired, control characters as
// spaces, at most `limit` characters (then an ellipsis).
std::string drawableText(const std::string& text, std::size_t limit = 256);

} // namespace desktop
