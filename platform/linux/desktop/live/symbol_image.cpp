#include "platform/linux/desktop/live/symbol_image.h"

#include "platform/linux/desktop/live/symbols.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace platform {

namespace {

constexpr double PI = 3.14159265358979323846;
// A symbol without a point size is drawn at the menu bar's natural size.
constexpr double NATURAL_POINT_SIZE = 16;

struct SurfaceDeleter {
    void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
struct ContextDeleter {
    void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;
using Context = std::unique_ptr<cairo_t, ContextDeleter>;

// A symbol the catalogue lacks still shows something: a rounded square, so
// that the item can be found and clicked.
void drawNeutralShape(cairo_t* cr, double x, double y, double size)
{
    double inset = size * 0.15, side = size - 2 * inset, radius = size * 0.12;
    cairo_save(cr);
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + inset + side - radius, y + inset + radius, radius, -PI / 2, 0);
    cairo_arc(cr, x + inset + side - radius, y + inset + side - radius, radius, 0, PI / 2);
    cairo_arc(cr, x + inset + radius, y + inset + side - radius, radius, PI / 2, PI);
    cairo_arc(cr, x + inset + radius, y + inset + radius, radius, PI, 3 * PI / 2);
    cairo_close_path(cr);
    cairo_set_line_width(cr, std::max(1.0, size * 0.085));
    cairo_stroke(cr);
    cairo_restore(cr);
}

void drawOne(cairo_t* cr, const std::string& name, double x, double y, double size)
{
    if (!drawSymbol(cr, name, x, y, size))
        drawNeutralShape(cr, x, y, size);
}

// Draws the image into a fresh square surface of `side` pixels.
Surface drawn(const SymbolImage& image, int side, double ink)
{
    side = std::clamp(side, 1, 1024);
    Surface surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, side, side));
    Context cr(cairo_create(surface.get()));
    cairo_set_source_rgb(cr.get(), ink, ink, ink);

    double base = std::clamp(image.pointSize.value_or(NATURAL_POINT_SIZE), 1.0, 512.0);
    BadgeGeometry geometry{base, base, {0, 0, base, base}, {}, {}};
    if (image.badge)
        geometry = badgeGeometry(base, base, BADGE_POINT_SIZE, BADGE_POINT_SIZE);
    // Points to pixels, centred; the geometry's origin is its lower left.
    double scale = side / std::max(geometry.width, geometry.height);
    double left = (side - geometry.width * scale) / 2, top = (side - geometry.height * scale) / 2;
    auto pixelX = [&](const Rect& r) { return left + r.x * scale; };
    auto pixelY = [&](const Rect& r) { return top + (geometry.height - r.y - r.height) * scale; };

    drawOne(cr.get(), image.symbol, pixelX(geometry.base), pixelY(geometry.base), geometry.base.width * scale);
    if (image.badge) {
        const Rect& halo = geometry.halo;
        cairo_save(cr.get());
        cairo_translate(cr.get(), pixelX(halo) + halo.width * scale / 2, pixelY(halo) + halo.height * scale / 2);
        cairo_scale(cr.get(), halo.width * scale / 2, halo.height * scale / 2);
        cairo_arc(cr.get(), 0, 0, 1, 0, 2 * PI);
        cairo_set_operator(cr.get(), CAIRO_OPERATOR_CLEAR);
        cairo_fill(cr.get());
        cairo_restore(cr.get());
        drawOne(cr.get(), *image.badge, pixelX(geometry.badge), pixelY(geometry.badge), geometry.badge.width * scale);
    }
    cairo_surface_flush(surface.get());
    return surface;
}

} // namespace

IconPixmap symbolPixmap(const SymbolImage& image, int side, double ink)
{
    Surface surface = drawn(image, side, ink);
    IconPixmap pixmap;
    pixmap.side = cairo_image_surface_get_width(surface.get());
    pixmap.argb.reserve(size_t(pixmap.side) * pixmap.side * 4);
    const unsigned char* data = cairo_image_surface_get_data(surface.get());
    int stride = cairo_image_surface_get_stride(surface.get());
    for (int y = 0; y < pixmap.side; ++y) {
        const auto* row = reinterpret_cast<const uint32_t*>(data + size_t(y) * stride);
        for (int x = 0; x < pixmap.side; ++x) {
            // Cairo keeps native-endian premultiplied words; the tray wants
            // straight bytes, alpha first.
            uint32_t pixel = row[x];
            uint32_t alpha = pixel >> 24;
            auto straight = [&](uint32_t channel) {
                return uint8_t(alpha ? std::min<uint32_t>(255, (channel * 255 + alpha / 2) / alpha) : 0);
            };
            pixmap.argb.push_back(uint8_t(alpha));
            pixmap.argb.push_back(straight((pixel >> 16) & 0xff));
            pixmap.argb.push_back(straight((pixel >> 8) & 0xff));
            pixmap.argb.push_back(straight(pixel & 0xff));
        }
    }
    return pixmap;
}

std::vector<uint8_t> symbolPng(const SymbolImage& image, int side, double ink)
{
    Surface surface = drawn(image, side, ink);
    std::vector<uint8_t> bytes;
    auto write = [](void* closure, const unsigned char* data, unsigned int length) {
        auto* into = static_cast<std::vector<uint8_t>*>(closure);
        into->insert(into->end(), data, data + length);
        return CAIRO_STATUS_SUCCESS;
    };
    if (cairo_surface_write_to_png_stream(surface.get(), write, &bytes) != CAIRO_STATUS_SUCCESS)
        bytes.clear();
    return bytes;
}

} // namespace platform
