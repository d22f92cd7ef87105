// What the live desktop's own windows share (badges, alerts, popped-up
// menus): the visual they are made with, where the first screen is, the
// conversion from the host's screen coordinates, colours read from free
// text, rounded shapes and text laid out with pango on cairo.
#pragma once

#include "platform/desktop/values.h"
#include "platform/linux/desktop/live/x_connection.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

struct Colour {
    double red = 0, green = 0, blue = 0, alpha = 1;
};

// A colour from the host's free text: a name ("black", "white", "gray"...)
// and an optional alpha after a space ("black 0.78"). Unknown text is black.
Colour colourOf(const std::string& text);

// The 32-bit TrueColor visual of the screen, for windows with an alpha
// channel; nothing when the server has none.
xcb_visualtype_t* argbVisualOf(xcb_screen_t* screen);
// The visual type of the screen's root visual.
xcb_visualtype_t* rootVisualOf(xcb_screen_t* screen);

// The first screen in X coordinates: the monitor whose origin is the
// root's, else the whole root window.
struct ScreenArea {
    int x = 0, y = 0, width = 0, height = 0;
};
ScreenArea firstScreenOf(XConnection& x);

// A rectangle in the host's screen coordinates (origin at the lower left of
// the first screen, y up) in X's (origin top left, y down), whole pixels.
struct XRectangle {
    int x = 0, y = 0, width = 0, height = 0;
};
XRectangle toX(const Rect& frame, int firstScreenHeight);
// A point of the host's screen coordinates in X's.
void toX(const Point& point, int firstScreenHeight, int& x, int& y);

// Draws into a window for the length of one redraw.
class WindowPainter {
public:
    WindowPainter(XConnection& x, xcb_window_t window, xcb_visualtype_t* visual, int width, int height);
    ~WindowPainter();
    WindowPainter(const WindowPainter&) = delete;
    WindowPainter& operator=(const WindowPainter&) = delete;
    cairo_t* cr() const { return cr_; }

private:
    cairo_surface_t* surface_;
    cairo_t* cr_;
};

void setColour(cairo_t* cr, const Colour& colour);
void roundedRectangle(cairo_t* cr, double x, double y, double width, double height, double radius);

// One piece of text laid out for drawing: a font of a size and weight
// (FONT_WEIGHT_*), cut with an ellipsis at `width` when it is given.
class TextLayout {
public:
    TextLayout(cairo_t* cr, const std::string& text, double size, double weight, double width = -1, bool wraps = false);
    ~TextLayout();
    TextLayout(const TextLayout&) = delete;
    TextLayout& operator=(const TextLayout&) = delete;
    double width() const;
    double height() const;
    void centre();
    void show(cairo_t* cr, double x, double y, const Colour& colour) const;

private:
    PangoLayout* layout_;
};

} // namespace platform
