// Processes: the environment, launching, and what the kernel tells about
// other processes.
#pragma once

#include "platform/result.h"

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace platform {

using Environment = std::map<std::string, std::string>;

// The host's own environment.
Environment processEnvironment();

// What a launch needs. Descriptors -1 mean "the host's own".
struct Launch {
    std::string program;
    std::vector<std::string> arguments;   // without the program path
    Environment environment;
    int standardInput = -1;
    int standardOutput = -1;
    int standardError = -1;
    // Start in a new session, detached from the host's terminal and group.
    bool newSession = false;
};

// Starts the process with default signal dispositions, an empty signal mask
// and only descriptors 0, 1 and 2 inherited. Gives its process id.
Result<pid_t> launch(const Launch& request);

// Starts a process the host never waits for (a helper command): it is
// reaped on the main queue once it ends, so none stays behind as a zombie.
Result<pid_t> launchAndForget(const Launch& request);

// The parent of `pid`, from the kernel's process table; nothing when the
// process is gone.
std::optional<pid_t> parentOf(pid_t pid);

// Every descendant of `pid` (children, their children, …), in no set order.
std::vector<pid_t> descendantsOf(pid_t pid);

// The executable path of `pid`, when the kernel tells it.
std::optional<std::string> executablePathOf(pid_t pid);

// Whether `pid` has a handler installed for `signalNumber`.
bool catches(pid_t pid, int signalNumber);

// True while the process exists (a zombie counts as gone).
bool isAlive(pid_t pid);

// Whether `pid` holds an established TCP connection (IPv4 or IPv6) among
// its open descriptors; false when they cannot be read.
bool holdsAnEstablishedTCPConnection(pid_t pid);

// Watches another process (not necessarily a child) for its end.
class ProcessWatch {
public:
    virtual ~ProcessWatch() = default;
};

// Runs `handler` once on the main queue when process `pid` ends. Nothing
// when the process is already gone (or cannot be watched): then no end will
// be reported.
std::unique_ptr<ProcessWatch> whenProcessEnds(pid_t pid, std::function<void()> handler);

// True when `pid` no longer exists (kill(pid, 0) fails with ESRCH).
bool isGone(pid_t pid);

// Sends `signalNumber` to `pid` when it still exists.
void signalIfAlive(pid_t pid, int signalNumber);

// From now on large blocks of memory go back to the system as soon as they
// are freed: a long line read once must not keep the host's memory high.
void giveLargeBlocksBackWhenFreed();

// Makes `fd` close-on-exec and, when asked, non-blocking.
void markCloseOnExec(int fd);
void markNonBlocking(int fd);

} // namespace platform
