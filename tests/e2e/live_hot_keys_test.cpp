// Global hot keys on a live X11 session: chords declared in the Info.plist
// or sent by the shell are grabbed on the session's keyboard, keys pressed
// there (through XTEST) reach the shell as links whatever the lock keys say,
// a chord another client holds is reported taken, and the keyboard's type
// comes from its map.
#include "support/desktop_server.h"
#include "support/fixture.h"
#include "support/live_session.h"
#include "support/live_user.h"
#include "support/host.h"

#include <gtest/gtest.h>

#include <unistd.h>

using fixture::eventually;
using fixture::textOf;
using nlohmann::json;
using namespace std::chrono_literals;
namespace keysym = fixture::keysym;

namespace {

const std::string identifier = "com.example.acme";

json pressed(const std::string& url)
{
    return {{"url", url}, {"source", "hotkey"}};
}

json hotKey(const std::string& key, const std::string& url)
{
    return {{"key", key}, {"url", url}};
}

// A host of the "acme" scheme in the session whose shell records what it
// hears in `heard`.
class LiveHotKeyHost : public fixture::Host {
public:
    LiveHotKeyHost(fixture::LiveSession& session, json info, json descriptor = json::object(),
                   std::vector<std::string> shell = {"ts:echo=120000:{root}/heard"})
    {
        info["CFBundleURLTypes"] = json::array({{{"CFBundleURLSchemes", {"acme"}}}});
        bundle.writeInfoWithIdentifier(identifier, info);
        bundle.writeTestShellDescriptor("acme", descriptor);
        bundle.installHost();
        fixture::RunOptions options;
        for (const auto& argument : shell)
            options.arguments.push_back(bundle.expand(argument));
        start(session.withSession(options));
    }

    json activation() const
    {
        return json::parse(textOf(bundle.applicationSupport(identifier) + "/shortcut-activation.json"), nullptr, false);
    }
    std::vector<int> statuses() const
    {
        std::vector<int> found;
        auto file = activation();
        if (file.is_object())
            for (const auto& row : file["rows"])
                found.push_back(row["status"]);
        return found;
    }
    bool statusesBecome(const std::vector<int>& expected) const
    {
        return eventually([&] { return statuses() == expected; }, 10s);
    }
    std::vector<json> heard(const std::string& name = "heard") const { return fixture::readLines(file(name)); }
    bool hearsExactly(const std::vector<json>& expected, const std::string& name = "heard") const
    {
        return eventually([&] { return heard(name) == expected; }, 10s);
    }

};

// Toggles a lock key and waits until the keyboard shows it.
void setLock(xcb_connection_t* x, xcb_keysym_t key, uint16_t mask, bool on)
{
    if (bool(fixture::modifierState(x) & mask) != on)
        fixture::pressChord(x, {}, key);
    ASSERT_EQ(bool(fixture::modifierState(x) & mask), on);
}

} // namespace

TEST(LiveHotKeys, DeclaredChordsFireFromTheKeyboardWhateverTheLocksSay)
{
    SKIP_WITHOUT_A_LIVE_SESSION();
    fixture::LiveSession session;
    xcb_connection_t* x = session.x();
    LiveHotKeyHost host(session, {{"KestruneHotKeys", json::array({
                                                          hotKey("⌃⌥K", "acme://toggle"),
                                                          hotKey("⌘J", "acme://other"),
                                                          hotKey("⇧⌘1", "acme://shifted"),
                                                      })}});
    ASSERT_TRUE(host.statusesBecome({0, 0, 0})) << host.process->err();

    // Each chord as the user plays it; a chord nobody registered (⌃K, ⌘1
    // without Shift) and the key alone do nothing.
    struct Press {
        std::vector<xcb_keysym_t> modifiers;
        xcb_keysym_t key;
        std::optional<std::string> url;
    } presses[] = {
        {{keysym::CONTROL, keysym::ALT}, 'k', "acme://toggle"},
        {{keysym::CONTROL}, 'k', std::nullopt},
        {{}, 'j', std::nullopt},
        {{keysym::SUPER}, 'j', "acme://other"},
        {{keysym::SUPER}, '1', std::nullopt},
        {{keysym::SHIFT, keysym::SUPER}, '1', "acme://shifted"},
    };
    std::vector<json> expected;
    auto play = [&](const char* locks) {
        for (const auto& press : presses) {
            fixture::pressChord(x, press.modifiers, press.key);
            if (press.url) {
                expected.push_back(pressed(*press.url));
                ASSERT_TRUE(host.hearsExactly(expected)) << locks << ": " << textOf(host.file("heard"));
            }
        }
    };
    play("no lock");
    // With Caps Lock, Num Lock, and both.
    setLock(x, keysym::CAPS_LOCK, XCB_MOD_MASK_LOCK, true);
    play("caps lock");
    setLock(x, keysym::NUM_LOCK, XCB_MOD_MASK_2, true);
    play("caps and num lock");
    setLock(x, keysym::CAPS_LOCK, XCB_MOD_MASK_LOCK, false);
    play("num lock");
    setLock(x, keysym::NUM_LOCK, XCB_MOD_MASK_2, false);

    EXPECT_EQ(fixture::liveDesktopTrouble(host.process->err()), "");
}

TEST(LiveHotKeys, TheShellHearsTakenAndUnknownKeysAndATakenKeyComesBackWhenFreed)
{
    SKIP_WITHOUT_A_LIVE_SESSION();
    fixture::LiveSession session;
    xcb_connection_t* x = session.x();
    // Another client (the test) holds ⌘1.
    xcb_keycode_t one = fixture::keycodeOf(x, '1');
    xcb_void_cookie_t grabbed = xcb_grab_key_checked(x, 1, session.root(), XCB_MOD_MASK_4, one, XCB_GRAB_MODE_ASYNC,
                                                     XCB_GRAB_MODE_ASYNC);
    ASSERT_EQ(xcb_request_check(x, grabbed), nullptr);

    const std::string list = json({{"hotkeys", json::array({
                                                   {{"key", "toggle"}, {"url", "acme://toggle"}, {"code", 40}, {"modifiers", 256}},
                                                   {{"key", "taken"}, {"url", "acme://taken"}, {"code", 18}, {"modifiers", 256}},
                                                   // Caps Lock's own code: no key a hot key can have.
                                                   {{"key", "caps"}, {"url", "acme://caps"}, {"code", 57}, {"modifiers", 256}},
                                               })}})
                                     .dump();
    LiveHotKeyHost host(session, json::object(), {{"hotkeys", "child"}}, {"ts:print=" + list, "ts:echo=120000:{root}/heard"});
    auto report = [](int taken) {
        return json({{"hotkeys", json::array({{{"key", "toggle"}, {"status", 0}},
                                              {{"key", "taken"}, {"status", taken}},
                                              {{"key", "caps"}, {"status", -50}}})}});
    };
    std::vector<json> expected = {report(-9878)};
    ASSERT_TRUE(host.hearsExactly(expected)) << textOf(host.file("heard")) << host.process->err();

    // ⌘K reaches the host; ⌘1 goes to the client that holds it.
    // The window manager's first activations re-arm the host's keys while
    // the session settles; a press that meets its key between release and
    // grab is the system's, so an unheard press is pressed again.
    fixture::pressChord(x, {keysym::SUPER}, '1');
    expected.push_back(pressed("acme://toggle"));
    for (int attempt = 0; attempt < 3; ++attempt) {
        fixture::pressChord(x, {keysym::SUPER}, 'k');
        if (eventually([&] { return host.heard("heard") == expected; }, 3s))
            break;
    }
    ASSERT_TRUE(host.hearsExactly(expected)) << textOf(host.file("heard"));

    // The other client lets go; the next application to come forward re-arms
    // the host's keys, and ⌘1 is the host's.
    xcb_ungrab_key(x, one, session.root(), XCB_MOD_MASK_4);
    fixture::TestWindow window(x, "editor", "Editor", getpid(), "Draft");
    ASSERT_TRUE(window.becomesManaged());
    window.activate();
    expected.push_back(report(0));
    ASSERT_TRUE(host.hearsExactly(expected)) << textOf(host.file("heard")) << host.process->err();
    fixture::pressChord(x, {keysym::SUPER}, '1');
    expected.push_back(pressed("acme://taken"));
    ASSERT_TRUE(host.hearsExactly(expected)) << textOf(host.file("heard"));

    // The key without a twin was said once on standard error.
    const std::string said = "live desktop: hot key code 57 has no key on an X keyboard";
    EXPECT_NE(host.process->err().find(said), std::string::npos) << host.process->err();
    EXPECT_EQ(host.process->err().find(said, host.process->err().find(said) + 1), std::string::npos) << host.process->err();
}

namespace {

// Gives keycode `keycode` these symbols (none: an empty list), as a
// keyboard switch does; every client hears of it.
void remapKey(xcb_connection_t* x, xcb_keycode_t keycode, std::vector<xcb_keysym_t> symbols)
{
    const xcb_setup_t* setup = xcb_get_setup(x);
    auto* current = xcb_get_keyboard_mapping_reply(x, xcb_get_keyboard_mapping(x, keycode, 1), nullptr);
    ASSERT_NE(current, nullptr);
    uint8_t perKey = current->keysyms_per_keycode;
    free(current);
    symbols.resize(perKey, XCB_NO_SYMBOL);
    (void)setup;
    xcb_change_keyboard_mapping(x, 1, keycode, perKey, symbols.data());
    free(xcb_get_input_focus_reply(x, xcb_get_input_focus(x), nullptr));
}

} // namespace

TEST(LiveHotKeys, AChangedKeyboardMapMovesTheGrabToTheKeyThatCarriesTheSymbol)
{
    SKIP_WITHOUT_A_LIVE_SESSION();
    fixture::LiveSession session;
    xcb_connection_t* x = session.x();
    LiveHotKeyHost host(session, {{"KestruneHotKeys", json::array({hotKey("⌘J", "acme://j"), hotKey("⌘K", "acme://k")})}});
    ASSERT_TRUE(host.statusesBecome({0, 0})) << host.process->err();

    // "j" moves to a key that had nothing.
    xcb_keycode_t old = fixture::keycodeOf(x, 'j');
    xcb_keycode_t spare = 0;
    for (xcb_keycode_t candidate = 250; candidate > 200 && !spare; --candidate) {
        auto* mapping = xcb_get_keyboard_mapping_reply(x, xcb_get_keyboard_mapping(x, candidate, 1), nullptr);
        bool empty = true;
        for (int i = 0; mapping && i < xcb_get_keyboard_mapping_keysyms_length(mapping); ++i)
            empty = empty && xcb_get_keyboard_mapping_keysyms(mapping)[i] == XCB_NO_SYMBOL;
        free(mapping);
        if (empty)
            spare = candidate;
    }
    ASSERT_NE(spare, 0);
    remapKey(x, old, {});
    remapKey(x, spare, {'j', 'J'});
    ASSERT_EQ(fixture::keycodeOf(x, 'j'), spare);

    // The new key is the chord once the host has taken it again (it shows
    // no other sign); ⌘K then marks the end of what was pressed so far.
    ASSERT_TRUE(eventually([&] {
        fixture::pressChordOnKeycode(x, {keysym::SUPER}, spare);
        return !host.heard().empty();
    }, 10s)) << host.process->err();
    fixture::pressChord(x, {keysym::SUPER}, 'k');
    ASSERT_TRUE(eventually([&] { return host.heard().back() == pressed("acme://k"); }));
    auto before = host.heard();
    for (size_t i = 0; i + 1 < before.size(); ++i)
        EXPECT_EQ(before[i], pressed("acme://j"));

    // The old key does nothing any more.
    fixture::pressChordOnKeycode(x, {keysym::SUPER}, old);
    fixture::pressChord(x, {keysym::SUPER}, 'k');
    before.push_back(pressed("acme://k"));
    EXPECT_TRUE(host.hearsExactly(before)) << textOf(host.file("heard"));
}

TEST(LiveHotKeys, TheKeyLeftOfOneFollowsTheKeyboardsType)
{
    SKIP_WITHOUT_A_LIVE_SESSION();
    fixture::LiveSession session;
    xcb_connection_t* x = session.x();
    xcb_atom_t rules = fixture::atomOf(x, "_XKB_RULES_NAMES");
    auto* saved = xcb_get_property_reply(x, xcb_get_property(x, 0, session.root(), rules, XCB_ATOM_STRING, 0, 1024), nullptr);
    ASSERT_NE(saved, nullptr);
    std::string original(static_cast<const char*>(xcb_get_property_value(saved)), size_t(xcb_get_property_value_length(saved)));
    free(saved);
    auto setRules = [&](const std::string& names) {
        xcb_change_property(x, XCB_PROP_MODE_REPLACE, session.root(), rules, XCB_ATOM_STRING, 8, uint32_t(names.size()),
                            names.data());
        free(xcb_get_input_focus_reply(x, xcb_get_input_focus(x), nullptr));
    };
    // The activation file's code of ⌘§: 10 on an ISO keyboard, else 50.
    auto codeOfTheSectionKey = [&]() -> int {
        LiveHotKeyHost host(session, {{"KestruneHotKeys", json::array({hotKey("⌘§", "acme://section")})}});
        if (!eventually([&] { return host.activation().is_object(); }, 10s))
            return -2;
        return host.activation()["rows"][0]["code"];
    };

    // The session's keyboard (a 105-key one) has a key between Shift and Z.
    ASSERT_NE(fixture::keycodeOf(x, '<'), 0) << "the session's keyboard is expected to be an ISO one";
    EXPECT_EQ(codeOfTheSectionKey(), 10);
    // Set up as a Japanese keyboard.
    setRules(std::string("evdev\0jp106\0jp\0\0", 16));
    EXPECT_EQ(codeOfTheSectionKey(), 50);
    setRules(std::string("evdev\0pc105\0us,jp\0\0", 19));
    EXPECT_EQ(codeOfTheSectionKey(), 50);
    // Without the key between Shift and Z: ANSI.
    setRules(original);
    remapKey(x, 94, {});
    EXPECT_EQ(codeOfTheSectionKey(), 50);
}
