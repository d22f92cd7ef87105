// The host's one event loop, the "main queue". Everything the host does runs
// here on the main thread; other threads only post work to it.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

// Asio stays out of the many files that only post work or set timers: the
// few that drive the loop itself include <asio/io_context.hpp>.
namespace asio {
class io_context;
}

namespace platform {

// The loop is created on first use; the main thread is whichever thread
// calls markTheMainThread() first (main() does, before anything else).

// Records the calling thread as the main thread.
void markTheMainThread();

// True on the main thread.
bool onTheMainThread();

// Aborts with a message when called off the main thread. Owners of native
// resources call it at the top of every method: confinement is checked, not
// just promised.
void assertOnTheMainThread(const char* where);

// Runs `work` on the main queue. Safe from any thread.
void post(std::function<void()> work);

// Runs the loop until the process exits. Never returns: the host ends only
// through an explicit exit.
[[noreturn]] void runTheMainLoop();

// For programs that turn the loop themselves instead (tests, benchmarks,
// fuzz targets), on the thread they marked as the main one. Each gives how
// many handlers ran; none of them says how the loop is made.

// Runs what is ready and waits for more, for at most `time`.
std::size_t runTheMainQueueFor(std::chrono::steady_clock::duration time);
// Runs what is ready now, waiting for nothing.
std::size_t runWhatIsReady();
// Runs one handler, waiting for one as long as it takes.
std::size_t runOneHandler();
// Runs the loop until `condition` holds; false when `limit` passed first.
// The condition is checked between short turns, so it may watch things
// outside the loop (a process, a file).
bool runTheMainQueueUntil(const std::function<bool()>& condition, std::chrono::steady_clock::duration limit);
// Runs the loop, idle or not, until stopTheMainQueue() is called.
void runTheMainQueueUntilStopped();
// Makes runTheMainQueueUntilStopped() return. Safe from any thread.
void stopTheMainQueue();

// A signal turned into an event on the main queue.
class SignalSource {
public:
    virtual ~SignalSource() = default;
    // From now on the signal is simply ignored: the handler never runs again
    // and the signal's default action does not come back.
    virtual void cancel() = 0;
};

// Runs `handler` on the main queue each time `signalNumber` arrives. The
// signal's default action never runs once this is in place, and the signal
// is unblocked in case the host inherited it blocked. The source lives until
// the process exits.
std::shared_ptr<SignalSource> onSignal(int signalNumber, std::function<void()> handler);

// A one-shot timer on the main queue. Destroying or cancelling it before it
// fires means the handler never runs.
class Timer {
public:
    Timer(std::chrono::steady_clock::duration delay, std::function<void()> handler);
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;
    void cancel();

private:
    struct State;
    std::shared_ptr<State> state_;
};

// Runs `handler` once after `delay`; the returned timer may be kept to cancel.
std::unique_ptr<Timer> after(std::chrono::steady_clock::duration delay, std::function<void()> handler);

// Runs `handler` on the main queue whenever `fd` is readable (or writable),
// until the watch is destroyed. The descriptor stays owned by the caller.
class DescriptorWatch {
public:
    enum class Readiness { readable, writable };
    DescriptorWatch(int fd, Readiness readiness, std::function<void()> handler);
    ~DescriptorWatch();
    DescriptorWatch(const DescriptorWatch&) = delete;
    DescriptorWatch& operator=(const DescriptorWatch&) = delete;

    struct State;

private:
    std::shared_ptr<State> state_;
};

std::unique_ptr<DescriptorWatch> whenReadable(int fd, std::function<void()> handler);
std::unique_ptr<DescriptorWatch> whenWritable(int fd, std::function<void()> handler);

// Both at once on one descriptor, which the loop can watch only once: runs
// `readable` on the main queue whenever `fd` is readable and, between
// waitToWrite() and stopWaitingToWrite(), `writable` whenever it can take
// bytes. The descriptor stays owned by the caller.
class TwoWayWatch {
public:
    TwoWayWatch(int fd, std::function<void()> readable, std::function<void()> writable);
    ~TwoWayWatch();
    TwoWayWatch(const TwoWayWatch&) = delete;
    TwoWayWatch& operator=(const TwoWayWatch&) = delete;

    void waitToWrite();
    void stopWaitingToWrite();

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace platform
