// Panels (badges) of a live X11 session: each is a window of our own with an
// alpha channel that the window manager leaves alone (override-redirect),
// that lets the pointer through (an empty input shape) and never takes the
// focus. What the host set is kept by the headless base, so it reads back
// the same and goes on headless once the X connection is gone.
#pragma once

#include "platform/desktop/headless/panels_headless.h"
#include "platform/linux/desktop/live/x_connection.h"

#include <map>

namespace platform {

class LivePanels : public HeadlessPanels {
public:
    LivePanels(XConnection& x);
    ~LivePanels() override;

    PanelId makePanel(const PanelStyle& style) override;
    void setPanelText(PanelId panel, const std::string& text) override;
    void setPanelFrame(PanelId panel, const Rect& frame) override;
    void orderPanelFrontRegardless(PanelId panel) override;
    void orderPanelOut(PanelId panel) override;

private:
    struct Shown {
        xcb_window_t window = XCB_WINDOW_NONE;
        int width = 0, height = 0;   // the window's size, in pixels
    };

    // Whether the X connection can still show panels.
    bool live();
    // The window of a panel, made on first need; none when it cannot be.
    Shown* windowOf(PanelId panel);
    void redraw(PanelId panel);
    void exposed(const xcb_generic_event_t& event);

    XConnection& x_;
    xcb_visualtype_t* visual_ = nullptr;
    xcb_colormap_t colormap_ = XCB_NONE;
    bool saidNoVisual_ = false;
    std::map<PanelId, Shown> windows_;
};

} // namespace platform
