#include "workspace.h"

#include "hot_keys.h"
#include "session.h"
#include "window_server.h"

#include <algorithm>
#include <sys/syscall.h>
#include <unistd.h>

namespace desktop {

namespace {

using platform::ActivationPolicy;
using platform::ApplicationNotification;
using platform::WorkspaceNotification;
namespace wire = platform::wire;

// Processes the session makes up get ids no Linux process can have.
constexpr pid_t FIRST_MADE_UP_PID = 900000000;

// Whether the text begins with a URL scheme and a colon.
bool hasScheme(const std::string& url)
{
    auto colon = url.find(':');
    if (colon == std::string::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(url[0])))
        return false;
    for (std::size_t i = 1; i < colon; ++i) {
        char c = url[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return true;
}

} // namespace

Workspace::Workspace(Session& session)
    : session_(session)
    , nextMadeUpPid_(FIRST_MADE_UP_PID)
{
    auto serve = [this](const char* op, const Session::Roles& roles, void (Workspace::*handle)(Request&)) {
        session_.serve(op, roles, [this, handle](Request& request) { (this->*handle)(request); });
    };
    serve("frontmostApplication", Session::anyone, &Workspace::frontmostApplication);
    serve("runningApplications", Session::anyone, &Workspace::runningApplications);
    serve("runningApplication", Session::anyone, &Workspace::runningApplication);
    serve("activate", Session::processes, &Workspace::activate);
    serve("openURL", Session::processes, &Workspace::openURL);
    serve("setActivationPolicy", Session::processes, &Workspace::setActivationPolicy);
    serve("isActive", Session::processes, &Workspace::isActive);
    serve("activateIgnoringOtherApps", Session::processes, &Workspace::activateIgnoringOtherApps);
    serve("yieldActivation", Session::hosts, &Workspace::yieldActivation);
    session_.serve("add", Session::clients, [this](Request& request) { add(request, false); });
    session_.serve("launch", Session::clients, [this](Request& request) { add(request, true); });
    serve("quit", Session::clients, &Workspace::quitRequest);
    serve("hide", Session::clients, &Workspace::hideRequest);
    serve("unhide", Session::clients, &Workspace::unhideRequest);
    serve("front", Session::clients, &Workspace::frontRequest);
    serve("refuseActivation", Session::clients, &Workspace::refuseActivation);
}

App* Workspace::appByPid(pid_t pid)
{
    for (auto& app : apps_) {
        if (app.running.pid == pid)
            return &app;
    }
    return nullptr;
}

App* Workspace::findApp(const json& reference, std::string& error)
{
    if (reference.is_number_integer()) {
        if (App* app = appByPid(pid_t(reference.get<int64_t>())))
            return app;
        error = "no application with process id " + reference.dump();
        return nullptr;
    }
    if (reference.is_string()) {
        std::string name = reference.get<std::string>();
        for (auto& app : apps_) {
            if (app.running.bundleIdentifier == name)
                return &app;
        }
        for (auto& app : apps_) {
            if (app.running.localizedName == name)
                return &app;
        }
        // A number given as text, as a shell passes it.
        if (!name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })
            && name.size() < 10) {
            if (App* app = appByPid(pid_t(std::stol(name))))
                return app;
        }
        error = "no application \"" + name + "\"";
        return nullptr;
    }
    error = "name the application by process id, bundle identifier or name";
    return nullptr;
}

App* Workspace::namedApp(Request& request)
{
    std::string error;
    App* app = findApp(request.message().value("app", json()), error);
    if (!app)
        request.refuse(error);
    return app;
}

App* Workspace::join(AppKind kind, uint64_t connection, pid_t pid, const json& hello, std::string& error)
{
    App app;
    app.kind = kind;
    app.connection = connection;
    app.running.pid = pid;
    app.running.bundleIdentifier = wire::stringAt(hello, "bundleIdentifier");
    app.running.localizedName = wire::stringAt(hello, "localizedName");
    app.running.bundlePath = wire::stringAt(hello, "bundlePath");
    if (hello.contains("activationPolicy")) {
        auto policy = wire::activationPolicyOf(hello["activationPolicy"]);
        if (!policy) {
            error = "activationPolicy must be 0, 1, 2 or its name";
            return nullptr;
        }
        app.running.activationPolicy = *policy;
    }
    std::vector<Window> windows;
    if (hello.contains("windows") && !session_.windowServer().windowsOf(hello["windows"], windows, error))
        return nullptr;
    apps_.push_back(std::move(app));
    session_.windowServer().setWindowsOf(pid, windows);
    return appByPid(pid);
}

json Workspace::applicationJson(const App& app) const
{
    json value = wire::toJson(app.running);
    value["active"] = front_ == app.running.pid;
    return value;
}

json Workspace::notification(WorkspaceNotification notification, const platform::RunningApplication& application)
{
    return {{"event", "workspace"}, {"notification", wire::nameOf(notification)}, {"application", wire::toJson(application)}};
}

// A process id for an application without a process.
pid_t Workspace::madeUpPid()
{
    while (appByPid(nextMadeUpPid_))
        ++nextMadeUpPid_;
    return nextMadeUpPid_++;
}

// An application of the session from its description; `launched` says
// whether hosts hear of its launch.
App* Workspace::addApplication(const json& described, bool launched, std::string& error)
{
    if (!described.is_object()) {
        error = "an application is a JSON object";
        return nullptr;
    }
    App app;
    app.kind = AppKind::session;
    if (auto pid = wire::integerAt(described, "pid")) {
        if (*pid <= 0 || *pid > INT32_MAX) {
            error = "pid must be a positive 32-bit number";
            return nullptr;
        }
        app.running.pid = pid_t(*pid);
        if (appByPid(app.running.pid)) {
            error = "process " + std::to_string(*pid) + " is an application already";
            return nullptr;
        }
    } else {
        app.running.pid = madeUpPid();
    }
    app.running.bundleIdentifier = wire::stringAt(described, "bundleIdentifier");
    app.running.localizedName = wire::stringAt(described, "localizedName");
    if (!app.running.localizedName)
        app.running.localizedName = wire::stringAt(described, "name");
    app.running.bundlePath = wire::stringAt(described, "bundlePath");
    if (described.contains("activationPolicy")) {
        auto policy = wire::activationPolicyOf(described["activationPolicy"]);
        if (!policy) {
            error = "activationPolicy must be regular, accessory, prohibited or 0, 1, 2";
            return nullptr;
        }
        app.running.activationPolicy = *policy;
    }
    app.running.hidden = wire::booleanAt(described, "hidden").value_or(false);
    app.refusesActivation = wire::booleanAt(described, "refusesActivation").value_or(false);
    std::vector<Window> windows;
    if (described.contains("windows") && !session_.windowServer().windowsOf(described["windows"], windows, error))
        return nullptr;
    apps_.push_back(std::move(app));
    App& added = apps_.back();
    pid_t pid = added.running.pid;
    watchTheProcess(added);
    session_.windowServer().setWindowsOf(pid, windows);
    if (launched)
        session_.broadcast(notification(WorkspaceNotification::didLaunchApplication, appByPid(pid)->running));
    return appByPid(pid);
}

// Follows a real process: its end quits its application.
void Workspace::watchTheProcess(App& app)
{
    int fd = int(::syscall(SYS_pidfd_open, app.running.pid, 0));
    if (fd < 0)
        return;
    auto watch = std::make_shared<asio::posix::stream_descriptor>(session_.io(), fd);
    app.exitWatch = watch;
    pid_t pid = app.running.pid;
    watch->async_wait(asio::posix::stream_descriptor::wait_read, [this, pid, watch](const std::error_code& error) {
        if (error)
            return;
        App* app = appByPid(pid);
        if (!app || app->exitWatch != watch)
            return;
        session_.record({{"ended", pid}});
        quit(pid);
    });
}

// Tells a host about its own activation.
void Workspace::tellTheApplication(pid_t pid, ApplicationNotification notification)
{
    if (HostRecord* host = session_.connectedHostByPid(pid))
        session_.sendEvent(*host, {{"event", "application"}, {"notification", wire::nameOf(notification)}});
}

// Makes the application the front one and tells the hosts.
void Workspace::bringToFront(pid_t pid)
{
    App* app = appByPid(pid);
    if (!app)
        return;
    if (app->running.hidden)
        unhide(*app);
    session_.windowServer().raiseWindowsOf(pid);
    if (front_ == pid)
        return;
    auto previous = front_;
    front_ = pid;
    std::erase(history_, pid);
    history_.push_back(pid);
    if (previous)
        tellTheApplication(*previous, ApplicationNotification::didResignActive);
    tellTheApplication(pid, ApplicationNotification::didBecomeActive);
    session_.broadcast(notification(WorkspaceNotification::didActivateApplication, appByPid(pid)->running));
}

// The application leaves the front (hidden, quit, prohibited): the one
// used before it comes forward, if any.
void Workspace::leaveTheFront(pid_t pid)
{
    if (front_ != pid)
        return;
    for (auto candidate = history_.rbegin(); candidate != history_.rend(); ++candidate) {
        App* app = appByPid(*candidate);
        if (*candidate == pid || !app || app->running.hidden || app->running.activationPolicy != ActivationPolicy::regular)
            continue;
        bringToFront(*candidate);
        return;
    }
    front_.reset();
    tellTheApplication(pid, ApplicationNotification::didResignActive);
}

// Activation asked for by a process, not by the user.
bool Workspace::activateOnRequest(pid_t pid)
{
    App* app = appByPid(pid);
    if (!app || app->refusesActivation || app->running.activationPolicy == ActivationPolicy::prohibited)
        return false;
    bringToFront(pid);
    return true;
}

// Shows a hidden application's windows again.
void Workspace::unhide(App& app)
{
    if (!app.running.hidden)
        return;
    app.running.hidden = false;
    session_.broadcast(notification(WorkspaceNotification::didUnhideApplication, app.running));
}

// Hides the application's windows; the front moves on if it was in front.
void Workspace::hide(App& app)
{
    if (app.running.hidden)
        return;
    app.running.hidden = true;
    pid_t pid = app.running.pid;
    session_.broadcast(notification(WorkspaceNotification::didHideApplication, app.running));
    leaveTheFront(pid);
}

void Workspace::quit(pid_t pid)
{
    auto found = std::find_if(apps_.begin(), apps_.end(), [&](const App& app) { return app.running.pid == pid; });
    if (found == apps_.end())
        return;
    App app = std::move(*found);
    apps_.erase(found);
    if (app.exitWatch) {
        std::error_code ignored;
        app.exitWatch->close(ignored);
    }
    session_.windowServer().applicationQuit(pid);
    session_.hotKeys().applicationQuit(pid);
    app.running.terminated = true;
    session_.broadcast(notification(WorkspaceNotification::didTerminateApplication, app.running), app.connection);
    std::erase(history_, pid);
    leaveTheFront(pid);
    if (app.connection)
        session_.close(app.connection, "its application quit");
}

std::optional<std::string> Workspace::load(const json& session)
{
    if (auto applications = session.find("applications"); applications != session.end()) {
        if (!applications->is_array())
            return "\"applications\" must be a list";
        for (const auto& described : *applications) {
            std::string error;
            if (!addApplication(described, false, error))
                return error;
        }
    }
    if (session.contains("front") && !session["front"].is_null()) {
        std::string error;
        App* app = findApp(session["front"], error);
        if (!app)
            return error;
        bringToFront(app->running.pid);
    }
    return std::nullopt;
}

void Workspace::describe(json& state)
{
    json applications = json::array();
    json refusing = json::array();
    for (const auto& app : apps_) {
        json value = applicationJson(app);
        value["kind"] = app.kind == AppKind::host ? "host" : app.kind == AppKind::application ? "application" : "session";
        value["refusesActivation"] = app.refusesActivation;
        value["windows"] = session_.windowServer().windowsJsonOf(app.running.pid);
        applications.push_back(value);
        if (app.refusesActivation)
            refusing.push_back(app.running.pid);
    }
    state["front"] = front_ ? json(*front_) : json(nullptr);
    state["refusesActivation"] = refusing;
    state["applications"] = applications;
}

void Workspace::describeHost(const HostRecord& host, json& record)
{
    auto found = activity_.find(host.connection);
    const HostActivity& activity = found != activity_.end() ? found->second : HostActivity();
    record["openedURLs"] = activity.openedURLs;
    record["activations"] = activity.activations;
    record["yields"] = activity.yields;
}

// --- Requests of hosts and applications ---------------------------------------------

void Workspace::frontmostApplication(Request& request)
{
    App* app = front_ ? appByPid(*front_) : nullptr;
    request.reply({{"application", app ? applicationJson(*app) : json(nullptr)}});
}

// Every application, or those with one bundle identifier.
void Workspace::runningApplications(Request& request)
{
    auto bundle = wire::stringAt(request.message(), "bundleIdentifier");
    json list = json::array();
    for (const auto& app : apps_) {
        if (!bundle || app.running.bundleIdentifier == *bundle)
            list.push_back(applicationJson(app));
    }
    request.reply({{"applications", list}});
}

// The application with a process id, or null.
void Workspace::runningApplication(Request& request)
{
    auto pid = request.required<int64_t>("pid");
    if (!pid)
        return;
    App* app = *pid > 0 && *pid <= INT32_MAX ? appByPid(pid_t(*pid)) : nullptr;
    request.reply({{"application", app ? applicationJson(*app) : json(nullptr)}});
}

// A process asks another application to activate.
void Workspace::activate(Request& request)
{
    const std::string refusal = "\"pid\" must be a process id";
    auto pid = request.required<pid_t>("pid", refusal);
    if (!pid)
        return;
    if (*pid <= 0) {
        request.refuse(refusal);
        return;
    }
    bool activated = activateOnRequest(*pid);
    if (session_.hostByConnection(request.connection().number))
        activity_[request.connection().number].activations.push_back({{"pid", *pid}, {"activated", activated}});
    request.reply({{"activated", activated}});
}

// A process asks the workspace to open a URL; it is recorded.
void Workspace::openURL(Request& request)
{
    auto url = request.required<std::string>("url");
    if (!url)
        return;
    bool opened = hasScheme(*url);
    if (session_.hostByConnection(request.connection().number))
        activity_[request.connection().number].openedURLs.push_back({{"url", *url}, {"opened", opened}});
    request.reply({{"opened", opened}});
}

// A process changes its activation policy; a prohibited one leaves the front.
void Workspace::setActivationPolicy(Request& request)
{
    auto policy = wire::activationPolicyOf(request.message().value("policy", json()));
    App* app = appByPid(request.pid());
    if (!policy || !app) {
        request.refuse("\"policy\" must be 0, 1 or 2");
        return;
    }
    app->running.activationPolicy = *policy;
    if (HostRecord* host = session_.hostByConnection(request.connection().number))
        host->identity.activationPolicy = *policy;
    if (*policy == ActivationPolicy::prohibited)
        leaveTheFront(request.pid());
    request.reply();
}

// Whether the process is the front application.
void Workspace::isActive(Request& request)
{
    request.reply({{"active", front_ == request.pid()}});
}

// The process activates itself.
void Workspace::activateIgnoringOtherApps(Request& request)
{
    activateOnRequest(request.pid());
    request.reply({{"active", front_ == request.pid()}});
}

// A host lets another application take activation; it is recorded.
void Workspace::yieldActivation(Request& request)
{
    auto pid = request.required<int64_t>("pid");
    if (!pid)
        return;
    activity_[request.connection().number].yields.push_back(*pid);
    request.reply();
}

// --- Requests of clients ---------------------------------------------------------

// Adds an application; a launched one is announced to the hosts.
void Workspace::add(Request& request, bool launched)
{
    std::string error;
    if (App* app = addApplication(request.message().value("application", json()), launched, error))
        request.reply({{"application", applicationJson(*app)}});
    else
        request.refuse(error);
}

void Workspace::quitRequest(Request& request)
{
    if (App* app = namedApp(request)) {
        json quitted = applicationJson(*app);
        quit(app->running.pid);
        request.reply({{"application", quitted}});
    }
}

void Workspace::hideRequest(Request& request)
{
    if (App* app = namedApp(request)) {
        pid_t pid = app->running.pid;
        hide(*app);
        request.reply({{"application", applicationJson(*appByPid(pid))}});
    }
}

void Workspace::unhideRequest(Request& request)
{
    if (App* app = namedApp(request)) {
        unhide(*app);
        request.reply({{"application", applicationJson(*app)}});
    }
}

// The user brings an application to the front.
void Workspace::frontRequest(Request& request)
{
    if (App* app = namedApp(request)) {
        pid_t pid = app->running.pid;
        if (app->running.activationPolicy == ActivationPolicy::prohibited) {
            request.refuse("application " + std::to_string(pid) + " may not be activated (its policy is prohibited)");
            return;
        }
        bringToFront(pid);
        request.reply({{"application", applicationJson(*appByPid(pid))}});
    }
}

// Makes activation of an application fail when a process asks for it, or work again.
void Workspace::refuseActivation(Request& request)
{
    if (App* app = namedApp(request)) {
        app->refusesActivation = request.message().value("refused", true);
        request.reply({{"application", applicationJson(*app)}, {"refusesActivation", app->refusesActivation}});
    }
}

} // namespace desktop
