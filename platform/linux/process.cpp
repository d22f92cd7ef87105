#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <climits>
#include <fcntl.h>
#include <malloc.h>
#include <map>
#include <set>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/bundle.h"
#include "platform/files.h"
#include "platform/main_queue.h"

extern char** environ;

namespace platform {

Environment processEnvironment()
{
    Environment environment;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string_view text = *entry;
        auto equals = text.find('=');
        if (equals == std::string_view::npos)
            continue;
        environment.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
    }
    return environment;
}

Result<pid_t> launch(const Launch& request)
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);

    // A descriptor given as its own target keeps its place; glibc clears its
    // close-on-exec flag for a dup2 onto itself.
    int sources[3] = {request.standardInput, request.standardOutput, request.standardError};
    for (int target = 0; target < 3; ++target) {
        if (sources[target] >= 0)
            posix_spawn_file_actions_adddup2(&actions, sources[target], target);
    }
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    sigset_t all;
    sigfillset(&all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (request.newSession)
        flags |= POSIX_SPAWN_SETSID;
    posix_spawnattr_setflags(&attributes, flags);

    std::vector<std::string> argumentTexts;
    argumentTexts.reserve(request.arguments.size() + 1);
    argumentTexts.push_back(request.program);
    argumentTexts.insert(argumentTexts.end(), request.arguments.begin(), request.arguments.end());
    std::vector<char*> argv;
    for (auto& text : argumentTexts)
        argv.push_back(text.data());
    argv.push_back(nullptr);

    std::vector<std::string> environmentTexts;
    for (const auto& [name, value] : request.environment)
        environmentTexts.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& text : environmentTexts)
        envp.push_back(text.data());
    envp.push_back(nullptr);

    pid_t pid = -1;
    int error = posix_spawn(&pid, request.program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0)
        return failureOf("posix_spawn", error, request.program);
    return pid;
}

namespace {
// The fields of /proc/<pid>/stat after the command name, which may itself
// hold spaces and parentheses.
std::optional<std::string> statFieldsOf(pid_t pid)
{
    auto stat = contentsOf("/proc/" + std::to_string(pid) + "/stat", 65536);
    if (!stat)
        return std::nullopt;
    auto close = stat->rfind(')');
    if (close == std::string::npos || close + 2 > stat->size())
        return std::nullopt;
    return stat->substr(close + 2);
}
}

std::optional<pid_t> parentOf(pid_t pid)
{
    auto fields = statFieldsOf(pid);
    if (!fields)
        return std::nullopt;
    char state = 0;
    int parent = 0;
    if (std::sscanf(fields->c_str(), "%c %d", &state, &parent) != 2)
        return std::nullopt;
    return parent;
}

std::vector<pid_t> descendantsOf(pid_t pid)
{
    std::multimap<pid_t, pid_t> children;
    for (const auto& name : entriesOf("/proc")) {
        char* end = nullptr;
        long number = std::strtol(name.c_str(), &end, 10);
        if (*end != '\0' || number <= 0)
            continue;
        if (auto parent = parentOf(static_cast<pid_t>(number)))
            children.emplace(*parent, static_cast<pid_t>(number));
    }
    // Depth first from the last process found; each process once, even if
    // the table changed under us and made a loop.
    std::vector<pid_t> found;
    std::set<pid_t> seen{pid};
    std::vector<pid_t> pending{pid};
    while (!pending.empty()) {
        pid_t next = pending.back();
        pending.pop_back();
        auto [first, last] = children.equal_range(next);
        for (auto it = first; it != last; ++it) {
            if (!seen.insert(it->second).second)
                continue;
            found.push_back(it->second);
            pending.push_back(it->second);
        }
    }
    return found;
}

std::optional<std::string> executablePathOf(pid_t pid)
{
    char path[4096];
    std::string link = "/proc/" + std::to_string(pid) + "/exe";
    ssize_t length = readlink(link.c_str(), path, sizeof path - 1);
    if (length <= 0)
        return std::nullopt;
    return std::string(path, static_cast<std::size_t>(length));
}

bool catches(pid_t pid, int signalNumber)
{
    auto status = contentsOf("/proc/" + std::to_string(pid) + "/status", 1 << 20);
    if (!status || signalNumber < 1 || signalNumber > 64)
        return false;
    auto at = status->find("\nSigCgt:");
    if (at == std::string::npos)
        return false;
    unsigned long long mask = std::strtoull(status->c_str() + at + 8, nullptr, 16);
    return (mask >> (signalNumber - 1)) & 1ULL;
}

bool isAlive(pid_t pid)
{
    auto fields = statFieldsOf(pid);
    return fields && !fields->empty() && (*fields)[0] != 'Z' && (*fields)[0] != 'X';
}

// The socket inodes among the process's descriptors, matched against the
// TCP tables of its own network namespace: state 01 is ESTABLISHED.
bool holdsAnEstablishedTCPConnection(pid_t pid)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    std::set<unsigned long> sockets;
    if (DIR* fds = opendir((proc + "/fd").c_str())) {
        while (const dirent* entry = readdir(fds)) {
            char target[64];
            std::string link = proc + "/fd/" + entry->d_name;
            ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
            if (length <= 0)
                continue;
            target[length] = '\0';
            unsigned long inode = 0;
            if (std::sscanf(target, "socket:[%lu]", &inode) == 1)
                sockets.insert(inode);
        }
        closedir(fds);
    }
    if (sockets.empty())
        return false;
    for (const char* table : {"/net/tcp", "/net/tcp6"}) {
        FILE* file = std::fopen((proc + table).c_str(), "re");
        if (!file)
            continue;
        char line[512];
        bool found = false;
        // The header line, then one connection per line:
        //   sl local remote st tx:rx tr:when retrnsmt uid timeout inode ...
        bool header = std::fgets(line, sizeof line, file) != nullptr;
        while (header && !found && std::fgets(line, sizeof line, file)) {
            char local[64], remote[64];
            unsigned state = 0;
            unsigned long inode = 0;
            if (std::sscanf(line, " %*s %63s %63s %x %*s %*s %*s %*s %*s %lu", local, remote, &state, &inode) == 4)
                found = state == 0x01 && sockets.count(inode) > 0;
        }
        std::fclose(file);
        if (found)
            return true;
    }
    return false;
}

namespace {
class PidfdWatch final : public ProcessWatch {
public:
    PidfdWatch(int pidfd, std::function<void()> handler)
        : pidfd_(pidfd)
    {
        auto fired = std::make_shared<bool>(false);
        watch_ = whenReadable(pidfd_, [fired, handler = std::move(handler)] {
            if (*fired)
                return;
            *fired = true;
            handler();
        });
    }
    ~PidfdWatch() override
    {
        watch_.reset();
        close(pidfd_);
    }

private:
    int pidfd_;
    std::unique_ptr<DescriptorWatch> watch_;
};
}

std::unique_ptr<ProcessWatch> whenProcessEnds(pid_t pid, std::function<void()> handler)
{
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0)
        return nullptr;
    markCloseOnExec(pidfd);
    return std::make_unique<PidfdWatch>(pidfd, std::move(handler));
}

Result<pid_t> launchAndForget(const Launch& request)
{
    auto launched = launch(request);
    if (!launched)
        return launched;
    pid_t pid = *launched;
    static std::map<pid_t, std::unique_ptr<ProcessWatch>> reapers;
    reapers[pid] = whenProcessEnds(pid, [pid] {
        waitpid(pid, nullptr, WNOHANG);
        // The watch goes once its handler has returned.
        post([pid] { reapers.erase(pid); });
    });
    return pid;
}

bool isGone(pid_t pid)
{
    return kill(pid, 0) != 0 && errno == ESRCH;
}

void signalIfAlive(pid_t pid, int signalNumber)
{
    if (pid > 0 && kill(pid, 0) == 0)
        kill(pid, signalNumber);
}

void markCloseOnExec(int fd)
{
    int flags = fcntl(fd, F_GETFD);
    if (flags >= 0)
        fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

void markNonBlocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

void giveLargeBlocksBackWhenFreed()
{
    // A fixed threshold: glibc otherwise raises it to the size of each large
    // block freed, and the next such block stays in the heap for good.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    mallopt(M_TRIM_THRESHOLD, 256 * 1024);
}

const std::string& runningExecutablePath()
{
    static const std::string path = [] {
        char link[PATH_MAX];
        ssize_t length = readlink("/proc/self/exe", link, sizeof link - 1);
        return length > 0 ? std::string(link, static_cast<std::size_t>(length)) : std::string();
    }();
    return path;
}

} // namespace platform
