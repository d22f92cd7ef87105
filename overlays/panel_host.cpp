#include "overlays/panel_host.h"

#include "channel/outgoing.h"
#include "platform/files.h"
#include "platform/json_line.h"
#include "platform/main_queue.h"
#include "platform/text.h"
#include "supervision/death_log.h"
#include "supervision/launch.h"

#include <nlohmann/json.hpp>

namespace kestrune::overlays {

namespace {
// The reader let the line through only when it parsed within this depth.
constexpr int MESSAGE_DEPTH_LIMIT = 1024;

using OpenEntry = void (*)(const char* look, void (*act)(const char*));
using UpdateEntry = void (*)(const char* look);
using CloseEntry = void (*)();

bool isPanelName(const std::string& name)
{
    for (char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'))
            return false;
    }
    return true;
}

// A function's address as what it is.
template <class Function>
Function functionAt(void* address)
{
    return reinterpret_cast<Function>(address);
}
} // namespace

std::string viewsPathFor(const platform::Environment& shellEnvironment, const std::string& bundlePath)
{
    if (auto given = shellEnvironment.find(viewsLibraryVariable);
        given != shellEnvironment.end() && platform::fileExists(given->second))
        return given->second;
    std::string own = platform::appendingComponent(bundlePath, viewsInBundle);
    if (platform::fileExists(own))
        return own;
    std::string outermost = bundlePath;
    if (auto app = bundlePath.find(".app/"); app != std::string::npos)
        outermost = bundlePath.substr(0, app) + ".app";
    return outermost + "/" + viewsInBundle;
}

PanelHost::PanelHost(std::string viewsPath)
    : viewsPath_(std::move(viewsPath))
{
    platform::assertOnTheMainThread("PanelHost");
}

platform::Result<platform::LibraryHandle> PanelHost::library()
{
    platform::assertOnTheMainThread("PanelHost::library");
    if (!library_) {
        auto loaded = platform::loadLibrary(viewsPath_);
        if (!loaded)
            return loaded.failure();
        library_ = *loaded;
    }
    return *library_;
}

platform::Result<void*> PanelHost::entry(const std::string& symbol)
{
    platform::assertOnTheMainThread("PanelHost::entry");
    auto loaded = library();
    if (!loaded)
        return loaded.failure();
    return platform::symbolOf(*loaded, symbol);
}

void PanelHost::callLine(std::string_view line)
{
    platform::assertOnTheMainThread("PanelHost::callLine");
    auto message = platform::objectWithin(line, MESSAGE_DEPTH_LIMIT);
    if (!message)
        return;
    if (auto panel = message->find("panel"); panel != message->end() && panel->is_object())
        call(*panel);
}

void PanelHost::call(const nlohmann::json& panel)
{
    platform::assertOnTheMainThread("PanelHost::call");
    auto name = panel.find("name");
    auto call = panel.find("call");
    if (name == panel.end() || !name->is_string() || call == panel.end() || !call->is_string())
        return;
    const std::string panelName = name->get<std::string>();
    const std::string callName = call->get<std::string>();
    if (!isPanelName(panelName))
        return;
    const std::string symbol = panelName + "_" + callName;
    auto found = entry(symbol);
    if (!found) {
        supervision::append({{"kind", "panel-entry-missing"},
                             {"entry", platform::repairedUTF8(symbol)},
                             {"views", viewsPath_},
                             {"error", platform::repairedUTF8(found.failure().description())}},
                            supervision::deathLog(supervision::shellPid()));
        return;
    }
    std::string look;
    if (auto given = panel.find("look"); given != panel.end() && given->is_string())
        look = given->get<std::string>();
    if (callName == "prepare" || callName == "open") {
        opened_.insert(panelName);
        functionAt<OpenEntry>(*found)(look.c_str(), panelAct);
    } else if (callName == "update") {
        functionAt<UpdateEntry>(*found)(look.c_str());
    } else if (callName == "close") {
        functionAt<CloseEntry>(*found)();
    }
}

void PanelHost::closeAll()
{
    platform::assertOnTheMainThread("PanelHost::closeAll");
    for (const auto& name : opened_) {
        if (auto found = entry(name + "_close"))
            functionAt<CloseEntry>(*found)();
    }
}

} // namespace kestrune::overlays

extern "C" void panelAct(const char* act)
{
    if (!act)
        return;
    auto send = [text = platform::repairedUTF8(act)] { kestrune::channel::tellTheChild({{"act", text}}); };
    if (platform::onTheMainThread())
        send();
    else
        platform::post(std::move(send));
}
