// The supervisor's transitions, driven without processes: a fake shell, a
// fake clock and a fake system record what the supervisor asks of them, and
// the ways out throw so that a test sees where the host would have gone.
#include "platform/exit.h"
#include "platform/main_queue.h"
#include "supervision/supervisor.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <functional>
#include <map>
#include <set>

using namespace std::chrono_literals;
using kestrune::supervision::Clock;
using kestrune::supervision::Hosting;
using kestrune::supervision::nameOf;
using kestrune::supervision::Pending;
using kestrune::supervision::Phase;
using kestrune::supervision::Shell;
using kestrune::supervision::Supervisor;
using kestrune::supervision::System;
using kestrune::supervision::Timings;

namespace {

constexpr pid_t HOST = 100;
constexpr pid_t PARENT = 50;
constexpr pid_t FIRST_SHELL = 1000;

struct Left {
    int status;
};
struct Restarted {};

struct Sent {
    pid_t pid;
    int signal;
    bool operator==(const Sent&) const = default;
};

// Everything outside the supervisor, in one place the tests read.
struct World {
    std::vector<Sent> sent;
    std::vector<nlohmann::json> records;
    std::vector<std::string> errors;
    pid_t nextShell = FIRST_SHELL;
    bool launchFails = false;
};

class FakeShell final : public Shell {
public:
    explicit FakeShell(World& world) : world_(world) {}

    platform::Result<void> launch(std::function<void(const platform::Termination&)>) override
    {
        if (world_.launchFails)
            return platform::failureBecause("posix_spawn", "no such program", "/shell");
        pid_ = world_.nextShell++;
        running_ = true;
        return {};
    }
    pid_t pid() const override { return pid_; }
    bool isRunning() const override { return running_; }
    void signal(int signalNumber) override { world_.sent.push_back({pid_, signalNumber}); }
    void markEnded() override { running_ = false; }
    const std::shared_ptr<kestrune::channel::ChildInbox>& input() const override { return inbox_; }

private:
    World& world_;
    pid_t pid_ = 0;
    bool running_ = false;
    std::shared_ptr<kestrune::channel::ChildInbox> inbox_;
};

class Cancelled final : public Pending {
public:
    explicit Cancelled(std::shared_ptr<bool> flag) : flag_(std::move(flag)) {}
    ~Cancelled() override { *flag_ = true; }

private:
    std::shared_ptr<bool> flag_;
};

class FakeClock final : public Clock {
public:
    std::chrono::steady_clock::time_point now() const override { return now_; }
    std::unique_ptr<Pending> after(std::chrono::steady_clock::duration delay, std::function<void()> fire) override
    {
        auto cancelled = std::make_shared<bool>(false);
        timers_.push_back({now_ + delay, sequence_++, std::move(fire), cancelled});
        return std::make_unique<Cancelled>(cancelled);
    }

    // Moves time on by `step`, firing each timer due on the way, in order.
    void advance(std::chrono::steady_clock::duration step)
    {
        const auto until = now_ + step;
        for (;;) {
            auto due = timers_.end();
            for (auto it = timers_.begin(); it != timers_.end(); ++it) {
                if (!*it->cancelled && it->at <= until && (due == timers_.end() || it->at < due->at || (it->at == due->at && it->sequence < due->sequence)))
                    due = it;
            }
            if (due == timers_.end())
                break;
            now_ = due->at;
            auto fire = std::move(due->fire);
            *due->cancelled = true;
            fire();
        }
        now_ = until;
    }

    std::size_t armed() const
    {
        return std::count_if(timers_.begin(), timers_.end(), [](const auto& timer) { return !*timer.cancelled; });
    }

private:
    struct Armed {
        std::chrono::steady_clock::time_point at;
        int sequence;
        std::function<void()> fire;
        std::shared_ptr<bool> cancelled;
    };
    std::chrono::steady_clock::time_point now_{std::chrono::hours(1)};
    int sequence_ = 0;
    std::vector<Armed> timers_;
};

class FakeSystem final : public System {
public:
    explicit FakeSystem(World& world) : world_(world) {}

    pid_t ownPid() const override { return HOST; }
    pid_t parentPid() const override { return parent; }
    std::vector<pid_t> descendantsOf(pid_t pid) override
    {
        auto found = tree.find(pid);
        return found == tree.end() ? std::vector<pid_t>{} : found->second;
    }
    bool isGone(pid_t pid) override { return gone.count(pid) > 0; }
    bool catches(pid_t pid, int signalNumber) override { return signalNumber == SIGUSR1 && catchingReopen.count(pid) > 0; }
    void signal(pid_t pid, int signalNumber) override { world_.sent.push_back({pid, signalNumber}); }
    void signalIfAlive(pid_t pid, int signalNumber) override { world_.sent.push_back({pid, signalNumber}); }
    std::unique_ptr<Pending> whenProcessEnds(pid_t pid, std::function<void()> ended) override
    {
        auto cancelled = std::make_shared<bool>(false);
        watches[pid] = {std::move(ended), cancelled};
        return std::make_unique<Cancelled>(cancelled);
    }
    void record(const nlohmann::json& record, pid_t about) override
    {
        auto written = record;
        written["about"] = about;
        world_.records.push_back(written);
    }
    void sayOnStandardError(const std::string& text) override { world_.errors.push_back(text); }
    std::optional<std::string> readTheRootWaitFile() override { return rootWaitFile; }
    void writeTheRootWaitFile(const std::string& text) override { rootWaitFile = text; }
    void removeTheRootWaitFile() override { rootWaitFile.reset(); }
    void removeTheShellsSocket() override { ++socketRemovals; }
    [[noreturn]] void leave(int status) override { throw Left{status}; }
    [[noreturn]] void restart() override { throw Restarted{}; }

    // The watched process ends.
    void ends(pid_t pid)
    {
        auto found = watches.find(pid);
        ASSERT_NE(found, watches.end()) << pid << " is not watched";
        ASSERT_FALSE(*found->second.cancelled) << pid << " is no longer watched";
        gone.insert(pid);
        auto ended = found->second.ended;
        ended();
    }
    bool watching(pid_t pid) const
    {
        auto found = watches.find(pid);
        return found != watches.end() && !*found->second.cancelled;
    }

    pid_t parent = PARENT;
    std::map<pid_t, std::vector<pid_t>> tree;
    std::set<pid_t> gone;
    std::set<pid_t> catchingReopen;
    std::optional<std::string> rootWaitFile;
    int socketRemovals = 0;

private:
    struct Watch {
        std::function<void()> ended;
        std::shared_ptr<bool> cancelled;
    };
    World& world_;
    std::map<pid_t, Watch> watches;
};

// Where the host went.
struct Outcome {
    std::optional<int> left;
    bool restarted = false;
    bool operator==(const Outcome&) const = default;
};
Outcome stayed() { return {}; }
Outcome leftWith(int status) { return {status, false}; }
Outcome restarted() { return {std::nullopt, true}; }

std::ostream& operator<<(std::ostream& out, const Outcome& outcome)
{
    if (outcome.restarted)
        return out << "restarted";
    if (outcome.left)
        return out << "left with " << *outcome.left;
    return out << "stayed";
}

platform::Termination exited(pid_t pid, int status) { return {pid, false, status}; }
platform::Termination killedBy(pid_t pid, int signalNumber) { return {pid, true, signalNumber}; }

class SupervisorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { platform::markTheMainThread(); }

    // A supervisor with short, distinct timings, so that a test tells them apart.
    void make(Hosting hosting = {})
    {
        timings.crashLoop = 10s;
        timings.grace = 5s;
        timings.hostedGrace = 2800ms;
        timings.lostParentGrace = 3s;
        timings.rootWaitTick = 1s;
        supervisor = std::make_unique<Supervisor>(timings, hosting, [this] { return std::make_unique<FakeShell>(world); }, clock, system);
    }

    // Made and launched: shell FIRST_SHELL runs.
    void start(Hosting hosting = {})
    {
        make(hosting);
        supervisor->makeTheShell();
        supervisor->launchTheShellOrLeave();
    }

    template <class Step>
    Outcome outcomeOf(Step step)
    {
        try {
            step();
        } catch (const Left& left) {
            return leftWith(left.status);
        } catch (const Restarted&) {
            return restarted();
        }
        return stayed();
    }

    Outcome ends(const platform::Termination& ended)
    {
        return outcomeOf([&] { supervisor->decideAfter(ended); });
    }

    Outcome after(std::chrono::steady_clock::duration step)
    {
        return outcomeOf([&] { clock.advance(step); });
    }

    std::vector<std::string> kinds() const
    {
        std::vector<std::string> all;
        for (const auto& record : world.records)
            all.push_back(record.value("kind", ""));
        return all;
    }

    const nlohmann::json& lastRecord() const { return world.records.back(); }

    bool wasSent(pid_t pid, int signalNumber) const
    {
        return std::find(world.sent.begin(), world.sent.end(), Sent{pid, signalNumber}) != world.sent.end();
    }

    Timings timings;
    World world;
    FakeClock clock;
    FakeSystem system{world};
    std::unique_ptr<Supervisor> supervisor;
};

#define EXPECT_PHASE(expected) EXPECT_EQ(nameOf(supervisor->phase()), nameOf(expected))

TEST_F(SupervisorTest, TheFirstLaunchRunsTheShell)
{
    make();
    EXPECT_PHASE(Phase::starting);
    supervisor->makeTheShell();
    EXPECT_FALSE(supervisor->shellIsRunning());
    supervisor->launchTheShellOrLeave();
    EXPECT_PHASE(Phase::running);
    EXPECT_EQ(supervisor->shellPid(), FIRST_SHELL);
    EXPECT_TRUE(supervisor->shellIsRunning());
}

TEST_F(SupervisorTest, AShellThatCannotStartEndsTheHostWithLaunchFailed)
{
    make();
    supervisor->makeTheShell();
    world.launchFails = true;
    EXPECT_EQ(outcomeOf([&] { supervisor->launchTheShellOrLeave(); }), leftWith(platform::EXIT_LAUNCH_FAILED));
    EXPECT_PHASE(Phase::leaving);
    ASSERT_EQ(world.errors.size(), 1u);
    EXPECT_NE(world.errors[0].find("no such program"), std::string::npos);
}

// --- Swaps -------------------------------------------------------------------

TEST_F(SupervisorTest, ASwapAskedEndsTheShellAndTheNextOneRuns)
{
    start();
    supervisor->swapAsked();
    EXPECT_PHASE(Phase::swapping);
    EXPECT_TRUE(supervisor->swapping());
    EXPECT_TRUE(wasSent(FIRST_SHELL, SIGTERM));

    int closed = 0, delivered = 0, followed = 0;
    supervisor->setTheSwapSeams({
        .closeKeepingTheLinks = [&](const std::function<void()>& close) { ++closed; close(); },
        .waitingLinks = [] { return std::size_t{2}; },
        .deliverTheWaitingLinks = [&] { ++delivered; },
    });
    supervisor->setWhatFollowsASwap([&] { ++followed; });
    EXPECT_EQ(ends(killedBy(FIRST_SHELL, SIGTERM)), stayed());

    EXPECT_PHASE(Phase::running);
    EXPECT_FALSE(supervisor->swapping());
    EXPECT_EQ(supervisor->shellPid(), FIRST_SHELL + 1);
    EXPECT_TRUE(supervisor->shellIsRunning());
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(delivered, 1);
    EXPECT_EQ(followed, 1);
    EXPECT_EQ(system.socketRemovals, 1);
    ASSERT_EQ(kinds(), std::vector<std::string>{"shell-swapped"});
    EXPECT_EQ(lastRecord()["from"], FIRST_SHELL);
    EXPECT_EQ(lastRecord()["to"], FIRST_SHELL + 1);
    EXPECT_EQ(lastRecord()["waiting"], 2);
    EXPECT_EQ(lastRecord()["asked"], "launcher-sighup");
    EXPECT_EQ(lastRecord()["about"], FIRST_SHELL + 1);
}

TEST_F(SupervisorTest, AShellEndedBySighupIsSwappedWithoutBeingAsked)
{
    start();
    EXPECT_EQ(ends(killedBy(FIRST_SHELL, SIGHUP)), stayed());
    EXPECT_PHASE(Phase::running);
    EXPECT_EQ(supervisor->shellPid(), FIRST_SHELL + 1);
    EXPECT_EQ(lastRecord()["asked"], "shell-sighup");
}

TEST_F(SupervisorTest, ASwapIsAskedOnlyOfARunningShellThatNothingStops)
{
    start();
    supervisor->swapAsked();
    supervisor->swapAsked();
    EXPECT_EQ(std::count(world.sent.begin(), world.sent.end(), Sent{FIRST_SHELL, SIGTERM}), 1);

    start();
    supervisor->terminationAsked();
    world.sent.clear();
    supervisor->swapAsked();
    EXPECT_PHASE(Phase::stoppingForSignal);
    EXPECT_FALSE(supervisor->swapping());
    EXPECT_TRUE(world.sent.empty());

    make();
    supervisor->makeTheShell();
    supervisor->swapAsked();
    EXPECT_PHASE(Phase::starting);
}

// A stop that comes while a swap is under way wins: the old shell's end
// ends the host and no new shell is started.
TEST_F(SupervisorTest, AStopDuringASwapWins)
{
    struct Case {
        const char* name;
        std::function<void(Supervisor&)> stop;
        Phase stopping;
        platform::Termination ended;
        Outcome outcome;
        std::vector<Sent> killed;
    };
    const std::vector<Case> cases = {
        {"SIGTERM", [](Supervisor& s) { s.terminationAsked(); }, Phase::stoppingForSignal, killedBy(FIRST_SHELL, SIGTERM),
         leftWith(platform::EXIT_SIGNAL_BASE + SIGTERM), {}},
        {"quit", [](Supervisor& s) { s.startQuitting(); }, Phase::stoppingForQuit, exited(FIRST_SHELL, 0), leftWith(0),
         {{2001, SIGKILL}, {3001, SIGKILL}}},
        {"lost parent", [](Supervisor& s) { s.leaveWithTheParent(PARENT); }, Phase::stoppingForLostParent, exited(FIRST_SHELL, 0),
         leftWith(0), {{2001, SIGKILL}, {3001, SIGKILL}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        world = {};
        system.tree = {{FIRST_SHELL, {2001}}, {HOST, {3001}}};
        start();
        supervisor->swapAsked();
        c.stop(*supervisor);
        EXPECT_PHASE(c.stopping);
        // Links keep waiting: no shell takes them any more.
        EXPECT_TRUE(supervisor->swapping());
        world.sent.clear();
        EXPECT_EQ(ends(c.ended), c.outcome);
        EXPECT_PHASE(Phase::leaving);
        EXPECT_EQ(supervisor->shellPid(), FIRST_SHELL);
        EXPECT_EQ(world.sent, c.killed);
        for (const auto& record : world.records)
            EXPECT_NE(record["kind"], "shell-swapped");
    }
}

// --- The shell's end -------------------------------------------------------

TEST_F(SupervisorTest, TheShellsOwnEndDecidesHowTheHostLeaves)
{
    struct Case {
        const char* name;
        bool hosted;
        std::chrono::milliseconds uptime;
        platform::Termination ended;
        Outcome outcome;
    };
    const std::vector<Case> cases = {
        {"exit 0", false, 20s, exited(FIRST_SHELL, 0), leftWith(0)},
        {"exit 3", false, 20s, exited(FIRST_SHELL, 3), leftWith(3)},
        {"exit 75 asks for a restart", false, 1s, exited(FIRST_SHELL, platform::EXIT_RESTARTING), restarted()},
        {"exit 75 when hosted", true, 1s, exited(FIRST_SHELL, platform::EXIT_RESTARTING), restarted()},
        {"crash within the crash loop", false, 9999ms, killedBy(FIRST_SHELL, SIGSEGV), leftWith(platform::EXIT_SIGNAL_BASE + SIGSEGV)},
        {"crash at the crash loop's end", false, 10s, killedBy(FIRST_SHELL, SIGSEGV), restarted()},
        {"crash after the crash loop", false, 60s, killedBy(FIRST_SHELL, SIGKILL), restarted()},
        {"crash after the crash loop when hosted", true, 60s, killedBy(FIRST_SHELL, SIGKILL), leftWith(platform::EXIT_SIGNAL_BASE + SIGKILL)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        world = {};
        start({.byItsParent = c.hosted});
        int closed = 0;
        supervisor->setWhatClosesWithTheShell([&] { ++closed; });
        clock.advance(c.uptime);
        EXPECT_EQ(ends(c.ended), c.outcome);
        EXPECT_PHASE(Phase::leaving);
        EXPECT_FALSE(supervisor->shellIsRunning());
        EXPECT_EQ(closed, 1);
        EXPECT_EQ(supervisor->shellPid(), FIRST_SHELL);
    }
}

TEST_F(SupervisorTest, AfterSigtermTheShellsEndLeavesWithItsStatus)
{
    struct Case {
        platform::Termination ended;
        int status;
    };
    for (const auto& c : {Case{exited(FIRST_SHELL, 0), 0}, Case{exited(FIRST_SHELL, 75), 75},
                          Case{killedBy(FIRST_SHELL, SIGTERM), platform::EXIT_SIGNAL_BASE + SIGTERM}}) {
        SCOPED_TRACE(c.status);
        world = {};
        start();
        clock.advance(60s);
        supervisor->terminationAsked();
        EXPECT_PHASE(Phase::stoppingForSignal);
        EXPECT_EQ(world.sent, (std::vector<Sent>{{FIRST_SHELL, SIGTERM}, {FIRST_SHELL, SIGCONT}}));
        EXPECT_EQ(ends(c.ended), leftWith(c.status));
    }
}

TEST_F(SupervisorTest, AQuitKillsEverythingTheHostStartedOnceTheShellEnds)
{
    system.tree = {{FIRST_SHELL, {2001, 2002}}, {HOST, {FIRST_SHELL, 3001}}};
    start();
    EXPECT_EQ(supervisor->startQuitting(), (std::vector<pid_t>{2001, 2002}));
    EXPECT_PHASE(Phase::stoppingForQuit);
    EXPECT_TRUE(supervisor->quitting());
    supervisor->endTheShell("quit");
    world.sent.clear();
    EXPECT_EQ(ends(exited(FIRST_SHELL, 0)), leftWith(0));
    EXPECT_EQ(world.sent, (std::vector<Sent>{{2001, SIGKILL}, {2002, SIGKILL}, {FIRST_SHELL, SIGKILL}, {3001, SIGKILL}}));
}

// --- The grace timer -----------------------------------------------------------

TEST_F(SupervisorTest, AShellStuckPastItsGraceIsKilledWithEverythingElse)
{
    struct Case {
        const char* name;
        bool hosted;
        std::chrono::milliseconds grace;
        double recorded;
        std::function<void(Supervisor&)> stop;
        const char* asked;
    };
    const std::vector<Case> cases = {
        {"SIGTERM", false, 5s, 5.0, [](Supervisor& s) { s.terminationAsked(); }, "term"},
        {"SIGTERM when hosted", true, 2800ms, 2.8, [](Supervisor& s) { s.terminationAsked(); }, "term"},
        {"quit", false, 5s, 5.0, [](Supervisor& s) { s.startQuitting(); s.endTheShell("quit"); }, "quit"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        world = {};
        system.tree = {{FIRST_SHELL, {2001}}, {HOST, {FIRST_SHELL, 3001}}};
        system.socketRemovals = 0;
        start({.byItsParent = c.hosted});
        c.stop(*supervisor);
        // A second request signals again but keeps the one timer.
        supervisor->terminationAsked();
        EXPECT_EQ(std::count(world.sent.begin(), world.sent.end(), Sent{FIRST_SHELL, SIGTERM}), 2);
        const bool quits = supervisor->quitting();
        EXPECT_EQ(after(c.grace - 1ms), stayed());
        EXPECT_TRUE(world.records.empty());
        world.sent.clear();
        EXPECT_EQ(after(1ms), leftWith(0));
        EXPECT_PHASE(Phase::leaving);
        ASSERT_EQ(kinds(), std::vector<std::string>{"shell-stuck"});
        EXPECT_EQ(lastRecord()["asked"], c.asked);
        EXPECT_EQ(lastRecord()["shell"], FIRST_SHELL);
        EXPECT_EQ(lastRecord()["graceSeconds"].dump(), nlohmann::json(c.recorded).dump());
        const std::vector<pid_t> killed = quits ? std::vector<pid_t>{2001, FIRST_SHELL, 3001}
                                                                 : std::vector<pid_t>{FIRST_SHELL, 3001};
        EXPECT_EQ(lastRecord()["killed"], killed);
        std::vector<Sent> kills;
        for (pid_t pid : killed)
            kills.push_back({pid, SIGKILL});
        EXPECT_EQ(world.sent, kills);
        EXPECT_EQ(system.socketRemovals, 1);
    }
}

TEST_F(SupervisorTest, TheGraceRecordKeepsItsFormat)
{
    EXPECT_EQ(nlohmann::json(std::chrono::duration<double>(Timings{}.grace).count()).dump(), "5.0");
    EXPECT_EQ(nlohmann::json(std::chrono::duration<double>(Timings{}.hostedGrace).count()).dump(), "2.8");
}

TEST_F(SupervisorTest, StoppingAShellThatIsNotRunningArmsNothing)
{
    make();
    supervisor->makeTheShell();
    supervisor->terminationAsked();
    EXPECT_PHASE(Phase::stoppingForSignal);
    EXPECT_TRUE(world.sent.empty());
    EXPECT_EQ(clock.armed(), 0u);
}

// --- The parent and the root ---------------------------------------------------

TEST_F(SupervisorTest, ALostParentStopsTheShellAndTheHostLeaves)
{
    struct Case {
        const char* name;
        bool shellEndsFirst;
        Outcome outcome;
    };
    for (const auto& c : {Case{"grace runs out", false, leftWith(0)}, Case{"shell ends", true, leftWith(0)}}) {
        SCOPED_TRACE(c.name);
        world = {};
        system.gone.clear();
        system.tree = {{FIRST_SHELL, {2001}}, {HOST, {FIRST_SHELL, 3001}}};
        start();
        supervisor->watchTheParent(PARENT);
        EXPECT_TRUE(system.watching(PARENT));
        system.ends(PARENT);
        EXPECT_PHASE(Phase::stoppingForLostParent);
        EXPECT_TRUE(supervisor->quitting());
        ASSERT_EQ(kinds(), std::vector<std::string>{"parent-gone"});
        EXPECT_EQ(lastRecord()["parent"], PARENT);
        EXPECT_EQ(lastRecord()["descendants"], std::vector<pid_t>{2001});
        EXPECT_EQ(world.sent, (std::vector<Sent>{{2001, SIGTERM}, {FIRST_SHELL, SIGTERM}}));
        world.sent.clear();
        if (c.shellEndsFirst) {
            EXPECT_EQ(after(2s), stayed());
            EXPECT_EQ(ends(killedBy(FIRST_SHELL, SIGTERM)), c.outcome);
        } else {
            EXPECT_EQ(after(3s - 1ms), stayed());
            EXPECT_EQ(after(1ms), c.outcome);
        }
        EXPECT_EQ(world.sent, (std::vector<Sent>{{2001, SIGKILL}, {FIRST_SHELL, SIGKILL}, {3001, SIGKILL}}));
    }
}

TEST_F(SupervisorTest, AParentGoneDuringStartUpEndsTheHostBeforeTheLaunch)
{
    make({.rootWaitSeconds = 5});
    supervisor->makeTheShell();
    system.parent = 1;
    EXPECT_EQ(outcomeOf([&] { supervisor->watchTheParent(PARENT); }), leftWith(0));
    ASSERT_EQ(kinds(), std::vector<std::string>{"parent-gone"});
    EXPECT_EQ(lastRecord()["shell"], 0);
}

TEST_F(SupervisorTest, LaunchdIsNotWatched)
{
    start();
    supervisor->watchTheParent(kestrune::supervision::launchdPid);
    EXPECT_FALSE(system.watching(kestrune::supervision::launchdPid));
    EXPECT_PHASE(Phase::running);
}

TEST_F(SupervisorTest, ALostRootIsWaitedForUntilTheWaitRunsOut)
{
    start({.byItsParent = true, .rootWaitSeconds = 2.5});
    supervisor->watchTheParent(PARENT);
    system.ends(PARENT);
    EXPECT_PHASE(Phase::waitingForNewParent);
    ASSERT_EQ(kinds(), std::vector<std::string>{"root-lost"});
    EXPECT_EQ(lastRecord()["waitSeconds"], 2.5);
    ASSERT_TRUE(system.rootWaitFile);
    auto awaiting = nlohmann::json::parse(*system.rootWaitFile);
    EXPECT_EQ(awaiting["pid"], HOST);
    EXPECT_EQ(awaiting["lost"], PARENT);
    // A second end of the same root changes nothing while the wait runs.
    supervisor->rootGone(PARENT);
    EXPECT_EQ(world.records.size(), 1u);

    EXPECT_EQ(after(2s), stayed());
    EXPECT_PHASE(Phase::waitingForNewParent);
    EXPECT_EQ(after(1s), stayed());
    EXPECT_PHASE(Phase::stoppingForLostParent);
    EXPECT_EQ(kinds(), (std::vector<std::string>{"root-lost", "root-never-came", "parent-gone"}));
    EXPECT_FALSE(system.rootWaitFile);
    EXPECT_EQ(after(3s), leftWith(0));
}

TEST_F(SupervisorTest, AnAdopterBecomesTheNewRoot)
{
    start({.byItsParent = true, .rootWaitSeconds = 10});
    supervisor->watchTheParent(PARENT);
    system.ends(PARENT);
    EXPECT_EQ(after(1s), stayed());
    // Answers for another host, or without a root, are not adoptions.
    system.rootWaitFile = R"({"pid": 99, "root": 77})";
    EXPECT_EQ(after(1s), stayed());
    EXPECT_PHASE(Phase::waitingForNewParent);
    system.rootWaitFile = R"({"pid": 100, "root": 77})";
    EXPECT_EQ(after(1s), stayed());
    EXPECT_PHASE(Phase::running);
    EXPECT_FALSE(supervisor->waitingForARoot());
    EXPECT_FALSE(system.rootWaitFile);
    EXPECT_EQ(kinds(), (std::vector<std::string>{"root-lost", "root-adopted"}));
    EXPECT_EQ(lastRecord()["parent"], 77);
    EXPECT_EQ(lastRecord()["lost"], PARENT);
    EXPECT_TRUE(system.watching(77));
    EXPECT_EQ(clock.armed(), 0u);

    // The adopter's end is a lost root like the first.
    system.ends(77);
    EXPECT_PHASE(Phase::waitingForNewParent);
    EXPECT_EQ(lastRecord()["kind"], "root-lost");
    EXPECT_EQ(lastRecord()["parent"], 77);
}

TEST_F(SupervisorTest, AStopDuringTheRootWaitEndsItAtTheNextTick)
{
    system.tree = {{FIRST_SHELL, {2001}}};
    start({.byItsParent = true, .rootWaitSeconds = 10});
    supervisor->watchTheParent(PARENT);
    system.ends(PARENT);
    supervisor->terminationAsked();
    EXPECT_PHASE(Phase::stoppingForSignal);
    EXPECT_EQ(after(1s), stayed());
    EXPECT_PHASE(Phase::stoppingForLostParent);
    EXPECT_EQ(kinds(), (std::vector<std::string>{"root-lost", "root-never-came", "parent-gone"}));
    // The quit's targets now decide: everything is killed, status 0.
    EXPECT_EQ(ends(killedBy(FIRST_SHELL, SIGTERM)), leftWith(0));
}

TEST_F(SupervisorTest, AfterSigtermALostRootIsNotWaitedFor)
{
    start({.byItsParent = true, .rootWaitSeconds = 10});
    supervisor->watchTheParent(PARENT);
    supervisor->terminationAsked();
    system.ends(PARENT);
    EXPECT_PHASE(Phase::stoppingForLostParent);
    EXPECT_EQ(kinds(), std::vector<std::string>{"parent-gone"});
}

TEST_F(SupervisorTest, ASwapDuringTheRootWaitKeepsWaiting)
{
    start({.byItsParent = true, .rootWaitSeconds = 10});
    supervisor->watchTheParent(PARENT);
    system.ends(PARENT);
    supervisor->swapAsked();
    EXPECT_PHASE(Phase::swapping);
    EXPECT_EQ(ends(killedBy(FIRST_SHELL, SIGTERM)), stayed());
    EXPECT_PHASE(Phase::waitingForNewParent);
    EXPECT_EQ(supervisor->shellPid(), FIRST_SHELL + 1);
    system.rootWaitFile = R"({"pid": 100, "root": 77})";
    EXPECT_EQ(after(1s), stayed());
    EXPECT_PHASE(Phase::running);
}

// --- Reopen requests -------------------------------------------------------------

TEST_F(SupervisorTest, AReopenIsOwedUntilTheShellAnnouncesIt)
{
    start();
    supervisor->reopenRequested();
    supervisor->reopenRequested();
    EXPECT_TRUE(supervisor->reopenOwed());
    EXPECT_TRUE(world.sent.empty());
    ASSERT_EQ(kinds(), std::vector<std::string>{"reopen-waiting"});

    supervisor->shellAnnouncedReopen();
    EXPECT_FALSE(supervisor->reopenOwed());
    EXPECT_EQ(world.sent, (std::vector<Sent>{{FIRST_SHELL, SIGUSR1}}));
    EXPECT_EQ(kinds(), (std::vector<std::string>{"reopen-waiting", "reopen-resumed"}));

    // From now on requests go straight to the shell.
    supervisor->reopenRequested();
    EXPECT_EQ(world.sent.size(), 2u);
    EXPECT_EQ(world.records.size(), 2u);
}

TEST_F(SupervisorTest, AReopenGoesWhereItCan)
{
    struct Case {
        const char* name;
        bool menuPopsUp;
        bool shellCatches;
        std::vector<Sent> sent;
        std::vector<std::string> kinds;
    };
    const std::vector<Case> cases = {
        {"the menu pops up", true, false, {}, {}},
        {"the shell catches SIGUSR1", false, true, {{FIRST_SHELL, SIGUSR1}}, {}},
        {"owed", false, false, {}, {"reopen-waiting"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        world = {};
        system.catchingReopen = c.shellCatches ? std::set<pid_t>{FIRST_SHELL} : std::set<pid_t>{};
        start();
        supervisor->setTheReopenMenu([&] { return c.menuPopsUp; });
        supervisor->reopenRequested();
        EXPECT_EQ(world.sent, c.sent);
        EXPECT_EQ(kinds(), c.kinds);
    }
}

TEST_F(SupervisorTest, ANewShellAnnouncesReopenAnewAndInheritsWhatIsOwed)
{
    start();
    supervisor->shellAnnouncedReopen();
    supervisor->swapAsked();
    EXPECT_EQ(ends(killedBy(FIRST_SHELL, SIGTERM)), stayed());
    world.sent.clear();
    world.records.clear();
    supervisor->reopenRequested();
    EXPECT_TRUE(world.sent.empty());
    EXPECT_EQ(kinds(), std::vector<std::string>{"reopen-waiting"});
    supervisor->shellAnnouncedReopen();
    EXPECT_EQ(world.sent, (std::vector<Sent>{{FIRST_SHELL + 1, SIGUSR1}}));
    EXPECT_EQ(lastRecord()["shell"], FIRST_SHELL + 1);
}

TEST_F(SupervisorTest, AnInterruptionIsForwardedToARunningShellOnly)
{
    make();
    supervisor->makeTheShell();
    supervisor->interrupted();
    EXPECT_TRUE(world.sent.empty());
    supervisor->launchTheShellOrLeave();
    supervisor->interrupted();
    EXPECT_EQ(world.sent, (std::vector<Sent>{{FIRST_SHELL, SIGINT}}));
    EXPECT_PHASE(Phase::running);
}

} // namespace
