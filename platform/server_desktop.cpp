// The desktop served by the desktop server (tools/desktop): JSON lines over a
// Unix socket, described in docs/desktop.md. What the host sets is kept here
// as the headless desktop keeps it and mirrored to the server; what the
// session knows (applications, windows, screens, the front application) is
// asked of the server and answered synchronously; what the user and the
// system do arrives as events, dispatched on the main queue.
//
// A server that goes away, or does not answer within the bound, is dropped:
// the host says so once on standard error and goes on with the headless
// desktop, keeping its own state.
#include "platform/standard_error.h"
#include "platform/desktop_json.h"
#include "platform/headless_desktop.h"
#include "platform/main_queue.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// The host's limit for socket paths, so that a path works on every system
// the host runs on or on none.
constexpr std::size_t SOCKET_PATH_LIMIT = 103;
// A line longer than this is no line of the protocol.
constexpr std::size_t LINE_LIMIT = 16 * 1024 * 1024;


// How long a call that is not modal waits for the server.
std::chrono::milliseconds answerBound()
{
    if (const char* text = std::getenv(DESKTOP_TIMEOUT_VARIABLE)) {
        char* end = nullptr;
        long value = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && value > 0 && value <= 3600 * 1000)
            return std::chrono::milliseconds(value);
    }
    return std::chrono::milliseconds(DESKTOP_ANSWER_MS);
}

// The Apple event an event describes; nothing for null.
std::optional<AppleEvent> appleEventOf(const json& value, uint32_t eventClass, uint32_t eventID)
{
    if (!value.is_object())
        return std::nullopt;
    AppleEvent event;
    event.eventClass = eventClass;
    event.eventID = eventID;
    if (auto sender = wire::integerAt(value, "sender"); sender && *sender >= INT32_MIN && *sender <= INT32_MAX)
        event.senderPid = int32_t(*sender);
    if (auto reason = wire::stringAt(value, "reason"))
        event.quitReason = fourCharCodeOf(*reason);
    if (auto direct = wire::stringAt(value, "url"))
        event.directObject = *direct;
    return event;
}

// Whether the text is a file URL (its scheme compared without case).
bool isFileURL(const std::string& text)
{
    if (text.size() < 5)
        return false;
    std::string scheme = text.substr(0, 5);
    for (auto& c : scheme)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return scheme == "file:";
}

class ServerDesktop final : public HeadlessDesktop {
public:
    ServerDesktop(DesktopIdentity identity, int fd)
        : HeadlessDesktop(std::move(identity))
        , fd_(fd)
        , bound_(answerBound())
    {
    }

    ~ServerDesktop() override
    {
        watch_.reset();
        if (fd_ >= 0)
            ::close(fd_);
    }

    // Introduces the host; the reason it failed otherwise.
    std::optional<std::string> introduce()
    {
        connecting_ = true;
        auto me = ownApplication();
        json hello = {
            {"op", "hello"},
            {"protocol", DESKTOP_PROTOCOL},
            {"role", "host"},
            {"pid", me.pid},
            {"bundleIdentifier", me.bundleIdentifier ? json(*me.bundleIdentifier) : json(nullptr)},
            {"localizedName", me.localizedName ? json(*me.localizedName) : json(nullptr)},
            {"bundlePath", me.bundlePath ? json(*me.bundlePath) : json(nullptr)},
            {"activationPolicy", int(policy_)},
        };
        auto reply = call(hello);
        connecting_ = false;
        if (!reply)
            return failure_.empty() ? std::string("no answer to the greeting") : failure_;
        auto protocol = wire::integerAt(*reply, "protocol");
        if (protocol != DESKTOP_PROTOCOL)
            return "the server speaks protocol " + (protocol ? std::to_string(*protocol) : std::string("unknown"))
                   + ", the host speaks " + std::to_string(DESKTOP_PROTOCOL);
        watch_ = whenReadable(fd_, [this] { readable(); });
        return std::nullopt;
    }

    // --- Workspace --------------------------------------------------------

    std::optional<RunningApplication> frontmostApplication() override
    {
        assertOnTheMainThread("frontmostApplication");
        if (auto reply = call({{"op", "frontmostApplication"}})) {
            if (reply->contains("application") && (*reply)["application"].is_null())
                return std::nullopt;
            if (auto application = wire::runningApplicationOf(reply->value("application", json())))
                return application;
        }
        return HeadlessDesktop::frontmostApplication();
    }

    std::vector<RunningApplication> runningApplications() override
    {
        assertOnTheMainThread("runningApplications");
        if (auto list = applicationsFrom(call({{"op", "runningApplications"}})))
            return *list;
        return HeadlessDesktop::runningApplications();
    }

    std::optional<RunningApplication> runningApplication(pid_t pid) override
    {
        assertOnTheMainThread("runningApplication");
        if (auto reply = call({{"op", "runningApplication"}, {"pid", pid}})) {
            if (reply->contains("application") && (*reply)["application"].is_null())
                return std::nullopt;
            if (auto application = wire::runningApplicationOf(reply->value("application", json())))
                return application;
        }
        return HeadlessDesktop::runningApplication(pid);
    }

    std::vector<RunningApplication> runningApplications(const std::string& bundleIdentifier) override
    {
        assertOnTheMainThread("runningApplications");
        if (auto list = applicationsFrom(call({{"op", "runningApplications"}, {"bundleIdentifier", bundleIdentifier}})))
            return *list;
        return HeadlessDesktop::runningApplications(bundleIdentifier);
    }

    bool activate(pid_t pid) override
    {
        assertOnTheMainThread("activate");
        if (auto reply = call({{"op", "activate"}, {"pid", pid}})) {
            if (auto activated = wire::booleanAt(*reply, "activated"))
                return *activated;
        }
        return HeadlessDesktop::activate(pid);
    }

    bool openURL(const std::string& url) override
    {
        assertOnTheMainThread("openURL");
        if (auto reply = call({{"op", "openURL"}, {"url", url}})) {
            if (auto opened = wire::booleanAt(*reply, "opened"))
                return *opened;
        }
        return HeadlessDesktop::openURL(url);
    }

    // --- The host's own application ----------------------------------------

    void setActivationPolicy(ActivationPolicy policy) override
    {
        assertOnTheMainThread("setActivationPolicy");
        if (gone_) {
            HeadlessDesktop::setActivationPolicy(policy);
            return;
        }
        // The server decides what the change does to activation and says so
        // with events.
        policy_ = policy;
        tell({{"op", "setActivationPolicy"}, {"policy", int(policy)}});
    }

    bool isActive() override
    {
        assertOnTheMainThread("isActive");
        if (auto reply = call({{"op", "isActive"}})) {
            if (auto active = wire::booleanAt(*reply, "active")) {
                active_ = *active;
                return *active;
            }
        }
        return HeadlessDesktop::isActive();
    }

    void activateIgnoringOtherApps() override
    {
        assertOnTheMainThread("activateIgnoringOtherApps");
        if (gone_) {
            HeadlessDesktop::activateIgnoringOtherApps();
            return;
        }
        if (auto reply = call({{"op", "activateIgnoringOtherApps"}})) {
            if (auto active = wire::booleanAt(*reply, "active"))
                active_ = *active;
            return;
        }
        HeadlessDesktop::activateIgnoringOtherApps();
    }

    void yieldActivation(pid_t pid) override
    {
        assertOnTheMainThread("yieldActivation");
        tell({{"op", "yieldActivation"}, {"pid", pid}});
    }

    // --- Window server ------------------------------------------------------

    std::optional<std::vector<json>> onScreenWindows() override
    {
        assertOnTheMainThread("onScreenWindows");
        if (auto reply = call({{"op", "windowList"}})) {
            auto windows = reply->find("windows");
            if (windows != reply->end() && windows->is_null())
                return std::nullopt;
            if (windows != reply->end() && windows->is_array())
                return windows->get<std::vector<json>>();
        }
        return HeadlessDesktop::onScreenWindows();
    }

    std::vector<Screen> screens() override
    {
        assertOnTheMainThread("screens");
        if (auto reply = call({{"op", "screens"}})) {
            auto list = reply->find("screens");
            if (list != reply->end() && list->is_array()) {
                std::vector<Screen> screens;
                bool whole = true;
                for (const auto& entry : *list) {
                    auto screen = wire::screenOf(entry);
                    if (!screen) {
                        whole = false;
                        break;
                    }
                    screens.push_back(*screen);
                }
                if (whole)
                    return screens;
            }
        }
        return HeadlessDesktop::screens();
    }

    Point mouseLocation() override
    {
        assertOnTheMainThread("mouseLocation");
        if (auto reply = call({{"op", "mouseLocation"}})) {
            if (auto point = wire::pointOf(*reply))
                return *point;
        }
        return HeadlessDesktop::mouseLocation();
    }

    void setDisplayReconfigurationHandler(DisplayReconfigurationHandler handler) override
    {
        displayHandlerInstalled_ = static_cast<bool>(handler);
        HeadlessDesktop::setDisplayReconfigurationHandler(std::move(handler));
        tellTheHandlers();
    }

    // --- Status bar and menus -------------------------------------------------

    bool systemSymbolExists(const std::string& name) override
    {
        assertOnTheMainThread("systemSymbolExists");
        if (auto reply = call({{"op", "systemSymbolExists"}, {"name", name}})) {
            if (auto exists = wire::booleanAt(*reply, "exists"))
                return *exists;
        }
        return HeadlessDesktop::systemSymbolExists(name);
    }

    StatusItemId makeStatusItem(double length) override
    {
        StatusItemId item = HeadlessDesktop::makeStatusItem(length);
        tellTheStatusItem(item);
        return item;
    }

    void setStatusItemAutosaveName(StatusItemId item, const std::string& name) override
    {
        HeadlessDesktop::setStatusItemAutosaveName(item, name);
        tellTheStatusItem(item);
    }

    void setStatusItemButton(StatusItemId item, const StatusItemButton& button) override
    {
        HeadlessDesktop::setStatusItemButton(item, button);
        tellTheStatusItem(item);
    }

    void setStatusItemMenu(StatusItemId item, const Menu& menu) override
    {
        HeadlessDesktop::setStatusItemMenu(item, menu);
        tellTheStatusItem(item);
    }

    bool popUpMenu(const Menu& menu, Point location) override
    {
        assertOnTheMainThread("popUpMenu");
        if (gone_)
            return HeadlessDesktop::popUpMenu(menu, location);
        // The menu's delegate hears of the opening before the user acts.
        deliverMenuWillOpen(MenuPlace{});
        auto reply = call({{"op", "popUp"}, {"menu", wire::toJson(menu)}, {"location", wire::toJson(location)}}, true);
        if (!reply)
            return false;
        auto path = wire::pathOf(reply->value("picked", json()));
        if (!path)
            return false;
        const MenuItem* item = wire::itemAt(menu, *path);
        if (!item || item->separator || !item->hasAction)
            return false;
        deliverMenuPick({MenuPlace{}, *path, *item});
        return true;
    }

    // --- Alerts and panels -------------------------------------------------------

    int runModalAlert(const Alert& alert) override
    {
        assertOnTheMainThread("runModalAlert");
        if (auto reply = call({{"op", "alert"}, {"alert", wire::toJson(alert)}}, true)) {
            auto button = wire::integerAt(*reply, "button");
            int64_t count = std::max<int64_t>(1, int64_t(alert.buttons.size()));
            if (button && *button >= 0 && *button < count)
                return int(*button);
        }
        return HeadlessDesktop::runModalAlert(alert);
    }

    PanelId makePanel(const PanelStyle& style) override
    {
        PanelId panel = HeadlessDesktop::makePanel(style);
        tellThePanel(panel);
        return panel;
    }

    void setPanelText(PanelId panel, const std::string& text) override
    {
        HeadlessDesktop::setPanelText(panel, text);
        tellThePanel(panel);
    }

    void setPanelFrame(PanelId panel, const Rect& frame) override
    {
        HeadlessDesktop::setPanelFrame(panel, frame);
        tellThePanel(panel);
    }

    void orderPanelFrontRegardless(PanelId panel) override
    {
        HeadlessDesktop::orderPanelFrontRegardless(panel);
        tellThePanel(panel, true);
    }

    void orderPanelOut(PanelId panel) override
    {
        HeadlessDesktop::orderPanelOut(panel);
        tellThePanel(panel);
    }

    // --- Hot keys -------------------------------------------------------------------

    HotKeyRegistration registerHotKey(uint32_t code, uint32_t modifiers, HotKeyID id, uint32_t options) override
    {
        assertOnTheMainThread("registerHotKey");
        json request = {{"op", "registerHotKey"}, {"code", code},           {"modifiers", modifiers},
                        {"signature", id.signature}, {"hotKeyId", id.id}, {"options", options}};
        if (auto reply = call(request)) {
            auto status = wire::integerAt(*reply, "status");
            auto reference = wire::integerAt(*reply, "reference");
            if (status && *status >= INT32_MIN && *status <= INT32_MAX) {
                if (*status != NO_ERR)
                    return {int32_t(*status), 0};
                if (reference && *reference > 0) {
                    hotKeys_[uint64_t(*reference)] = {code, modifiers, id, options};
                    return {NO_ERR, uint64_t(*reference)};
                }
            }
        }
        return HeadlessDesktop::registerHotKey(code, modifiers, id, options);
    }

    int32_t unregisterHotKey(uint64_t reference) override
    {
        assertOnTheMainThread("unregisterHotKey");
        if (auto reply = call({{"op", "unregisterHotKey"}, {"reference", reference}})) {
            auto status = wire::integerAt(*reply, "status");
            if (status && *status >= INT32_MIN && *status <= INT32_MAX) {
                if (*status == NO_ERR)
                    hotKeys_.erase(reference);
                return int32_t(*status);
            }
        }
        return HeadlessDesktop::unregisterHotKey(reference);
    }

    KeyboardLayoutType keyboardLayoutType() override
    {
        assertOnTheMainThread("keyboardLayoutType");
        if (auto reply = call({{"op", "keyboardLayoutType"}})) {
            if (auto type = wire::keyboardLayoutTypeOf(reply->value("type", json())))
                return *type;
        }
        return HeadlessDesktop::keyboardLayoutType();
    }

    // --- Apple events, the delegate, Services ----------------------------------------

    void setGetURLHandler(AppleEventHandler handler) override
    {
        HeadlessDesktop::setGetURLHandler(std::move(handler));
        tellTheHandlers();
    }

    void setApplicationDelegate(ApplicationDelegate delegate) override
    {
        HeadlessDesktop::setApplicationDelegate(std::move(delegate));
        tellTheHandlers();
    }

    void setServicesProvider(ServicesProvider provider) override
    {
        HeadlessDesktop::setServicesProvider(std::move(provider));
        tellTheHandlers();
    }

private:
    // --- Talking to the server -----------------------------------------------------

    std::optional<std::vector<RunningApplication>> applicationsFrom(const std::optional<json>& reply)
    {
        if (!reply)
            return std::nullopt;
        auto list = reply->find("applications");
        if (list == reply->end() || !list->is_array())
            return std::nullopt;
        std::vector<RunningApplication> applications;
        for (const auto& entry : *list) {
            auto application = wire::runningApplicationOf(entry);
            if (!application)
                return std::nullopt;
            applications.push_back(*application);
        }
        return applications;
    }

    // Shows the server what the host set on a status item.
    void tellTheStatusItem(StatusItemId item)
    {
        auto found = statusItems_.find(item);
        if (found != statusItems_.end())
            tell({{"op", "statusItem"}, {"item", item}, {"state", wire::toJson(found->second)}});
    }

    // `front`: the panel was ordered front, so it comes before its level.
    void tellThePanel(PanelId panel, bool front = false)
    {
        auto found = panels_.find(panel);
        if (found != panels_.end())
            tell({{"op", "panel"}, {"panel", panel}, {"state", wire::toJson(found->second)}, {"front", front}});
    }

    // Shows the server which handlers the host installed.
    void tellTheHandlers()
    {
        tell({{"op", "handlers"},
              {"getURL", hasGetURLHandler()},
              {"services", hasServicesProvider()},
              {"delegate", hasDelegate()},
              {"displayReconfiguration", displayHandlerInstalled_}});
    }

    // Sends what the host did and waits until the server has taken it, so
    // that whoever reads the server's state next sees it.
    void tell(json request)
    {
        call(std::move(request));
    }

    // Sends a request and reads until its answer arrives. Modal calls wait as
    // long as the server lives; the others at most the bound. Nothing when
    // the server is gone (a refusal makes it gone).
    std::optional<json> call(json request, bool modal = false)
    {
        if (gone_)
            return std::nullopt;
        int64_t id = nextRequest_++;
        request["id"] = id;
        std::string op = request.value("op", "");
        auto deadline = Clock::now() + bound_;
        if (!writeLine(request, deadline))
            return std::nullopt;
        for (;;) {
            if (auto found = replies_.find(id); found != replies_.end()) {
                json reply = std::move(found->second);
                replies_.erase(found);
                if (auto error = wire::stringAt(reply, "error")) {
                    // A server that refuses what it must answer speaks another
                    // protocol than the host: the host stops relying on it.
                    goneBecause(connecting_ ? *error : "it refused " + op + ": " + *error);
                    return std::nullopt;
                }
                return reply;
            }
            int timeout = -1;
            if (!modal) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
                if (left <= 0) {
                    goneBecause("no answer to " + op + " within " + std::to_string(bound_.count()) + " ms");
                    return std::nullopt;
                }
                timeout = int(left);
            }
            pollfd wait{fd_, POLLIN, 0};
            int ready = ::poll(&wait, 1, timeout);
            if (ready < 0 && errno != EINTR) {
                goneBecause(std::string("poll: ") + std::strerror(errno));
                return std::nullopt;
            }
            if (ready > 0 && !readAvailable())
                return std::nullopt;
        }
    }

    // Writes one line whole, waiting for room until the deadline.
    bool writeLine(const json& message, Clock::time_point deadline)
    {
        std::string bytes = wire::lineOf(message) + "\n";
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t wrote = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (wrote > 0) {
                done += std::size_t(wrote);
                continue;
            }
            if (wrote < 0 && errno == EINTR)
                continue;
            if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
                pollfd wait{fd_, POLLOUT, 0};
                if (left <= 0 || ::poll(&wait, 1, int(left)) == 0) {
                    goneBecause("the server stopped reading");
                    return false;
                }
                continue;
            }
            goneBecause(std::string("cannot write to the server: ") + std::strerror(errno));
            return false;
        }
        return true;
    }

    // Reads what the socket holds now; false when the server is gone.
    bool readAvailable()
    {
        char buffer[65536];
        for (;;) {
            ssize_t got = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got > 0) {
                take(std::string_view(buffer, std::size_t(got)));
                if (gone_)
                    return false;
                continue;
            }
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return true;
            goneBecause(got == 0 ? std::string("the server closed the connection")
                                 : std::string("cannot read from the server: ") + std::strerror(errno));
            return false;
        }
    }

    // Splits bytes into lines and sorts them into replies and events.
    void take(std::string_view bytes)
    {
        while (!bytes.empty()) {
            auto newline = bytes.find('\n');
            if (newline == std::string_view::npos) {
                if (!discarding_)
                    pending_.append(bytes);
                if (pending_.size() > LINE_LIMIT) {
                    complain("a line longer than " + std::to_string(LINE_LIMIT) + " bytes", pending_);
                    pending_.clear();
                    discarding_ = true;
                }
                return;
            }
            if (!discarding_) {
                pending_.append(bytes.substr(0, newline));
                std::string line = std::move(pending_);
                pending_.clear();
                handleLine(line);
            }
            discarding_ = false;
            bytes.remove_prefix(newline + 1);
        }
    }

    // Sorts one line from the server into the replies or the events.
    void handleLine(const std::string& line)
    {
        if (line.empty())
            return;
        auto message = wire::objectOfLine(line);
        if (!message) {
            complain("not a JSON object", line);
            return;
        }
        if (auto event = wire::stringAt(*message, "event")) {
            events_.push_back(std::move(*message));
            dispatchSoon();
            return;
        }
        auto id = wire::integerAt(*message, "id");
        if (id && (message->contains("ok") || message->contains("error"))) {
            replies_[*id] = std::move(*message);
            return;
        }
        if (auto error = wire::stringAt(*message, "error")) {
            // The server refused something the host sent without waiting.
            sayOnStandardError("desktop server refused " + message->value("op", std::string("a request")) + ": " + *error);
            return;
        }
        complain("neither a reply nor an event", line);
    }

    // Tells the server that a line of its was malformed. It asks for no
    // answer: lines are being sorted, and reading more now would reorder them.
    void complain(const std::string& what, const std::string& line)
    {
        if (!gone_)
            writeLine({{"op", "malformed"}, {"error", what}, {"line", line.substr(0, 200)}}, Clock::now() + bound_);
    }

    // Drops the server for good and says so once.
    void goneBecause(const std::string& reason)
    {
        if (gone_)
            return;
        gone_ = true;
        watch_.reset();
        ::close(fd_);
        fd_ = -1;
        // Nobody is at the headless desktop, so the host is not in front.
        active_ = false;
        if (connecting_)
            failure_ = reason;
        else
            sayOnStandardError("desktop server went away (" + reason + "); the headless desktop serves from now on");
    }

    // The socket is readable while nothing waits for a reply.
    void readable()
    {
        if (!gone_)
            readAvailable();
    }

    // --- Events ----------------------------------------------------------------------

    void dispatchSoon()
    {
        if (drainPosted_)
            return;
        drainPosted_ = true;
        later([this] {
            drainPosted_ = false;
            drain();
        });
    }

    // Runs the queued events in the order they came.
    void drain()
    {
        // Events read while a handler waits for an answer join the queue and
        // run after it, in order.
        while (!events_.empty()) {
            json event = std::move(events_.front());
            events_.pop_front();
            handleEvent(event);
        }
    }

    // Answers the server's question that came with an event.
    void answer(const json& event, json reply)
    {
        auto ask = wire::integerAt(event, "ask");
        if (!ask)
            return;
        reply["op"] = "answer";
        reply["ask"] = *ask;
        tell(std::move(reply));
    }

    // Hands one event from the server to the host's observers and handlers.
    void handleEvent(const json& event)
    {
        std::string name = event.value("event", "");
        if (name == "workspace") {
            auto notification = wire::workspaceNotificationOf(event.value("notification", ""));
            if (!notification) {
                complain("unknown workspace notification", wire::lineOf(event));
                return;
            }
            std::optional<RunningApplication> application;
            if (event.contains("application"))
                application = wire::runningApplicationOf(event["application"]);
            notifyWorkspace(*notification, application);
        } else if (name == "application") {
            auto notification = wire::applicationNotificationOf(event.value("notification", ""));
            if (!notification) {
                complain("unknown application notification", wire::lineOf(event));
                return;
            }
            active_ = *notification == ApplicationNotification::didBecomeActive;
            notifyApplication(*notification);
        } else if (name == "hotKey") {
            auto signature = wire::integerAt(event, "signature");
            auto id = wire::integerAt(event, "hotKeyId");
            if (!signature || !id || *signature < 0 || *signature > UINT32_MAX || *id < 0 || *id > UINT32_MAX) {
                complain("a hot-key press without its signature and id", wire::lineOf(event));
                return;
            }
            bool handled = deliverHotKey({uint32_t(*signature), uint32_t(*id)});
            answer(event, {{"handled", handled}});
        } else if (name == "menuWillOpen") {
            auto item = wire::integerAt(event, "item");
            MenuPlace place;
            if (item)
                place.statusItem = StatusItemId(*item);
            deliverMenuWillOpen(place);
        } else if (name == "menuPick") {
            auto item = wire::integerAt(event, "item");
            auto path = wire::pathOf(event.value("path", json()));
            bool picked = item && path && deliverStatusItemPick(StatusItemId(*item), *path);
            answer(event, {{"picked", picked}});
        } else if (name == "getURL") {
            auto appleEvent = appleEventOf(event, INTERNET_EVENT_CLASS, INTERNET_EVENT_CLASS);
            deliverGetURL(*appleEvent);
        } else if (name == "openURLs") {
            std::vector<std::string> urls;
            if (auto list = event.find("urls"); list != event.end() && list->is_array()) {
                for (const auto& url : *list) {
                    if (url.is_string())
                        urls.push_back(url.get<std::string>());
                }
            }
            deliverOpenURLs(urls, appleEventOf(event.value("appleEvent", json()), CORE_EVENT_CLASS, OPEN_DOCUMENTS_EVENT_ID));
        } else if (name == "reopen") {
            bool handled = askToReopen(appleEventOf(event.value("appleEvent", json()), CORE_EVENT_CLASS, REOPEN_EVENT_ID));
            answer(event, {{"handled", handled}});
        } else if (name == "quit") {
            auto reply = askToTerminate(appleEventOf(event.value("appleEvent", json()), CORE_EVENT_CLASS, QUIT_EVENT_ID));
            answer(event, {{"reply", wire::nameOf(reply)}});
            if (reply == TerminateReply::now)
                std::exit(0);
        } else if (name == "services") {
            ServicesRequest request;
            request.message = event.value("message", "openFiles");
            request.userData = wire::stringAt(event, "userData");
            if (auto pasteboard = event.find("pasteboard"); pasteboard != event.end() && pasteboard->is_array()) {
                for (const auto& item : *pasteboard) {
                    if (item.is_string() && isFileURL(item.get<std::string>()))
                        request.fileURLs.push_back(item.get<std::string>());
                }
            }
            auto error = askTheServicesProvider(request);
            answer(event, {{"error", error ? json(*error) : json(nullptr)}});
        } else if (name == "displays") {
            auto changes = event.find("changes");
            if (changes == event.end() || !changes->is_array()) {
                complain("display changes without a list", wire::lineOf(event));
                return;
            }
            for (const auto& change : *changes) {
                auto display = wire::integerAt(change, "display");
                auto flags = wire::integerAt(change, "flags");
                if (display && flags && *display >= 0 && *display <= UINT32_MAX && *flags >= 0 && *flags <= UINT32_MAX)
                    deliverDisplayChange(uint32_t(*display), uint32_t(*flags));
            }
        } else {
            complain("unknown event", wire::lineOf(event));
        }
    }

    int fd_;
    std::chrono::milliseconds bound_;
    bool gone_ = false;
    bool connecting_ = false;
    std::string failure_;
    std::unique_ptr<DescriptorWatch> watch_;
    int64_t nextRequest_ = 1;
    std::string pending_;
    bool discarding_ = false;
    std::map<int64_t, json> replies_;
    std::deque<json> events_;
    bool drainPosted_ = false;
    bool displayHandlerInstalled_ = false;
};

} // namespace

std::unique_ptr<Desktop> connectToTheDesktopServer(const std::string& socketPath, DesktopIdentity identity,
                                                   std::string& error)
{
    if (socketPath.size() > SOCKET_PATH_LIMIT) {
        error = "the socket path is longer than " + std::to_string(SOCKET_PATH_LIMIT) + " bytes";
        return nullptr;
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return nullptr;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        error = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    auto desktop = std::make_unique<ServerDesktop>(std::move(identity), fd);
    if (auto failure = desktop->introduce()) {
        error = *failure;
        return nullptr;
    }
    return desktop;
}

} // namespace platform
