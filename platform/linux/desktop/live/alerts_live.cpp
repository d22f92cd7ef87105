#include "platform/linux/desktop/live/alerts_live.h"

#include "platform/linux/desktop/live/drawing.h"
#include "platform/linux/desktop/live/keyboard.h"
#include "platform/main_queue.h"
#include "platform/standard_error.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>

namespace platform {

namespace {

constexpr int ALERT_WIDTH = 420;
constexpr int PADDING = 20;
constexpr int BUTTON_HEIGHT = 28;
constexpr int BUTTON_GAP = 10;
constexpr int BUTTON_MIN_WIDTH = 80;
constexpr double MESSAGE_SIZE = 14;
constexpr double INFORMATIVE_SIZE = 12;
constexpr double BUTTON_TEXT_SIZE = 13;
// Buttons beyond these are not drawn; they can still be chosen by nobody.
constexpr std::size_t BUTTON_LIMIT = 8;
// How long one wait for the next event lasts before the connection's
// health is looked at again.
constexpr int WAIT_MS = 250;

const Colour backgroundColour{0.93, 0.93, 0.93, 1};
const Colour ink{0.11, 0.11, 0.12, 1};
const Colour frameColour{0.7, 0.7, 0.72, 1};
const Colour accent{0.16, 0.45, 0.9, 1};
const Colour white{1, 1, 1, 1};

struct ButtonBox {
    int x = 0, y = 0, width = 0, height = 0;
    bool contains(int px, int py) const { return px >= x && px < x + width && py >= y && py < y + height; }
};

// The name the alert's window carries: the application's, else the
// program's.
std::string nameOf(const DesktopIdentity& identity)
{
    if (identity.localizedName && !identity.localizedName->empty())
        return *identity.localizedName;
    return program_invocation_short_name;
}

} // namespace

struct LiveAlerts::Shown {
    const Alert* alert = nullptr;
    std::vector<std::string> buttons;
    xcb_window_t window = XCB_WINDOW_NONE;
    int width = ALERT_WIDTH, height = 0;
    double messageHeight = 0, informativeHeight = 0;
    std::vector<ButtonBox> boxes;
    std::optional<int> pressed;   // the button under a press not yet released
    std::optional<int> answer;
    bool mapped = false;
    bool focused = false;
};

LiveAlerts::LiveAlerts(XConnection& x, const DesktopIdentity& identity)
    : x_(x)
    , name_(nameOf(identity))
{
    x_.onEvent(XCB_EXPOSE, [this](const xcb_generic_event_t& event) {
        const auto& expose = reinterpret_cast<const xcb_expose_event_t&>(event);
        if (Shown* shown = shownWith(expose.window); shown && expose.count == 0)
            draw(*shown);
    });
    x_.onEvent(XCB_MAP_NOTIFY, [this](const xcb_generic_event_t& event) {
        const auto& map = reinterpret_cast<const xcb_map_notify_event_t&>(event);
        if (Shown* shown = shownWith(map.window))
            shown->mapped = true;
    });
    x_.onEvent(XCB_KEY_PRESS, [this](const xcb_generic_event_t& event) {
        const auto& press = reinterpret_cast<const xcb_key_press_event_t&>(event);
        Shown* shown = shownWith(press.event);
        if (!shown)
            return;
        KeyboardMap keyboard(x_);
        uint32_t symbol = keyboard.symbolOf(press);
        if (symbol == keysym::RETURN || symbol == keysym::KEYPAD_ENTER)
            shown->answer = 0;
        else if (symbol == keysym::ESCAPE)
            shown->answer = cancelButtonOf(shown->buttons);
    });
    x_.onEvent(XCB_BUTTON_PRESS, [this](const xcb_generic_event_t& event) {
        const auto& press = reinterpret_cast<const xcb_button_press_event_t&>(event);
        Shown* shown = shownWith(press.event);
        if (!shown || press.detail != 1)
            return;
        shown->pressed.reset();
        for (std::size_t i = 0; i < shown->boxes.size(); ++i) {
            if (shown->boxes[i].contains(press.event_x, press.event_y))
                shown->pressed = int(i);
        }
    });
    x_.onEvent(XCB_BUTTON_RELEASE, [this](const xcb_generic_event_t& event) {
        const auto& release = reinterpret_cast<const xcb_button_release_event_t&>(event);
        Shown* shown = shownWith(release.event);
        if (!shown || release.detail != 1 || !shown->pressed)
            return;
        // A click is a press and a release on the same button.
        if (shown->boxes[std::size_t(*shown->pressed)].contains(release.event_x, release.event_y))
            shown->answer = *shown->pressed;
        shown->pressed.reset();
    });
    x_.onEvent(XCB_CLIENT_MESSAGE, [this](const xcb_generic_event_t& event) {
        const auto& message = reinterpret_cast<const xcb_client_message_event_t&>(event);
        Shown* shown = shownWith(message.window);
        if (shown && message.format == 32 && message.type == x_.ewmh().WM_PROTOCOLS
            && message.data.data32[0] == x_.atom("WM_DELETE_WINDOW"))
            shown->answer = cancelButtonOf(shown->buttons);
    });
    x_.onEvent(XCB_DESTROY_NOTIFY, [this](const xcb_generic_event_t& event) {
        const auto& destroyed = reinterpret_cast<const xcb_destroy_notify_event_t&>(event);
        if (Shown* shown = shownWith(destroyed.window); shown && !shown->answer) {
            // Somebody else destroyed it (a kill from the window manager).
            shown->window = XCB_WINDOW_NONE;
            shown->answer = cancelButtonOf(shown->buttons);
        }
    });
}

int LiveAlerts::cancelButtonOf(const std::vector<std::string>& buttons)
{
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        if (buttons[i] == "Cancel")
            return int(i);
    }
    return int(buttons.size()) - 1;
}

LiveAlerts::Shown* LiveAlerts::shownWith(xcb_window_t window)
{
    for (Shown* shown : shown_) {
        if (shown->window == window && window != XCB_WINDOW_NONE)
            return shown;
    }
    return nullptr;
}

int LiveAlerts::runModalAlert(const Alert& alert)
{
    assertOnTheMainThread("runModalAlert");
    if (!x_.healthy())
        return HeadlessAlerts::runModalAlert(alert);
    Shown shown;
    shown.alert = &alert;
    shown.buttons = alert.buttons.empty() ? std::vector<std::string>{"OK"} : alert.buttons;

    // The layout, measured before the window is made.
    {
        cairo_surface_t* scratch = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
        cairo_t* cr = cairo_create(scratch);
        const double textWidth = ALERT_WIDTH - 2 * PADDING;
        shown.messageHeight = TextLayout(cr, alert.messageText, MESSAGE_SIZE, FONT_WEIGHT_BOLD, textWidth, true).height();
        if (!alert.informativeText.empty())
            shown.informativeHeight =
                TextLayout(cr, alert.informativeText, INFORMATIVE_SIZE, FONT_WEIGHT_REGULAR, textWidth, true).height();
        int right = ALERT_WIDTH - PADDING;
        int top = PADDING + int(shown.messageHeight) + 8 + int(shown.informativeHeight) + PADDING;
        // The first button is the rightmost, the others follow leftwards.
        for (std::size_t i = 0; i < std::min(shown.buttons.size(), BUTTON_LIMIT); ++i) {
            int width = std::max(
                BUTTON_MIN_WIDTH,
                int(TextLayout(cr, shown.buttons[i], BUTTON_TEXT_SIZE, FONT_WEIGHT_REGULAR, 200).width()) + 32);
            shown.boxes.push_back({right - width, top, width, BUTTON_HEIGHT});
            right -= width + BUTTON_GAP;
        }
        shown.height = top + BUTTON_HEIGHT + PADDING;
        cairo_destroy(cr);
        cairo_surface_destroy(scratch);
    }

    auto* connection = x_.connection();
    ScreenArea screen = firstScreenOf(x_);
    const int left = screen.x + std::max(0, (screen.width - shown.width) / 2);
    const int top = screen.y + std::max(0, (screen.height - shown.height) / 2);
    shown.window = xcb_generate_id(connection);
    const uint32_t values[] = {x_.screen()->white_pixel,
                               XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_BUTTON_PRESS
                                   | XCB_EVENT_MASK_BUTTON_RELEASE | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
    auto made = xcb_create_window_checked(connection, XCB_COPY_FROM_PARENT, shown.window, x_.root(), int16_t(left),
                                          int16_t(top), uint16_t(shown.width), uint16_t(shown.height), 0,
                                          XCB_WINDOW_CLASS_INPUT_OUTPUT, x_.screen()->root_visual,
                                          XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
    if (auto* error = xcb_request_check(connection, made)) {
        std::free(error);
        x_.dispatchSoon();
        sayOnStandardError("live desktop: an alert's window could not be made; it is answered with its first button");
        return HeadlessAlerts::runModalAlert(alert);
    }

    auto& ewmh = x_.ewmh();
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, shown.window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        uint32_t(name_.size()), name_.data());
    xcb_ewmh_set_wm_name(&ewmh, shown.window, uint32_t(name_.size()), name_.data());
    const std::string wmClass = name_ + '\0' + name_ + '\0';
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, shown.window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                        uint32_t(wmClass.size()), wmClass.data());
    xcb_ewmh_set_wm_pid(&ewmh, shown.window, uint32_t(getpid()));
    xcb_atom_t type = ewmh._NET_WM_WINDOW_TYPE_DIALOG;
    xcb_ewmh_set_wm_window_type(&ewmh, shown.window, 1, &type);
    xcb_atom_t state = ewmh._NET_WM_STATE_ABOVE;
    xcb_ewmh_set_wm_state(&ewmh, shown.window, 1, &state);
    xcb_atom_t protocols[] = {x_.atom("WM_DELETE_WINDOW")};
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, shown.window, ewmh.WM_PROTOCOLS, XCB_ATOM_ATOM, 32, 1,
                        protocols);
    // It takes the keyboard: the input hint set.
    const uint32_t hints[9] = {1, 1, 0, 0, 0, 0, 0, 0, 0};
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, shown.window, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, 32, 9,
                        hints);
    // Where it goes, and that its size is fixed (WM_NORMAL_HINTS: program
    // position and size, minimum and maximum).
    uint32_t sizeHints[18] = {};
    sizeHints[0] = (1u << 2) | (1u << 3) | (1u << 4) | (1u << 5);
    sizeHints[1] = uint32_t(left);
    sizeHints[2] = uint32_t(top);
    sizeHints[3] = sizeHints[5] = sizeHints[7] = uint32_t(shown.width);
    sizeHints[4] = sizeHints[6] = sizeHints[8] = uint32_t(shown.height);
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, shown.window, XCB_ATOM_WM_NORMAL_HINTS,
                        XCB_ATOM_WM_SIZE_HINTS, 32, 18, sizeHints);

    shown_.push_back(&shown);
    xcb_map_window(connection, shown.window);
    x_.flush();

    bool broke = false;
    while (!shown.answer) {
        if (!x_.dispatchNext(WAIT_MS) && !x_.healthy()) {
            broke = true;
            break;
        }
        if (shown.mapped && !shown.focused && !shown.answer && shown.window != XCB_WINDOW_NONE) {
            // Activated, as an alert of the front application is: the
            // window manager is asked to raise and focus it, and the focus
            // is set in case there is none.
            shown.focused = true;
            xcb_ewmh_request_change_active_window(&ewmh, 0, shown.window, XCB_EWMH_CLIENT_SOURCE_TYPE_OTHER,
                                                  XCB_CURRENT_TIME, XCB_WINDOW_NONE);
            auto focus = xcb_set_input_focus_checked(connection, XCB_INPUT_FOCUS_PARENT, shown.window, XCB_CURRENT_TIME);
            std::free(xcb_request_check(connection, focus));
            x_.flush();
        }
    }
    shown_.erase(std::find(shown_.begin(), shown_.end(), &shown));
    if (broke)
        return HeadlessAlerts::runModalAlert(alert);
    if (shown.window != XCB_WINDOW_NONE) {
        xcb_destroy_window(connection, shown.window);
        x_.flush();
    }
    return *shown.answer;
}

void LiveAlerts::draw(Shown& shown)
{
    if (!x_.healthy())
        return;
    xcb_visualtype_t* visual = rootVisualOf(x_.screen());
    if (!visual)
        return;
    {
        WindowPainter painter(x_, shown.window, visual, shown.width, shown.height);
        cairo_t* cr = painter.cr();
        setColour(cr, backgroundColour);
        cairo_paint(cr);
        const double textWidth = shown.width - 2 * PADDING;
        TextLayout message(cr, shown.alert->messageText, MESSAGE_SIZE, FONT_WEIGHT_BOLD, textWidth, true);
        message.show(cr, PADDING, PADDING, ink);
        if (!shown.alert->informativeText.empty()) {
            TextLayout informative(cr, shown.alert->informativeText, INFORMATIVE_SIZE, FONT_WEIGHT_REGULAR, textWidth,
                                   true);
            informative.show(cr, PADDING, PADDING + shown.messageHeight + 8, ink);
        }
        for (std::size_t i = 0; i < shown.boxes.size(); ++i) {
            const ButtonBox& box = shown.boxes[i];
            const bool isDefault = i == 0;
            roundedRectangle(cr, box.x + 0.5, box.y + 0.5, box.width - 1, box.height - 1, 6);
            setColour(cr, isDefault ? accent : white);
            cairo_fill_preserve(cr);
            setColour(cr, isDefault ? accent : frameColour);
            cairo_set_line_width(cr, 1);
            cairo_stroke(cr);
            TextLayout label(cr, shown.buttons[i], BUTTON_TEXT_SIZE, FONT_WEIGHT_REGULAR, box.width);
            label.centre();
            label.show(cr, box.x, box.y + (box.height - label.height()) / 2, isDefault ? white : ink);
        }
    }
    x_.flush();
}

} // namespace platform
