// What the kernel tells about processes, and the event loop's sources.
#include "platform/main_queue.h"
#include "platform/child_process.h"
#include "platform/process.h"

#include <asio/io_context.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// A child that makes one grandchild and waits; both are ended by the test.
struct Family {
    pid_t child = -1;
    pid_t grandchild = -1;
    Family()
    {
        int report[2];
        EXPECT_EQ(pipe(report), 0);
        child = fork();
        if (child == 0) {
            pid_t grand = fork();
            if (grand == 0) {
                for (;;)
                    pause();
            }
            [[maybe_unused]] ssize_t ignored = write(report[1], &grand, sizeof grand);
            for (;;)
                pause();
        }
        close(report[1]);
        EXPECT_EQ(read(report[0], &grandchild, sizeof grandchild), static_cast<ssize_t>(sizeof grandchild));
        close(report[0]);
    }
    ~Family()
    {
        kill(grandchild, SIGKILL);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
};

void runTheLoopFor(std::chrono::milliseconds time)
{
    platform::runTheMainQueueFor(time);
}

} // namespace

TEST(KernelQueries, ParentsAndDescendants)
{
    Family family;
    EXPECT_EQ(platform::parentOf(family.child), getpid());
    EXPECT_EQ(platform::parentOf(family.grandchild), family.child);

    auto below = platform::descendantsOf(getpid());
    EXPECT_NE(std::find(below.begin(), below.end(), family.child), below.end());
    EXPECT_NE(std::find(below.begin(), below.end(), family.grandchild), below.end());
    EXPECT_EQ(std::find(below.begin(), below.end(), getpid()), below.end());
    EXPECT_EQ(platform::descendantsOf(family.child), std::vector<pid_t>{family.grandchild});
    EXPECT_TRUE(platform::descendantsOf(family.grandchild).empty());
    EXPECT_FALSE(platform::parentOf(999999999));
}

TEST(KernelQueries, ExecutablePathCaughtSignalsAndLife)
{
    EXPECT_EQ(platform::executablePathOf(getpid()), platform::executablePathOf(getpid()));
    ASSERT_TRUE(platform::executablePathOf(getpid()));
    EXPECT_EQ(platform::executablePathOf(getpid())->front(), '/');

    Family family;
    EXPECT_FALSE(platform::catches(family.child, SIGUSR1));
    struct sigaction action {};
    action.sa_handler = [](int) {};
    struct sigaction previous {};
    sigaction(SIGUSR1, &action, &previous);
    EXPECT_TRUE(platform::catches(getpid(), SIGUSR1));
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_FALSE(platform::catches(getpid(), 0));
    EXPECT_FALSE(platform::catches(999999999, SIGUSR1));

    EXPECT_TRUE(platform::isAlive(family.grandchild));
    kill(family.grandchild, SIGKILL);
    // Killed and not reaped by its parent: a zombie counts as gone.
    bool died = false;
    for (int i = 0; i < 200 && !died; ++i) {
        died = !platform::isAlive(family.grandchild);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(died);
    EXPECT_FALSE(platform::isGone(family.grandchild));
    EXPECT_TRUE(platform::isAlive(family.child));
}

TEST(EventLoop, ProcessEndsReachTheMainQueue)
{
    platform::markTheMainThread();
    pid_t sleeper = fork();
    if (sleeper == 0) {
        for (;;)
            pause();
    }
    bool ended = false;
    auto watch = platform::whenProcessEnds(sleeper, [&] { ended = true; });
    ASSERT_TRUE(watch);
    runTheLoopFor(std::chrono::milliseconds(50));
    EXPECT_FALSE(ended);
    kill(sleeper, SIGKILL);
    waitpid(sleeper, nullptr, 0);
    for (int i = 0; i < 100 && !ended; ++i)
        runTheLoopFor(std::chrono::milliseconds(20));
    EXPECT_TRUE(ended);
    EXPECT_TRUE(platform::isGone(sleeper));
    EXPECT_FALSE(platform::whenProcessEnds(sleeper, [] {}));
}

TEST(EventLoop, TimersPostsAndDescriptorWatches)
{
    platform::markTheMainThread();
    std::vector<std::string> order;
    auto cancelled = platform::after(std::chrono::milliseconds(10), [&] { order.push_back("cancelled"); });
    auto kept = platform::after(std::chrono::milliseconds(20), [&] { order.push_back("timer"); });
    cancelled->cancel();
    std::thread([&] { platform::post([&] { order.push_back("posted"); }); }).join();
    runTheLoopFor(std::chrono::milliseconds(100));
    EXPECT_EQ(order, (std::vector<std::string>{"posted", "timer"}));

    // A watch made again on the same descriptor right after the last one
    // went away still works.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    int readable = 0;
    for (int round = 0; round < 3; ++round) {
        auto watch = platform::whenReadable(ends[0], [&] {
            char byte;
            if (read(ends[0], &byte, 1) == 1)
                ++readable;
        });
        ASSERT_EQ(write(ends[1], "x", 1), 1);
        runTheLoopFor(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(readable, 3);
    close(ends[0]);
    close(ends[1]);
}

TEST(EventLoop, ACancelledSignalSourceSwallowsTheSignal)
{
    platform::markTheMainThread();
    int heard = 0;
    auto source = platform::onSignal(SIGUSR2, [&] { ++heard; });
    raise(SIGUSR2);
    runTheLoopFor(std::chrono::milliseconds(50));
    EXPECT_EQ(heard, 1);
    source->cancel();
    raise(SIGUSR2);   // would end the test process if the default came back
    runTheLoopFor(std::chrono::milliseconds(50));
    EXPECT_EQ(heard, 1);
}

TEST(ChildProcesses, ANeverLaunchedProcessHasNoProcessId)
{
    // Records about a shell that never ran say 0, as for a process that never
    // existed, and name no log file after a negative number.
    platform::ChildProcess made("/bin/true", {}, platform::Environment{}, true);
    EXPECT_EQ(made.pid(), 0);
    EXPECT_FALSE(made.launched());
    EXPECT_FALSE(made.isRunning());

    platform::ChildProcess missing("/no/such/program", {}, platform::Environment{}, false);
    auto launched = missing.launch();
    ASSERT_FALSE(launched.ok());
    EXPECT_EQ(launched.failure().description(), "/no/such/program: No such file or directory");
    EXPECT_EQ(launched.failure().call, "posix_spawn");
    EXPECT_EQ(missing.pid(), 0);
}

TEST(ChildProcesses, AProcessThatEndedIsNotRunningOnceReapedBeforeItsEndIsHandled)
{
    // Its number may be another process's by the time the handler runs: a
    // stop asked for meanwhile must not signal it.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    auto handled = std::make_shared<std::atomic<bool>>(false);
    platform::ChildProcess shell("/bin/true", {}, platform::Environment{}, false);
    shell.setTerminationHandler([released, handled](platform::Termination) {
        released.wait();
        *handled = true;
    });
    ASSERT_TRUE(shell.launch().ok());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (shell.isRunning() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(shell.isRunning());
    EXPECT_TRUE(platform::isGone(shell.pid()));
    EXPECT_FALSE(*handled);
    release.set_value();
    while (!*handled && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(*handled);
}
