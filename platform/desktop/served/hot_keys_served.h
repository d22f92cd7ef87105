// Hot keys registered with the desktop server's session, whose presses
// arrive as events. Without the server, the headless hot keys, which keep
// the registrations made so far.
#pragma once

#include "platform/desktop/headless/hot_keys_headless.h"
#include "platform/desktop/served/server_connection.h"

namespace platform {

class ServedHotKeys final : public HeadlessHotKeys {
public:
    explicit ServedHotKeys(ServerConnection& server);

    HotKeyRegistration registerHotKey(uint32_t code, uint32_t modifiers, HotKeyID id, uint32_t options) override;
    int32_t unregisterHotKey(uint64_t reference) override;
    KeyboardLayoutType keyboardLayoutType() override;

private:
    // The "hotKey" event: a press, answered with whether a handler took it.
    void hotKeyEvent(const nlohmann::json& event);

    ServerConnection& server_;
};

} // namespace platform
