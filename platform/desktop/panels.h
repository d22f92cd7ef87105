// Panels: the small borderless windows the host puts over other applications
// (badges and the like), made, labelled, moved and ordered in or out
// (NSPanel).
#pragma once

#include "platform/desktop/values.h"

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// NSWindowCollectionBehavior bits.
inline constexpr uint64_t COLLECTION_CAN_JOIN_ALL_SPACES = 1 << 0;
inline constexpr uint64_t COLLECTION_TRANSIENT = 1 << 3;
inline constexpr uint64_t COLLECTION_IGNORES_CYCLE = 1 << 6;

// How a panel is made. A badge is a non-activating, floating panel at the
// status level that lets clicks through to the window below.
struct PanelStyle {
    double width = 0, height = 0;        // the content size
    bool nonactivating = false;
    int level = NORMAL_WINDOW_LEVEL;
    bool floating = false;
    bool ignoresMouseEvents = false;
    bool hidesOnDeactivate = true;
    bool opaque = true;
    bool hasShadow = true;
    uint64_t collectionBehavior = 0;
    double cornerRadius = 0;              // of its rounded background
    std::string background;               // "black 0.78", free text for readers
    double fontSize = 0;                  // of its label
    double fontWeight = FONT_WEIGHT_REGULAR;
    bool operator==(const PanelStyle&) const = default;
};

using PanelId = int;

struct Panel {
    PanelStyle style;
    Rect frame;               // screen coordinates
    std::string text;         // its label's text
    bool visible = false;     // ordered front and not ordered out since
    bool operator==(const Panel&) const = default;
};

// Every call is made on the main thread.
class Panels {
public:
    virtual ~Panels() = default;

    virtual PanelId makePanel(const PanelStyle& style) = 0;
    virtual void setPanelText(PanelId panel, const std::string& text) = 0;
    // Moves and resizes the panel (screen coordinates) and redisplays it.
    virtual void setPanelFrame(PanelId panel, const Rect& frame) = 0;
    // Orders the panel front whichever application is active; the host is
    // not activated.
    virtual void orderPanelFrontRegardless(PanelId panel) = 0;
    virtual void orderPanelOut(PanelId panel) = 0;
    // What the host set on a panel; nothing for an unknown one.
    virtual std::optional<Panel> panel(PanelId panel) = 0;
};

// The panels of this process's desktop (see platform/desktop.h).
Panels& panels();

} // namespace platform
