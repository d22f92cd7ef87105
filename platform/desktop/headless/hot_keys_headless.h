// The hot keys of a session with nobody at the keyboard: chords register
// once each and are never pressed; the keyboard is ANSI. The served hot keys
// build on it.
#pragma once

#include "platform/desktop/hot_keys.h"

#include <map>
#include <vector>

namespace platform {

class HeadlessHotKeys : public HotKeys {
public:
    HotKeyRegistration registerHotKey(uint32_t code, uint32_t modifiers, HotKeyID id, uint32_t options) override;
    int32_t unregisterHotKey(uint64_t reference) override;
    void addHotKeyHandler(HotKeyHandler handler) override;
    KeyboardLayoutType keyboardLayoutType() override;

protected:
    struct HotKeyRecord {
        uint32_t code = 0;
        uint32_t modifiers = 0;
        HotKeyID id;
        uint32_t options = 0;
    };

    // Offers a press to the handlers, latest first; false when none took it.
    bool deliverHotKey(const HotKeyID& id);

    // The host's registrations, by reference.
    std::map<uint64_t, HotKeyRecord> hotKeys_;

private:
    uint64_t nextHotKeyReference_ = 1;
    std::vector<HotKeyHandler> hotKeyHandlers_;
};

} // namespace platform
