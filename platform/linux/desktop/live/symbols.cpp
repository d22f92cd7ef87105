#include "platform/linux/desktop/live/symbols.h"

#include <array>
#include <cmath>
#include <map>

namespace platform {

namespace {

constexpr double PI = 3.14159265358979323846;
// Lines are drawn this thick, as a share of the symbol's side.
constexpr double LINE = 0.085;

using Drawing = void (*)(cairo_t*);

// A five-pointed star's outline in the unit square.
void starPath(cairo_t* cr)
{
    for (int i = 0; i < 10; ++i) {
        double radius = i % 2 ? 0.2 : 0.47;
        double angle = -PI / 2 + i * PI / 5;
        double x = 0.5 + radius * std::cos(angle), y = 0.53 + radius * std::sin(angle);
        i ? cairo_line_to(cr, x, y) : cairo_move_to(cr, x, y);
    }
    cairo_close_path(cr);
}

// A rectangle with rounded corners.
void roundedPath(cairo_t* cr, double x, double y, double width, double height, double radius)
{
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + width - radius, y + radius, radius, -PI / 2, 0);
    cairo_arc(cr, x + width - radius, y + height - radius, radius, 0, PI / 2);
    cairo_arc(cr, x + radius, y + height - radius, radius, PI / 2, PI);
    cairo_arc(cr, x + radius, y + radius, radius, PI, 3 * PI / 2);
    cairo_close_path(cr);
}

void circle(cairo_t* cr, double x, double y, double radius)
{
    cairo_new_sub_path(cr);
    cairo_arc(cr, x, y, radius, 0, 2 * PI);
}

void line(cairo_t* cr, double x0, double y0, double x1, double y1)
{
    cairo_move_to(cr, x0, y0);
    cairo_line_to(cr, x1, y1);
}

// A heart's outline.
void heartPath(cairo_t* cr)
{
    cairo_move_to(cr, 0.5, 0.86);
    cairo_curve_to(cr, 0.1, 0.6, 0.02, 0.35, 0.2, 0.2);
    cairo_curve_to(cr, 0.33, 0.1, 0.47, 0.18, 0.5, 0.3);
    cairo_curve_to(cr, 0.53, 0.18, 0.67, 0.1, 0.8, 0.2);
    cairo_curve_to(cr, 0.98, 0.35, 0.9, 0.6, 0.5, 0.86);
    cairo_close_path(cr);
}

// A triangle standing on its base.
void trianglePath(cairo_t* cr)
{
    cairo_move_to(cr, 0.5, 0.1);
    cairo_line_to(cr, 0.93, 0.87);
    cairo_line_to(cr, 0.07, 0.87);
    cairo_close_path(cr);
}

const std::map<std::string, Drawing>& catalogue()
{
    static const std::map<std::string, Drawing> drawings = {
        {"rectangle.grid.2x2",
         [](cairo_t* cr) {
             for (double x : {0.1, 0.55})
                 for (double y : {0.1, 0.55})
                     roundedPath(cr, x, y, 0.35, 0.35, 0.07);
             cairo_stroke(cr);
         }},
        {"star", [](cairo_t* cr) { starPath(cr), cairo_stroke(cr); }},
        {"star.fill", [](cairo_t* cr) { starPath(cr), cairo_fill(cr); }},
        {"circle", [](cairo_t* cr) { circle(cr, 0.5, 0.5, 0.4), cairo_stroke(cr); }},
        {"circle.fill", [](cairo_t* cr) { circle(cr, 0.5, 0.5, 0.4), cairo_fill(cr); }},
        {"square", [](cairo_t* cr) { roundedPath(cr, 0.12, 0.12, 0.76, 0.76, 0.1), cairo_stroke(cr); }},
        {"square.fill", [](cairo_t* cr) { roundedPath(cr, 0.12, 0.12, 0.76, 0.76, 0.1), cairo_fill(cr); }},
        {"heart", [](cairo_t* cr) { heartPath(cr), cairo_stroke(cr); }},
        {"heart.fill", [](cairo_t* cr) { heartPath(cr), cairo_fill(cr); }},
        {"doc",
         [](cairo_t* cr) {
             cairo_move_to(cr, 0.2, 0.08);
             cairo_line_to(cr, 0.6, 0.08);
             cairo_line_to(cr, 0.8, 0.28);
             cairo_line_to(cr, 0.8, 0.92);
             cairo_line_to(cr, 0.2, 0.92);
             cairo_close_path(cr);
             line(cr, 0.6, 0.08, 0.6, 0.28);
             cairo_line_to(cr, 0.8, 0.28);
             cairo_stroke(cr);
         }},
        {"folder",
         [](cairo_t* cr) {
             cairo_move_to(cr, 0.08, 0.22);
             cairo_line_to(cr, 0.4, 0.22);
             cairo_line_to(cr, 0.48, 0.32);
             cairo_line_to(cr, 0.92, 0.32);
             cairo_line_to(cr, 0.92, 0.82);
             cairo_line_to(cr, 0.08, 0.82);
             cairo_close_path(cr);
             cairo_stroke(cr);
         }},
        {"text.bubble",
         [](cairo_t* cr) {
             roundedPath(cr, 0.08, 0.12, 0.84, 0.6, 0.14);
             cairo_move_to(cr, 0.25, 0.72);
             cairo_line_to(cr, 0.2, 0.92);
             cairo_line_to(cr, 0.42, 0.72);
             cairo_stroke(cr);
             line(cr, 0.25, 0.34, 0.75, 0.34);
             line(cr, 0.25, 0.5, 0.6, 0.5);
             cairo_stroke(cr);
         }},
        {"hand.wave",
         [](cairo_t* cr) {
             roundedPath(cr, 0.22, 0.45, 0.5, 0.45, 0.2);
             cairo_stroke(cr);
             for (int finger = 0; finger < 4; ++finger) {
                 double x = 0.3 + finger * 0.12;
                 line(cr, x, 0.5, x + 0.05, 0.12 + std::abs(finger - 1.5) * 0.06);
             }
             line(cr, 0.24, 0.62, 0.08, 0.45);
             cairo_stroke(cr);
         }},
        {"gearshape",
         [](cairo_t* cr) {
             circle(cr, 0.5, 0.5, 0.27);
             circle(cr, 0.5, 0.5, 0.1);
             for (int tooth = 0; tooth < 8; ++tooth) {
                 double angle = tooth * PI / 4;
                 line(cr, 0.5 + 0.27 * std::cos(angle), 0.5 + 0.27 * std::sin(angle), 0.5 + 0.42 * std::cos(angle),
                      0.5 + 0.42 * std::sin(angle));
             }
             cairo_stroke(cr);
         }},
        {"bell",
         [](cairo_t* cr) {
             cairo_move_to(cr, 0.15, 0.75);
             cairo_curve_to(cr, 0.28, 0.6, 0.22, 0.18, 0.5, 0.15);
             cairo_curve_to(cr, 0.78, 0.18, 0.72, 0.6, 0.85, 0.75);
             cairo_close_path(cr);
             circle(cr, 0.5, 0.86, 0.07);
             cairo_stroke(cr);
         }},
        {"envelope",
         [](cairo_t* cr) {
             cairo_rectangle(cr, 0.08, 0.22, 0.84, 0.56);
             cairo_move_to(cr, 0.08, 0.22);
             cairo_line_to(cr, 0.5, 0.55);
             cairo_line_to(cr, 0.92, 0.22);
             cairo_stroke(cr);
         }},
        {"magnifyingglass",
         [](cairo_t* cr) {
             circle(cr, 0.42, 0.42, 0.28);
             line(cr, 0.62, 0.62, 0.9, 0.9);
             cairo_stroke(cr);
         }},
        {"checkmark", [](cairo_t* cr) { cairo_move_to(cr, 0.12, 0.52), cairo_line_to(cr, 0.4, 0.8), cairo_line_to(cr, 0.88, 0.2), cairo_stroke(cr); }},
        {"xmark", [](cairo_t* cr) { line(cr, 0.18, 0.18, 0.82, 0.82), line(cr, 0.82, 0.18, 0.18, 0.82), cairo_stroke(cr); }},
        {"plus", [](cairo_t* cr) { line(cr, 0.5, 0.12, 0.5, 0.88), line(cr, 0.12, 0.5, 0.88, 0.5), cairo_stroke(cr); }},
        {"minus", [](cairo_t* cr) { line(cr, 0.12, 0.5, 0.88, 0.5), cairo_stroke(cr); }},
        {"arrow.clockwise",
         [](cairo_t* cr) {
             cairo_arc(cr, 0.5, 0.52, 0.33, -PI / 2, 1.5 * PI - 0.6);
             cairo_stroke(cr);
             cairo_move_to(cr, 0.42, 0.06);
             cairo_line_to(cr, 0.6, 0.19);
             cairo_line_to(cr, 0.42, 0.32);
             cairo_stroke(cr);
         }},
        {"exclamationmark.triangle",
         [](cairo_t* cr) {
             trianglePath(cr);
             line(cr, 0.5, 0.38, 0.5, 0.62);
             cairo_stroke(cr);
             circle(cr, 0.5, 0.74, 0.045);
             cairo_fill(cr);
         }},
        {"info.circle",
         [](cairo_t* cr) {
             circle(cr, 0.5, 0.5, 0.4);
             line(cr, 0.5, 0.44, 0.5, 0.72);
             cairo_stroke(cr);
             circle(cr, 0.5, 0.31, 0.045);
             cairo_fill(cr);
         }},
        {"questionmark.circle",
         [](cairo_t* cr) {
             circle(cr, 0.5, 0.5, 0.4);
             cairo_stroke(cr);
             cairo_arc(cr, 0.5, 0.4, 0.12, PI, 2.4 * PI);
             cairo_line_to(cr, 0.5, 0.6);
             cairo_stroke(cr);
             circle(cr, 0.5, 0.72, 0.045);
             cairo_fill(cr);
         }},
        {"bolt",
         [](cairo_t* cr) {
             cairo_move_to(cr, 0.58, 0.06);
             cairo_line_to(cr, 0.2, 0.56);
             cairo_line_to(cr, 0.48, 0.56);
             cairo_line_to(cr, 0.4, 0.94);
             cairo_line_to(cr, 0.8, 0.42);
             cairo_line_to(cr, 0.52, 0.42);
             cairo_close_path(cr);
             cairo_fill(cr);
         }},
        {"moon",
         [](cairo_t* cr) {
             cairo_arc(cr, 0.5, 0.5, 0.38, 0.35 * PI, 1.65 * PI);
             cairo_arc_negative(cr, 0.66, 0.42, 0.3, 1.45 * PI, 0.62 * PI);
             cairo_close_path(cr);
             cairo_stroke(cr);
         }},
        {"sun.max",
         [](cairo_t* cr) {
             circle(cr, 0.5, 0.5, 0.18);
             for (int ray = 0; ray < 8; ++ray) {
                 double angle = ray * PI / 4;
                 line(cr, 0.5 + 0.28 * std::cos(angle), 0.5 + 0.28 * std::sin(angle), 0.5 + 0.44 * std::cos(angle),
                      0.5 + 0.44 * std::sin(angle));
             }
             cairo_stroke(cr);
         }},
        {"sparkles",
         [](cairo_t* cr) {
             for (auto [x, y, r] : {std::array{0.4, 0.55, 0.32}, std::array{0.78, 0.22, 0.16}}) {
                 cairo_move_to(cr, x, y - r);
                 cairo_curve_to(cr, x, y, x, y, x + r, y);
                 cairo_curve_to(cr, x, y, x, y, x, y + r);
                 cairo_curve_to(cr, x, y, x, y, x - r, y);
                 cairo_curve_to(cr, x, y, x, y, x, y - r);
                 cairo_close_path(cr);
             }
             cairo_fill(cr);
         }},
        {"person",
         [](cairo_t* cr) {
             circle(cr, 0.5, 0.3, 0.17);
             cairo_stroke(cr);
             cairo_arc(cr, 0.5, 0.9, 0.33, PI, 2 * PI);
             cairo_close_path(cr);
             cairo_stroke(cr);
         }},
        {"trash",
         [](cairo_t* cr) {
             line(cr, 0.12, 0.22, 0.88, 0.22);
             line(cr, 0.38, 0.22, 0.38, 0.1);
             cairo_line_to(cr, 0.62, 0.1);
             cairo_line_to(cr, 0.62, 0.22);
             cairo_move_to(cr, 0.2, 0.22);
             cairo_line_to(cr, 0.26, 0.92);
             cairo_line_to(cr, 0.74, 0.92);
             cairo_line_to(cr, 0.8, 0.22);
             cairo_stroke(cr);
         }},
        {"lock",
         [](cairo_t* cr) {
             roundedPath(cr, 0.18, 0.45, 0.64, 0.47, 0.08);
             cairo_move_to(cr, 0.3, 0.45);
             cairo_arc(cr, 0.5, 0.32, 0.2, PI, 2 * PI);
             cairo_line_to(cr, 0.7, 0.45);
             cairo_stroke(cr);
         }},
        {"power",
         [](cairo_t* cr) {
             cairo_arc(cr, 0.5, 0.54, 0.36, -PI / 2 + 0.7, 1.5 * PI - 0.7);
             line(cr, 0.5, 0.08, 0.5, 0.5);
             cairo_stroke(cr);
         }},
    };
    return drawings;
}

} // namespace

bool symbolIsDrawable(const std::string& name)
{
    return catalogue().count(name) > 0;
}

bool drawSymbol(cairo_t* cr, const std::string& name, double x, double y, double size)
{
    auto found = catalogue().find(name);
    if (found == catalogue().end() || size <= 0)
        return false;
    cairo_save(cr);
    cairo_translate(cr, x, y);
    cairo_scale(cr, size, size);
    cairo_set_line_width(cr, LINE);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_new_path(cr);
    found->second(cr);
    cairo_new_path(cr);
    cairo_restore(cr);
    return true;
}

std::vector<std::string> drawableSymbols()
{
    std::vector<std::string> names;
    for (const auto& [name, drawing] : catalogue())
        names.push_back(name);
    return names;
}

} // namespace platform
