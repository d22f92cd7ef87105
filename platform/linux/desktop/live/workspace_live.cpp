#include "platform/linux/desktop/live/workspace_live.h"

#include "platform/main_queue.h"
#include "platform/process.h"
#include "platform/standard_error.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace platform {

namespace {

// How long openURL waits for the opener to say whether something took the
// URL. An opener still running then has found a handler that runs in its
// place (as a browser started in the foreground does): that counts as opened.
constexpr int OPENER_WAIT_MS = 3000;

// The program of this name on PATH; "" when none.
std::string onThePath(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::string folders = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = std::min(folders.find(':', start), folders.size());
        std::string candidate = folders.substr(start, end - start) + "/" + program;
        if (end > start && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

// Waits at most `timeoutMs` for a child to end; its exit status, -1 when it
// ended otherwise, nothing when it still runs.
std::optional<int> waitForTheEnd(pid_t pid, int timeoutMs)
{
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        pid_t ended = waitpid(pid, &status, WNOHANG);
        if (ended == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (ended < 0 && errno != EINTR) {
            if (pidfd >= 0)
                close(pidfd);
            return -1;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        if (pidfd >= 0) {
            pollfd descriptor{pidfd, POLLIN, 0};
            poll(&descriptor, 1, int(left.count()));
        } else {
            usleep(10000);
        }
    }
    if (pidfd >= 0)
        close(pidfd);
    return std::nullopt;
}

} // namespace

LiveWorkspace::LiveWorkspace(HeadlessState& state, XConnection& x)
    : HeadlessWorkspace(state)
    , x_(x)
{
    if (x_.gone())
        return;
    x_.onEvent(XCB_PROPERTY_NOTIFY, [this](const xcb_generic_event_t& event) {
        propertyChanged(reinterpret_cast<const xcb_property_notify_event_t&>(event));
    });
    x_.onEvent(XCB_DESTROY_NOTIFY, [this](const xcb_generic_event_t& event) {
        if (checkWindow_ && reinterpret_cast<const xcb_destroy_notify_event_t&>(event).window == checkWindow_)
            refreshSoon();
    });
    // Nobody is at the headless desktop, so the host is not in front.
    x_.whenGone([this] { active_ = false; });
    selectMoreEvents(x_, x_.root(), XCB_EVENT_MASK_PROPERTY_CHANGE);
    refresh(true);
}

bool LiveWorkspace::live()
{
    return !x_.gone() && x_.healthy();
}

void LiveWorkspace::propertyChanged(const xcb_property_notify_event_t& event)
{
    auto& ewmh = x_.ewmh();
    if (event.window == x_.root()) {
        if (event.atom == ewmh._NET_ACTIVE_WINDOW || event.atom == ewmh._NET_CLIENT_LIST
            || event.atom == ewmh._NET_CLIENT_LIST_STACKING || event.atom == ewmh._NET_SUPPORTING_WM_CHECK)
            refreshSoon();
        return;
    }
    auto known = windows_.find(event.window);
    if (known == windows_.end())
        return;
    // A hidden state, or an owner that names itself late.
    if (event.atom == ewmh._NET_WM_STATE || event.atom == ewmh._NET_WM_PID || event.atom == XCB_ATOM_WM_CLASS) {
        changed_.insert(event.window);
        refreshSoon();
    }
}

void LiveWorkspace::refreshSoon()
{
    if (refreshOwed_)
        return;
    refreshOwed_ = true;
    state_.later([this] { catchUp(); });
}

void LiveWorkspace::catchUp()
{
    if (!refreshOwed_)
        return;
    refreshOwed_ = false;
    if (live())
        refresh();
}

void LiveWorkspace::windowManagerLost()
{
    if (!saidNoWindowManager_) {
        saidNoWindowManager_ = true;
        sayOnStandardError("live desktop: no window manager runs; no application is in front until one does");
    }
    windowManager_ = false;
    checkWindow_ = 0;
    front_.reset();
    activeWindow_ = 0;
    // The applications are remembered as they were: those still there when
    // a window manager comes back did not launch again.
    stacking_.clear();
    windows_.clear();
    changed_.clear();
    if (active_) {
        active_ = false;
        state_.later([this] { notifyApplication(ApplicationNotification::didResignActive); });
    }
}

void LiveWorkspace::refresh(bool quietly)
{
    auto check = windowManagerCheckWindow(x_);
    if (!check) {
        if (windowManager_ || !learned_)
            windowManagerLost();
        learned_ = true;
        return;
    }
    if (*check != checkWindow_) {
        checkWindow_ = *check;
        // Its end is the window manager's end, even when the root's
        // property outlives it.
        selectEventsOnForeignWindow(x_, checkWindow_, XCB_EVENT_MASK_STRUCTURE_NOTIFY);
    }
    // The applications found the first time a window manager lists them
    // were running already: none of them launched.
    bool quietLaunches = quietly || !everManaged_;
    everManaged_ = true;
    windowManager_ = true;

    auto listed = clientWindows(x_).value_or(std::vector<xcb_window_t>{});
    const pid_t own = state_.identity().pid;
    // Read what is new, and what changed or had no owner yet.
    std::vector<xcb_window_t> toRead;
    for (xcb_window_t window : listed) {
        auto known = windows_.find(window);
        if (known == windows_.end() || changed_.count(window) || known->second.pid == 0)
            toRead.push_back(window);
    }
    changed_.clear();
    std::set<xcb_window_t> present(listed.begin(), listed.end());
    std::erase_if(windows_, [&](const auto& entry) { return !present.count(entry.first); });
    for (auto& window : readClientWindows(x_, toRead)) {
        if (!window.exists) {
            windows_.erase(window.window);
            continue;
        }
        bool first = !windows_.count(window.window);
        if (first && window.pid != own)
            selectEventsOnForeignWindow(x_, window.window, XCB_EVENT_MASK_PROPERTY_CHANGE);
        windows_[window.window] = window;
    }
    stacking_.clear();
    for (xcb_window_t window : listed) {
        if (windows_.count(window))
            stacking_.push_back(window);
    }
    x_.flush();

    // The applications now: every process with a managed window.
    std::map<pid_t, RunningApplication> now;
    for (const auto& [window, described] : windows_) {
        if (described.pid > 0 && described.pid != own && !now.count(described.pid))
            now[described.pid] = describe(described.pid);
    }
    std::vector<std::pair<WorkspaceNotification, RunningApplication>> told;
    for (auto& [pid, application] : now) {
        auto known = applications_.find(pid);
        if (known == applications_.end()) {
            applications_[pid] = {application, nextOrder_++};
            if (!quietLaunches)
                told.push_back({WorkspaceNotification::didLaunchApplication, application});
            continue;
        }
        bool wasHidden = known->second.description.hidden;
        known->second.description = application;
        if (!quietly && wasHidden != application.hidden)
            told.push_back({application.hidden ? WorkspaceNotification::didHideApplication
                                               : WorkspaceNotification::didUnhideApplication,
                            application});
    }
    for (auto known = applications_.begin(); known != applications_.end();) {
        if (now.count(known->first)) {
            ++known;
            continue;
        }
        RunningApplication ended = known->second.description;
        ended.terminated = true;
        if (!quietly)
            told.push_back({WorkspaceNotification::didTerminateApplication, ended});
        known = applications_.erase(known);
    }

    // The front: the owner of the active window, when it is a managed one
    // with an owner.
    activeWindow_ = activeWindow(x_);
    std::optional<pid_t> front;
    if (auto active = windows_.find(activeWindow_); active != windows_.end() && active->second.pid > 0)
        front = active->second.pid;
    bool wasActive = active_;
    if (front != front_) {
        front_ = front;
        // The front found at the start is the state the host starts in.
        if (front && !quietly) {
            if (auto application = applicationOf(*front)) {
                // Launches come before the activation they cause.
                auto activation = std::make_pair(WorkspaceNotification::didActivateApplication, *application);
                auto firstOther = std::find_if(told.begin(), told.end(), [](const auto& each) {
                    return each.first != WorkspaceNotification::didLaunchApplication;
                });
                told.insert(firstOther, activation);
            }
        }
    }
    active_ = front && *front == own;
    learned_ = true;
    if (wasActive != active_ && !quietly) {
        state_.later([this, nowActive = active_] {
            notifyApplication(nowActive ? ApplicationNotification::didBecomeActive
                                        : ApplicationNotification::didResignActive);
        });
    }
    for (auto& [notification, application] : told) {
        state_.later([this, notification = notification, application = application] {
            notifyWorkspace(notification, application);
        });
    }
}

RunningApplication LiveWorkspace::describe(pid_t pid) const
{
    RunningApplication application;
    application.pid = pid;
    bool allHidden = true;
    std::string desktopId, windowClass, title;
    // The first window to name something names it for the application.
    auto take = [&](const auto& described) {
        allHidden = allHidden && described.hidden;
        if (desktopId.empty())
            desktopId = described.desktopId;
        if (windowClass.empty())
            windowClass = described.windowClass.empty() ? described.instance : described.windowClass;
        if (title.empty())
            title = described.title;
    };
    // Top to bottom: the front window's names win.
    for (auto window = stacking_.rbegin(); window != stacking_.rend(); ++window) {
        const auto& described = windows_.at(*window);
        if (described.pid == pid)
            take(described);
    }
    // Windows not yet in the stacking order (read this very turn).
    for (const auto& [window, described] : windows_) {
        if (described.pid == pid && std::find(stacking_.begin(), stacking_.end(), window) == stacking_.end())
            take(described);
    }
    if (!desktopId.empty())
        application.bundleIdentifier = desktopId;
    else if (!windowClass.empty())
        application.bundleIdentifier = windowClass;
    if (!windowClass.empty())
        application.localizedName = windowClass;
    else if (!title.empty())
        application.localizedName = title;
    application.bundlePath = executablePathOf(pid);
    application.hidden = allHidden;
    return application;
}

std::optional<RunningApplication> LiveWorkspace::applicationOf(pid_t pid) const
{
    if (pid == state_.identity().pid)
        return ownApplication();
    auto found = applications_.find(pid);
    if (found == applications_.end())
        return std::nullopt;
    return found->second.description;
}

xcb_window_t LiveWorkspace::topWindowOf(pid_t pid) const
{
    for (auto window = stacking_.rbegin(); window != stacking_.rend(); ++window) {
        if (windows_.at(*window).pid == pid)
            return *window;
    }
    return 0;
}

std::optional<RunningApplication> LiveWorkspace::frontmostApplication()
{
    assertOnTheMainThread("frontmostApplication");
    if (!live())
        return HeadlessWorkspace::frontmostApplication();
    catchUp();
    if (!windowManager_ || !front_)
        return std::nullopt;
    return applicationOf(*front_);
}

std::vector<RunningApplication> LiveWorkspace::runningApplications()
{
    assertOnTheMainThread("runningApplications");
    if (!live())
        return HeadlessWorkspace::runningApplications();
    catchUp();
    std::vector<RunningApplication> list = {ownApplication()};
    if (!windowManager_)
        return list;
    std::vector<const Application*> others;
    for (const auto& [pid, application] : applications_)
        others.push_back(&application);
    std::sort(others.begin(), others.end(), [](auto* a, auto* b) { return a->order < b->order; });
    for (const auto* application : others)
        list.push_back(application->description);
    return list;
}

std::optional<RunningApplication> LiveWorkspace::runningApplication(pid_t pid)
{
    assertOnTheMainThread("runningApplication");
    if (!live())
        return HeadlessWorkspace::runningApplication(pid);
    catchUp();
    if (!windowManager_ && pid != state_.identity().pid)
        return std::nullopt;
    return applicationOf(pid);
}

std::vector<RunningApplication> LiveWorkspace::runningApplications(const std::string& bundleIdentifier)
{
    assertOnTheMainThread("runningApplications");
    if (!live())
        return HeadlessWorkspace::runningApplications(bundleIdentifier);
    std::vector<RunningApplication> found;
    for (auto& application : runningApplications()) {
        if (application.bundleIdentifier == bundleIdentifier)
            found.push_back(application);
    }
    return found;
}

void LiveWorkspace::requestActivation(xcb_window_t window)
{
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = x_.ewmh()._NET_ACTIVE_WINDOW;
    message.data.data32[0] = 2;   // as a pager asks: window managers grant it
    message.data.data32[1] = XCB_CURRENT_TIME;
    message.data.data32[2] = activeWindow_;
    xcb_send_event(x_.connection(), 0, x_.root(),
                   XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                   reinterpret_cast<const char*>(&message));
    x_.flush();
}

bool LiveWorkspace::activate(pid_t pid)
{
    assertOnTheMainThread("activate");
    if (!live())
        return HeadlessWorkspace::activate(pid);
    catchUp();
    if (!windowManager_)
        return false;
    if (pid == state_.identity().pid && policy_ == ActivationPolicy::prohibited)
        return false;
    xcb_window_t window = topWindowOf(pid);
    if (!window)
        return false;
    requestActivation(window);
    return true;
}

bool LiveWorkspace::openURL(const std::string& url)
{
    assertOnTheMainThread("openURL");
    if (!live())
        return HeadlessWorkspace::openURL(url);
    Launch opener;
    opener.program = onThePath("xdg-open");
    opener.arguments = {url};
    if (opener.program.empty()) {
        opener.program = onThePath("gio");
        opener.arguments = {"open", url};
    }
    if (opener.program.empty()) {
        static bool said = false;
        if (!said) {
            said = true;
            sayOnStandardError("live desktop: neither xdg-open nor gio is installed; URLs are not opened");
        }
        return false;
    }
    opener.environment = processEnvironment();
    int quiet = open("/dev/null", O_RDWR | O_CLOEXEC);
    opener.standardInput = quiet;
    opener.standardOutput = quiet;
    opener.standardError = quiet;
    auto launched = launch(opener);
    if (quiet >= 0)
        close(quiet);
    if (!launched)
        return false;
    auto status = waitForTheEnd(*launched, OPENER_WAIT_MS);
    if (!status) {
        // Reaped once it ends, so that it leaves no zombie behind.
        pid_t pid = *launched;
        static std::map<pid_t, std::unique_ptr<ProcessWatch>> reapers;
        reapers[pid] = whenProcessEnds(pid, [pid] {
            waitpid(pid, nullptr, WNOHANG);
            post([pid] { reapers.erase(pid); });
        });
        return true;
    }
    return *status == 0;
}

void LiveWorkspace::setActivationPolicy(ActivationPolicy policy)
{
    assertOnTheMainThread("setActivationPolicy");
    if (!live()) {
        HeadlessWorkspace::setActivationPolicy(policy);
        return;
    }
    // The window manager, not the policy, decides what is active here.
    policy_ = policy;
}

bool LiveWorkspace::isActive()
{
    assertOnTheMainThread("isActive");
    if (live())
        catchUp();
    return active_;
}

void LiveWorkspace::activateIgnoringOtherApps()
{
    assertOnTheMainThread("activateIgnoringOtherApps");
    if (!live()) {
        HeadlessWorkspace::activateIgnoringOtherApps();
        return;
    }
    catchUp();
    if (policy_ == ActivationPolicy::prohibited || !windowManager_)
        return;
    if (xcb_window_t window = topWindowOf(state_.identity().pid))
        requestActivation(window);
}

} // namespace platform
