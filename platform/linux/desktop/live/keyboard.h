// The keys the live desktop's own modal windows (alerts, popped-up menus)
// answer to, read from key presses through the server's keyboard map.
#pragma once

#include "platform/linux/desktop/live/x_connection.h"

#include <xcb/xcb_keysyms.h>

#include <cstdint>

namespace platform {

namespace keysym {
inline constexpr uint32_t RETURN = 0xff0d;
inline constexpr uint32_t KEYPAD_ENTER = 0xff8d;
inline constexpr uint32_t ESCAPE = 0xff1b;
inline constexpr uint32_t SPACE = 0x0020;
inline constexpr uint32_t LEFT = 0xff51;
inline constexpr uint32_t UP = 0xff52;
inline constexpr uint32_t RIGHT = 0xff53;
inline constexpr uint32_t DOWN = 0xff54;
inline constexpr uint32_t HOME = 0xff50;
inline constexpr uint32_t END = 0xff57;
inline constexpr uint32_t PAGE_UP = 0xff55;
inline constexpr uint32_t PAGE_DOWN = 0xff56;
inline constexpr uint32_t TAB = 0xff09;
} // namespace keysym

// The keyboard map, read once for one modal window's life.
class KeyboardMap {
public:
    explicit KeyboardMap(XConnection& x)
        : symbols_(xcb_key_symbols_alloc(x.connection()))
    {
    }
    ~KeyboardMap() { xcb_key_symbols_free(symbols_); }
    KeyboardMap(const KeyboardMap&) = delete;
    KeyboardMap& operator=(const KeyboardMap&) = delete;

    // The unshifted symbol of a pressed key; 0 when the map has none.
    uint32_t symbolOf(const xcb_key_press_event_t& press) const
    {
        return symbols_ ? xcb_key_symbols_get_keysym(symbols_, press.detail, 0) : 0;
    }

private:
    xcb_key_symbols_t* symbols_;
};

} // namespace platform
