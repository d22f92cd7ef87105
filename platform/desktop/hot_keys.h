// Global hot keys and the keyboard: registering chords with the system, the
// handlers their presses reach, and the keyboard's layout type (Carbon's
// event hot keys and KBGetLayoutType).
#pragma once

#include <cstdint>
#include <functional>

namespace platform {

// Carbon statuses the host meets.
inline constexpr int32_t NO_ERR = 0;
inline constexpr int32_t PARAM_ERR = -50;
inline constexpr int32_t EVENT_NOT_HANDLED_ERR = -9874;
inline constexpr int32_t EVENT_HOT_KEY_EXISTS_ERR = -9878;

// Carbon modifier bits of a hot key.
inline constexpr uint32_t HOT_KEY_COMMAND = 256;
inline constexpr uint32_t HOT_KEY_SHIFT = 512;
inline constexpr uint32_t HOT_KEY_OPTION = 2048;
inline constexpr uint32_t HOT_KEY_CONTROL = 4096;

struct HotKeyID {
    uint32_t signature = 0;
    uint32_t id = 0;
    bool operator==(const HotKeyID&) const = default;
};

// RegisterEventHotKey's result: the status and, when it is 0, the reference.
struct HotKeyRegistration {
    int32_t status = NO_ERR;
    uint64_t reference = 0;   // 0: none
};

// A handler on the application's event target for hot-key presses. It
// returns NO_ERR when it took the press, EVENT_NOT_HANDLED_ERR to let the
// next handler see it.
using HotKeyHandler = std::function<int32_t(const HotKeyID&)>;

enum class KeyboardLayoutType { ansi, iso, jis };

// Every call is made on the main thread; handlers run on the main queue.
class HotKeys {
public:
    virtual ~HotKeys() = default;

    virtual HotKeyRegistration registerHotKey(uint32_t code, uint32_t modifiers, HotKeyID id, uint32_t options) = 0;
    virtual int32_t unregisterHotKey(uint64_t reference) = 0;
    // Installs a handler; the latest installed sees a press first.
    virtual void addHotKeyHandler(HotKeyHandler handler) = 0;
    // KBGetLayoutType(LMGetKbdType()).
    virtual KeyboardLayoutType keyboardLayoutType() = 0;
};

// The hot keys of this process's desktop (see platform/desktop.h).
HotKeys& hotKeys();

} // namespace platform
