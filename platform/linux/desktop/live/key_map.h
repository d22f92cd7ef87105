// The keys a hot key names by its macOS virtual key code, as X keysyms: the
// code is a position on an ANSI US keyboard, and the session's keyboard map
// says which key carries that symbol today.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <vector>

namespace platform {

// The keysyms of a virtual key code, most wanted first (a key known by more
// than one symbol, like the one left of "1"); empty for a code with none.
std::vector<xcb_keysym_t> keysymsOfVirtualKey(uint32_t code);

} // namespace platform
