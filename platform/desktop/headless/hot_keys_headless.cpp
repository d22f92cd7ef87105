#include "platform/desktop/headless/hot_keys_headless.h"

#include "platform/main_queue.h"

namespace platform {

HotKeyRegistration HeadlessHotKeys::registerHotKey(uint32_t code, uint32_t modifiers, HotKeyID id, uint32_t options)
{
    assertOnTheMainThread("registerHotKey");
    // A chord is held once in the whole system, by whoever took it first.
    for (const auto& [reference, record] : hotKeys_) {
        if (record.code == code && record.modifiers == modifiers)
            return {EVENT_HOT_KEY_EXISTS_ERR, 0};
    }
    // References the server handed out before it went away stay taken.
    while (hotKeys_.count(nextHotKeyReference_))
        ++nextHotKeyReference_;
    uint64_t reference = nextHotKeyReference_++;
    hotKeys_[reference] = {code, modifiers, id, options};
    return {NO_ERR, reference};
}

int32_t HeadlessHotKeys::unregisterHotKey(uint64_t reference)
{
    assertOnTheMainThread("unregisterHotKey");
    return hotKeys_.erase(reference) ? NO_ERR : PARAM_ERR;
}

void HeadlessHotKeys::addHotKeyHandler(HotKeyHandler handler)
{
    assertOnTheMainThread("addHotKeyHandler");
    hotKeyHandlers_.push_back(std::move(handler));
}

KeyboardLayoutType HeadlessHotKeys::keyboardLayoutType()
{
    assertOnTheMainThread("keyboardLayoutType");
    return KeyboardLayoutType::ansi;
}

bool HeadlessHotKeys::deliverHotKey(const HotKeyID& id)
{
    auto handlers = hotKeyHandlers_;
    for (auto handler = handlers.rbegin(); handler != handlers.rend(); ++handler) {
        if ((*handler)(id) == NO_ERR)
            return true;
    }
    return false;
}

} // namespace platform
