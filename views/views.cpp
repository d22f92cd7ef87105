// The views library: the panels the host shows on the shell's behalf
// (settings, about, welcome) and the updater, in one shared object that the
// host loads with dlopen and calls by name: PANEL_prepare, PANEL_open,
// PANEL_update, PANEL_close, kestrune_start_updater and
// kestrune_check_for_updates, all with C linkage.
//
// On this machine there is nothing to draw. When the environment names a
// desktop server (KESTRUNE_DESKTOP_SOCKET), the library reports every call
// to it as the process's "views" peer, and hands what the user does in a
// panel there (a panelAct event) to the action callback that panel's last
// prepare or open gave. The updater's codes come from the environment
// (KESTRUNE_VIEWS_START_CODE, KESTRUNE_VIEWS_CHECK_CODE), for tests to set.
//
// It is a component of its own: the host depends on its entry points only,
// and it uses no code of the host.
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#define KESTRUNE_VIEWS_EXPORT extern "C" __attribute__((visibility("default")))

namespace kestrune::views {

namespace {

using nlohmann::json;
using Act = void (*)(const char*);

constexpr const char* SOCKET_VARIABLE = "KESTRUNE_DESKTOP_SOCKET";
constexpr const char* START_CODE_VARIABLE = "KESTRUNE_VIEWS_START_CODE";
constexpr const char* CHECK_CODE_VARIABLE = "KESTRUNE_VIEWS_CHECK_CODE";
constexpr int PROTOCOL = 1;
constexpr int HELLO_ID = 1;
// The host calls us on its main thread: a server that stops reading may
// hold a call this long per write, and then it is given up.
constexpr std::chrono::seconds SEND_TIMEOUT{1};
// Longer looks are cut, so that one call never writes more than this.
constexpr std::size_t LOOK_LIMIT = 1024 * 1024;
// A line from the server longer than this is skipped.
constexpr std::size_t INBOUND_LIMIT = 1024 * 1024;

#ifdef MSG_NOSIGNAL
constexpr int SEND_FLAGS = MSG_NOSIGNAL;
#else
constexpr int SEND_FLAGS = 0;
#endif

// One connection to a desktop server. Its reader thread is the last to use
// the descriptor, so only the reader closes it; anyone else who gives the
// connection up shuts it down, which wakes the reader.
struct Link {
    int fd = -1;
    std::mutex sending;
    bool gone = false;   // guarded by `sending`

    // Writes one whole line in time, or gives the connection up.
    bool send(const std::string& line)
    {
        std::lock_guard lock(sending);
        if (gone)
            return false;
        auto deadline = std::chrono::steady_clock::now() + 2 * SEND_TIMEOUT;
        std::size_t done = 0;
        while (done < line.size()) {
            ssize_t wrote = ::send(fd, line.data() + done, line.size() - done, SEND_FLAGS);
            bool late = std::chrono::steady_clock::now() > deadline;
            if (wrote < 0 && errno == EINTR && !late)
                continue;
            if (wrote <= 0 || (late && done + std::size_t(wrote) < line.size())) {
                // Half a line would break every line after it.
                giveUpLocked();
                return false;
            }
            done += std::size_t(wrote);
        }
        return true;
    }

    // Ends the connection from outside the reader.
    void giveUp()
    {
        std::lock_guard lock(sending);
        giveUpLocked();
    }

    void giveUpLocked()
    {
        if (gone)
            return;
        gone = true;
        ::shutdown(fd, SHUT_RDWR);
    }
};

// What the library remembers for the life of the process: each panel's
// action callback and the connection to the server of the moment.
class Library {
public:
    // Keeps a panel's action callback for the acts to come.
    void remember(const std::string& panel, Act act)
    {
        std::lock_guard lock(actsMutex_);
        acts_[panel] = act;
    }

    // The action callback a panel's last prepare or open gave.
    Act actOf(const std::string& panel)
    {
        std::lock_guard lock(actsMutex_);
        auto found = acts_.find(panel);
        return found == acts_.end() ? nullptr : found->second;
    }

    // Sends one request to the server, if there is one, after every request
    // made before it.
    void report(const json& request)
    {
        std::lock_guard order(orderMutex_);
        std::shared_ptr<Link> link = linkForNow();
        if (link)
            link->send(lineOf(request));
    }

private:
    // The connection to the server the environment names now. The variable
    // is read at every call: a process that names another server (a test
    // process does, test after test) gets a connection to that one, and
    // one that names none gets none.
    std::shared_ptr<Link> linkForNow()
    {
        const char* named = std::getenv(SOCKET_VARIABLE);
        std::optional<std::string> wanted;
        if (named && *named)
            wanted = named;
        if (looked_ && wanted == socketPath_)
            return link_;
        if (link_)
            link_->giveUp();
        link_.reset();
        looked_ = true;
        socketPath_ = wanted;
        if (wanted)
            link_ = connectTo(*wanted);
        return link_;
    }

    static std::string lineOf(const json& message)
    {
        // A look that is not UTF-8 is sent with its broken bytes replaced,
        // so that it never breaks the line it travels in.
        return message.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    }

    // Connects and says hello; nothing when no server answers.
    static std::shared_ptr<Link> connectTo(const std::string& path)
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.size() >= sizeof address.sun_path)
            return nullptr;
        std::memcpy(address.sun_path, path.data(), path.size());
#ifdef SOCK_CLOEXEC
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
#else
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
#endif
        if (fd < 0)
            return nullptr;
        // The shell and every other child of the host must not hold it.
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#ifdef SO_NOSIGPIPE
        int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
        // The timeout bounds the connect of a server whose backlog is full
        // as well as every write.
        timeval timeout{std::chrono::duration_cast<std::chrono::seconds>(SEND_TIMEOUT).count(), 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        int connected;
        do {
            connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        } while (connected < 0 && errno == EINTR);
        if (connected < 0) {
            ::close(fd);
            return nullptr;
        }
        auto link = std::make_shared<Link>();
        link->fd = fd;
        json hello = {{"op", "hello"}, {"id", HELLO_ID}, {"protocol", PROTOCOL}, {"role", "views"}, {"pid", ::getpid()}};
        // Requests follow the hello without waiting for its answer: the
        // server takes a connection's lines in order.
        if (!link->send(lineOf(hello)) || !startReader(link)) {
            link->giveUp();
            ::close(fd);
            return nullptr;
        }
        return link;
    }

    // Starts the thread that reads the server's lines; false when it cannot.
    static bool startReader(const std::shared_ptr<Link>& link)
    {
        // The host handles its signals where it chose to: none is ever
        // delivered to our thread, which starts with all of them blocked.
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        bool started = true;
        try {
            std::thread([link] { readLines(*link); }).detach();
        } catch (...) {
            started = false;
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return started;
    }

    // Reads lines until the connection ends, then closes it.
    static void readLines(Link& link)
    {
        std::string inbound;
        bool discarding = false;
        char chunk[16384];
        bool going = true;
        while (going) {
            ssize_t got = ::recv(link.fd, chunk, sizeof chunk, 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            std::size_t start = 0;
            for (std::size_t i = 0; i < std::size_t(got) && going; ++i) {
                if (chunk[i] != '\n')
                    continue;
                if (!discarding) {
                    inbound.append(chunk + start, i - start);
                    going = take(inbound);
                }
                inbound.clear();
                discarding = false;
                start = i + 1;
            }
            if (!discarding)
                inbound.append(chunk + start, std::size_t(got) - start);
            if (inbound.size() > INBOUND_LIMIT) {
                inbound.clear();
                discarding = true;
            }
        }
        std::lock_guard lock(link.sending);
        link.gone = true;
        ::close(link.fd);
        link.fd = -1;
    }

    // One line from the server: an act is handed to its panel's callback;
    // replies are not needed, but a refused hello ends the connection.
    static bool take(const std::string& line)
    {
        json message = json::parse(line, nullptr, false);
        if (!message.is_object())
            return true;
        auto id = message.find("id");
        if (id != message.end() && *id == HELLO_ID && message.contains("error"))
            return false;
        auto event = message.find("event");
        if (event == message.end() || *event != "panelAct")
            return true;
        auto panel = message.find("panel");
        if (panel == message.end() || !panel->is_string())
            return true;
        Act act = library().actOf(panel->get<std::string>());
        if (!act)
            return true;
        auto text = message.find("text");
        if (text != message.end() && text->is_string())
            act(text->get_ref<const std::string&>().c_str());
        else
            act(nullptr);
        return true;
    }

public:
    // The one library of the process. Never destroyed: reader threads may
    // still run while the process ends.
    static Library& library()
    {
        static Library* const only = new Library;
        return *only;
    }

private:
    std::mutex orderMutex_;   // one report at a time, in the order of the calls
    bool looked_ = false;
    std::optional<std::string> socketPath_;
    std::shared_ptr<Link> link_;

    std::mutex actsMutex_;
    std::map<std::string, Act> acts_;
};

// A look as it is reported: never null, cut at the limit.
void addLook(json& request, const char* look)
{
    std::string text = look ? look : "";
    if (text.size() > LOOK_LIMIT) {
        text.resize(LOOK_LIMIT);
        request["truncated"] = true;
    }
    request["look"] = std::move(text);
}

// A panel's entry point; `gives` when it gives an action callback.
void panelCall(const char* panel, const char* call, const char* look, bool gives, Act act)
{
    try {
        if (gives)
            Library::library().remember(panel, act);
        json request = {{"op", "viewsCall"}, {"panel", panel}, {"call", call}};
        if (std::strcmp(call, "close") != 0)
            addLook(request, look);
        Library::library().report(request);
    } catch (...) {
        // Nothing may escape into the host's C call.
    }
}

// A code from the environment: 0 unless it holds a whole 32-bit number.
int32_t codeFrom(const char* variable)
{
    const char* text = std::getenv(variable);
    if (!text || !*text)
        return 0;
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(text, &end, 10);
    if (*end != '\0' || errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
        return 0;
    return int32_t(value);
}

// An updater entry point: its code, reported.
int32_t updaterCall(const char* call, const char* variable, const char* feed, bool hasFeed)
{
    int32_t code = codeFrom(variable);
    try {
        json request = {{"op", "viewsUpdater"}, {"call", call}, {"code", code}};
        if (hasFeed)
            request["feed"] = feed ? json(feed) : json(nullptr);
        Library::library().report(request);
    } catch (...) {
    }
    return code;
}

} // namespace

} // namespace kestrune::views

// The four entry points of one panel.
#define KESTRUNE_VIEWS_PANEL(name)                                                                  \
    KESTRUNE_VIEWS_EXPORT void name##_prepare(const char* look, void (*act)(const char*))           \
    {                                                                                               \
        kestrune::views::panelCall(#name, "prepare", look, true, act);                              \
    }                                                                                               \
    KESTRUNE_VIEWS_EXPORT void name##_open(const char* look, void (*act)(const char*))              \
    {                                                                                               \
        kestrune::views::panelCall(#name, "open", look, true, act);                                 \
    }                                                                                               \
    KESTRUNE_VIEWS_EXPORT void name##_update(const char* look)                                      \
    {                                                                                               \
        kestrune::views::panelCall(#name, "update", look, false, nullptr);                          \
    }                                                                                               \
    KESTRUNE_VIEWS_EXPORT void name##_close(void)                                                   \
    {                                                                                               \
        kestrune::views::panelCall(#name, "close", nullptr, false, nullptr);                        \
    }

KESTRUNE_VIEWS_PANEL(settings)
KESTRUNE_VIEWS_PANEL(about)
KESTRUNE_VIEWS_PANEL(welcome)

// Starts the updater with its feed; 0 when it started.
KESTRUNE_VIEWS_EXPORT int32_t kestrune_start_updater(const char* feedURL)
{
    return kestrune::views::updaterCall("start", kestrune::views::START_CODE_VARIABLE, feedURL, true);
}

// Checks for updates now; the code is only recorded by the host.
KESTRUNE_VIEWS_EXPORT int32_t kestrune_check_for_updates(void)
{
    return kestrune::views::updaterCall("check", kestrune::views::CHECK_CODE_VARIABLE, nullptr, false);
}
