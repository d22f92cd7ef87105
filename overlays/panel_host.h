// The go-between for the shell's native panels: they are drawn by the views
// library, loaded when first needed, whose entry points are named after the
// panel and the call (settings_open); what the user does in a panel comes
// back through panelAct and goes to the shell as {"act": ...}.
#pragma once

#include "platform/dynamic_library.h"
#include "platform/process.h"

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace kestrune::overlays {

inline const std::string viewsLibraryVariable = "SWIFT_VIEWS_DYLIB";
inline const std::string viewsInBundle = "Contents/Frameworks/libViews.dylib";

// Where the views library is loaded from: the shell environment's
// SWIFT_VIEWS_DYLIB when that file exists, else the bundle's own library
// when it exists, else the library of the outermost application around the
// bundle (a helper may be nested inside the main application), unchecked.
std::string viewsPathFor(const platform::Environment& shellEnvironment, const std::string& bundlePath);

class PanelHost {
public:
    explicit PanelHost(std::string viewsPath);
    PanelHost(const PanelHost&) = delete;
    PanelHost& operator=(const PanelHost&) = delete;

    // The library's handle, loading it when it is not loaded yet; nothing,
    // with the loader's reason, when it cannot be loaded (the next call tries
    // again). Once loaded it stays.
    platform::Result<platform::LibraryHandle> library();
    // An entry point of the library, loading it first when needed.
    platform::Result<void*> entry(const std::string& symbol);

    // A "panel" message line, read on the main thread.
    void callLine(std::string_view line);
    // The object under "panel": {"name", "call", "look"}.
    void call(const nlohmann::json& panel);
    // Closes every panel ever prepared or opened; they stay known, so a
    // later shell's end closes them again.
    void closeAll();

    const std::set<std::string>& opened() const { return opened_; }
    const std::string& viewsPath() const { return viewsPath_; }

private:
    std::optional<platform::LibraryHandle> library_;
    std::set<std::string> opened_;
    std::string viewsPath_;
};

} // namespace kestrune::overlays

// The action callback handed to the views library: any thread may call it
// with a NUL-terminated text, or null. The text, with invalid UTF-8
// repaired, goes to the shell as {"act": text} from the main thread.
extern "C" void panelAct(const char* act);
