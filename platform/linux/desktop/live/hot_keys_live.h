// Global hot keys of a live X11 session: each chord is a passive grab of its
// key on the root window, taken for every state of the lock modifiers so
// that Caps Lock and Num Lock do not hide a press. A chord another client
// holds is taken already, as on macOS; the keyboard map's changes take the
// grabs again on the keys that carry the symbols now.
#pragma once

#include "platform/desktop/headless/hot_keys_headless.h"
#include "platform/linux/desktop/live/x_connection.h"

#include <xcb/xcb_keysyms.h>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace platform {

class LiveHotKeys : public HeadlessHotKeys {
public:
    explicit LiveHotKeys(XConnection& x);
    ~LiveHotKeys() override;

    HotKeyRegistration registerHotKey(uint32_t code, uint32_t modifiers, HotKeyID id, uint32_t options) override;
    int32_t unregisterHotKey(uint64_t reference) override;
    KeyboardLayoutType keyboardLayoutType() override;

private:
    // One key with the modifiers it is grabbed with (lock modifiers aside).
    struct Grab {
        xcb_keycode_t keycode = 0;
        uint16_t modifiers = 0;
        bool operator==(const Grab&) const = default;
    };

    // The X modifier masks of the keyboard's modifier map.
    void readTheModifierMap();
    // Asks for repeats as presses without releases in between, and for
    // XKB's news of the keyboard map (a client using XKB hears of a new
    // keyboard only from XKB).
    void useXkb();
    // The grabs a chord needs now; nothing (said once per code) when the
    // code has no key on this keyboard.
    std::optional<std::vector<Grab>> grabsOf(uint32_t code, uint32_t modifiers);
    // Takes every grab in every lock state; the status RegisterEventHotKey
    // would give. On failure nothing stays grabbed.
    int32_t take(const std::vector<Grab>& grabs);
    void release(const std::vector<Grab>& grabs);
    // The lock-modifier states a grab is repeated in.
    std::vector<uint16_t> lockStates() const;

    void keyPressed(const xcb_key_press_event_t& event);
    void keyReleased(const xcb_key_release_event_t& event);
    // The keyboard map changed (news come in bursts, told both by the core
    // protocol and by XKB): the grabs move to the keys of today, once.
    void keymapChangedSoon();
    void keymapChanged();
    bool live() const { return !x_.gone() && symbols_; }

    XConnection& x_;
    xcb_key_symbols_t* symbols_ = nullptr;
    uint16_t shiftMask_ = XCB_MOD_MASK_SHIFT;
    uint16_t controlMask_ = XCB_MOD_MASK_CONTROL;
    uint16_t altMask_ = XCB_MOD_MASK_1;
    uint16_t superMask_ = XCB_MOD_MASK_4;
    uint16_t numLockMask_ = XCB_MOD_MASK_2;
    // The grabs of each registration, by reference.
    std::map<uint64_t, std::vector<Grab>> grabs_;
    // Codes said on standard error to have no key.
    std::set<uint32_t> saidMissing_;
    bool saidRegrab_ = false;
    bool saidRefusal_ = false;
    // The chords' keys held down now. The server is asked to repeat a held
    // key as presses alone (XKB's detectable autorepeat), so that a held
    // chord counts once, as on macOS; a server without XKB repeats it.
    bool detectableRepeat_ = false;
    std::set<xcb_keycode_t> held_;
    bool keymapChangeOwed_ = false;
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

} // namespace platform
