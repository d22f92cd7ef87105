// The shell's launch: whether the host talks to it over pipes, the exact
// environment it receives, and the current shell's process and inbox.
#pragma once

#include "channel/inbox.h"
#include "platform/child_process.h"
#include "platform/process.h"
#include "supervision/supervisor.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kestrune::supervision {

inline const std::vector<std::string> callerSessionPrefixes = {"CLAUDE_CODE_"};
inline const std::set<std::string> callerSessionNames = {"CLAUDECODE", "CODEX_THREAD_ID"};
inline const std::set<std::string> codeInjectingNames = {"BUN_OPTIONS", "BUN_BE_BUN", "NODE_OPTIONS"};
inline constexpr int REOPEN_READY_SIGNAL = SIGUSR2;

// True when `name` belongs to the session of a caller that started the host
// (a coding agent, say) and must not leak into the shell.
bool isCallerSession(const std::string& name);

// A descriptor value that may point into the bundle: "~/x" is expanded,
// "Contents/x" becomes a path inside `base`, anything else is returned as is.
std::string resolvedRuntimeValue(const std::string& value, const std::string& base);

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

// What the host knows of the application and its descriptor that the
// shell's supervision needs, handed over once at start-up.
struct ShellSettings {
    std::string identity;                         // the bundle identifier
    std::string bundlePath;
    std::vector<std::string> commandLine;         // the host's arguments, handed to every shell
    std::string executable;                       // the program the shell's process runs
    std::optional<std::string> frozen;            // set when that program is a self-contained shell
    std::string prefix;                           // of the environment variables, ACME_MENU_
    std::map<std::string, std::string> runtime;   // the descriptor's string members
    nlohmann::json runtimeObject;                 // the whole descriptor
    bool piped = false;                           // the bundle declares URL schemes or services
};

// Start-up steps 17 to 19: `piped`, `drawsTheChildsMenu`, the environment,
// `ownViews`, and where the death log goes.
void prepareTheShell(ShellSettings settings);

// What prepareTheShell() decided.
bool piped();
bool drawsTheChildsMenu();
bool hostedByItsParent();
double rootWaitSeconds();
const std::optional<std::string>& ownViews();   // Contents/Frameworks/libViews.dylib, when the bundle has it
// The environment every shell of this host gets.
const platform::Environment& theShellEnvironment();
// The descriptor's string member `name`.
std::optional<std::string> runtimeValue(const std::string& name);
const ShellSettings& shellSettings();

// A new, not yet launched shell process with the program, arguments and
// environment every shell of this host gets, and, when piped, the inbox on
// its standard input.
struct MadeChild {
    std::unique_ptr<platform::ChildProcess> child;
    std::shared_ptr<channel::ChildInbox> input;
};
MadeChild makeChild();

// The shells of this host for the supervisor: each made by makeChild(),
// launched with the output reader and with a termination handler that
// writes the "child-exit" record on the waiter thread and then hands the
// end to the main thread.
ShellFactory shellsOfThisHost();

// Start-up step 20: the supervisor's first shell, not yet launched.
void makeTheShell();

// Start-up step 39: launches the shell and notes when; leaves with
// EXIT_LAUNCH_FAILED, its error on standard error, when it cannot be started.
void launchTheShellOrLeave();

// The current shell (null before the first is made) and its inbox (null
// when the shell is not piped); they forward to the supervisor.
platform::ChildProcess* child();
const std::shared_ptr<channel::ChildInbox>& input();
bool shellIsRunning();
// The current shell's process id; 0 while none was launched.
pid_t shellPid();

} // namespace kestrune::supervision
