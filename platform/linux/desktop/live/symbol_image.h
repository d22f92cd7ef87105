// A SymbolImage turned into pixels for the session: the tray's icon pixmaps
// (ARGB32 in network byte order) and a menu row's PNG bytes, drawn from the
// shared symbol catalogue, badged as on macOS.
#pragma once

#include "platform/desktop/status_bar.h"

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// One square icon of a tray item: side in pixels and the pixels, row by row,
// each as alpha, red, green, blue bytes, not premultiplied.
struct IconPixmap {
    int side = 0;
    std::vector<uint8_t> argb;
};

// The colours the symbols are drawn in, grey levels from 0 to 1: tray
// panels are mostly dark, menus mostly light.
inline constexpr double TRAY_INK = 0.92;
inline constexpr double MENU_INK = 0.2;

// The image drawn in a square of `side` pixels: the symbol (a neutral
// rounded square for a name the catalogue lacks) with its badge in the lower
// right corner, cut out of the symbol by a transparent halo.
IconPixmap symbolPixmap(const SymbolImage& image, int side, double ink);

// The same image as PNG bytes; empty when cairo could not make them.
std::vector<uint8_t> symbolPng(const SymbolImage& image, int side, double ink);

} // namespace platform
