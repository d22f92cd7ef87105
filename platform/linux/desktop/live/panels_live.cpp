#include "platform/linux/desktop/live/panels_live.h"

#include "platform/linux/desktop/live/drawing.h"
#include "platform/main_queue.h"
#include "platform/standard_error.h"

#include <xcb/shape.h>

#include <algorithm>
#include <cstdlib>

namespace platform {

LivePanels::LivePanels(XConnection& x)
    : x_(x)
{
    x_.onEvent(XCB_EXPOSE, [this](const xcb_generic_event_t& event) { exposed(event); });
    // The windows went with the connection; the headless base carries on.
    x_.whenGone([this] { windows_.clear(); });
}

LivePanels::~LivePanels()
{
    if (!live())
        return;
    for (const auto& [panel, shown] : windows_)
        xcb_destroy_window(x_.connection(), shown.window);
    if (colormap_ != XCB_NONE)
        xcb_free_colormap(x_.connection(), colormap_);
    xcb_flush(x_.connection());
}

PanelId LivePanels::makePanel(const PanelStyle& style)
{
    // The window waits for the first frame or ordering: a badge made and
    // never shown costs the server nothing.
    return HeadlessPanels::makePanel(style);
}

void LivePanels::setPanelText(PanelId panel, const std::string& text)
{
    HeadlessPanels::setPanelText(panel, text);
    redraw(panel);
}

void LivePanels::setPanelFrame(PanelId panel, const Rect& frame)
{
    HeadlessPanels::setPanelFrame(panel, frame);
    if (!live() || !panels_.count(panel))
        return;
    Shown* shown = windowOf(panel);
    if (!shown)
        return;
    XRectangle place = toX(frame, firstScreenOf(x_).height);
    const uint32_t values[] = {uint32_t(place.x), uint32_t(place.y), uint32_t(place.width), uint32_t(place.height)};
    xcb_configure_window(x_.connection(), shown->window,
                         XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
                         values);
    shown->width = place.width;
    shown->height = place.height;
    redraw(panel);
}

void LivePanels::orderPanelFrontRegardless(PanelId panel)
{
    HeadlessPanels::orderPanelFrontRegardless(panel);
    if (!live() || !panels_.count(panel))
        return;
    Shown* shown = windowOf(panel);
    if (!shown)
        return;
    // Mapped over everything; override-redirect keeps the window manager
    // from giving it the focus or a frame.
    xcb_map_window(x_.connection(), shown->window);
    const uint32_t above[] = {XCB_STACK_MODE_ABOVE};
    xcb_configure_window(x_.connection(), shown->window, XCB_CONFIG_WINDOW_STACK_MODE, above);
    redraw(panel);
}

void LivePanels::orderPanelOut(PanelId panel)
{
    HeadlessPanels::orderPanelOut(panel);
    if (!live())
        return;
    if (auto found = windows_.find(panel); found != windows_.end()) {
        xcb_unmap_window(x_.connection(), found->second.window);
        x_.flush();
    }
}

bool LivePanels::live()
{
    return x_.healthy();
}

LivePanels::Shown* LivePanels::windowOf(PanelId panel)
{
    if (auto found = windows_.find(panel); found != windows_.end())
        return &found->second;
    auto* connection = x_.connection();
    if (!visual_) {
        visual_ = argbVisualOf(x_.screen());
        if (!visual_) {
            if (!saidNoVisual_)
                sayOnStandardError("live desktop: the X server has no 32-bit visual; badges are not shown");
            saidNoVisual_ = true;
            return nullptr;
        }
        colormap_ = xcb_generate_id(connection);
        xcb_create_colormap(connection, XCB_COLORMAP_ALLOC_NONE, colormap_, x_.root(), visual_->visual_id);
    }
    const Panel& state = panels_.at(panel);
    XRectangle place = toX(state.frame, firstScreenOf(x_).height);
    Shown shown;
    shown.window = xcb_generate_id(connection);
    shown.width = place.width;
    shown.height = place.height;
    // A window of another depth than the root's needs its own colormap and
    // a border pixel, or the server refuses it.
    const uint32_t values[] = {0, 0, 1, XCB_EVENT_MASK_EXPOSURE, colormap_};
    auto made = xcb_create_window_checked(
        connection, 32, shown.window, x_.root(), int16_t(place.x), int16_t(place.y), uint16_t(place.width),
        uint16_t(place.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, visual_->visual_id,
        XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK | XCB_CW_COLORMAP, values);
    if (auto* error = xcb_request_check(connection, made)) {
        sayOnStandardError("live desktop: a badge's window could not be made (X error "
                           + std::to_string(int(error->error_code)) + ")");
        std::free(error);
        x_.dispatchSoon();
        return nullptr;
    }
    x_.dispatchSoon();
    // Clicks go through to the window below: no part of it takes input. A
    // server without the shape extension shows the badge all the same.
    const xcb_query_extension_reply_t* shape = xcb_get_extension_data(connection, &xcb_shape_id);
    if (shape && shape->present)
        xcb_shape_rectangles(connection, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_INPUT, XCB_CLIP_ORDERING_UNSORTED, shown.window, 0,
                             0, 0, nullptr);
    auto& ewmh = x_.ewmh();
    xcb_atom_t types[] = {ewmh._NET_WM_WINDOW_TYPE_NOTIFICATION, ewmh._NET_WM_WINDOW_TYPE_TOOLTIP};
    xcb_ewmh_set_wm_window_type(&ewmh, shown.window, 2, types);
    const char name[] = "Badge";
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, shown.window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        sizeof name - 1, name);
    // No input hint: the window manager is never asked to focus it.
    const uint32_t hints[9] = {1, 0, 0, 0, 0, 0, 0, 0, 0};   // flags = InputHint, input = false
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, shown.window, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, 32, 9,
                        hints);
    return &windows_.emplace(panel, shown).first->second;
}

void LivePanels::redraw(PanelId panel)
{
    if (!live())
        return;
    auto found = windows_.find(panel);
    auto state = panels_.find(panel);
    if (found == windows_.end() || state == panels_.end() || !state->second.visible) {
        x_.flush();
        return;
    }
    const Shown& shown = found->second;
    const PanelStyle& style = state->second.style;
    {
        WindowPainter painter(x_, shown.window, visual_, shown.width, shown.height);
        cairo_t* cr = painter.cr();
        cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
        cairo_set_source_rgba(cr, 0, 0, 0, 0);
        cairo_paint(cr);
        setColour(cr, style.background.empty() ? Colour{0, 0, 0, 0.78} : colourOf(style.background));
        roundedRectangle(cr, 0, 0, shown.width, shown.height, std::max(0.0, style.cornerRadius));
        cairo_fill(cr);
        cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
        const std::string& text = state->second.text;
        if (!text.empty()) {
            TextLayout label(cr, text, style.fontSize > 0 ? style.fontSize : 13, style.fontWeight, shown.width);
            label.centre();
            label.show(cr, 0, (shown.height - label.height()) / 2, {1, 1, 1, 1});
        }
    }
    x_.flush();
}

void LivePanels::exposed(const xcb_generic_event_t& event)
{
    const auto& expose = reinterpret_cast<const xcb_expose_event_t&>(event);
    if (expose.count != 0)
        return;
    for (const auto& [panel, shown] : windows_) {
        if (shown.window == expose.window) {
            redraw(panel);
            return;
        }
    }
}

} // namespace platform
