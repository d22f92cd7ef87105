#include "views.h"

#include "session.h"
#include "workspace.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <utility>

namespace desktop {

namespace {

namespace wire = platform::wire;

// The calls kept for each panel, the oldest dropped first.
constexpr std::size_t CALL_LIMIT = 1000;

const char* const CALL_REFUSAL =
    "a views call needs \"panel\", a \"call\" (prepare, open, update or close) and, but for close, a \"look\" string";
const char* const UPDATER_REFUSAL =
    "an updater call needs \"call\" (start or check), a 32-bit \"code\" and, to start, a \"feed\" string or null";

} // namespace

Views::Views(Session& session)
    : session_(session)
{
    session_.serve("viewsCall", Session::viewsLibraries, [this](Request& request) { call(request); });
    session_.serve("viewsUpdater", Session::viewsLibraries, [this](Request& request) { updater(request); });
    session_.serve("viewsLibrary", Session::clients, [this](Request& request) { list(request); }, false);
    session_.serve("panelAct", Session::clients, [this](Request& request) { act(request); });
}

void Views::joined(const Connection& connection)
{
    Library library;
    library.connection = connection.number;
    library.pid = connection.pid;
    libraries_.push_back(std::move(library));
}

// Libraries whose process is no host of the session are listed on their own.
void Views::describe(json& state)
{
    json alone = json::array();
    for (const auto& library : libraries_) {
        const auto& hosts = session_.hostRecords();
        bool hosted = std::any_of(hosts.begin(), hosts.end(), [&](const HostRecord& host) { return host.identity.pid == library.pid; });
        if (!hosted)
            alone.push_back(libraryJson(library));
    }
    state["viewsLibraries"] = alone;
}

void Views::describeHost(const HostRecord& host, json& record)
{
    Library* library = byPid(host.identity.pid);
    record["viewsLibrary"] = library ? json{{"connection", library->connection}, {"connected", library->connected}} : json(nullptr);
    record["viewPanels"] = library ? panelsJson(*library) : json::array();
    record["updater"] = library ? updaterJson(*library) : json(nullptr);
}

// A library that left keeps what it reported.
void Views::connectionClosed(const Connection& connection)
{
    if (connection.role != Role::views)
        return;
    if (Library* library = byConnection(connection.number))
        library->connected = false;
}

// The host called a panel's entry point.
void Views::call(Request& request)
{
    const json& message = request.message();
    auto panelName = wire::stringAt(message, "panel");
    auto callName = wire::stringAt(message, "call").value_or("");
    auto look = wire::stringAt(message, "look");
    static const std::map<std::string, std::string> states = {{"prepare", "prepared"}, {"open", "open"}, {"close", "closed"}, {"update", ""}};
    auto state = states.find(callName);
    if (!panelName || panelName->empty() || state == states.end() || (callName != "close" && !look)) {
        request.refuse(CALL_REFUSAL);
        return;
    }
    Library* library = byConnection(request.connection().number);
    if (!library) {
        request.refuse("no views library on this connection");
        return;
    }
    auto panel = std::find_if(library->panels.begin(), library->panels.end(), [&](const Panel& kept) { return kept.name == *panelName; });
    if (panel == library->panels.end()) {
        // A panel first updated or closed shows nothing yet.
        library->panels.push_back({*panelName, "closed", "", json::array()});
        panel = library->panels.end() - 1;
    }
    json entry = {{"call", callName}};
    if (look) {
        entry["look"] = *look;
        panel->look = *look;
    }
    if (wire::booleanAt(message, "truncated").value_or(false))
        entry["truncated"] = true;
    if (!state->second.empty())
        panel->state = state->second;
    panel->calls.push_back(std::move(entry));
    if (panel->calls.size() > CALL_LIMIT)
        panel->calls.erase(panel->calls.begin());
    request.reply();
}

// The host started the updater or had it check.
void Views::updater(Request& request)
{
    const json& message = request.message();
    auto callName = wire::stringAt(message, "call").value_or("");
    auto code = wire::integerAt(message, "code");
    auto feed = message.find("feed");
    bool feedUsable = feed != message.end() && (feed->is_string() || feed->is_null());
    if ((callName != "start" && callName != "check") || !code || !std::in_range<int32_t>(*code) || (callName == "start" && !feedUsable)) {
        request.refuse(UPDATER_REFUSAL);
        return;
    }
    Library* library = byConnection(request.connection().number);
    if (!library) {
        request.refuse("no views library on this connection");
        return;
    }
    if (callName == "start") {
        library->start = {{"feed", *feed}, {"code", *code}};
        ++library->starts;
    } else {
        ++library->checks;
        library->checkCode = *code;
    }
    request.reply();
}

// A client asks what a host's views library was told.
void Views::list(Request& request)
{
    if (Library* library = named(request))
        request.reply(libraryJson(*library));
}

// The user acts in a panel that is open or prepared: the library hears it.
void Views::act(Request& request)
{
    const json& message = request.message();
    auto panelName = request.required<std::string>("panel");
    if (!panelName)
        return;
    auto text = message.find("text");
    if (text == message.end() || !(text->is_string() || text->is_null())) {
        request.refuse("\"text\" must be a string or null");
        return;
    }
    Library* library = named(request);
    if (!library)
        return;
    std::string process = "process " + std::to_string(library->pid);
    if (!library->connected) {
        request.refuse("the views library of " + process + " is no longer connected");
        return;
    }
    auto panel = std::find_if(library->panels.begin(), library->panels.end(), [&](const Panel& kept) { return kept.name == *panelName; });
    if (panel == library->panels.end() || panel->state == "closed") {
        request.refuse("the views library of " + process + " has no panel \"" + *panelName + "\" open or prepared"
                       + (panel == library->panels.end() ? "" : " (it is closed)"));
        return;
    }
    session_.sendTo(library->connection, library->pid, {{"event", "panelAct"}, {"panel", *panelName}, {"text", *text}});
    request.reply({{"sent", true}, {"pid", library->pid}, {"panel", *panelName}});
}

Views::Library* Views::byConnection(uint64_t connection)
{
    for (auto& library : libraries_) {
        if (library.connection == connection)
            return &library;
    }
    return nullptr;
}

Views::Library* Views::byPid(pid_t pid)
{
    for (auto library = libraries_.rbegin(); library != libraries_.rend(); ++library) {
        if (library->pid == pid)
            return &*library;
    }
    return nullptr;
}

Views::Library* Views::named(Request& request)
{
    auto reference = request.message().find("host");
    if (reference == request.message().end() || reference->is_null()) {
        Library* only = nullptr;
        int count = 0;
        for (auto& library : libraries_) {
            if (library.connected) {
                only = &library;
                ++count;
            }
        }
        if (count == 1)
            return only;
        request.refuse(count == 0 ? "no views library is connected"
                                  : "more than one views library is connected: name its host with \"host\"");
        return nullptr;
    }
    // A process id need not be an application of the session: the library
    // of a process that never said hello as a host is named by it.
    std::optional<int64_t> pid = wire::integerAt(request.message(), "host");
    if (!pid && reference->is_string()) {
        const auto& name = reference->get_ref<const std::string&>();
        bool digits = !name.empty() && name.size() < 10
                      && std::all_of(name.begin(), name.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
        if (digits) {
            pid = std::stoll(name);
        } else {
            std::string error;
            App* app = session_.workspace().findApp(*reference, error);
            if (!app) {
                request.refuse(error);
                return nullptr;
            }
            pid = app->running.pid;
        }
    }
    if (!pid || !std::in_range<pid_t>(*pid)) {
        request.refuse("name the host by process id, bundle identifier or name");
        return nullptr;
    }
    Library* library = byPid(pid_t(*pid));
    if (!library)
        request.refuse("process " + std::to_string(*pid) + " has no views library connected");
    return library;
}

json Views::panelsJson(const Library& library)
{
    json panels = json::array();
    for (const auto& panel : library.panels)
        panels.push_back({{"name", panel.name}, {"state", panel.state}, {"look", panel.look}, {"calls", panel.calls}});
    return panels;
}

json Views::updaterJson(const Library& library)
{
    return {{"start", library.start}, {"starts", library.starts}, {"checks", library.checks}, {"checkCode", library.checkCode}};
}

json Views::libraryJson(const Library& library) const
{
    return {{"pid", library.pid},
            {"connection", library.connection},
            {"connected", library.connected},
            {"panels", panelsJson(library)},
            {"updater", updaterJson(library)}};
}

} // namespace desktop
