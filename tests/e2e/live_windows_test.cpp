// The windows the host shows on a live X11 session (badges over other
// applications' windows, the quit alert, the popped-up menu) and the
// requests the session's programs send it over the bus (open, reopen,
// quit), through the real host. The test plays the user with XTEST and
// reads the screen back from the X server.
#include "support/desktop_server.h"
#include "support/fixture.h"
#include "support/live_session.h"
#include "support/host.h"

#include <gtest/gtest.h>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

using fixture::eventually;
using fixture::textOf;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

const std::string identifier = "com.example.acme";

constexpr uint32_t ESCAPE_KEY = 0xff1b;
constexpr uint32_t RETURN_KEY = 0xff0d;
constexpr uint32_t DOWN_KEY = 0xff54;
constexpr uint32_t UP_KEY = 0xff52;
constexpr uint32_t RIGHT_KEY = 0xff53;
// Not keys: how else the test answers an alert.
constexpr uint32_t CLICK_CANCEL = 1;
constexpr uint32_t CLOSE = 2;

// The test's side of the display: its own windows, what is on screen, and
// the user's keys.
class Screen {
public:
    explicit Screen(fixture::LiveSession& session)
        : x_(session.x())
        , root_(session.root())
    {
    }

    xcb_atom_t atom(const std::string& name)
    {
        auto* reply = xcb_intern_atom_reply(x_, xcb_intern_atom(x_, 0, uint16_t(name.size()), name.data()), nullptr);
        xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return atom;
    }

    // A property's 32-bit values; empty when it is not set.
    std::vector<uint32_t> cardinals(xcb_window_t window, const std::string& name)
    {
        std::vector<uint32_t> values;
        auto* reply = xcb_get_property_reply(x_, xcb_get_property(x_, 0, window, atom(name), XCB_GET_PROPERTY_TYPE_ANY, 0, 1024), nullptr);
        if (reply && reply->format == 32) {
            auto* data = static_cast<uint32_t*>(xcb_get_property_value(reply));
            values.assign(data, data + xcb_get_property_value_length(reply) / 4);
        }
        std::free(reply);
        return values;
    }

    std::string text(xcb_window_t window, const std::string& name)
    {
        std::string value;
        auto* reply = xcb_get_property_reply(x_, xcb_get_property(x_, 0, window, atom(name), XCB_GET_PROPERTY_TYPE_ANY, 0, 1024), nullptr);
        if (reply && reply->format == 8)
            value.assign(static_cast<const char*>(xcb_get_property_value(reply)), std::size_t(xcb_get_property_value_length(reply)));
        std::free(reply);
        return value;
    }

    // An application's window: white, mapped, named with its class and its
    // process id, as the window manager and the host find windows.
    xcb_window_t openWindow(pid_t pid, int x, int y, int width, int height)
    {
        xcb_window_t window = xcb_generate_id(x_);
        const uint32_t values[] = {xcb_setup_roots_iterator(xcb_get_setup(x_)).data->white_pixel, XCB_EVENT_MASK_EXPOSURE};
        xcb_create_window(x_, XCB_COPY_FROM_PARENT, window, root_, int16_t(x), int16_t(y), uint16_t(width), uint16_t(height), 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
        const char wmClass[] = "target\0Target";
        xcb_change_property(x_, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, sizeof wmClass, wmClass);
        const uint32_t id = uint32_t(pid);
        xcb_change_property(x_, XCB_PROP_MODE_REPLACE, window, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1, &id);
        // A window manager that is still starting may miss the request to
        // map it; it is asked again.
        bool mapped = false;
        for (int attempt = 0; attempt < 10 && !mapped; ++attempt) {
            xcb_map_window(x_, window);
            xcb_flush(x_);
            mapped = eventually([&] { return viewable(window); }, 1s);
        }
        EXPECT_TRUE(mapped);
        return window;
    }

    void closeWindow(xcb_window_t window)
    {
        xcb_destroy_window(x_, window);
        xcb_flush(x_);
    }

    bool viewable(xcb_window_t window)
    {
        auto* reply = xcb_get_window_attributes_reply(x_, xcb_get_window_attributes(x_, window), nullptr);
        bool mapped = reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
        std::free(reply);
        return mapped;
    }

    // Where a window's top left corner is on the root.
    std::pair<int, int> originOf(xcb_window_t window)
    {
        auto* reply = xcb_translate_coordinates_reply(x_, xcb_translate_coordinates(x_, window, root_, 0, 0), nullptr);
        std::pair<int, int> origin{reply ? reply->dst_x : 0, reply ? reply->dst_y : 0};
        std::free(reply);
        return origin;
    }

    std::pair<int, int> sizeOf(xcb_window_t window)
    {
        auto* reply = xcb_get_geometry_reply(x_, xcb_get_geometry(x_, window), nullptr);
        std::pair<int, int> size{reply ? reply->width : 0, reply ? reply->height : 0};
        std::free(reply);
        return size;
    }

    xcb_window_t focus()
    {
        auto* reply = xcb_get_input_focus_reply(x_, xcb_get_input_focus(x_), nullptr);
        xcb_window_t window = reply ? reply->focus : xcb_window_t(XCB_WINDOW_NONE);
        std::free(reply);
        return window;
    }

    void focusOn(xcb_window_t window)
    {
        xcb_set_input_focus(x_, XCB_INPUT_FOCUS_PARENT, window, XCB_CURRENT_TIME);
        xcb_flush(x_);
    }

    // How many pixels of a part of the screen are dark (each channel below
    // a quarter): a badge's background on a white window.
    int darkPixelsIn(int x, int y, int width, int height)
    {
        auto* reply = xcb_get_image_reply(
            x_, xcb_get_image(x_, XCB_IMAGE_FORMAT_Z_PIXMAP, root_, int16_t(x), int16_t(y), uint16_t(width), uint16_t(height), ~0u),
            nullptr);
        if (!reply)
            return -1;
        int dark = 0;
        const uint8_t* data = xcb_get_image_data(reply);
        const int length = xcb_get_image_data_length(reply);
        // 24-bit depth comes as 32 bits a pixel: blue, green, red, unused.
        for (int i = 0; i + 3 < length; i += 4) {
            if (data[i] < 0x40 && data[i + 1] < 0x40 && data[i + 2] < 0x40)
                ++dark;
        }
        std::free(reply);
        return dark;
    }

    // The managed windows of the session (_NET_CLIENT_LIST).
    std::vector<uint32_t> clients() { return cardinals(root_, "_NET_CLIENT_LIST"); }

    // The host's alert: a dialog of the host's process among the managed
    // windows; none while there is none.
    xcb_window_t alertOf(pid_t host)
    {
        const xcb_atom_t dialog = atom("_NET_WM_WINDOW_TYPE_DIALOG");
        for (uint32_t window : clients()) {
            auto types = cardinals(window, "_NET_WM_WINDOW_TYPE");
            auto pid = cardinals(window, "_NET_WM_PID");
            if (std::find(types.begin(), types.end(), dialog) != types.end() && pid.size() == 1 && pid[0] == uint32_t(host))
                return window;
        }
        return XCB_WINDOW_NONE;
    }

    // A mapped override-redirect window of this type that is no client: the
    // host's popped-up menu.
    xcb_window_t unmanagedOfType(const std::string& type)
    {
        const xcb_atom_t wanted = atom(type);
        xcb_window_t found = XCB_WINDOW_NONE;
        auto* tree = xcb_query_tree_reply(x_, xcb_query_tree(x_, root_), nullptr);
        if (!tree)
            return found;
        xcb_window_t* children = xcb_query_tree_children(tree);
        for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
            auto types = cardinals(children[i], "_NET_WM_WINDOW_TYPE");
            if (std::find(types.begin(), types.end(), wanted) != types.end() && viewable(children[i]))
                found = children[i];
        }
        std::free(tree);
        return found;
    }

    // Presses and releases the key of a keysym, as the user would.
    void press(uint32_t keysym)
    {
        const xcb_setup_t* setup = xcb_get_setup(x_);
        auto* map = xcb_get_keyboard_mapping_reply(
            x_, xcb_get_keyboard_mapping(x_, setup->min_keycode, uint8_t(setup->max_keycode - setup->min_keycode + 1)), nullptr);
        ASSERT_NE(map, nullptr);
        const xcb_keysym_t* symbols = xcb_get_keyboard_mapping_keysyms(map);
        const int perCode = map->keysyms_per_keycode;
        uint8_t code = 0;
        for (int i = 0; i < xcb_get_keyboard_mapping_keysyms_length(map); ++i) {
            if (symbols[i] == keysym) {
                code = uint8_t(setup->min_keycode + i / perCode);
                break;
            }
        }
        std::free(map);
        ASSERT_NE(code, 0) << "no key for " << keysym;
        xcb_test_fake_input(x_, XCB_KEY_PRESS, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_test_fake_input(x_, XCB_KEY_RELEASE, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_flush(x_);
        std::free(xcb_get_input_focus_reply(x_, xcb_get_input_focus(x_), nullptr));
    }

    // What a window manager sends when the user closes a window.
    void askToClose(xcb_window_t window)
    {
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = window;
        message.type = atom("WM_PROTOCOLS");
        message.data.data32[0] = atom("WM_DELETE_WINDOW");
        message.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(x_, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&message));
        xcb_flush(x_);
    }

    void listenForClicks(xcb_window_t window)
    {
        const uint32_t mask[] = {XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_BUTTON_PRESS};
        xcb_change_window_attributes(x_, window, XCB_CW_EVENT_MASK, mask);
        std::free(xcb_get_input_focus_reply(x_, xcb_get_input_focus(x_), nullptr));
    }

    // Whether a button press reached the window (other events are dropped).
    bool clickedIn(xcb_window_t window)
    {
        bool clicked = false;
        eventually([&] {
            while (xcb_generic_event_t* event = xcb_poll_for_event(x_)) {
                if ((event->response_type & 0x7f) == XCB_BUTTON_PRESS
                    && reinterpret_cast<xcb_button_press_event_t*>(event)->event == window)
                    clicked = true;
                std::free(event);
            }
            return clicked;
        }, 5s);
        return clicked;
    }

    bool grabKeyboard()
    {
        auto* reply = xcb_grab_keyboard_reply(
            x_, xcb_grab_keyboard(x_, 0, root_, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC), nullptr);
        bool grabbed = reply && reply->status == XCB_GRAB_STATUS_SUCCESS;
        std::free(reply);
        return grabbed;
    }

    // Whether another client holds the keyboard: the host's menu, once it
    // listens to the keys. Asking takes the keyboard for an instant when
    // nobody holds it.
    bool keyboardIsHeld()
    {
        auto* reply = xcb_grab_keyboard_reply(
            x_, xcb_grab_keyboard(x_, 0, root_, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC), nullptr);
        const bool held = reply && reply->status == XCB_GRAB_STATUS_ALREADY_GRABBED;
        if (reply && reply->status == XCB_GRAB_STATUS_SUCCESS)
            ungrabKeyboard();
        std::free(reply);
        return held;
    }

    void ungrabKeyboard()
    {
        xcb_ungrab_keyboard(x_, XCB_CURRENT_TIME);
        xcb_flush(x_);
    }

    void click(int x, int y)
    {
        xcb_test_fake_input(x_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root_, int16_t(x), int16_t(y), 0);
        xcb_test_fake_input(x_, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_test_fake_input(x_, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_flush(x_);
        std::free(xcb_get_input_focus_reply(x_, xcb_get_input_focus(x_), nullptr));
    }

private:
    xcb_connection_t* x_;
    xcb_window_t root_;
};

// A piped host of a bundle in a temporary folder, in the live session. Its
// shell writes its pid to shell.pid, then does what `shell` says; its death,
// link and opens logs are files there.
class LiveHost : public fixture::Host {
public:
    LiveHost(fixture::LiveSession& session, std::vector<std::string> shell, json descriptor = json::object())
    {
        bundle.writeInfoWithIdentifier(identifier, {{"CFBundleName", "Acme"}, {"CFBundleURLTypes", json::array({{{"CFBundleURLSchemes", {"acme"}}}})}});
        descriptor["log"] = file("death.jsonl");
        descriptor["links"] = file("links.jsonl");
        descriptor["opens"] = file("opens.jsonl");
        bundle.writeTestShellDescriptor("acme", descriptor);
        bundle.installHost();
        fixture::RunOptions options;
        options.arguments = {bundle.expand("ts:pid={root}/shell.pid")};
        for (const auto& argument : shell)
            options.arguments.push_back(bundle.expand(argument));
        start(session.withSession(options));
    }

    bool started() { return eventually([&] { return fixture::pidIn(file("shell.pid")) > 0; }); }
    std::vector<json> records(const std::string& kind) const
    {
        std::vector<json> found;
        for (const auto& record : fixture::readLines(file("death.jsonl"))) {
            if (record.value("kind", "") == kind)
                found.push_back(record);
        }
        return found;
    }

};

// A program of the session calling the host's application interface on the
// bus: from its place in the build, or from a copy inside the host's bundle.
std::unique_ptr<fixture::Started> callTheHost(fixture::LiveSession& session, LiveHost& host, std::vector<std::string> call,
                                               bool fromInsideTheBundle = false)
{
    std::string program = KESTRUNE_BUS_CALL;
    if (fromInsideTheBundle) {
        std::ifstream copied(program, std::ios::binary);
        std::stringstream bytes;
        bytes << copied.rdbuf();
        host.bundle.writeFile("Contents/Helpers/bus-call", bytes.str(), true);
        program = host.bundle.contents("Helpers/bus-call");
    }
    fixture::RunOptions options;
    options.arguments = {session.busAddress(), identifier};
    options.arguments.insert(options.arguments.end(), call.begin(), call.end());
    return std::make_unique<fixture::Started>(program, options, host.bundle.home());
}

// Whether a caller got its answer.
bool answered(fixture::Started& call)
{
    return eventually([&] { return call.out() == "answered\n" || call.ended(); }) && call.out() == "answered\n";
}

std::string badgeLine(pid_t pid, const std::string& text, int ms)
{
    return "ts:print=" + json({{"badge", {{"pid", pid}, {"text", text}, {"ms", ms}}}}).dump();
}

const std::string menuLine = "ts:print=" + json({{"menu", json::array({{{"kind", "header"}, {"title", "Acme"}}})}}).dump();

} // namespace

// --- Badges -----------------------------------------------------------------------

TEST(LiveWindows, ABadgeShowsOverTheWindowWithoutTakingTheFocusAndGoesAfterItsTime)
{
    SKIP_WITHOUT_A_LIVE_SESSION();
    fixture::LiveSession session;
    Screen screen(session);
    // The badge's application: a window of the test's own process, in front
    // with the focus.
    xcb_window_t target = screen.openWindow(getpid(), 100, 50, 800, 600);
    screen.focusOn(target);
    auto [left, top] = screen.originOf(target);
    // The badge goes centred, near the window's top; whether the window's
    // bounds count its frame or not, it lies in this band.
    const int bandX = left + 325, bandY = top, bandWidth = 150, bandHeight = 120;
    ASSERT_EQ(screen.darkPixelsIn(bandX, bandY, bandWidth, bandHeight), 0) << "the window is white before";

    LiveHost host(session, {menuLine, "ts:sleep=300", badgeLine(getpid(), "Copied", 2500), "ts:echo=60000:/dev/null"}, {{"menu", "child"}});
    ASSERT_TRUE(host.started()) << host.process->err();
    int shown = 0;
    EXPECT_TRUE(eventually([&] {
        shown = screen.darkPixelsIn(bandX, bandY, bandWidth, bandHeight);
        return shown > 150 * 34 / 2;
    })) << "dark pixels: " << shown << "\n" << host.process->err();
    EXPECT_EQ(screen.focus(), target) << "the badge never takes the focus";
    // A click on the badge reaches the window below it.
    int badgeRow = -1;
    for (int row = 0; row < bandHeight && badgeRow < 0; ++row) {
        if (screen.darkPixelsIn(bandX, bandY + row, bandWidth, 1) > bandWidth / 2)
            badgeRow = row + 17;
    }
    ASSERT_GE(badgeRow, 0);
    screen.listenForClicks(target);
    screen.click(bandX + bandWidth / 2, bandY + badgeRow);
    EXPECT_TRUE(screen.clickedIn(target)) << "clicks go through the badge";
    EXPECT_TRUE(eventually([&] { return screen.darkPixelsIn(bandX, bandY, bandWidth, bandHeight) == 0; }, 10s))
        << "gone after its time";
    EXPECT_FALSE(host.process->ended()) << host.process->err();
    EXPECT_EQ(fixture::liveDesktopTrouble(host.process->err()), "");
}

TEST(LiveWindows, BadgesForWindowsThatComeAndGoNeverHurtTheHost)
{
    SKIP_WITHOUT_A_LIVE_SESSION();
    fixture::LiveSession session;
    Screen screen(session);
    // The shell badges the test's windows again and again while the test
    // opens and closes them: some go between the host's look and its badge.
    std::vector<std::string> shell = {"ts:exit-on=15:0", menuLine};
    for (int i = 0; i < 150; ++i) {
        shell.push_back(badgeLine(getpid(), "Hi", 5));
        shell.push_back("ts:sleep=10");
    }
    shell.push_back("ts:forever");
    LiveHost host(session, shell, {{"menu", "child"}});
    ASSERT_TRUE(host.started()) << host.process->err();
    for (int i = 0; i < 60; ++i) {
        xcb_window_t window = screen.openWindow(getpid(), 50 + i, 50, 300, 200);
        screen.closeWindow(window);
    }
    // Still there to be asked to end, it ends as its shell does.
    EXPECT_FALSE(host.process->ended()) << host.process->err();
    host.process->signal(SIGTERM);
    auto run = host.process->wait(15s);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 0) << run.err;
}

// --- Requests over the bus ------------------------------------------------------------

TEST(LiveWindows, AQuitFromInsideTheBundleIsConfirmedInAnAlertOfTheHost)
{
    SKIP_WITHOUT_A_LIVE_SESSION();
    fixture::LiveSession session;
    Screen screen(session);
    LiveHost host(session, {"ts:exit-on=15:0", "ts:forever"});
    ASSERT_TRUE(host.started()) << host.process->err();

    struct Answer {
        const char* what;
        uint32_t key;   // or CLICK_CANCEL, or CLOSE
        std::size_t cancelled;
        bool quits;
    } answers[] = {
        {"Escape cancels", ESCAPE_KEY, 1, false},
        {"a click on Cancel cancels", CLICK_CANCEL, 2, false},
        {"closing the window cancels", CLOSE, 3, false},
        {"Return quits", RETURN_KEY, 3, true},
    };
    for (const auto& answer : answers) {
        SCOPED_TRACE(answer.what);
        auto call = callTheHost(session, host, {"action", "quit"}, true);
        xcb_window_t alert = XCB_WINDOW_NONE;
        ASSERT_TRUE(eventually([&] { return (alert = screen.alertOf(host.pid())) != XCB_WINDOW_NONE; })) << host.process->err();
        EXPECT_EQ(screen.text(alert, "WM_NAME"), "Acme");
        EXPECT_EQ(screen.text(alert, "_NET_WM_NAME"), "Acme");
        auto state = screen.cardinals(alert, "_NET_WM_STATE");
        EXPECT_NE(std::find(state.begin(), state.end(), screen.atom("_NET_WM_STATE_ABOVE")), state.end());
        // Activated: the keyboard's focus is in the alert.
        ASSERT_TRUE(eventually([&] { return screen.focus() == alert; })) << "focus " << screen.focus() << " alert " << alert;
        EXPECT_FALSE(call->ended()) << "the caller waits for the answer";
        if (answer.key == CLOSE) {
            screen.askToClose(alert);
        } else if (answer.key != CLICK_CANCEL) {
            screen.press(answer.key);
        } else {
            // The buttons sit in the lower right corner, the first one
            // ("Quit", at least 80 wide) rightmost and "Cancel" left of it.
            auto [left, top] = screen.originOf(alert);
            auto [width, height] = screen.sizeOf(alert);
            screen.click(left + width - 20 - 80 - 10 - 30, top + height - 20 - 14);
        }
        EXPECT_TRUE(answered(*call)) << call->out() << call->err();
        EXPECT_TRUE(eventually([&] { return screen.alertOf(host.pid()) == XCB_WINDOW_NONE; })) << "the alert goes";
        if (!answer.quits) {
            ASSERT_TRUE(eventually([&] { return host.records("quit-cancelled").size() == answer.cancelled; }));
            EXPECT_FALSE(host.process->ended());
        }
    }
    auto run = host.process->wait(15s);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 0) << run.err;
    auto confirmed = host.records("quit-confirmed");
    ASSERT_EQ(confirmed.size(), 1u);
    EXPECT_EQ(confirmed[0]["asker"], "own");
}

TEST(LiveWindows, AQuitFromAnotherProgramIsNotConfirmedAndOtherActionsAreRefused)
{
    SKIP_WITHOUT_A_LIVE_SESSION();
    fixture::LiveSession session;
    Screen screen(session);
    LiveHost host(session, {"ts:exit-on=15:0", "ts:forever"});
    ASSERT_TRUE(host.started()) << host.process->err();

    auto unknown = callTheHost(session, host, {"action", "new-window"});
    ASSERT_TRUE(eventually([&] { return unknown->ended(); }));
    EXPECT_EQ(unknown->out().rfind("error org.freedesktop.DBus.Error.NotSupported:", 0), 0u) << unknown->out() << unknown->err();
    EXPECT_FALSE(host.process->ended());

    auto quit = callTheHost(session, host, {"action", "quit"});
    EXPECT_TRUE(answered(*quit)) << quit->out();
    auto run = host.process->wait(15s);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 0) << run.err;
    auto confirmed = host.records("quit-confirmed");
    ASSERT_EQ(confirmed.size(), 1u);
    EXPECT_EQ(confirmed[0]["asker"], "outside");
    EXPECT_EQ(host.records("quit-cancelled").size(), 0u);
}

TEST(LiveWindows, OpenedURIsReachTheShellAsLinksFromTheirCaller)
{
    SKIP_WITHOUT_A_LIVE_SESSION();
    fixture::LiveSession session;
    LiveHost host(session, {"ts:echo=60000:{root}/heard"});
    ASSERT_TRUE(host.started()) << host.process->err();

    auto open = callTheHost(session, host, {"open", "acme://x", "acme://y/z"});
    ASSERT_TRUE(answered(*open)) << open->out() << host.process->err();
    const pid_t caller = open->pid();
    EXPECT_TRUE(eventually([&] { return textOf(host.file("heard")) == "{\"url\":\"acme://x\"}\n{\"url\":\"acme://y/z\"}\n"; }))
        << textOf(host.file("heard"));
    auto opens = fixture::readLines(host.file("opens.jsonl"));
    ASSERT_EQ(opens.size(), 2u);
    for (const auto& each : opens) {
        EXPECT_EQ(each["sender"]["pid"], caller) << each.dump();
        EXPECT_EQ(each["receiver"], identifier);
    }
    EXPECT_EQ(opens[0]["url"], "acme://x");

    // A reopen is answered too, and the host goes on.
    auto activate = callTheHost(session, host, {"activate"});
    EXPECT_TRUE(answered(*activate)) << activate->out();
    EXPECT_FALSE(host.process->ended()) << host.process->err();

    // The bus goes away: nothing more arrives, and the host runs on.
    session.stopBus();
    // It runs on: a swap asked for after that brings a new shell.
    const pid_t shell = fixture::pidIn(host.file("shell.pid"));
    host.process->signal(SIGHUP);
    EXPECT_TRUE(eventually([&] {
        const pid_t now = fixture::pidIn(host.file("shell.pid"));
        return now > 0 && now != shell;
    })) << host.process->err();
    EXPECT_FALSE(host.process->ended()) << host.process->err();
}

TEST(LiveWindows, AnIdentifierThatIsNoBusNameIsSaidOnceAndTheHostRuns)
{
    SKIP_WITHOUT_A_LIVE_SESSION();
    fixture::LiveSession session;
    fixture::Bundle bundle;
    bundle.writeInfoWithIdentifier("acme");
    bundle.writeTestShellDescriptor("acme");
    bundle.installHost();
    auto recorded = bundle.runRecorded(session.withSession());
    EXPECT_EQ(recorded.run.status, 0) << recorded.run.err;
    const std::string said = "the bundle identifier \"acme\" is no bus name";
    EXPECT_NE(recorded.run.err.find(said), std::string::npos) << recorded.run.err;
    EXPECT_EQ(recorded.run.err.find(said, recorded.run.err.find(said) + 1), std::string::npos) << recorded.run.err;
}

// --- The popped-up menu ----------------------------------------------------------------

TEST(LiveWindows, APoppedUpMenuIsPickedWithTheKeyboardOrDismissed)
{
    SKIP_WITHOUT_A_LIVE_SESSION();
    fixture::LiveSession session;
    Screen screen(session);
    const json rows = json::array({
        {{"kind", "header"}, {"title", "Acme"}},
        {{"id", "off"}, {"title", "Off"}},
        {{"id", "open"}, {"title", "Open…"}, {"enabled", true}, {"key", "⌘O"}},
        {{"kind", "separator"}},
        {{"id", "more"}, {"title", "More"}, {"enabled", true}, {"submenu", true}},
        {{"id", "deep"}, {"parent", "more"}, {"title", "Deep"}, {"enabled", true}},
    });
    LiveHost host(session, {"ts:print=" + json({{"menu", rows}}).dump(), "ts:echo=60000:{root}/heard"}, {{"menu", "child"}});
    ASSERT_TRUE(host.started()) << host.process->err();
    // A reopen request pops the menu up only once it is drawn.
    ASSERT_TRUE(eventually([&] { return !host.records("menu-drawn").empty(); })) << host.process->err();

    struct Case {
        const char* what;
        std::vector<uint32_t> keys;
        std::string heard;
    } cases[] = {
        {"Escape dismisses it", {ESCAPE_KEY}, ""},
        {"Down and Return pick the first enabled row", {DOWN_KEY, RETURN_KEY}, "{\"menu\":\"open\"}\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // A reopen request pops the drawn menu up.
        host.process->signal(SIGUSR1);
        xcb_window_t menu = XCB_WINDOW_NONE;
        ASSERT_TRUE(eventually([&] { return (menu = screen.unmanagedOfType("_NET_WM_WINDOW_TYPE_POPUP_MENU")) != XCB_WINDOW_NONE; }))
            << host.process->err();
        ASSERT_TRUE(eventually([&] { return screen.keyboardIsHeld(); })) << "the menu takes the keyboard";
        for (uint32_t key : c.keys)
            screen.press(key);
        EXPECT_TRUE(eventually([&] { return screen.unmanagedOfType("_NET_WM_WINDOW_TYPE_POPUP_MENU") == XCB_WINDOW_NONE; }))
            << "the menu closes";
        // What a dismissal would have picked shows in the next case's pick,
        // or in the last one below.
        EXPECT_TRUE(eventually([&] { return textOf(host.file("heard")) == c.heard; })) << textOf(host.file("heard"));
    }

    // A click outside dismisses it.
    host.process->signal(SIGUSR1);
    ASSERT_TRUE(eventually([&] { return screen.unmanagedOfType("_NET_WM_WINDOW_TYPE_POPUP_MENU") != XCB_WINDOW_NONE; }));
    screen.click(1200, 20);
    EXPECT_TRUE(eventually([&] { return screen.unmanagedOfType("_NET_WM_WINDOW_TYPE_POPUP_MENU") == XCB_WINDOW_NONE; }));
    EXPECT_EQ(textOf(host.file("heard")), "{\"menu\":\"open\"}\n");

    // Another program holds the keyboard: the menu is not shown, and that is
    // said; once it lets go the menu pops up again.
    ASSERT_TRUE(screen.grabKeyboard());
    host.process->signal(SIGUSR1);
    EXPECT_TRUE(host.process->waitForError("another program holds the pointer or the keyboard"));
    EXPECT_TRUE(eventually([&] { return screen.unmanagedOfType("_NET_WM_WINDOW_TYPE_POPUP_MENU") == XCB_WINDOW_NONE; }));
    screen.ungrabKeyboard();
    host.process->signal(SIGUSR1);
    ASSERT_TRUE(eventually([&] { return screen.unmanagedOfType("_NET_WM_WINDOW_TYPE_POPUP_MENU") != XCB_WINDOW_NONE; }));
    ASSERT_TRUE(eventually([&] { return screen.keyboardIsHeld(); }));
    screen.press(ESCAPE_KEY);
    EXPECT_TRUE(eventually([&] { return screen.unmanagedOfType("_NET_WM_WINDOW_TYPE_POPUP_MENU") == XCB_WINDOW_NONE; }));
    EXPECT_FALSE(host.process->ended()) << host.process->err();

    // A last pick comes right after the first: the click outside and the
    // Escapes picked nothing.
    host.process->signal(SIGUSR1);
    ASSERT_TRUE(eventually([&] { return screen.unmanagedOfType("_NET_WM_WINDOW_TYPE_POPUP_MENU") != XCB_WINDOW_NONE; }));
    ASSERT_TRUE(eventually([&] { return screen.keyboardIsHeld(); }));
    screen.press(DOWN_KEY);
    screen.press(RETURN_KEY);
    EXPECT_TRUE(eventually([&] { return textOf(host.file("heard")) == "{\"menu\":\"open\"}\n{\"menu\":\"open\"}\n"; }))
        << textOf(host.file("heard"));
}

TEST(LiveWindows, AMenuTallerThanTheScreenScrollsToItsLastRowsAndOpensItsSubmenus)
{
    SKIP_WITHOUT_A_LIVE_SESSION();
    fixture::LiveSession session;
    Screen screen(session);
    // As many rows as one argument of the shell holds (the kernel caps one
    // argument at 128 KiB): some 40 screens of them.
    json rows = json::array();
    for (int i = 0; i < 1500; ++i)
        rows.push_back({{"id", "r" + std::to_string(i)}, {"title", "Row " + std::to_string(i)}, {"enabled", true}});
    rows.push_back({{"id", "more"}, {"title", "More"}, {"enabled", true}, {"submenu", true}});
    rows.push_back({{"id", "deep"}, {"parent", "more"}, {"title", "Deep"}, {"enabled", true}});
    LiveHost host(session, {"ts:print=" + json({{"menu", rows}}).dump(), "ts:echo=60000:{root}/heard"}, {{"menu", "child"}});
    ASSERT_TRUE(host.started()) << host.process->err();
    // A reopen request pops the menu up only once it is drawn.
    ASSERT_TRUE(eventually([&] { return !host.records("menu-drawn").empty(); })) << host.process->err();

    struct Case {
        const char* what;
        std::vector<uint32_t> keys;
        std::string heard;
    } cases[] = {
        // Up from no row goes to the last one: the submenu's row.
        {"the submenu opened with the right arrow", {UP_KEY, RIGHT_KEY, RETURN_KEY}, "{\"menu\":\"deep\"}\n"},
        {"the last row of the long menu", {UP_KEY, UP_KEY, RETURN_KEY}, "{\"menu\":\"deep\"}\n{\"menu\":\"r1499\"}\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        host.process->signal(SIGUSR1);
        xcb_window_t menu = XCB_WINDOW_NONE;
        ASSERT_TRUE(eventually([&] { return (menu = screen.unmanagedOfType("_NET_WM_WINDOW_TYPE_POPUP_MENU")) != XCB_WINDOW_NONE; }))
            << host.process->err();
        ASSERT_TRUE(eventually([&] { return screen.keyboardIsHeld(); })) << "the menu takes the keyboard";
        auto [width, height] = screen.sizeOf(menu);
        EXPECT_LE(height, 800) << "no taller than the screen";
        auto [left, top] = screen.originOf(menu);
        EXPECT_GE(top, 0);
        EXPECT_LE(left + width, 1280);
        for (uint32_t key : c.keys)
            screen.press(key);
        EXPECT_TRUE(eventually([&] { return textOf(host.file("heard")) == c.heard; })) << textOf(host.file("heard"));
        EXPECT_TRUE(eventually([&] { return screen.unmanagedOfType("_NET_WM_WINDOW_TYPE_POPUP_MENU") == XCB_WINDOW_NONE; }));
    }
    EXPECT_FALSE(host.process->ended()) << host.process->err();
}
