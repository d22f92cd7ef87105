#include "hot_keys.h"

#include "session.h"
#include "workspace.h"

#include <algorithm>

namespace desktop {

namespace wire = platform::wire;

HotKeys::HotKeys(Session& session)
    : session_(session)
{
    auto serve = [this](const char* op, const Session::Roles& roles, void (HotKeys::*handle)(Request&)) {
        session_.serve(op, roles, [this, handle](Request& request) { (this->*handle)(request); });
    };
    serve("registerHotKey", Session::hosts, &HotKeys::registerHotKey);
    serve("unregisterHotKey", Session::hosts, &HotKeys::unregisterHotKey);
    serve("keyboardLayoutType", Session::anyone, &HotKeys::keyboardLayoutType);
    serve("setKeyboardLayoutType", Session::clients, &HotKeys::setKeyboardLayoutType);
    serve("refuseHotKey", Session::clients, &HotKeys::refuseHotKey);
    serve("takeHotKey", Session::clients, &HotKeys::takeHotKey);
    serve("releaseHotKey", Session::clients, &HotKeys::releaseHotKey);
    serve("heldHotKeys", Session::clients, &HotKeys::heldHotKeys);
    serve("press", Session::clients, &HotKeys::press);
}

std::optional<std::string> HotKeys::load(const json& session)
{
    if (session.contains("keyboardLayoutType")) {
        auto type = wire::keyboardLayoutTypeOf(session["keyboardLayoutType"]);
        if (!type)
            return "\"keyboardLayoutType\" must be ANSI, ISO or JIS";
        keyboard_ = *type;
    }
    return std::nullopt;
}

void HotKeys::describe(json& state)
{
    json refused = json::array();
    for (const auto& [chord, status] : refusedChords_)
        refused.push_back({{"code", chord.first}, {"modifiers", chord.second}, {"status", status}});
    state["keyboardLayoutType"] = wire::nameOf(keyboard_);
    state["refusedHotKeys"] = refused;
    state["heldHotKeys"] = heldJson();
}

json HotKeys::heldJson() const
{
    json held = json::array();
    for (const auto& key : hotKeys_) {
        json record = {{"chord", textOf({key.code, key.modifiers}, keyboard_)}, {"code", key.code},
                       {"modifiers", key.modifiers}, {"pid", key.pid}, {"by", key.connection ? "host" : "application"}};
        if (key.connection)
            record["signatureText"] = platform::fourCharText(key.signature).value_or("");
        held.push_back(record);
    }
    return held;
}

void HotKeys::describeHost(const HostRecord& host, json& record)
{
    json keys = json::array();
    for (const auto& key : hotKeys_) {
        if (key.connection != host.connection)
            continue;
        keys.push_back({{"reference", key.reference},
                        {"code", key.code},
                        {"modifiers", key.modifiers},
                        {"chord", textOf({key.code, key.modifiers}, keyboard_)},
                        {"signature", key.signature},
                        {"signatureText", platform::fourCharText(key.signature).value_or("")},
                        {"hotKeyId", key.id},
                        {"options", key.options}});
    }
    record["hotKeys"] = keys;
}

void HotKeys::applicationQuit(pid_t pid)
{
    std::erase_if(hotKeys_, [&](const HotKey& key) { return key.pid == pid; });
}

std::optional<Chord> HotKeys::chordIn(const json& request)
{
    if (auto text = wire::stringAt(request, "chord"))
        return chordOf(*text, keyboard_);
    auto code = wire::integerAt(request, "code");
    auto modifiers = wire::integerAt(request, "modifiers");
    if (!code || *code < 0 || *code > int64_t(UINT32_MAX))
        return std::nullopt;
    if (modifiers && (*modifiers < 0 || *modifiers > int64_t(UINT32_MAX)))
        return std::nullopt;
    return Chord{uint32_t(*code), uint32_t(modifiers.value_or(0))};
}

// Registers a chord for a host unless refused or held already.
void HotKeys::registerHotKey(Request& request)
{
    auto refusal = [](const char* name) { return std::string("\"") + name + "\" must be an unsigned 32-bit number"; };
    HotKey key;
    for (auto [name, target] : {std::pair{"code", &key.code}, std::pair{"modifiers", &key.modifiers},
                                std::pair{"signature", &key.signature}, std::pair{"hotKeyId", &key.id}}) {
        auto value = request.required<uint32_t>(name, refusal(name));
        if (!value)
            return;
        *target = *value;
    }
    // The options may be left out; given, they must fit.
    auto options = wire::integerAt(request.message(), "options").value_or(0);
    if (!std::in_range<uint32_t>(options)) {
        request.refuse(refusal("options"));
        return;
    }
    key.options = uint32_t(options);
    key.connection = request.connection().number;
    key.pid = request.pid();
    int32_t status = platform::NO_ERR;
    if (auto refused = refusedChords_.find({key.code, key.modifiers}); refused != refusedChords_.end())
        status = refused->second;
    else if (std::any_of(hotKeys_.begin(), hotKeys_.end(),
                         [&](const HotKey& held) { return held.code == key.code && held.modifiers == key.modifiers; }))
        status = platform::EVENT_HOT_KEY_EXISTS_ERR;
    json result = {{"status", status}};
    if (status == platform::NO_ERR) {
        key.reference = nextReference_++;
        hotKeys_.push_back(key);
        result["reference"] = key.reference;
    }
    request.reply(result);
}

// Releases one of the host's own registrations.
void HotKeys::unregisterHotKey(Request& request)
{
    auto reference = wire::integerAt(request.message(), "reference");
    auto found = std::find_if(hotKeys_.begin(), hotKeys_.end(), [&](const HotKey& key) {
        return reference && int64_t(key.reference) == *reference && key.connection == request.connection().number;
    });
    if (found == hotKeys_.end()) {
        request.reply({{"status", platform::PARAM_ERR}});
        return;
    }
    hotKeys_.erase(found);
    request.reply({{"status", platform::NO_ERR}});
}

// The keyboard's layout type.
void HotKeys::keyboardLayoutType(Request& request)
{
    request.reply({{"type", wire::nameOf(keyboard_)}});
}

void HotKeys::setKeyboardLayoutType(Request& request)
{
    auto type = wire::keyboardLayoutTypeOf(request.message().value("type", json()));
    if (!type) {
        request.refuse("\"type\" must be ANSI, ISO or JIS");
        return;
    }
    keyboard_ = *type;
    request.reply();
}

// Makes registering a chord fail with a status, or work again with 0.
void HotKeys::refuseHotKey(Request& request)
{
    auto chord = chordIn(request.message());
    auto status = wire::integerAt(request.message(), "status");
    if (!chord || !status || !std::in_range<int32_t>(*status)) {
        request.refuse("name a chord (\"chord\", or \"code\" and \"modifiers\") and a \"status\"");
        return;
    }
    if (*status == 0)
        refusedChords_.erase({chord->code, chord->modifiers});
    else
        refusedChords_[{chord->code, chord->modifiers}] = int32_t(*status);
    request.reply({{"code", chord->code}, {"modifiers", chord->modifiers}, {"status", *status}});
}

// An application of the session takes a chord, as another program would:
// a host asking for it afterwards is refused as the system refuses a chord
// that is held.
void HotKeys::takeHotKey(Request& request)
{
    auto chord = chordIn(request.message());
    if (!chord) {
        request.refuse("name the chord: \"chord\" (⌃⌥K, ctrl+opt+k, 40:6144) or \"code\" and \"modifiers\"");
        return;
    }
    App* app = session_.workspace().namedApp(request);
    if (!app)
        return;
    auto holder = std::find_if(hotKeys_.begin(), hotKeys_.end(),
                               [&](const HotKey& key) { return key.code == chord->code && key.modifiers == chord->modifiers; });
    if (holder != hotKeys_.end()) {
        request.refuse(textOf(*chord, keyboard_) + " is held already, by process " + std::to_string(holder->pid));
        return;
    }
    HotKey key;
    key.reference = nextReference_++;
    key.pid = app->running.pid;
    key.code = chord->code;
    key.modifiers = chord->modifiers;
    hotKeys_.push_back(key);
    request.reply({{"held", heldJson().back()}});
}

// An application of the session lets go of a chord it took.
void HotKeys::releaseHotKey(Request& request)
{
    auto chord = chordIn(request.message());
    if (!chord) {
        request.refuse("name the chord: \"chord\" (⌃⌥K, ctrl+opt+k, 40:6144) or \"code\" and \"modifiers\"");
        return;
    }
    auto taken = std::find_if(hotKeys_.begin(), hotKeys_.end(), [&](const HotKey& key) {
        return key.connection == 0 && key.code == chord->code && key.modifiers == chord->modifiers;
    });
    if (taken == hotKeys_.end()) {
        request.refuse("no application of the session holds " + textOf(*chord, keyboard_));
        return;
    }
    hotKeys_.erase(taken);
    request.reply();
}

void HotKeys::heldHotKeys(Request& request)
{
    request.reply({{"heldHotKeys", heldJson()}});
}

// The user presses a chord: the host that holds it gets the press.
void HotKeys::press(Request& request)
{
    auto chord = chordIn(request.message());
    if (!chord) {
        request.refuse("name the chord: \"chord\" (⌃⌥K, ctrl+opt+k, 40:6144) or \"code\" and \"modifiers\"");
        return;
    }
    auto found = std::find_if(hotKeys_.begin(), hotKeys_.end(),
                              [&](const HotKey& key) { return key.code == chord->code && key.modifiers == chord->modifiers; });
    if (found == hotKeys_.end()) {
        request.refuse("no hot key is registered for " + textOf(*chord, keyboard_));
        return;
    }
    if (found->connection == 0) {
        // An application of the session holds it: the press is its own.
        request.reply({{"pressed", {{"pid", found->pid}, {"by", "application"}}}});
        return;
    }
    HostRecord* host = session_.hostByConnection(found->connection);
    if (!host) {
        request.refuse("the hot key's host is gone");
        return;
    }
    session_.ask(*host, {{"event", "hotKey"}, {"signature", found->signature}, {"hotKeyId", found->id}}, request);
}

} // namespace desktop
