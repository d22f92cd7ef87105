// Requests per second through the host socket, against a bare echo server
// over the same kind of socket in the same run: 32 clients, each on its own
// thread and connection, send "refresh" and "invoke" lines in turn and wait
// for each reply before the next, as a hosting parent does. The listener is
// the real one on the host's main loop; only what the requests reach above
// the socket (the menu, the links) is faked. The echo server is one thread
// with level-triggered epoll, reading and writing back what came.
#include "platform/main_queue.h"
#include "platform/unix_socket.h"
#include "socket/listener.h"
#include "socket/requests.h"

#include <algorithm>
#include <asio/io_context.hpp>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int CLIENTS = 32;
constexpr int REQUESTS_PER_CLIENT = 2000;
constexpr int ROUNDS = 7;
constexpr int WARM_UP = 1;

const std::string REFRESH = "{\"refresh\":true}\n";
const std::string INVOKE = "{\"invoke\":\"open\",\"title\":\"Open\"}\n";

// The clients of one round: they connect, wait for the start, then each
// sends its requests one at a time and reads each reply whole.
class Clients {
public:
    explicit Clients(const std::string& path)
    {
        for (int i = 0; i < CLIENTS; ++i)
            threads_.emplace_back([this, path] { run(path); });
    }
    ~Clients()
    {
        go_ = true;
        for (auto& thread : threads_)
            thread.join();
    }
    bool allConnected() const { return connected_ + failed_ == CLIENTS; }
    bool allFinished() const { return finished_ == CLIENTS; }
    bool anyFailed() const { return failed_ > 0; }
    void start() { go_ = true; }

private:
    void run(const std::string& path)
    {
        auto fd = platform::connectToUnixSocket(path);
        if (!fd) {
            ++failed_;
            ++finished_;
            return;
        }
        ++connected_;
        while (!go_)
            std::this_thread::yield();
        std::string received;
        char buffer[4096];
        bool ok = true;
        for (int i = 0; i < REQUESTS_PER_CLIENT && ok; ++i) {
            const std::string& request = i % 2 ? INVOKE : REFRESH;
            ok = ::send(*fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
            while (ok && received.find('\n') == std::string::npos) {
                ssize_t got = ::recv(*fd, buffer, sizeof buffer, 0);
                if (got <= 0 && !(got < 0 && errno == EINTR))
                    ok = false;
                else if (got > 0)
                    received.append(buffer, static_cast<std::size_t>(got));
            }
            if (ok)
                received.erase(0, received.find('\n') + 1);
        }
        if (!ok)
            ++failed_;
        ::close(*fd);
        ++finished_;
    }

    std::vector<std::thread> threads_;
    std::atomic<int> connected_{0}, finished_{0}, failed_{0};
    std::atomic<bool> go_{false};
};

// Requests per second for one round; the server is driven by `serve`, which
// runs its loop a little and returns.
double round(const std::string& path, const std::function<void()>& serve)
{
    Clients clients(path);
    while (!clients.allConnected())
        serve();
    auto start = Clock::now();
    clients.start();
    while (!clients.allFinished())
        serve();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (clients.anyFailed())
        return -1;
    return CLIENTS * REQUESTS_PER_CLIENT / seconds;
}

// The host's listener with its seams faked, served by the host's main loop.
double hostRound(const std::string& path)
{
    return round(path, [] {
        platform::runTheMainQueueFor(std::chrono::milliseconds(5));
    });
}

// The least a server of such a socket does: level-triggered epoll, accept,
// read at most 4096 bytes per readiness, write them back.
class EchoServer {
public:
    explicit EchoServer(int listener)
        : listener_(listener)
        , epoll_(::epoll_create1(EPOLL_CLOEXEC))
    {
        add(listener_);
    }
    ~EchoServer()
    {
        for (int fd : connections_)
            ::close(fd);
        ::close(epoll_);
    }
    void serve()
    {
        epoll_event events[64];
        int ready = ::epoll_wait(epoll_, events, 64, 5);
        for (int i = 0; i < ready; ++i) {
            int fd = events[i].data.fd;
            if (fd == listener_) {
                int accepted = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (accepted >= 0) {
                    add(accepted);
                    connections_.push_back(accepted);
                }
                continue;
            }
            char buffer[4096];
            ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got <= 0) {
                ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
                ::close(fd);
                connections_.erase(std::find(connections_.begin(), connections_.end(), fd));
                continue;
            }
            ssize_t sent = ::send(fd, buffer, static_cast<std::size_t>(got), MSG_NOSIGNAL);
            (void)sent;
        }
    }

private:
    void add(int fd)
    {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
    }
    int listener_;
    int epoll_;
    std::vector<int> connections_;
};

double echoRound(const std::string& path)
{
    auto listener = platform::listenOnUnixSocket(path, kestrune::socket::HOST_SOCKET_BACKLOG);
    if (!listener)
        return -1;
    double rate;
    {
        EchoServer server(*listener);
        rate = round(path, [&] { server.serve(); });
    }
    ::close(*listener);
    ::unlink(path.c_str());
    return rate;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main()
{
    signal(SIGPIPE, SIG_IGN);
    platform::markTheMainThread();
    char pattern[] = "/tmp/ksb-XXXXXX";
    if (!mkdtemp(pattern))
        return 1;
    const std::string folder = pattern;
    const std::string hostPath = folder + "/host/menu.sock";
    const std::string echoPath = folder + "/echo.sock";

    kestrune::socket::setTheHostRequestSeams({
        .drawnOnce = [] { return true; },
        .publish = [] { return true; },
        .titleOf = [](const std::string& id) -> std::optional<std::string> {
            if (id == "open")
                return std::string("Open");
            return std::nullopt;
        },
        .send = [](const std::string&) { return true; },
        .isOneOfOurURLs = [](const std::string&) { return false; },
        .arrived = [](const std::string&) {},
        .runningShell = [] { return std::optional<pid_t>(4242); },
    });
    auto listener = kestrune::socket::HostListener::listen(hostPath);
    if (!listener) {
        std::printf("the host socket does not listen: %s\n", listener.failure().description().c_str());
        return 1;
    }

    // Both in turn, round after round, so that both see the same machine.
    std::vector<double> host, echo;
    for (int i = 0; i < ROUNDS + WARM_UP; ++i) {
        double h = hostRound(hostPath);
        double e = echoRound(echoPath);
        if (h < 0 || e < 0) {
            std::printf("a round failed\n");
            return 1;
        }
        std::printf("round %d: host socket %.0f requests/s, echo server %.0f\n", i + 1, h, e);
        if (i >= WARM_UP) {
            host.push_back(h);
            echo.push_back(e);
        }
    }
    listener->reset();
    ::unlink(hostPath.c_str());
    ::rmdir((folder + "/host").c_str());
    ::rmdir(folder.c_str());

    double h = median(host), e = median(echo);
    std::printf("\n%d clients, each one request at a time, \"refresh\" and \"invoke\" in turn\n", CLIENTS);
    std::printf("host socket: %.0f requests/s; bare echo server %.0f; ratio %.3f; goal >= 0.60%s\n", h, e, h / e,
                h / e >= 0.60 ? "" : "  MISSED");
    return 0;
}
