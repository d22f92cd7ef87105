// The catalogue of system symbols drawn on Linux: each name it knows has a
// small neutral drawing of its own, made here (no system artwork). The live
// desktop draws the status item and menu images with it, and the desktop
// server its pictures, so both show the same symbols.
#pragma once

#include <cairo.h>

#include <string>
#include <vector>

namespace platform {

// Whether the catalogue has a drawing for this name.
bool symbolIsDrawable(const std::string& name);

// Draws the symbol into the square at (x, y) of side `size` in the current
// source colour; false (and nothing drawn) for a name it does not know.
bool drawSymbol(cairo_t* cr, const std::string& name, double x, double y, double size);

// Every name the catalogue draws, in order.
std::vector<std::string> drawableSymbols();

} // namespace platform
