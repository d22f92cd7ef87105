#include "platform/linux/desktop/live/drawing.h"

#include <cairo-xcb.h>
#include <xcb/randr.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace platform {

namespace {

// Longer texts are cut before pango sees them: no label on a badge, an
// alert or a menu row is meant to be read past this.
constexpr std::size_t TEXT_LIMIT = 4096;

struct NamedColour {
    const char* name;
    Colour colour;
};

const NamedColour namedColours[] = {
    {"black", {0, 0, 0, 1}},       {"white", {1, 1, 1, 1}},        {"gray", {0.5, 0.5, 0.5, 1}},
    {"grey", {0.5, 0.5, 0.5, 1}},  {"darkgray", {0.33, 0.33, 0.33, 1}}, {"lightgray", {0.67, 0.67, 0.67, 1}},
    {"red", {1, 0, 0, 1}},         {"green", {0, 1, 0, 1}},        {"blue", {0, 0, 1, 1}},
    {"clear", {0, 0, 0, 0}},
};

// The pango weight nearest to a font weight of the host (-1 to 1).
PangoWeight pangoWeightOf(double weight)
{
    if (weight >= FONT_WEIGHT_BOLD)
        return PANGO_WEIGHT_BOLD;
    if (weight >= FONT_WEIGHT_SEMIBOLD)
        return PANGO_WEIGHT_SEMIBOLD;
    if (weight > FONT_WEIGHT_REGULAR)
        return PANGO_WEIGHT_MEDIUM;
    return PANGO_WEIGHT_NORMAL;
}

} // namespace

Colour colourOf(const std::string& text)
{
    Colour colour;
    std::string name = text.substr(0, text.find(' '));
    for (auto& c : name)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    for (const auto& named : namedColours) {
        if (name == named.name)
            colour = named.colour;
    }
    if (auto space = text.find(' '); space != std::string::npos) {
        double alpha = 0;
        const char* begin = text.data() + space + 1;
        auto [end, error] = std::from_chars(begin, text.data() + text.size(), alpha);
        if (error == std::errc() && std::isfinite(alpha))
            colour.alpha = std::clamp(alpha, 0.0, 1.0);
    }
    return colour;
}

xcb_visualtype_t* argbVisualOf(xcb_screen_t* screen)
{
    for (auto depths = xcb_screen_allowed_depths_iterator(screen); depths.rem; xcb_depth_next(&depths)) {
        if (depths.data->depth != 32)
            continue;
        for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem; xcb_visualtype_next(&visuals)) {
            if (visuals.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR)
                return visuals.data;
        }
    }
    return nullptr;
}

xcb_visualtype_t* rootVisualOf(xcb_screen_t* screen)
{
    for (auto depths = xcb_screen_allowed_depths_iterator(screen); depths.rem; xcb_depth_next(&depths)) {
        for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem; xcb_visualtype_next(&visuals)) {
            if (visuals.data->visual_id == screen->root_visual)
                return visuals.data;
        }
    }
    return nullptr;
}

ScreenArea firstScreenOf(XConnection& x)
{
    ScreenArea area{0, 0, x.screen()->width_in_pixels, x.screen()->height_in_pixels};
    // A server without RandR 1.5 has one screen: the root.
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(x.connection(), &xcb_randr_id);
    if (!randr || !randr->present)
        return area;
    auto cookie = xcb_randr_get_monitors(x.connection(), x.root(), 1);
    xcb_generic_error_t* error = nullptr;
    if (auto* reply = xcb_randr_get_monitors_reply(x.connection(), cookie, &error)) {
        for (auto monitors = xcb_randr_get_monitors_monitors_iterator(reply); monitors.rem;
             xcb_randr_monitor_info_next(&monitors)) {
            const auto* monitor = monitors.data;
            if (monitor->x == 0 && monitor->y == 0 && monitor->width > 0 && monitor->height > 0) {
                area = {0, 0, monitor->width, monitor->height};
                break;
            }
        }
        std::free(reply);
    }
    std::free(error);
    x.dispatchSoon();
    return area;
}

XRectangle toX(const Rect& frame, int firstScreenHeight)
{
    // Far beyond any screen, and within X's 16-bit coordinates.
    auto clamp = [](double value, double low) {
        return std::isfinite(value) ? int(std::lround(std::clamp(value, low, 30000.0))) : int(low);
    };
    XRectangle rect;
    rect.width = std::max(1, clamp(frame.width, 1));
    rect.height = std::max(1, clamp(frame.height, 1));
    rect.x = clamp(frame.x, -30000);
    rect.y = clamp(double(firstScreenHeight) - (frame.y + frame.height), -30000);
    return rect;
}

void toX(const Point& point, int firstScreenHeight, int& x, int& y)
{
    auto clamp = [](double value) { return std::isfinite(value) ? int(std::lround(std::clamp(value, -30000.0, 30000.0))) : 0; };
    x = clamp(point.x);
    y = clamp(double(firstScreenHeight) - point.y);
}

WindowPainter::WindowPainter(XConnection& x, xcb_window_t window, xcb_visualtype_t* visual, int width, int height)
    : surface_(cairo_xcb_surface_create(x.connection(), window, visual, std::max(1, width), std::max(1, height)))
    , cr_(cairo_create(surface_))
{
}

WindowPainter::~WindowPainter()
{
    cairo_destroy(cr_);
    cairo_surface_flush(surface_);
    cairo_surface_destroy(surface_);
}

void setColour(cairo_t* cr, const Colour& colour)
{
    cairo_set_source_rgba(cr, colour.red, colour.green, colour.blue, colour.alpha);
}

void roundedRectangle(cairo_t* cr, double x, double y, double width, double height, double radius)
{
    radius = std::min({radius, width / 2, height / 2});
    if (!(radius > 0)) {
        cairo_rectangle(cr, x, y, width, height);
        return;
    }
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + width - radius, y + radius, radius, -M_PI / 2, 0);
    cairo_arc(cr, x + width - radius, y + height - radius, radius, 0, M_PI / 2);
    cairo_arc(cr, x + radius, y + height - radius, radius, M_PI / 2, M_PI);
    cairo_arc(cr, x + radius, y + radius, radius, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

TextLayout::TextLayout(cairo_t* cr, const std::string& text, double size, double weight, double width, bool wraps)
    : layout_(pango_cairo_create_layout(cr))
{
    pango_cairo_context_set_resolution(pango_layout_get_context(layout_), 72);
    pango_layout_context_changed(layout_);
    PangoFontDescription* font = pango_font_description_new();
    pango_font_description_set_family(font, "sans-serif");
    pango_font_description_set_weight(font, pangoWeightOf(weight));
    pango_font_description_set_absolute_size(font, std::clamp(size, 1.0, 200.0) * PANGO_SCALE);
    pango_layout_set_font_description(layout_, font);
    pango_font_description_free(font);
    if (width > 0) {
        pango_layout_set_width(layout_, int(std::min(width, 30000.0) * PANGO_SCALE));
        if (wraps) {
            pango_layout_set_wrap(layout_, PANGO_WRAP_WORD_CHAR);
            pango_layout_set_height(layout_, -12);
        }
        pango_layout_set_ellipsize(layout_, PANGO_ELLIPSIZE_END);
    }
    if (!wraps)
        pango_layout_set_single_paragraph_mode(layout_, TRUE);
    // Pango takes only valid UTF-8; what the host was given may not be.
    gchar* valid = g_utf8_make_valid(text.data(), gssize(std::min(text.size(), TEXT_LIMIT)));
    pango_layout_set_text(layout_, valid, -1);
    g_free(valid);
}

TextLayout::~TextLayout()
{
    g_object_unref(layout_);
}

double TextLayout::width() const
{
    PangoRectangle logical;
    pango_layout_get_extents(layout_, nullptr, &logical);
    return double(logical.width) / PANGO_SCALE;
}

double TextLayout::height() const
{
    PangoRectangle logical;
    pango_layout_get_extents(layout_, nullptr, &logical);
    return double(logical.height) / PANGO_SCALE;
}

void TextLayout::centre()
{
    pango_layout_set_alignment(layout_, PANGO_ALIGN_CENTER);
}

void TextLayout::show(cairo_t* cr, double x, double y, const Colour& colour) const
{
    setColour(cr, colour);
    cairo_move_to(cr, x, y);
    pango_cairo_show_layout(cr, layout_);
}

} // namespace platform
