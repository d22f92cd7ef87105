#include "platform/linux/desktop/live/pop_up_menu.h"

#include "platform/linux/desktop/live/drawing.h"
#include "platform/linux/desktop/live/keyboard.h"
#include "platform/main_queue.h"
#include "platform/standard_error.h"

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <set>

namespace platform {

namespace {

constexpr int ROW_HEIGHT = 22;
constexpr int SEPARATOR_HEIGHT = 11;
constexpr int PADDING = 5;
constexpr int TEXT_LEFT = 18;
constexpr int TEXT_RIGHT = 14;
constexpr int KEY_GAP = 24;
constexpr int ARROW_COLUMN = 16;
constexpr int MIN_WIDTH = 160;
constexpr int MAX_WIDTH = 480;
constexpr double TEXT_SIZE = 13;
// The widest row is looked for among this many: a menu of thousands of
// rows is laid out in the time of a short one.
constexpr std::size_t MEASURED_ROWS = 512;
// Submenus open at most this deep.
constexpr std::size_t DEPTH_LIMIT = 16;
// A grab another client holds is asked for again, this far apart, for this
// long.
constexpr int GRAB_PAUSE_MS = 50;
constexpr auto GRAB_PATIENCE = std::chrono::seconds(1);
constexpr int WAIT_MS = 250;
constexpr int SCROLL_STEP = 3 * ROW_HEIGHT;

const Colour menuColour{0.97, 0.97, 0.97, 1};
const Colour frameColour{0.62, 0.62, 0.64, 1};
const Colour lineColour{0.82, 0.82, 0.84, 1};
const Colour ink{0.11, 0.11, 0.12, 1};
const Colour dimInk{0.6, 0.6, 0.62, 1};
const Colour accent{0.16, 0.45, 0.9, 1};
const Colour white{1, 1, 1, 1};

// Whether a row can be highlighted and acted on: AppKit's autoenabling
// greys out items that would do nothing.
bool enabledRow(const Menu& menu, const MenuItem& item)
{
    if (item.separator || !item.enabled)
        return false;
    return item.hasAction || item.submenu || !menu.autoenablesItems;
}

// Whether picking a row reaches the host.
bool pickableRow(const Menu& menu, const MenuItem& item)
{
    return enabledRow(menu, item) && item.hasAction && !item.submenu;
}

// The key equivalent as the menu shows it: modifier glyphs, then the key.
std::string keyHintOf(const MenuItem& item)
{
    if (item.keyEquivalent.empty() || item.keyEquivalent.size() > 16)
        return {};
    std::string hint;
    const uint64_t mask = item.keyEquivalentModifierMask;
    if (mask & MODIFIER_CONTROL)
        hint += "\u2303";
    if (mask & MODIFIER_OPTION)
        hint += "\u2325";
    bool shifted = mask & MODIFIER_SHIFT;
    std::string key = item.keyEquivalent;
    if (key.size() == 1 && key[0] >= 'A' && key[0] <= 'Z')
        shifted = true;
    if (shifted)
        hint += "\u21e7";
    if (mask & MODIFIER_COMMAND)
        hint += "\u2318";
    for (auto& c : key)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return hint + key;
}

// One open menu: the top one, or a submenu opened from the level before.
struct Level {
    const Menu* menu = nullptr;
    std::vector<int> path;              // of the row that opened it
    xcb_window_t window = XCB_WINDOW_NONE;
    int x = 0, y = 0, width = 0, height = 0;
    std::vector<int> tops;              // each row's top in the content, and its end
    int scroll = 0;                     // the content's offset at the window's top
    int highlighted = -1;

    int contentHeight() const { return tops.back(); }
    int visibleHeight() const { return height - 2 * PADDING; }
    bool contains(int rootX, int rootY) const
    {
        return rootX >= x && rootX < x + width && rootY >= y && rootY < y + height;
    }
    // The row at a height of the window; -1 for none.
    int rowAt(int windowY) const
    {
        int contentY = windowY - PADDING + scroll;
        if (contentY < 0 || contentY >= contentHeight())
            return -1;
        auto after = std::upper_bound(tops.begin(), tops.end(), contentY);
        return int(after - tops.begin()) - 1;
    }
};

class MenuSession {
public:
    MenuSession(XConnection& x, const Menu& menu)
        : x_(x)
        , menu_(menu)
        , keyboard_(x)
        , visual_(rootVisualOf(x.screen()))
    {
        scratch_ = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
        measure_ = cairo_create(scratch_);
    }

    ~MenuSession()
    {
        closeFrom(0);
        cairo_destroy(measure_);
        cairo_surface_destroy(scratch_);
    }

    std::optional<std::vector<int>> run(Point location);

    void expose(const xcb_expose_event_t& expose);
    void key(const xcb_key_press_event_t& press);
    void motion(int rootX, int rootY);
    void press(const xcb_button_press_event_t& press);
    void release(const xcb_button_release_event_t& release);

private:
    bool open(const Menu& menu, std::vector<int> path, int x, int y, int avoidLeft);
    void closeFrom(std::size_t depth);
    void openSubmenuOf(std::size_t depth, bool highlightFirst);
    void draw(Level& level);
    void highlight(std::size_t depth, int row);
    void moveHighlight(int direction);
    void scrollTo(Level& level, int scroll);
    void act(std::size_t depth, int row, bool fromKeyboard);
    // The deepest level under a root point; -1 for none.
    int levelAt(int rootX, int rootY) const;
    bool grab();

    XConnection& x_;
    const Menu& menu_;
    KeyboardMap keyboard_;
    xcb_visualtype_t* visual_;
    cairo_surface_t* scratch_ = nullptr;
    cairo_t* measure_ = nullptr;
    std::vector<std::unique_ptr<Level>> levels_;
    ScreenArea bounds_;
    bool pressedInside_ = false;
    bool done_ = false;
    std::optional<std::vector<int>> picked_;
};

MenuSession* current = nullptr;
// The connections whose events reach the session: handlers are added once.
std::set<XConnection*> listening;

void listenTo(XConnection& x)
{
    if (!listening.insert(&x).second)
        return;
    x.onEvent(XCB_EXPOSE, [](const xcb_generic_event_t& event) {
        if (current)
            current->expose(reinterpret_cast<const xcb_expose_event_t&>(event));
    });
    x.onEvent(XCB_KEY_PRESS, [](const xcb_generic_event_t& event) {
        if (current)
            current->key(reinterpret_cast<const xcb_key_press_event_t&>(event));
    });
    x.onEvent(XCB_MOTION_NOTIFY, [](const xcb_generic_event_t& event) {
        const auto& motion = reinterpret_cast<const xcb_motion_notify_event_t&>(event);
        if (current)
            current->motion(motion.root_x, motion.root_y);
    });
    x.onEvent(XCB_BUTTON_PRESS, [](const xcb_generic_event_t& event) {
        if (current)
            current->press(reinterpret_cast<const xcb_button_press_event_t&>(event));
    });
    x.onEvent(XCB_BUTTON_RELEASE, [](const xcb_generic_event_t& event) {
        if (current)
            current->release(reinterpret_cast<const xcb_button_release_event_t&>(event));
    });
}

std::optional<std::vector<int>> MenuSession::run(Point location)
{
    if (!visual_)
        return std::nullopt;
    bounds_ = {0, 0, x_.screen()->width_in_pixels, x_.screen()->height_in_pixels};
    int atX = 0, atY = 0;
    toX(location, firstScreenOf(x_).height, atX, atY);
    if (!open(menu_, {}, atX, atY, -1))
        return std::nullopt;
    if (!grab())
        return std::nullopt;
    while (!done_) {
        if (!x_.dispatchNext(WAIT_MS) && !x_.healthy())
            return std::nullopt;
    }
    return picked_;
}

bool MenuSession::grab()
{
    auto* connection = x_.connection();
    const xcb_window_t window = levels_.front()->window;
    bool pointer = false, keyboard = false;
    const auto giveUpAt = std::chrono::steady_clock::now() + GRAB_PATIENCE;
    for (bool first = true; !(pointer && keyboard) && (first || std::chrono::steady_clock::now() < giveUpAt); first = false) {
        if (!first) {
            // Another client holds the pointer or the keyboard (a menu of
            // its own, a drag): its grab may end soon.
            x_.dispatchNext(GRAB_PAUSE_MS);
            if (!x_.healthy())
                return false;
        }
        if (!pointer) {
            auto cookie = xcb_grab_pointer(connection, 0, window,
                                           XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE
                                               | XCB_EVENT_MASK_POINTER_MOTION,
                                           XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC, XCB_NONE, XCB_NONE,
                                           XCB_CURRENT_TIME);
            if (auto* reply = xcb_grab_pointer_reply(connection, cookie, nullptr)) {
                pointer = reply->status == XCB_GRAB_STATUS_SUCCESS;
                std::free(reply);
            }
        }
        if (!keyboard) {
            auto cookie = xcb_grab_keyboard(connection, 0, window, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC,
                                            XCB_GRAB_MODE_ASYNC);
            if (auto* reply = xcb_grab_keyboard_reply(connection, cookie, nullptr)) {
                keyboard = reply->status == XCB_GRAB_STATUS_SUCCESS;
                std::free(reply);
            }
        }
        x_.dispatchSoon();
    }
    if (pointer && keyboard)
        return true;
    if (pointer)
        xcb_ungrab_pointer(connection, XCB_CURRENT_TIME);
    if (keyboard)
        xcb_ungrab_keyboard(connection, XCB_CURRENT_TIME);
    static bool said = false;
    if (!said && x_.healthy())
        sayOnStandardError("live desktop: another program holds the pointer or the keyboard; the menu was not popped up");
    said = true;
    return false;
}

bool MenuSession::open(const Menu& menu, std::vector<int> path, int atX, int atY, int avoidLeft)
{
    auto level = std::make_unique<Level>();
    level->menu = &menu;
    level->path = std::move(path);
    level->tops.reserve(menu.items.size() + 1);
    int top = 0;
    int widest = 0;
    bool anySubmenu = false;
    for (std::size_t i = 0; i < menu.items.size(); ++i) {
        const MenuItem& item = menu.items[i];
        level->tops.push_back(top);
        top += item.separator ? SEPARATOR_HEIGHT : ROW_HEIGHT;
        anySubmenu = anySubmenu || item.submenu.has_value();
        if (i < MEASURED_ROWS && !item.separator) {
            int width = int(TextLayout(measure_, item.title, TEXT_SIZE, FONT_WEIGHT_REGULAR).width());
            if (std::string hint = keyHintOf(item); !hint.empty())
                width += KEY_GAP + int(TextLayout(measure_, hint, TEXT_SIZE, FONT_WEIGHT_REGULAR).width());
            widest = std::max(widest, width);
        }
    }
    level->tops.push_back(top);
    level->width = std::clamp(TEXT_LEFT + widest + TEXT_RIGHT + (anySubmenu ? ARROW_COLUMN : 0), MIN_WIDTH, MAX_WIDTH);
    level->width = std::min(level->width, std::max(1, bounds_.width));
    // A menu taller than the screen shows what fits and scrolls.
    level->height = std::clamp(top + 2 * PADDING, 2 * PADDING + 1, std::max(2 * PADDING + 1, bounds_.height));

    // On screen: shifted left at the right edge (or, for a submenu, opened
    // to the left of its menu), flipped above the point at the bottom.
    const int right = bounds_.x + bounds_.width, bottom = bounds_.y + bounds_.height;
    int x = atX, y = atY;
    if (x + level->width > right)
        x = avoidLeft >= 0 && avoidLeft - level->width >= bounds_.x ? avoidLeft - level->width : right - level->width;
    x = std::max(x, bounds_.x);
    if (y + level->height > bottom)
        y = avoidLeft < 0 && atY - level->height >= bounds_.y ? atY - level->height : bottom - level->height;
    y = std::max(y, bounds_.y);
    level->x = x;
    level->y = y;

    auto* connection = x_.connection();
    level->window = xcb_generate_id(connection);
    const uint32_t values[] = {x_.screen()->white_pixel, 1, XCB_EVENT_MASK_EXPOSURE};
    auto made = xcb_create_window_checked(connection, XCB_COPY_FROM_PARENT, level->window, x_.root(), int16_t(x),
                                          int16_t(y), uint16_t(level->width), uint16_t(level->height), 0,
                                          XCB_WINDOW_CLASS_INPUT_OUTPUT, x_.screen()->root_visual,
                                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    if (auto* error = xcb_request_check(connection, made)) {
        std::free(error);
        x_.dispatchSoon();
        return false;
    }
    auto& ewmh = x_.ewmh();
    xcb_atom_t type = ewmh._NET_WM_WINDOW_TYPE_POPUP_MENU;
    xcb_ewmh_set_wm_window_type(&ewmh, level->window, 1, &type);
    xcb_map_window(connection, level->window);
    const uint32_t above[] = {XCB_STACK_MODE_ABOVE};
    xcb_configure_window(connection, level->window, XCB_CONFIG_WINDOW_STACK_MODE, above);
    levels_.push_back(std::move(level));
    x_.flush();
    return true;
}

void MenuSession::closeFrom(std::size_t depth)
{
    bool closed = false;
    while (levels_.size() > depth) {
        if (x_.healthy())
            xcb_destroy_window(x_.connection(), levels_.back()->window);
        levels_.pop_back();
        closed = true;
    }
    if (closed)
        x_.flush();
}

void MenuSession::openSubmenuOf(std::size_t depth, bool highlightFirst)
{
    Level& level = *levels_[depth];
    if (level.highlighted < 0 || depth + 1 >= DEPTH_LIMIT)
        return;
    const MenuItem& item = level.menu->items[std::size_t(level.highlighted)];
    if (!item.submenu || !enabledRow(*level.menu, item))
        return;
    if (levels_.size() > depth + 1 && levels_[depth + 1]->path.back() == level.highlighted) {
        if (!highlightFirst)
            return;
    } else {
        closeFrom(depth + 1);
        std::vector<int> path = level.path;
        path.push_back(level.highlighted);
        const int rowY = level.y + PADDING + level.tops[std::size_t(level.highlighted)] - level.scroll - PADDING;
        if (!open(*item.submenu, path, level.x + level.width - 3, rowY, level.x + 3))
            return;
    }
    if (highlightFirst) {
        Level& sub = *levels_[depth + 1];
        for (std::size_t i = 0; i < sub.menu->items.size(); ++i) {
            if (enabledRow(*sub.menu, sub.menu->items[i])) {
                highlight(depth + 1, int(i));
                break;
            }
        }
    }
}

void MenuSession::highlight(std::size_t depth, int row)
{
    Level& level = *levels_[depth];
    if (row >= 0 && !enabledRow(*level.menu, level.menu->items[std::size_t(row)]))
        row = -1;
    if (level.highlighted == row)
        return;
    level.highlighted = row;
    if (row >= 0) {
        // Scrolled into view.
        const int rowTop = level.tops[std::size_t(row)], rowBottom = level.tops[std::size_t(row) + 1];
        if (rowTop < level.scroll)
            level.scroll = rowTop;
        else if (rowBottom > level.scroll + level.visibleHeight())
            level.scroll = rowBottom - level.visibleHeight();
    }
    draw(level);
}

void MenuSession::scrollTo(Level& level, int scroll)
{
    scroll = std::clamp(scroll, 0, std::max(0, level.contentHeight() - level.visibleHeight()));
    if (scroll == level.scroll)
        return;
    level.scroll = scroll;
    draw(level);
}

void MenuSession::moveHighlight(int direction)
{
    const std::size_t depth = levels_.size() - 1;
    Level& level = *levels_[depth];
    const int count = int(level.menu->items.size());
    int row = level.highlighted;
    if (row < 0)
        row = direction > 0 ? -1 : count;
    for (int next = row + direction; next >= 0 && next < count; next += direction) {
        if (enabledRow(*level.menu, level.menu->items[std::size_t(next)])) {
            closeFrom(depth + 1);
            highlight(depth, next);
            return;
        }
    }
}

void MenuSession::act(std::size_t depth, int row, bool fromKeyboard)
{
    Level& level = *levels_[depth];
    if (row < 0)
        return;
    const MenuItem& item = level.menu->items[std::size_t(row)];
    if (item.submenu) {
        if (fromKeyboard)
            openSubmenuOf(depth, true);
        return;
    }
    if (!pickableRow(*level.menu, item))
        return;
    std::vector<int> path = level.path;
    path.push_back(row);
    picked_ = std::move(path);
    done_ = true;
}

int MenuSession::levelAt(int rootX, int rootY) const
{
    for (int i = int(levels_.size()) - 1; i >= 0; --i) {
        if (levels_[std::size_t(i)]->contains(rootX, rootY))
            return i;
    }
    return -1;
}

void MenuSession::expose(const xcb_expose_event_t& expose)
{
    if (expose.count != 0)
        return;
    for (auto& level : levels_) {
        if (level->window == expose.window)
            draw(*level);
    }
}

void MenuSession::key(const xcb_key_press_event_t& press)
{
    if (done_ || levels_.empty())
        return;
    const std::size_t depth = levels_.size() - 1;
    Level& level = *levels_[depth];
    switch (keyboard_.symbolOf(press)) {
    case keysym::DOWN: moveHighlight(1); break;
    case keysym::UP: moveHighlight(-1); break;
    case keysym::HOME: level.highlighted = -1; moveHighlight(1); break;
    case keysym::END: level.highlighted = -1; moveHighlight(-1); break;
    case keysym::PAGE_DOWN: scrollTo(level, level.scroll + level.visibleHeight()); break;
    case keysym::PAGE_UP: scrollTo(level, level.scroll - level.visibleHeight()); break;
    case keysym::RIGHT: openSubmenuOf(depth, true); break;
    case keysym::LEFT:
        if (depth > 0)
            closeFrom(depth);
        break;
    case keysym::RETURN:
    case keysym::KEYPAD_ENTER:
    case keysym::SPACE: act(depth, level.highlighted, true); break;
    case keysym::ESCAPE: done_ = true; break;
    default: break;
    }
}

void MenuSession::motion(int rootX, int rootY)
{
    if (done_ || levels_.empty())
        return;
    int depth = levelAt(rootX, rootY);
    if (depth < 0) {
        // Off every menu: the deepest one's highlight goes.
        highlight(levels_.size() - 1, -1);
        return;
    }
    Level& level = *levels_[std::size_t(depth)];
    int row = level.rowAt(rootY - level.y);
    highlight(std::size_t(depth), row);
    if (level.highlighted >= 0 && level.menu->items[std::size_t(level.highlighted)].submenu)
        openSubmenuOf(std::size_t(depth), false);
    else
        closeFrom(std::size_t(depth) + 1);
}

void MenuSession::press(const xcb_button_press_event_t& press)
{
    if (done_ || levels_.empty())
        return;
    int depth = levelAt(press.root_x, press.root_y);
    if (press.detail == 4 || press.detail == 5) {
        if (depth >= 0) {
            Level& level = *levels_[std::size_t(depth)];
            scrollTo(level, level.scroll + (press.detail == 5 ? SCROLL_STEP : -SCROLL_STEP));
        }
        return;
    }
    // A click outside every menu dismisses them all.
    if (depth < 0) {
        done_ = true;
        return;
    }
    pressedInside_ = true;
    motion(press.root_x, press.root_y);
}

void MenuSession::release(const xcb_button_release_event_t& release)
{
    if (done_ || levels_.empty() || release.detail == 4 || release.detail == 5 || !pressedInside_)
        return;
    pressedInside_ = false;
    int depth = levelAt(release.root_x, release.root_y);
    if (depth < 0)
        return;
    Level& level = *levels_[std::size_t(depth)];
    act(std::size_t(depth), level.rowAt(release.root_y - level.y), false);
}

void MenuSession::draw(Level& level)
{
    if (!x_.healthy())
        return;
    {
        WindowPainter painter(x_, level.window, visual_, level.width, level.height);
        cairo_t* cr = painter.cr();
        setColour(cr, menuColour);
        cairo_paint(cr);
        cairo_save(cr);
        cairo_rectangle(cr, 0, PADDING, level.width, level.visibleHeight());
        cairo_clip(cr);
        // Only the rows in view are drawn.
        const int firstY = level.scroll, lastY = level.scroll + level.visibleHeight();
        auto first = std::upper_bound(level.tops.begin(), level.tops.end(), firstY);
        std::size_t row = std::size_t(std::max<std::ptrdiff_t>(0, (first - level.tops.begin()) - 1));
        for (; row < level.menu->items.size() && level.tops[row] < lastY; ++row) {
            const MenuItem& item = level.menu->items[row];
            const double top = PADDING + level.tops[row] - level.scroll;
            if (item.separator) {
                setColour(cr, lineColour);
                cairo_rectangle(cr, 8, top + SEPARATOR_HEIGHT / 2, level.width - 16, 1);
                cairo_fill(cr);
                continue;
            }
            const bool highlighted = int(row) == level.highlighted;
            const bool enabled = enabledRow(*level.menu, item);
            if (highlighted) {
                setColour(cr, accent);
                roundedRectangle(cr, 4, top, level.width - 8, ROW_HEIGHT, 4);
                cairo_fill(cr);
            }
            const Colour& colour = highlighted ? white : enabled ? ink : dimInk;
            double right = level.width - TEXT_RIGHT;
            if (item.submenu) {
                setColour(cr, colour);
                const double middle = top + ROW_HEIGHT / 2.0;
                cairo_move_to(cr, right - 6, middle - 4.5);
                cairo_line_to(cr, right, middle);
                cairo_line_to(cr, right - 6, middle + 4.5);
                cairo_close_path(cr);
                cairo_fill(cr);
                right -= ARROW_COLUMN;
            }
            if (std::string hint = keyHintOf(item); !hint.empty()) {
                TextLayout key(cr, hint, TEXT_SIZE, FONT_WEIGHT_REGULAR);
                key.show(cr, right - key.width(), top + (ROW_HEIGHT - key.height()) / 2, colour);
                right -= key.width() + KEY_GAP;
            }
            TextLayout title(cr, item.title, TEXT_SIZE, FONT_WEIGHT_REGULAR, std::max(10.0, right - TEXT_LEFT));
            title.show(cr, TEXT_LEFT, top + (ROW_HEIGHT - title.height()) / 2, colour);
        }
        cairo_restore(cr);
        // Arrows where rows are scrolled out of view.
        setColour(cr, ink);
        if (level.scroll > 0) {
            cairo_move_to(cr, level.width / 2.0 - 5, 5);
            cairo_line_to(cr, level.width / 2.0 + 5, 5);
            cairo_line_to(cr, level.width / 2.0, 0.5);
            cairo_fill(cr);
        }
        if (lastY < level.contentHeight()) {
            cairo_move_to(cr, level.width / 2.0 - 5, level.height - 5);
            cairo_line_to(cr, level.width / 2.0 + 5, level.height - 5);
            cairo_line_to(cr, level.width / 2.0, level.height - 0.5);
            cairo_fill(cr);
        }
        setColour(cr, frameColour);
        cairo_set_line_width(cr, 1);
        cairo_rectangle(cr, 0.5, 0.5, level.width - 1, level.height - 1);
        cairo_stroke(cr);
    }
    x_.flush();
}

} // namespace

std::optional<std::vector<int>> popUpMenuWindow(XConnection& x, const Menu& menu, Point location)
{
    assertOnTheMainThread("popUpMenuWindow");
    // One menu at a time holds the pointer; a second one is not shown.
    if (current || !x.healthy())
        return std::nullopt;
    listenTo(x);
    MenuSession session(x, menu);
    current = &session;
    struct Clear {
        ~Clear() { current = nullptr; }
    } clear;
    auto picked = session.run(location);
    if (x.healthy()) {
        xcb_ungrab_pointer(x.connection(), XCB_CURRENT_TIME);
        xcb_ungrab_keyboard(x.connection(), XCB_CURRENT_TIME);
        x.flush();
    }
    return picked;
}

} // namespace platform
