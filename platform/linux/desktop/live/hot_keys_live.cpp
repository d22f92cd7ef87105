#include "platform/linux/desktop/live/hot_keys_live.h"

#include "platform/linux/desktop/live/key_map.h"
#include "platform/main_queue.h"
#include "platform/standard_error.h"

// xkb.h names a member "explicit", a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

#include <algorithm>
#include <cstdlib>
#include <string>

namespace platform {

namespace {

// X's error code of a grab that another client holds.
constexpr uint8_t BAD_ACCESS = 10;
// The key between the left Shift and Z, which only ISO keyboards have.
constexpr xcb_keycode_t LESS_GREATER_KEY = 94;

// Keysyms of the modifier keys looked for in the modifier map.
constexpr xcb_keysym_t NUM_LOCK = 0xff7f;
constexpr xcb_keysym_t ALT_KEYS[] = {0xffe9, 0xffea, 0xffe7, 0xffe8};   // Alt_L/R, Meta_L/R
constexpr xcb_keysym_t SUPER_KEYS[] = {0xffeb, 0xffec};                 // Super_L/R

struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};

} // namespace

LiveHotKeys::LiveHotKeys(XConnection& x)
    : x_(x)
{
    if (x_.gone())
        return;
    symbols_ = xcb_key_symbols_alloc(x_.connection());
    readTheModifierMap();
    useXkb();
    x_.onEvent(XCB_KEY_PRESS, [this](const xcb_generic_event_t& event) {
        keyPressed(reinterpret_cast<const xcb_key_press_event_t&>(event));
    });
    x_.onEvent(XCB_KEY_RELEASE, [this](const xcb_generic_event_t& event) {
        keyReleased(reinterpret_cast<const xcb_key_release_event_t&>(event));
    });
    x_.onEvent(XCB_MAPPING_NOTIFY, [this](const xcb_generic_event_t& event) {
        if (reinterpret_cast<const xcb_mapping_notify_event_t&>(event).request != XCB_MAPPING_POINTER)
            keymapChangedSoon();
    });
    // The server holds no grab of a client that is gone; the registrations
    // stay, headless.
    x_.whenGone([this] { grabs_.clear(); });
}

LiveHotKeys::~LiveHotKeys()
{
    if (symbols_)
        xcb_key_symbols_free(symbols_);
}

void LiveHotKeys::readTheModifierMap()
{
    auto cookie = xcb_get_modifier_mapping(x_.connection());
    std::unique_ptr<xcb_get_modifier_mapping_reply_t, FreeReply> reply(
        xcb_get_modifier_mapping_reply(x_.connection(), cookie, nullptr));
    x_.dispatchSoon();
    if (!reply)
        return;
    const xcb_keycode_t* keycodes = xcb_get_modifier_mapping_keycodes(reply.get());
    int perModifier = reply->keycodes_per_modifier;
    // The mask of the first modifier (of Mod1 to Mod5) holding one of the keys.
    auto maskHolding = [&](const xcb_keysym_t* wanted, size_t count, uint16_t otherwise) -> uint16_t {
        for (int modifier = 3; modifier < 8; ++modifier) {
            for (int i = 0; i < perModifier; ++i) {
                xcb_keycode_t keycode = keycodes[modifier * perModifier + i];
                if (!keycode)
                    continue;
                for (int column = 0; column < 4; ++column) {
                    xcb_keysym_t symbol = xcb_key_symbols_get_keysym(symbols_, keycode, column);
                    if (std::find(wanted, wanted + count, symbol) != wanted + count)
                        return uint16_t(1u << modifier);
                }
            }
        }
        return otherwise;
    };
    numLockMask_ = maskHolding(&NUM_LOCK, 1, 0);
    altMask_ = maskHolding(ALT_KEYS, std::size(ALT_KEYS), XCB_MOD_MASK_1);
    superMask_ = maskHolding(SUPER_KEYS, std::size(SUPER_KEYS), XCB_MOD_MASK_4);
}

void LiveHotKeys::useXkb()
{
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(x_.connection(), &xcb_xkb_id);
    if (!extension || !extension->present)
        return;
    auto* connection = x_.connection();
    std::unique_ptr<xcb_xkb_use_extension_reply_t, FreeReply> used(
        xcb_xkb_use_extension_reply(connection, xcb_xkb_use_extension(connection, 1, 0), nullptr));
    if (!used || !used->supported) {
        x_.dispatchSoon();
        return;
    }
    const uint32_t flag = XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT;
    auto cookie = xcb_xkb_per_client_flags(connection, XCB_XKB_ID_USE_CORE_KBD, flag, flag, 0, 0, 0);
    std::unique_ptr<xcb_xkb_per_client_flags_reply_t, FreeReply> flags(
        xcb_xkb_per_client_flags_reply(connection, cookie, nullptr));
    detectableRepeat_ = flags && (flags->value & flag);
    const uint16_t events = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY;
    const uint16_t parts = XCB_XKB_MAP_PART_KEY_SYMS | XCB_XKB_MAP_PART_MODIFIER_MAP;
    xcb_xkb_select_events(connection, XCB_XKB_ID_USE_CORE_KBD, events, 0, events, parts, parts, nullptr);
    x_.onEvent(extension->first_event, [this](const xcb_generic_event_t& event) {
        // The XKB event's kind follows its type byte.
        uint8_t kind = reinterpret_cast<const uint8_t*>(&event)[1];
        if (kind == XCB_XKB_NEW_KEYBOARD_NOTIFY || kind == XCB_XKB_MAP_NOTIFY)
            keymapChangedSoon();
    });
    x_.flush();
}

std::vector<uint16_t> LiveHotKeys::lockStates() const
{
    std::vector<uint16_t> states = {0, XCB_MOD_MASK_LOCK};
    if (numLockMask_) {
        states.push_back(numLockMask_);
        states.push_back(uint16_t(numLockMask_ | XCB_MOD_MASK_LOCK));
    }
    return states;
}

std::optional<std::vector<LiveHotKeys::Grab>> LiveHotKeys::grabsOf(uint32_t code, uint32_t modifiers)
{
    uint16_t mask = 0;
    if (modifiers & HOT_KEY_COMMAND)
        mask |= superMask_;
    if (modifiers & HOT_KEY_OPTION)
        mask |= altMask_;
    if (modifiers & HOT_KEY_CONTROL)
        mask |= controlMask_;
    if (modifiers & HOT_KEY_SHIFT)
        mask |= shiftMask_;
    auto symbols = keysymsOfVirtualKey(code);
    std::vector<Grab> grabs;
    // The first symbol the keyboard has decides; every key carrying it counts.
    for (xcb_keysym_t symbol : symbols) {
        std::unique_ptr<xcb_keycode_t, FreeReply> keycodes(xcb_key_symbols_get_keycode(symbols_, symbol));
        for (const xcb_keycode_t* keycode = keycodes.get(); keycode && *keycode != XCB_NO_SYMBOL; ++keycode) {
            Grab grab{*keycode, mask};
            if (std::find(grabs.begin(), grabs.end(), grab) == grabs.end())
                grabs.push_back(grab);
        }
        if (!grabs.empty())
            break;
    }
    x_.dispatchSoon();
    if (grabs.empty()) {
        if (saidMissing_.insert(code).second) {
            sayOnStandardError("live desktop: hot key code " + std::to_string(code)
                               + (symbols.empty() ? " has no key on an X keyboard" : " has no key on this keyboard"));
        }
        return std::nullopt;
    }
    return grabs;
}

int32_t LiveHotKeys::take(const std::vector<Grab>& grabs)
{
    std::vector<xcb_void_cookie_t> cookies;
    for (const auto& grab : grabs) {
        for (uint16_t locks : lockStates()) {
            cookies.push_back(xcb_grab_key_checked(x_.connection(), 1, x_.root(), uint16_t(grab.modifiers | locks),
                                                   grab.keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        }
    }
    int32_t status = NO_ERR;
    for (auto cookie : cookies) {
        std::unique_ptr<xcb_generic_error_t, FreeReply> error(xcb_request_check(x_.connection(), cookie));
        if (!error || status != NO_ERR)
            continue;
        if (error->error_code == BAD_ACCESS) {
            status = EVENT_HOT_KEY_EXISTS_ERR;
        } else {
            status = PARAM_ERR;
            if (!saidRefusal_) {
                saidRefusal_ = true;
                sayOnStandardError("live desktop: the X server refused a hot key's grab (error "
                                   + std::to_string(int(error->error_code)) + ")");
            }
        }
    }
    x_.dispatchSoon();
    if (status != NO_ERR)
        release(grabs);
    return status;
}

void LiveHotKeys::release(const std::vector<Grab>& grabs)
{
    // Only this client's own grabs go; another client's stay as they are.
    for (const auto& grab : grabs) {
        for (uint16_t locks : lockStates())
            xcb_ungrab_key(x_.connection(), grab.keycode, x_.root(), uint16_t(grab.modifiers | locks));
    }
    x_.flush();
}

HotKeyRegistration LiveHotKeys::registerHotKey(uint32_t code, uint32_t modifiers, HotKeyID id, uint32_t options)
{
    assertOnTheMainThread("registerHotKey");
    if (!live() || !x_.healthy())
        return HeadlessHotKeys::registerHotKey(code, modifiers, id, options);
    // The host's own chords: held once, as the system holds them.
    for (const auto& [reference, record] : hotKeys_) {
        if (record.code == code && record.modifiers == modifiers)
            return {EVENT_HOT_KEY_EXISTS_ERR, 0};
    }
    auto grabs = grabsOf(code, modifiers);
    if (!grabs)
        return {PARAM_ERR, 0};
    // Two codes on one key (the grave accent's and the ISO key's) are one chord.
    for (const auto& [reference, held] : grabs_) {
        for (const auto& grab : *grabs) {
            if (std::find(held.begin(), held.end(), grab) != held.end())
                return {EVENT_HOT_KEY_EXISTS_ERR, 0};
        }
    }
    if (int32_t status = take(*grabs); status != NO_ERR)
        return {status, 0};
    auto registration = HeadlessHotKeys::registerHotKey(code, modifiers, id, options);
    if (registration.status == NO_ERR)
        grabs_[registration.reference] = *grabs;
    else
        release(*grabs);
    return registration;
}

int32_t LiveHotKeys::unregisterHotKey(uint64_t reference)
{
    assertOnTheMainThread("unregisterHotKey");
    if (auto found = grabs_.find(reference); found != grabs_.end()) {
        auto grabs = std::move(found->second);
        grabs_.erase(found);
        if (live() && x_.healthy())
            release(grabs);
    }
    return HeadlessHotKeys::unregisterHotKey(reference);
}

KeyboardLayoutType LiveHotKeys::keyboardLayoutType()
{
    assertOnTheMainThread("keyboardLayoutType");
    if (!live() || !x_.healthy())
        return HeadlessHotKeys::keyboardLayoutType();
    // The rules the keyboard was set up with: "rules\0model\0layout\0…".
    xcb_atom_t names = x_.atom("_XKB_RULES_NAMES");
    auto cookie = xcb_get_property(x_.connection(), 0, x_.root(), names, XCB_ATOM_STRING, 0, 1024);
    std::unique_ptr<xcb_get_property_reply_t, FreeReply> reply(xcb_get_property_reply(x_.connection(), cookie, nullptr));
    x_.dispatchSoon();
    if (reply && reply->format == 8) {
        const char* text = static_cast<const char*>(xcb_get_property_value(reply.get()));
        std::string value(text, size_t(xcb_get_property_value_length(reply.get())));
        std::vector<std::string> fields;
        size_t start = 0;
        while (start <= value.size() && fields.size() < 3) {
            size_t end = value.find('\0', start);
            if (end == std::string::npos)
                end = value.size();
            fields.push_back(value.substr(start, end - start));
            start = end + 1;
        }
        // A layout list such as "us,jp": any Japanese layout in it counts.
        auto japanese = [](const std::string& list) {
            size_t start = 0;
            while (start < list.size()) {
                size_t end = std::min(list.find(',', start), list.size());
                if (list.compare(start, 2, "jp") == 0)
                    return true;
                start = end + 1;
            }
            return false;
        };
        bool model = fields.size() > 1 && fields[1].rfind("jp", 0) == 0;
        bool layout = fields.size() > 2 && japanese(fields[2]);
        if (model || layout)
            return KeyboardLayoutType::jis;
    }
    for (int column = 0; column < 2; ++column) {
        if (xcb_key_symbols_get_keysym(symbols_, LESS_GREATER_KEY, column) != XCB_NO_SYMBOL)
            return KeyboardLayoutType::iso;
    }
    return KeyboardLayoutType::ansi;
}

void LiveHotKeys::keyPressed(const xcb_key_press_event_t& event)
{
    if (event.event != x_.root())
        return;
    uint16_t locks = uint16_t(XCB_MOD_MASK_LOCK | numLockMask_);
    uint16_t modifiers = uint16_t(event.state & 0xff & ~locks);
    Grab pressed{event.detail, modifiers};
    std::optional<HotKeyID> id;
    for (const auto& [reference, grabs] : grabs_) {
        if (std::find(grabs.begin(), grabs.end(), pressed) == grabs.end())
            continue;
        auto record = hotKeys_.find(reference);
        if (record != hotKeys_.end())
            id = record->second.id;
        break;
    }
    if (!id)
        return;
    // A key still held repeats: the chord was pressed once.
    if (detectableRepeat_ && !held_.insert(event.detail).second)
        return;
    deliverHotKey(*id);
}

void LiveHotKeys::keyReleased(const xcb_key_release_event_t& event)
{
    if (event.event != x_.root())
        return;
    held_.erase(event.detail);
}

void LiveHotKeys::keymapChangedSoon()
{
    if (keymapChangeOwed_)
        return;
    keymapChangeOwed_ = true;
    post([this, weak = std::weak_ptr<int>(lifetime_)] {
        if (weak.expired())
            return;
        keymapChangeOwed_ = false;
        keymapChanged();
    });
}

void LiveHotKeys::keymapChanged()
{
    if (!live() || !x_.healthy())
        return;
    // The keys held now go first, under the old map and masks.
    for (const auto& [reference, grabs] : grabs_)
        release(grabs);
    xcb_key_symbols_free(symbols_);
    symbols_ = xcb_key_symbols_alloc(x_.connection());
    readTheModifierMap();
    held_.clear();
    std::vector<uint64_t> lost;
    for (auto& [reference, grabs] : grabs_) {
        const auto& record = hotKeys_.at(reference);
        auto now = grabsOf(record.code, record.modifiers);
        if (now && take(*now) == NO_ERR) {
            grabs = *now;
            continue;
        }
        // The host still counts it registered; it fires again once the
        // keyboard has the key (at the next change of the map).
        grabs.clear();
        lost.push_back(reference);
    }
    if (!lost.empty() && !saidRegrab_) {
        saidRegrab_ = true;
        sayOnStandardError("live desktop: after the keyboard changed, " + std::to_string(lost.size())
                           + " hot key(s) could not be taken again");
    }
}

} // namespace platform
