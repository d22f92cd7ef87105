#include "platform/desktop/served/hot_keys_served.h"

#include "platform/desktop/wire.h"

#include <nlohmann/json.hpp>

namespace platform {

using nlohmann::json;

ServedHotKeys::ServedHotKeys(ServerConnection& server)
    : server_(server)
{
    server_.onEvent("hotKey", [this](const json& event) { hotKeyEvent(event); });
}

HotKeyRegistration ServedHotKeys::registerHotKey(uint32_t code, uint32_t modifiers, HotKeyID id, uint32_t options)
{
    assertOnTheMainThread("registerHotKey");
    json request = {{"op", "registerHotKey"}, {"code", code},           {"modifiers", modifiers},
                    {"signature", id.signature}, {"hotKeyId", id.id}, {"options", options}};
    if (auto reply = server_.call(request)) {
        auto status = wire::integerAt(*reply, "status");
        auto reference = wire::integerAt(*reply, "reference");
        if (status && *status >= INT32_MIN && *status <= INT32_MAX) {
            if (*status != NO_ERR)
                return {int32_t(*status), 0};
            if (reference && *reference > 0) {
                hotKeys_[uint64_t(*reference)] = {code, modifiers, id, options};
                return {NO_ERR, uint64_t(*reference)};
            }
        }
    }
    return HeadlessHotKeys::registerHotKey(code, modifiers, id, options);
}

int32_t ServedHotKeys::unregisterHotKey(uint64_t reference)
{
    assertOnTheMainThread("unregisterHotKey");
    if (auto reply = server_.call({{"op", "unregisterHotKey"}, {"reference", reference}})) {
        auto status = wire::integerAt(*reply, "status");
        if (status && *status >= INT32_MIN && *status <= INT32_MAX) {
            if (*status == NO_ERR)
                hotKeys_.erase(reference);
            return int32_t(*status);
        }
    }
    return HeadlessHotKeys::unregisterHotKey(reference);
}

KeyboardLayoutType ServedHotKeys::keyboardLayoutType()
{
    assertOnTheMainThread("keyboardLayoutType");
    if (auto reply = server_.call({{"op", "keyboardLayoutType"}})) {
        if (auto type = wire::keyboardLayoutTypeOf(reply->value("type", json())))
            return *type;
    }
    return HeadlessHotKeys::keyboardLayoutType();
}

void ServedHotKeys::hotKeyEvent(const json& event)
{
    auto signature = wire::integerAt(event, "signature");
    auto id = wire::integerAt(event, "hotKeyId");
    if (!signature || !id || *signature < 0 || *signature > UINT32_MAX || *id < 0 || *id > UINT32_MAX) {
        server_.complain("a hot-key press without its signature and id", wire::lineOf(event));
        return;
    }
    bool handled = deliverHotKey({uint32_t(*signature), uint32_t(*id)});
    server_.answer(event, {{"handled", handled}});
}

} // namespace platform
