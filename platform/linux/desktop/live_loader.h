// How this system finds the live desktop: a shared library opened only when
// the live desktop is chosen, so that a host on the headless desktop or the
// desktop server never maps xcb, sd-bus or cairo. A port whose live desktop
// is part of the host (AppKit on macOS) has nothing of this.
#pragma once

#include "platform/desktop.h"

#include <string>

namespace platform {

// The live desktop's library in place of the bundle's own (tests, a
// library built elsewhere).
inline constexpr const char* LIVE_DESKTOP_LIBRARY_VARIABLE = "KESTRUNE_LIVE_DESKTOP_LIBRARY";
// The library's file name: in Contents/Frameworks of an application bundle,
// beside the executable of a bare tool.
inline constexpr const char* LIVE_DESKTOP_LIBRARY_NAME = "libkestrune-live-desktop.so";
// Its one entry point (see LiveDesktopEntry).
inline constexpr const char* LIVE_DESKTOP_ENTRY = "kestrune_make_live_desktop";

// The live desktop's entry point: a desktop on the session the environment
// names, or nullptr with the reason in `error`. The library is never
// unloaded, so the desktop's code stays in place for its whole life.
using LiveDesktopEntry = Desktop* (*)(const DesktopIdentity& identity, std::string& error);

// Where the live desktop's library is looked for: the variable's path, else
// the bundle's Contents/Frameworks (a bare tool's own folder).
std::string liveDesktopLibraryPath();

} // namespace platform
