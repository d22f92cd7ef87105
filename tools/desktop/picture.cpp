#include "picture.h"

#include "menu_bar.h"

#include "platform/desktop/status_bar.h"
#include "platform/linux/desktop/live/symbols.h"

#include <cairo-svg.h>
#include <cairo.h>
#include <glib.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace desktop {

namespace {

using nlohmann::json;
using platform::drawSymbol;
using platform::symbolIsDrawable;

constexpr double PI = 3.14159265358979323846;
constexpr const char* FONT_FAMILY = "DejaVu Sans";
constexpr double TEXT_SIZE = 13;
constexpr double SMALL_TEXT_SIZE = 11;

// Menus.
constexpr double ROW_HEIGHT = 22;
constexpr double SEPARATOR_HEIGHT = 11;
constexpr double MENU_PADDING = 5;
constexpr double MENU_LEFT = 14;
constexpr double MENU_RIGHT = 14;
constexpr double IMAGE_COLUMN = 22;
constexpr double KEY_GAP = 28;
constexpr double ARROW_COLUMN = 18;
constexpr double MENU_MIN_WIDTH = 160;
// How far a submenu opens from the menu that holds it; no deeper.
constexpr std::size_t SUBMENU_DEPTH_LIMIT = 16;
// Windows.
constexpr double TITLE_BAR_HEIGHT = 22;
// Coordinates beyond this are off any screen: they are clamped, so that no
// number the state holds can overflow the drawing's fixed-point arithmetic.
constexpr double COORDINATE_LIMIT = 100000;
// Hidden panels are listed at the bottom left, at most this many.
constexpr std::size_t LEGEND_LIMIT = 12;
constexpr std::size_t ALERT_BUTTON_LIMIT = 8;

struct Color {
    double red, green, blue, alpha = 1;
};

const Color desktopColor{0.34, 0.41, 0.5};
const Color barColor{0.94, 0.94, 0.94, 0.97};
const Color ink{0.11, 0.11, 0.12};
const Color dimInk{0.6, 0.6, 0.62};
const Color menuColor{0.97, 0.97, 0.97};
const Color lineColor{0.72, 0.72, 0.74};
const Color frameColor{0.5, 0.5, 0.52};
const Color titleBarColor{0.88, 0.88, 0.89};
const Color white{1, 1, 1};
const Color accent{0.16, 0.45, 0.9};
const Color shadow{0, 0, 0, 0.22};
const Color badgeDot{0.9, 0.25, 0.2};

void setColor(cairo_t* cr, const Color& color)
{
    cairo_set_source_rgba(cr, color.red, color.green, color.blue, color.alpha);
}

// --- Reading the state, whatever its shape --------------------------------------

const json& nothing()
{
    static const json null;
    return null;
}

const json& memberOf(const json& value, const char* name)
{
    if (!value.is_object())
        return nothing();
    auto found = value.find(name);
    return found == value.end() ? nothing() : *found;
}

std::string stringOf(const json& value, const char* name)
{
    const json& member = memberOf(value, name);
    return member.is_string() ? member.get<std::string>() : std::string();
}

double numberOf(const json& value, const char* name, double fallback = 0)
{
    const json& member = memberOf(value, name);
    if (!member.is_number())
        return fallback;
    double number = member.get<double>();
    return std::isfinite(number) ? std::clamp(number, -COORDINATE_LIMIT, COORDINATE_LIMIT) : fallback;
}

bool booleanOf(const json& value, const char* name, bool fallback)
{
    const json& member = memberOf(value, name);
    return member.is_boolean() ? member.get<bool>() : fallback;
}

const json& listOf(const json& value, const char* name)
{
    static const json empty = json::array();
    const json& member = memberOf(value, name);
    return member.is_array() ? member : empty;
}

struct Box {
    double x = 0, y = 0, width = 0, height = 0;
};

Box boxOf(const json& rect)
{
    return {numberOf(rect, "x"), numberOf(rect, "y"), std::max(0.0, numberOf(rect, "width")), std::max(0.0, numberOf(rect, "height"))};
}

// A number written the same way everywhere, whatever the locale.
std::string written(double value)
{
    char buffer[64];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 2);
    return error == std::errc() ? std::string(buffer, end) : "0";
}

// --- Text ---------------------------------------------------------------------

struct GObjectDeleter {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using Layout = std::unique_ptr<PangoLayout, GObjectDeleter>;

// One piece of text as drawn, for the SVG's text layer.
struct TextRun {
    std::string text;
    double x, y, size;
};

// The drawing's cairo context with the fixed font, and the text drawn so far.
class Canvas {
public:
    explicit Canvas(cairo_t* cr)
        : cr_(cr)
        , context_(pango_cairo_create_context(cr))
    {
        // Every setting that could come from the machine's defaults is set.
        cairo_font_options_t* options = cairo_font_options_create();
        cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
        cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
        cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
        cairo_font_options_set_subpixel_order(options, CAIRO_SUBPIXEL_ORDER_DEFAULT);
        pango_cairo_context_set_font_options(context_.get(), options);
        cairo_font_options_destroy(options);
        pango_cairo_context_set_resolution(context_.get(), 72);
        pango_context_set_base_dir(context_.get(), PANGO_DIRECTION_LTR);
        // One font and no other: a character DejaVu Sans lacks shows as a
        // box, never as a glyph of whatever else the machine has installed.
        attributes_ = pango_attr_list_new();
        pango_attr_list_insert(attributes_, pango_attr_fallback_new(FALSE));
    }
    ~Canvas() { pango_attr_list_unref(attributes_); }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    cairo_t* cr() const { return cr_; }

    // Lays out drawable text in the fixed font; `width` > 0 ellipsizes it
    // there (and wraps it into at most `lines` lines).
    Layout lay(const std::string& text, double size, bool bold, double width = -1, int lines = 1)
    {
        Layout layout(pango_layout_new(context_.get()));
        PangoFontDescription* font = pango_font_description_new();
        pango_font_description_set_family(font, FONT_FAMILY);
        pango_font_description_set_weight(font, bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
        pango_font_description_set_absolute_size(font, size * PANGO_SCALE);
        pango_layout_set_font_description(layout.get(), font);
        pango_font_description_free(font);
        pango_layout_set_attributes(layout.get(), attributes_);
        pango_layout_set_auto_dir(layout.get(), FALSE);
        pango_layout_set_single_paragraph_mode(layout.get(), TRUE);
        if (width > 0) {
            pango_layout_set_width(layout.get(), int(width * PANGO_SCALE));
            pango_layout_set_ellipsize(layout.get(), PANGO_ELLIPSIZE_END);
            if (lines > 1) {
                pango_layout_set_wrap(layout.get(), PANGO_WRAP_WORD_CHAR);
                pango_layout_set_height(layout.get(), -lines);
            }
        }
        pango_layout_set_text(layout.get(), text.data(), int(text.size()));
        return layout;
    }

    static double widthOf(const Layout& layout)
    {
        PangoRectangle logical;
        pango_layout_get_extents(layout.get(), nullptr, &logical);
        return double(logical.width) / PANGO_SCALE;
    }

    static double heightOf(const Layout& layout)
    {
        PangoRectangle logical;
        pango_layout_get_extents(layout.get(), nullptr, &logical);
        return double(logical.height) / PANGO_SCALE;
    }

    // Draws a laid-out text with its top left at (x, y).
    void show(const Layout& layout, double x, double y, const Color& color)
    {
        setColor(cr_, color);
        cairo_move_to(cr_, x, y);
        pango_cairo_show_layout(cr_, layout.get());
        double baseline = double(pango_layout_get_baseline(layout.get())) / PANGO_SCALE;
        const PangoFontDescription* font = pango_layout_get_font_description(layout.get());
        double size = font ? double(pango_font_description_get_size(font)) / PANGO_SCALE : TEXT_SIZE;
        runs_.push_back({pango_layout_get_text(layout.get()), x, y + baseline, size});
    }

    // Lays out and draws text in one go; its width.
    double text(const std::string& text, double x, double y, double size, bool bold, const Color& color, double width = -1)
    {
        if (text.empty())
            return 0;
        Layout layout = lay(text, size, bold, width);
        show(layout, x, y, color);
        return widthOf(layout);
    }

    const std::vector<TextRun>& runs() const { return runs_; }

private:
    cairo_t* cr_;
    std::unique_ptr<PangoContext, GObjectDeleter> context_;
    PangoAttrList* attributes_ = nullptr;
    std::vector<TextRun> runs_;
};

void roundedRectangle(cairo_t* cr, const Box& box, double radius)
{
    radius = std::min({radius, box.width / 2, box.height / 2});
    if (radius <= 0) {
        cairo_rectangle(cr, box.x, box.y, box.width, box.height);
        return;
    }
    cairo_new_sub_path(cr);
    cairo_arc(cr, box.x + box.width - radius, box.y + radius, radius, -PI / 2, 0);
    cairo_arc(cr, box.x + box.width - radius, box.y + box.height - radius, radius, 0, PI / 2);
    cairo_arc(cr, box.x + radius, box.y + box.height - radius, radius, PI / 2, PI);
    cairo_arc(cr, box.x + radius, box.y + radius, radius, PI, 3 * PI / 2);
    cairo_close_path(cr);
}

// A raised surface: a soft shadow, the fill, a thin frame.
void surface(cairo_t* cr, const Box& box, double radius, const Color& fill, const Color& frame)
{
    setColor(cr, shadow);
    roundedRectangle(cr, {box.x, box.y + 3, box.width, box.height}, radius);
    cairo_fill(cr);
    setColor(cr, fill);
    roundedRectangle(cr, box, radius);
    cairo_fill_preserve(cr);
    setColor(cr, frame);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
}

// --- What the state shows -------------------------------------------------------

// Everything the picture needs from the state, read once.
struct Scene {
    const json& state;
    double width, height;                 // of the first screen
    std::set<std::string> missingSymbols;
    std::vector<const json*> hosts;        // connected hosts, in order
    std::vector<const json*> shownHosts;   // those whose menus, alerts, panels are drawn
};

bool symbolShows(const Scene& scene, const std::string& name)
{
    return !scene.missingSymbols.count(name) && symbolIsDrawable(name);
}

// The status item's drawable symbol, or empty when it draws as text.
std::string symbolOfItem(const Scene& scene, const json& item)
{
    const json& image = memberOf(memberOf(item, "button"), "image");
    std::string symbol = stringOf(image, "symbol");
    return symbolShows(scene, symbol) ? symbol : std::string();
}

// What a status item without a drawable symbol shows: its title, else what
// its symbol stood for.
std::string titleOfItem(const json& item)
{
    const json& button = memberOf(item, "button");
    for (const std::string& text : {stringOf(button, "title"), stringOf(memberOf(button, "image"), "accessibilityDescription"),
                                    stringOf(button, "accessibilityLabel"), stringOf(button, "toolTip")}) {
        if (!text.empty())
            return drawableText(text, 64);
    }
    return {};
}

// A status item where it stands in the menu bar.
struct PlacedItem {
    const json* host;
    const json* item;
    Box box;
    std::string symbol, title;
};

// The status items right to left from the clock, in the order the status
// bar stands them: hosts in order, each host's items in order.
std::vector<PlacedItem> placeStatusItems(const Scene& scene)
{
    std::vector<PlacedItem> placed;
    double x = scene.width - MENU_BAR_CLOCK_WIDTH;
    for (const json* host : scene.hosts) {
        for (const json& item : listOf(*host, "statusItems")) {
            PlacedItem one{host, &item, {}, symbolOfItem(scene, item), titleOfItem(item)};
            // The width of what the picture shows: a symbol's, or the title's.
            json shown = one.symbol.empty() ? json{{"button", {{"title", one.title}}}} : item;
            double width = statusItemWidth(shown);
            x -= width;
            one.box = {x, 0, width, MENU_BAR_HEIGHT};
            placed.push_back(std::move(one));
        }
    }
    return placed;
}

void drawMenuBar(Canvas& canvas, const Scene& scene, const std::vector<PlacedItem>& items)
{
    cairo_t* cr = canvas.cr();
    setColor(cr, barColor);
    cairo_rectangle(cr, 0, 0, scene.width, MENU_BAR_HEIGHT);
    cairo_fill(cr);
    setColor(cr, lineColor);
    cairo_rectangle(cr, 0, MENU_BAR_HEIGHT - 1, scene.width, 1);
    cairo_fill(cr);
    // The front application's name, as its menus begin.
    const json& front = memberOf(scene.state, "front");
    for (const json& application : listOf(scene.state, "applications")) {
        if (!front.is_null() && memberOf(application, "pid") == front) {
            std::string name = drawableText(stringOf(application, "localizedName"), 64);
            canvas.text(name, 14, 4, TEXT_SIZE, true, ink, std::max(1.0, scene.width / 3));
            break;
        }
    }
    for (const auto& placed : items) {
        const Box& box = placed.box;
        if (!placed.symbol.empty()) {
            const json& image = memberOf(memberOf(*placed.item, "button"), "image");
            double size = std::clamp(numberOf(image, "pointSize", 16), 10.0, 20.0);
            setColor(cr, ink);
            drawSymbol(cr, placed.symbol, box.x + (box.width - size) / 2, (MENU_BAR_HEIGHT - size) / 2, size);
            // A badge asked for by the header: a dot on the symbol's corner.
            std::string badge = stringOf(image, "badge");
            if (!badge.empty() && symbolShows(scene, badge)) {
                double cx = box.x + box.width / 2 + size / 2 - 2, cy = (MENU_BAR_HEIGHT - size) / 2 + 3;
                setColor(cr, barColor);
                cairo_arc(cr, cx, cy, 4.5, 0, 2 * PI);
                cairo_fill(cr);
                setColor(cr, badgeDot);
                cairo_arc(cr, cx, cy, 3.2, 0, 2 * PI);
                cairo_fill(cr);
            }
        } else if (!placed.title.empty()) {
            Layout layout = canvas.lay(placed.title, TEXT_SIZE, false, box.width);
            canvas.show(layout, box.x + (box.width - Canvas::widthOf(layout)) / 2, 4, ink);
        } else {
            // Nothing to show: an empty frame keeps its place visible.
            setColor(cr, dimInk);
            cairo_set_line_width(cr, 1);
            const double dashes[] = {2, 2};
            cairo_set_dash(cr, dashes, 2, 0);
            cairo_rectangle(cr, box.x + 4.5, 5.5, box.width - 9, MENU_BAR_HEIGHT - 11);
            cairo_stroke(cr);
            cairo_set_dash(cr, nullptr, 0, 0);
        }
    }
}

// The applications' windows, as the window list stacks them, drawn back to front.
void drawWindows(Canvas& canvas, const Scene& scene)
{
    struct Known {
        std::string application, name;
    };
    std::map<int64_t, Known> windows;
    for (const json& application : listOf(scene.state, "applications")) {
        for (const json& window : listOf(application, "windows")) {
            const json& number = memberOf(window, "number");
            if (number.is_number_integer())
                windows[number.get<int64_t>()] = {stringOf(application, "localizedName"), stringOf(window, "name")};
        }
    }
    const json& front = memberOf(scene.state, "front");
    std::vector<const json*> stack;
    for (const json& listed : listOf(scene.state, "windowList")) {
        const json& number = memberOf(listed, "kCGWindowNumber");
        if (number.is_number_integer() && windows.count(number.get<int64_t>()))
            stack.push_back(&listed);
    }
    cairo_t* cr = canvas.cr();
    for (auto listed = stack.rbegin(); listed != stack.rend(); ++listed) {
        const json& bounds = memberOf(**listed, "kCGWindowBounds");
        Box box{numberOf(bounds, "X"), numberOf(bounds, "Y"), std::max(0.0, numberOf(bounds, "Width")), std::max(0.0, numberOf(bounds, "Height"))};
        if (box.width < 1 || box.height < 1)
            continue;
        const Known& known = windows[memberOf(**listed, "kCGWindowNumber").get<int64_t>()];
        bool inFront = !front.is_null() && memberOf(**listed, "kCGWindowOwnerPID") == front;
        surface(cr, box, 6, white, frameColor);
        cairo_save(cr);
        roundedRectangle(cr, box, 6);
        cairo_clip(cr);
        setColor(cr, titleBarColor);
        cairo_rectangle(cr, box.x, box.y, box.width, std::min(TITLE_BAR_HEIGHT, box.height));
        cairo_fill(cr);
        for (int light = 0; light < 3; ++light) {
            setColor(cr, inFront ? Color{0.75, 0.75, 0.77} : Color{0.82, 0.82, 0.84});
            cairo_arc(cr, box.x + 13 + light * 18, box.y + TITLE_BAR_HEIGHT / 2, 5, 0, 2 * PI);
            cairo_fill(cr);
        }
        std::string title = drawableText(known.application, 64);
        if (!known.name.empty())
            title += " \u2014 " + drawableText(known.name, 64);
        double room = box.width - 140;
        if (room > 10) {
            Layout layout = canvas.lay(title, TEXT_SIZE, false, room);
            canvas.show(layout, box.x + 70 + (room - Canvas::widthOf(layout)) / 2, box.y + 3, inFront ? ink : dimInk);
        }
        cairo_restore(cr);
    }
}

// --- Menus --------------------------------------------------------------------

// A row of a menu as laid out for drawing.
struct Row {
    const json* item = nullptr;
    bool separator = false, enabled = true, opensSubmenu = false;
    double y = 0, height = 0;   // from the menu's top
    std::string symbol;
    Layout title, key;
};

struct MenuLayout {
    std::vector<Row> rows;
    double width = 0, height = 0;
    bool cut = false;           // rows past the screen's edge are left out
    bool imageColumn = false;
};

// Lays out the rows of a menu whose top is at `top`, down to the screen's
// edge and no further: the rows below it cost nothing.
MenuLayout layOutMenu(Canvas& canvas, const Scene& scene, const json& menu, double top)
{
    MenuLayout layout;
    double bottom = scene.height - 6;
    double y = MENU_PADDING;
    double titles = 0, keys = 0;
    bool arrows = false;
    for (const json& item : listOf(menu, "items")) {
        Row row;
        row.item = &item;
        row.separator = booleanOf(item, "separator", false);
        row.height = row.separator ? SEPARATOR_HEIGHT : ROW_HEIGHT;
        if (top + y + row.height + MENU_PADDING > bottom) {
            layout.cut = true;
            break;
        }
        row.y = y;
        y += row.height;
        if (!row.separator) {
            row.enabled = booleanOf(item, "enabled", true);
            row.opensSubmenu = memberOf(item, "submenu").is_object();
            const json& image = memberOf(item, "image");
            if (image.is_object()) {
                layout.imageColumn = true;
                std::string symbol = stringOf(image, "symbol");
                if (symbolShows(scene, symbol))
                    row.symbol = symbol;
            }
            row.title = canvas.lay(drawableText(stringOf(item, "title")), TEXT_SIZE, false);
            titles = std::max(titles, Canvas::widthOf(row.title));
            const json& mask = memberOf(item, "modifierMask");
            std::string key = keyEquivalentText(stringOf(item, "keyEquivalent"), mask.is_number_unsigned() ? mask.get<uint64_t>() : 0);
            if (!key.empty()) {
                row.key = canvas.lay(key, TEXT_SIZE, false);
                keys = std::max(keys, Canvas::widthOf(row.key));
            }
            arrows = arrows || row.opensSubmenu;
        }
        layout.rows.push_back(std::move(row));
    }
    layout.height = y + MENU_PADDING + (layout.cut ? 8 : 0);
    double fixed = MENU_LEFT + (layout.imageColumn ? IMAGE_COLUMN : 0) + (keys > 0 ? KEY_GAP + keys : 0) + (arrows ? ARROW_COLUMN : 0) + MENU_RIGHT;
    double widest = std::max(40.0, scene.width - 8);
    layout.width = std::clamp(fixed + titles, std::min(MENU_MIN_WIDTH, widest), widest);
    // Titles too wide for the screen end in an ellipsis.
    if (fixed + titles > layout.width) {
        for (auto& row : layout.rows) {
            if (row.title)
                pango_layout_set_width(row.title.get(), int(std::max(10.0, layout.width - fixed) * PANGO_SCALE)),
                    pango_layout_set_ellipsize(row.title.get(), PANGO_ELLIPSIZE_END);
        }
    }
    return layout;
}

// Draws a laid-out menu at (x, y); `open` is the row whose submenu is open.
void drawMenu(Canvas& canvas, const MenuLayout& layout, double x, double y, std::optional<std::size_t> open)
{
    cairo_t* cr = canvas.cr();
    Box box{x, y, layout.width, layout.height};
    surface(cr, box, 6, menuColor, lineColor);
    double textLeft = x + MENU_LEFT + (layout.imageColumn ? IMAGE_COLUMN : 0);
    for (std::size_t i = 0; i < layout.rows.size(); ++i) {
        const Row& row = layout.rows[i];
        double top = y + row.y;
        if (row.separator) {
            setColor(cr, lineColor);
            cairo_rectangle(cr, x + 10, top + SEPARATOR_HEIGHT / 2 - 0.5, layout.width - 20, 1);
            cairo_fill(cr);
            continue;
        }
        bool highlighted = open == i;
        if (highlighted) {
            setColor(cr, accent);
            roundedRectangle(cr, {x + 5, top, layout.width - 10, row.height}, 4);
            cairo_fill(cr);
        }
        const Color& color = highlighted ? white : row.enabled ? ink : dimInk;
        if (!row.symbol.empty()) {
            setColor(cr, color);
            drawSymbol(cr, row.symbol, x + MENU_LEFT - 1, top + 3, 16);
        }
        canvas.show(row.title, textLeft, top + (row.height - Canvas::heightOf(row.title)) / 2, color);
        double right = x + layout.width - MENU_RIGHT;
        if (row.opensSubmenu) {
            setColor(cr, color);
            cairo_move_to(cr, right - 6, top + 6);
            cairo_line_to(cr, right, top + row.height / 2);
            cairo_line_to(cr, right - 6, top + row.height - 6);
            cairo_close_path(cr);
            cairo_fill(cr);
            right -= ARROW_COLUMN;
        }
        if (row.key)
            canvas.show(row.key, right - Canvas::widthOf(row.key), top + (row.height - Canvas::heightOf(row.key)) / 2, color);
    }
    if (layout.cut) {
        // More rows below the screen's edge: the menu's scroll arrow.
        double cx = x + layout.width / 2, cy = y + layout.height - 9;
        setColor(cr, ink);
        cairo_move_to(cr, cx - 5, cy - 3);
        cairo_line_to(cr, cx + 5, cy - 3);
        cairo_line_to(cr, cx, cy + 3);
        cairo_close_path(cr);
        cairo_fill(cr);
    }
}

// Draws a menu with its top left at (x, y) as far as fits, and each open
// submenu of `path` beside its row.
void drawMenuTree(Canvas& canvas, const Scene& scene, const json& menu, double x, double y, const json& path)
{
    const json* current = &menu;
    std::optional<Box> holder;   // the menu the current one opens from
    for (std::size_t depth = 0; depth < SUBMENU_DEPTH_LIMIT && current; ++depth) {
        y = std::clamp(y, MENU_BAR_HEIGHT, std::max(MENU_BAR_HEIGHT, scene.height - 40));
        MenuLayout layout = layOutMenu(canvas, scene, *current, y);
        if (holder) {
            // Beside the row that opens it: right of the menu, or left when it would not fit.
            x = holder->x + holder->width - 4;
            if (x + layout.width > scene.width - 4)
                x = holder->x - layout.width + 4;
        }
        x = std::clamp(x, 4.0, std::max(4.0, scene.width - 4 - layout.width));
        std::optional<std::size_t> open;
        const json* next = nullptr;
        const json& step = path.is_array() && depth < path.size() ? path[depth] : nothing();
        if (step.is_number_integer() && step.get<int64_t>() >= 0 && std::size_t(step.get<int64_t>()) < layout.rows.size()) {
            std::size_t index = std::size_t(step.get<int64_t>());
            if (layout.rows[index].opensSubmenu) {
                open = index;
                next = &memberOf(*layout.rows[index].item, "submenu");
            }
        }
        drawMenu(canvas, layout, x, y, open);
        if (!next)
            break;
        holder = Box{x, y, layout.width, layout.height};
        y = y + layout.rows[*open].y - MENU_PADDING;
        current = next;
    }
}

// The host's open status menu or pop-up, where the user sees it.
void drawMenusOf(Canvas& canvas, const Scene& scene, const json& host, const std::vector<PlacedItem>& items)
{
    const json& popUp = memberOf(host, "popUp");
    const json& path = memberOf(host, "openSubmenu");
    if (popUp.is_object() && memberOf(popUp, "menu").is_object()) {
        // Screen coordinates: y upwards from the bottom of the first screen.
        const json& location = memberOf(popUp, "location");
        drawMenuTree(canvas, scene, memberOf(popUp, "menu"), numberOf(location, "x"), scene.height - numberOf(location, "y"), path);
        return;
    }
    const json& open = memberOf(host, "menuOpen");
    if (!open.is_number_integer())
        return;
    for (const auto& placed : items) {
        if (placed.host == &host && memberOf(*placed.item, "item") == open && memberOf(*placed.item, "menu").is_object()) {
            drawMenuTree(canvas, scene, memberOf(*placed.item, "menu"), placed.box.x, MENU_BAR_HEIGHT + 1, path);
            return;
        }
    }
}

// --- Panels and alerts --------------------------------------------------------------

// A badge panel lets clicks through and never activates: the host's badges.
bool isBadge(const json& panel)
{
    const json& style = memberOf(panel, "style");
    return booleanOf(style, "ignoresMouseEvents", false) && booleanOf(style, "nonactivating", false);
}

std::string nameOfPanel(const json& panel)
{
    std::string name = stringOf(panel, "name");
    if (!name.empty())
        return drawableText(name, 64);
    std::string number = memberOf(panel, "panel").is_number_integer() ? std::to_string(memberOf(panel, "panel").get<int64_t>()) : "?";
    return (isBadge(panel) ? "Badge panel " : "Panel ") + number;
}

// A panel's background, from the free text the host gives ("black 0.78").
Color backgroundOf(const json& panel)
{
    std::string text = stringOf(memberOf(panel, "style"), "background");
    Color color{0, 0, 0, 0.78};
    if (text.rfind("white", 0) == 0)
        color = {1, 1, 1, 0.9};
    else if (text.rfind("gray", 0) == 0 || text.rfind("grey", 0) == 0)
        color = {0.5, 0.5, 0.5, 0.85};
    if (auto space = text.find(' '); space != std::string::npos) {
        double alpha = 0;
        const char* begin = text.data() + space + 1;
        auto [end, error] = std::from_chars(begin, text.data() + text.size(), alpha);
        if (error == std::errc() && alpha > 0 && alpha <= 1)
            color.alpha = alpha;
    }
    return color;
}

// The shown panels where they are; the hidden ones listed by name, and so
// are the views library's panels, which have a state but no place.
void drawPanels(Canvas& canvas, const Scene& scene, std::vector<std::string>& hidden)
{
    cairo_t* cr = canvas.cr();
    for (const json* host : scene.shownHosts) {
        for (const json& view : listOf(*host, "viewPanels"))
            hidden.push_back(drawableText(stringOf(view, "name"), 64) + ": " + drawableText(stringOf(view, "state"), 16));
        for (const json& panel : listOf(*host, "panels")) {
            if (!booleanOf(panel, "visible", false)) {
                hidden.push_back(nameOfPanel(panel) + ": hidden");
                continue;
            }
            Box frame = boxOf(memberOf(panel, "frame"));
            // Screen coordinates, y upwards, to the picture's.
            frame.y = scene.height - (frame.y + frame.height);
            const json& style = memberOf(panel, "style");
            std::string text = drawableText(stringOf(panel, "text"));
            if (isBadge(panel)) {
                setColor(cr, backgroundOf(panel));
                roundedRectangle(cr, frame, std::max(0.0, numberOf(style, "cornerRadius", 8)));
                cairo_fill(cr);
                double size = std::clamp(numberOf(style, "fontSize", TEXT_SIZE), 6.0, 48.0);
                Layout layout = canvas.lay(text, size, numberOf(style, "fontWeight") >= 0.3, std::max(1.0, frame.width - 12));
                canvas.show(layout, frame.x + (frame.width - Canvas::widthOf(layout)) / 2,
                            frame.y + (frame.height - Canvas::heightOf(layout)) / 2, backgroundOf(panel).red > 0.6 ? ink : white);
                continue;
            }
            surface(cr, frame, 8, white, frameColor);
            cairo_save(cr);
            cairo_rectangle(cr, frame.x, frame.y, frame.width, frame.height);
            cairo_clip(cr);
            canvas.text(nameOfPanel(panel) + ": shown", frame.x + 10, frame.y + 6, SMALL_TEXT_SIZE, true, dimInk, std::max(1.0, frame.width - 20));
            canvas.text(text, frame.x + 10, frame.y + 24, TEXT_SIZE, false, ink, std::max(1.0, frame.width - 20));
            cairo_restore(cr);
        }
    }
}

// The hidden panels, named at the bottom left of the screen.
void drawLegend(Canvas& canvas, const Scene& scene, const std::vector<std::string>& hidden)
{
    std::vector<std::string> lines(hidden.begin(), hidden.begin() + long(std::min(hidden.size(), LEGEND_LIMIT)));
    if (hidden.size() > LEGEND_LIMIT)
        lines.push_back("and " + std::to_string(hidden.size() - LEGEND_LIMIT) + " more");
    double y = scene.height - 8 - 16 * double(lines.size());
    for (const auto& line : lines) {
        canvas.text(line, 10, y, SMALL_TEXT_SIZE, false, white, std::max(1.0, scene.width / 2));
        y += 16;
    }
}

// A host's alert: its message, informative text and buttons, the first the default.
void drawAlert(Canvas& canvas, const Scene& scene, const json& alert, int index)
{
    cairo_t* cr = canvas.cr();
    const double width = 260, inner = width - 32;
    Layout message = canvas.lay(drawableText(stringOf(alert, "messageText")), TEXT_SIZE, true, inner, 4);
    Layout informative = canvas.lay(drawableText(stringOf(alert, "informativeText"), 1024), SMALL_TEXT_SIZE, false, inner, 8);
    std::vector<std::string> buttons;
    for (const json& button : listOf(alert, "buttons")) {
        if (buttons.size() == ALERT_BUTTON_LIMIT)
            break;
        buttons.push_back(drawableText(button.is_string() ? button.get<std::string>() : std::string(), 64));
    }
    double height = 16 + 52 + 10 + Canvas::heightOf(message) + 6 + Canvas::heightOf(informative) + 14 + 34 * double(buttons.size()) + 8;
    Box box{(scene.width - width) / 2 + index * 24, std::max(MENU_BAR_HEIGHT + 20, scene.height * 0.2) + index * 24, width, height};
    surface(cr, box, 12, {0.95, 0.95, 0.95}, lineColor);
    // The application's icon: a plain tile.
    setColor(cr, titleBarColor);
    roundedRectangle(cr, {box.x + (width - 52) / 2, box.y + 16, 52, 52}, 12);
    cairo_fill(cr);
    double y = box.y + 16 + 52 + 10;
    auto centred = [&](const Layout& layout, const Color& color) {
        pango_layout_set_alignment(layout.get(), PANGO_ALIGN_CENTER);
        canvas.show(layout, box.x + 16, y, color);
        y += Canvas::heightOf(layout);
    };
    centred(message, ink);
    y += 6;
    centred(informative, ink);
    y += 14;
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        Box button{box.x + 16, y, inner, 28};
        setColor(cr, i == 0 ? accent : white);
        roundedRectangle(cr, button, 6);
        cairo_fill_preserve(cr);
        setColor(cr, i == 0 ? accent : lineColor);
        cairo_set_line_width(cr, 1);
        cairo_stroke(cr);
        Layout title = canvas.lay(buttons[i], TEXT_SIZE, false, inner - 12);
        canvas.show(title, button.x + (inner - Canvas::widthOf(title)) / 2, y + (28 - Canvas::heightOf(title)) / 2, i == 0 ? white : ink);
        y += 34;
    }
}

// --- The files ----------------------------------------------------------------------

cairo_status_t appendTo(void* closure, const unsigned char* data, unsigned int length)
{
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

// Text escaped for XML.
std::string escaped(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out.push_back(c);
        }
    }
    return out;
}

// Cairo numbers its SVG surfaces with a counter of the whole process; they
// are numbered again from 1 in order of appearance, so that the same state
// gives the same file however many pictures the process drew before.
std::string withStableIds(const std::string& svg)
{
    static const std::string prefix = "surface";
    std::map<std::string, int> numbers;
    std::string out;
    out.reserve(svg.size());
    std::size_t at = 0;
    while (at < svg.size()) {
        auto found = svg.find(prefix, at);
        if (found == std::string::npos) {
            out.append(svg, at, std::string::npos);
            break;
        }
        std::size_t digits = found + prefix.size();
        std::size_t end = digits;
        while (end < svg.size() && svg[end] >= '0' && svg[end] <= '9')
            ++end;
        out.append(svg, at, digits - at);
        if (end > digits) {
            auto [entry, added] = numbers.try_emplace(svg.substr(digits, end - digits), int(numbers.size()) + 1);
            out += std::to_string(entry->second);
        }
        at = end;
    }
    return out;
}

// The SVG with the drawn text as an invisible layer on top, in drawing order.
std::string withTextLayer(const std::string& svg, const std::vector<TextRun>& runs, double scale)
{
    std::string layer = "<g id=\"text-layer\" fill-opacity=\"0\" font-family=\"" + std::string(FONT_FAMILY) + "\">\n";
    for (const auto& run : runs) {
        layer += "<text x=\"" + written(run.x * scale) + "\" y=\"" + written(run.y * scale) + "\" font-size=\"" + written(run.size * scale)
                 + "\">" + escaped(run.text) + "</text>\n";
    }
    layer += "</g>\n";
    auto end = svg.rfind("</svg>");
    if (end == std::string::npos)
        return svg;
    return svg.substr(0, end) + layer + svg.substr(end);
}

// The connected host that `wanted` names: its process id, bundle identifier or name.
const json* hostNamed(const std::vector<const json*>& hosts, const json& wanted)
{
    for (const json* host : hosts) {
        if (wanted.is_number_integer() ? memberOf(*host, "pid") == wanted
                                       : (memberOf(*host, "bundleIdentifier") == wanted || memberOf(*host, "localizedName") == wanted))
            return host;
    }
    return nullptr;
}

void drawScene(Canvas& canvas, const Scene& scene)
{
    cairo_t* cr = canvas.cr();
    setColor(cr, desktopColor);
    cairo_paint(cr);
    drawWindows(canvas, scene);
    auto items = placeStatusItems(scene);
    drawMenuBar(canvas, scene, items);
    std::vector<std::string> hidden;
    drawPanels(canvas, scene, hidden);
    drawLegend(canvas, scene, hidden);
    for (const json* host : scene.shownHosts)
        drawMenusOf(canvas, scene, *host, items);
    int index = 0;
    for (const json* host : scene.shownHosts) {
        if (memberOf(*host, "alert").is_object())
            drawAlert(canvas, scene, memberOf(*host, "alert"), index++);
    }
}

} // namespace

std::string drawableText(const std::string& text, std::size_t limit)
{
    // Four bytes a character at most: no more of a long text is looked at.
    std::string head = text.substr(0, limit * 4 + 4);
    gchar* valid = g_utf8_make_valid(head.data(), gssize(head.size()));
    std::string out;
    std::size_t count = 0;
    for (const gchar* at = valid; *at && count < limit; at = g_utf8_next_char(at), ++count) {
        gunichar c = g_utf8_get_char(at);
        if (c < 0x20 || (c >= 0x7f && c < 0xa0) || c == 0x2028 || c == 0x2029 || c == 0xfffe || c == 0xffff)
            out.push_back(' ');
        else
            out.append(at, std::size_t(g_utf8_next_char(at) - at));
    }
    bool more = valid[0] && g_utf8_strlen(valid, -1) > glong(limit);
    g_free(valid);
    if (more)
        out += "\u2026";
    return out;
}

std::string keyEquivalentText(const std::string& key, uint64_t modifierMask)
{
    if (key.empty())
        return {};
    static const std::map<std::string, std::string> glyphs = {
        {"\r", "\u21a9"},          {"\x03", "\u2324"},        {"\t", "\u21e5"},          {"\x19", "\u21e4"},
        {" ", "Space"},            {"\x1b", "\u238b"},        {"\x7f", "\u232b"},        {"\b", "\u232b"},
        {"\uf700", "\u2191"},      {"\uf701", "\u2193"},      {"\uf702", "\u2190"},      {"\uf703", "\u2192"},
        {"\uf728", "\u2326"},      {"\uf729", "\u2196"},      {"\uf72b", "\u2198"},      {"\uf72c", "\u21de"},
        {"\uf72d", "\u21df"},
    };
    bool shift = modifierMask & platform::MODIFIER_SHIFT;
    std::string shown;
    if (auto glyph = glyphs.find(key); glyph != glyphs.end()) {
        shown = glyph->second;
    } else if (key.size() == 1 && key[0] >= 'A' && key[0] <= 'Z') {
        // An upper-case key equivalent asks for shift.
        shift = true;
        shown = key;
    } else {
        std::string text = drawableText(key, 16);
        gunichar first = g_utf8_get_char(text.c_str());
        if (text.size() == 3 && first >= 0xf704 && first <= 0xf726) {
            shown = "F" + std::to_string(first - 0xf704 + 1);   // the function keys
        } else {
            gchar* upper = g_utf8_strup(text.c_str(), -1);
            shown = upper;
            g_free(upper);
        }
    }
    std::string modifiers;
    if (modifierMask & platform::MODIFIER_CONTROL)
        modifiers += "\u2303";
    if (modifierMask & platform::MODIFIER_OPTION)
        modifiers += "\u2325";
    if (shift)
        modifiers += "\u21e7";
    if (modifierMask & platform::MODIFIER_COMMAND)
        modifiers += "\u2318";
    return modifiers + shown;
}

Picture drawPicture(const json& state, const PictureOptions& options)
{
    Picture picture;
    if (!(options.scale > 0 && options.scale <= PICTURE_SCALE_LIMIT)) {
        picture.error = "the scale must be above 0 and at most " + written(PICTURE_SCALE_LIMIT);
        return picture;
    }
    const json& screens = listOf(state, "screens");
    bool hasScreen = !screens.empty();
    Box first = hasScreen ? boxOf(memberOf(screens[0], "frame")) : Box{};
    Scene scene{state, hasScreen ? std::max(1.0, first.width) : PICTURE_DEFAULT_WIDTH,
                hasScreen ? std::max(1.0, first.height) : PICTURE_DEFAULT_HEIGHT, {}, {}, {}};
    for (const json& name : listOf(state, "missingSymbols")) {
        if (name.is_string())
            scene.missingSymbols.insert(name.get<std::string>());
    }
    for (const json& host : listOf(state, "hosts")) {
        if (booleanOf(host, "connected", false))
            scene.hosts.push_back(&host);
    }
    if (options.host.is_null()) {
        scene.shownHosts = scene.hosts;
    } else if (const json* host = hostNamed(scene.hosts, options.host)) {
        scene.shownHosts = {host};
    } else {
        picture.error = "no connected host " + options.host.dump(-1, ' ', false, json::error_handler_t::replace) + " in the session";
        return picture;
    }
    double scale = std::min({options.scale, PICTURE_SIDE_LIMIT / scene.width, PICTURE_SIDE_LIMIT / scene.height});
    picture.width = std::clamp(int(std::lround(scene.width * scale)), 1, PICTURE_SIDE_LIMIT);
    picture.height = std::clamp(int(std::lround(scene.height * scale)), 1, PICTURE_SIDE_LIMIT);

    cairo_surface_t* target = options.format == PictureFormat::svg
                                  ? cairo_svg_surface_create_for_stream(appendTo, &picture.bytes, picture.width, picture.height)
                                  : cairo_image_surface_create(CAIRO_FORMAT_RGB24, picture.width, picture.height);
    cairo_t* cr = cairo_create(target);
    cairo_scale(cr, scale, scale);
    std::vector<TextRun> runs;
    {
        Canvas canvas(cr);
        if (hasScreen) {
            drawScene(canvas, scene);
        } else {
            setColor(cr, {0.12, 0.12, 0.13});
            cairo_paint(cr);
            Layout layout = canvas.lay("No screen", 20, true);
            canvas.show(layout, (scene.width - Canvas::widthOf(layout)) / 2, (scene.height - Canvas::heightOf(layout)) / 2, dimInk);
        }
        runs = canvas.runs();
    }
    cairo_status_t status = cairo_status(cr);
    cairo_destroy(cr);
    if (options.format == PictureFormat::png && status == CAIRO_STATUS_SUCCESS)
        status = cairo_surface_write_to_png_stream(target, appendTo, &picture.bytes);
    cairo_surface_finish(target);
    if (status == CAIRO_STATUS_SUCCESS)
        status = cairo_surface_status(target);
    cairo_surface_destroy(target);
    if (status != CAIRO_STATUS_SUCCESS) {
        picture.bytes.clear();
        picture.error = std::string("cairo could not draw: ") + cairo_status_to_string(status);
        return picture;
    }
    if (options.format == PictureFormat::svg)
        picture.bytes = withTextLayer(withStableIds(picture.bytes), runs, scale);
    return picture;
}

} // namespace desktop

// Fontconfig, pango and their kin keep caches for the life of the process
// and never free them; under LeakSanitizer those would count as our leaks.
// Only a sanitized build asks for this list.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n"
           "leak:libpango-1.0.so\n"
           "leak:libpangoft2-1.0.so\n"
           "leak:libpangocairo-1.0.so\n"
           "leak:libcairo.so\n"
           "leak:libglib-2.0.so\n"
           "leak:libgobject-2.0.so\n"
           "leak:libharfbuzz.so\n"
           "leak:libfreetype.so\n";
}
