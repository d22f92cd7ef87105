// The shell's launch: whether the host talks to it over pipes, the exact
// environment it receives, and its process object.
#pragma once

#include "channel/inbox.h"
#include "platform/process.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kestrune {

inline bool piped = false;
inline bool drawsTheChildsMenu = false;
inline const std::vector<std::string> callerSessionPrefixes = {"CLAUDE_CODE_"};
inline const std::set<std::string> callerSessionNames = {"CLAUDECODE", "CODEX_THREAD_ID"};
inline const std::set<std::string> codeInjectingNames = {"BUN_OPTIONS", "BUN_BE_BUN", "NODE_OPTIONS"};
inline platform::Environment environment;
inline bool hostedByItsParent = false;
inline double rootWaitSeconds = 0;
inline constexpr int REOPEN_READY_SIGNAL = SIGUSR2;
inline std::optional<std::string> ownViews;   // Contents/Frameworks/libViews.dylib, when the bundle has it
inline std::chrono::steady_clock::time_point childStartedAt;

// True when `name` belongs to the session of a caller that started the host
// (a coding agent, say) and must not leak into the shell.
bool isCallerSession(const std::string& name);

// Everything the shell's environment is built from.
struct EnvironmentInputs {
    platform::Environment inherited;
    std::string executable;
    std::optional<std::string> frozen;
    std::string prefix;
    pid_t hostPid = 0;
    pid_t parentPid = 0;
    std::string bundlePath;
    std::map<std::string, std::string> runtime;   // the descriptor's strings
    nlohmann::json runtimeObject;                 // the whole descriptor
    std::optional<std::string> ownViews;
};

struct ShellEnvironment {
    platform::Environment environment;
    bool hostedByItsParent = false;
    double rootWaitSeconds = 0;
};

// The shell's environment, in the order of its rules: a later rule
// overwrites an earlier one.
ShellEnvironment shellEnvironmentFrom(const EnvironmentInputs& inputs);

// How a shell process ended.
struct Termination {
    pid_t pid = 0;
    bool signaled = false;   // an uncaught signal ended it
    int status = 0;          // the exit status, or the signal's number
};

// The shell's process object: made, then given its output reader and its
// termination handler, then launched once. Both handlers start with the
// launch, each on a thread of its own, so no output and no end is missed.
class Child {
public:
    Child(std::string program, std::vector<std::string> arguments, platform::Environment environment, bool piped);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Starts the process. On failure gives the error's description (also
    // when the pipes could not be made).
    std::optional<std::string> launch();

    pid_t pid() const { return pid_; }
    bool launched() const { return pid_ > 0; }
    // True from the launch until the termination handler saw the end.
    bool isRunning() const { return pid_ > 0 && !ended_; }
    void markEnded() { ended_ = true; }

    // Runs on a thread of its own with the host's end of the shell's
    // standard output (piped shells only), from the launch on.
    void setOutputReader(std::function<void(int fd)> reader) { outputReader_ = std::move(reader); }
    // Runs once, on a thread of its own, after the process has ended and
    // has been reaped.
    void setTerminationHandler(std::function<void(Termination)> handler) { terminationHandler_ = std::move(handler); }

    const std::string& program() const { return program_; }
    const std::vector<std::string>& arguments() const { return arguments_; }

    // When piped: the host's end of the shell's standard input (taken by the
    // inbox) and of its standard output (taken by the output reader). Each
    // may be taken once; -1 afterwards or when not piped.
    int takeStandardInput();
    int takeStandardOutput();

private:
    std::string program_;
    std::vector<std::string> arguments_;
    platform::Environment environment_;
    bool piped_;
    pid_t pid_ = -1;
    bool ended_ = false;
    std::function<void(int fd)> outputReader_;
    std::function<void(Termination)> terminationHandler_;
    std::optional<std::string> pipeFailure_;
    int inputRead_ = -1, inputWrite_ = -1;
    int outputRead_ = -1, outputWrite_ = -1;
};

inline std::unique_ptr<Child> child;

// A new, not yet launched shell process with the program, arguments and
// environment every shell of this host gets, and, when piped, the inbox on
// its standard input.
struct MadeChild {
    std::unique_ptr<Child> child;
    std::shared_ptr<ChildInbox> input;
};
MadeChild makeChild();

// Start-up steps 17 to 19: `piped`, `drawsTheChildsMenu`, the environment,
// `ownViews`.
void prepareTheShell(const std::string& bundlePath, const std::vector<std::string>& commandLine);

} // namespace kestrune
