#include "supervision/root.h"

#include "platform/clock.h"
#include "platform/exit.h"
#include "platform/files.h"
#include "supervision/death_log.h"
#include "supervision/exit.h"
#include "supervision/launch.h"
#include "supervision/signals.h"

#include <csignal>
#include <limits>
#include <unistd.h>

namespace kestrune::supervision {

namespace {
constexpr std::size_t ROOT_WAIT_FILE_LIMIT = 64 * 1024;

std::string waitFile;
std::unique_ptr<platform::ProcessWatch> rootWatch;
std::unique_ptr<platform::Timer> rootWait;

void endTheWait()
{
    rootWait.reset();
    unlink(waitFile.c_str());
}

// One tick of the wait for a new root.
void lookForTheNextRoot(pid_t lost, std::chrono::steady_clock::time_point deadline)
{
    auto text = platform::contentsOf(waitFile, ROOT_WAIT_FILE_LIMIT);
    if (auto root = text ? adopterIn(*text, getpid()) : std::nullopt) {
        endTheWait();
        append({{"kind", "root-adopted"}, {"parent", *root}, {"lost", lost}, {"shell", shellPid()}}, deathLog(shellPid()));
        watchTheRoot(*root);
        return;
    }
    if (std::chrono::steady_clock::now() >= deadline || terminating() || quitting()) {
        endTheWait();
        append({{"kind", "root-never-came"}, {"parent", lost}, {"shell", shellPid()}, {"waitSeconds", rootWaitSeconds()}},
               deathLog(shellPid()));
        leaveWithTheParent(lost);
        return;
    }
    rootWait = platform::after(supervisionTimings().rootWaitTick, [lost, deadline] { lookForTheNextRoot(lost, deadline); });
}
}

void setTheRootWaitFile(const std::string& identity)
{
    waitFile = platform::appendingComponent(
        platform::appendingComponent(platform::applicationSupportFolder(), identity), "awaiting-root.json");
}

void watchTheParent(pid_t bornUnder)
{
    if (bornUnder == launchdPid)
        return;
    watchTheRoot(bornUnder);
    if (getppid() != bornUnder)
        rootGone(bornUnder);
}

void watchTheRoot(pid_t root)
{
    platform::assertOnTheMainThread("watchTheRoot");
    rootWatch.reset();
    rootWatch = platform::whenProcessEnds(root, [root] { rootGone(root); });
    if (platform::isGone(root))
        rootGone(root);
}

void rootGone(pid_t root)
{
    platform::assertOnTheMainThread("rootGone");
    rootWatch.reset();
    if (quitting() || rootWait)
        return;
    if (!terminating() && rootWaitSeconds() > 0 && shellIsRunning())
        waitForTheNextRoot(root);
    else
        leaveWithTheParent(root);
}

void leaveWithTheParent(pid_t parent)
{
    platform::assertOnTheMainThread("leaveWithTheParent");
    if (quitting())
        return;
    rootWatch.reset();
    const auto& targets = startQuitting();
    append({{"kind", "parent-gone"}, {"parent", parent}, {"shell", shellPid()}, {"descendants", targets}}, deathLog(shellPid()));
    if (!shellIsRunning())
        platform::leave(platform::EXIT_DONE);
    terminateAll(targets);
    kill(shellPid(), SIGTERM);
    // Kept for the life of the process: the host leaves when it fires, or
    // earlier when the shell ends.
    static std::unique_ptr<platform::Timer> leaving;
    leaving = platform::after(supervisionTimings().lostParentGrace, [] { killAllAndLeave(everythingTheHostStarted()); });
}

void waitForTheNextRoot(pid_t lost)
{
    const pid_t me = getpid();
    platform::makeFolders(platform::deletingLastComponent(waitFile));
    nlohmann::json awaiting = {{"at", platform::clock.now()}, {"lost", lost}, {"pid", me}};
    // A file that cannot be written only means no adopter can answer: the
    // wait runs out and the host leaves with its parent.
    (void)platform::replaceAtomically(waitFile, awaiting.dump());
    append({{"kind", "root-lost"}, {"parent", lost}, {"shell", shellPid()}, {"waitSeconds", rootWaitSeconds()}}, deathLog(shellPid()));
    auto deadline = std::chrono::steady_clock::now()
        + std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(rootWaitSeconds()));
    rootWait = platform::after(supervisionTimings().rootWaitTick, [lost, deadline] { lookForTheNextRoot(lost, deadline); });
}

std::optional<pid_t> adopterIn(const std::string& text, pid_t me)
{
    nlohmann::json file = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!file.is_object())
        return std::nullopt;
    auto pid = file.find("pid");
    auto root = file.find("root");
    if (pid == file.end() || !pid->is_number_integer() || root == file.end() || !root->is_number_integer())
        return std::nullopt;
    if (pid->is_number_unsigned() ? pid->get<uint64_t>() != static_cast<uint64_t>(me) : pid->get<int64_t>() != me)
        return std::nullopt;
    // A root must be a real process id: at least 2 and within pid_t.
    if (root->is_number_unsigned() ? root->get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<pid_t>::max())
                                   : (root->get<int64_t>() < 2 || root->get<int64_t>() > std::numeric_limits<pid_t>::max()))
        return std::nullopt;
    auto value = static_cast<pid_t>(root->is_number_unsigned() ? static_cast<int64_t>(root->get<uint64_t>()) : root->get<int64_t>());
    if (value < 2)
        return std::nullopt;
    return value;
}

} // namespace kestrune::supervision
