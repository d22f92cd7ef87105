#include "platform/main_queue.h"

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/steady_timer.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <csignal>
#include <pthread.h>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <unistd.h>

namespace platform {

namespace {

std::atomic<std::thread::id> mainThreadId{};

// The loop itself: asio's, whose descriptor and signal services stand for
// the run loop sources of the system.
asio::io_context& mainQueue()
{
    static asio::io_context* queue = new asio::io_context(1);
    return *queue;
}

} // namespace

void markTheMainThread()
{
    mainThreadId = std::this_thread::get_id();
}

bool onTheMainThread()
{
    return mainThreadId.load() == std::this_thread::get_id();
}

void assertOnTheMainThread(const char* where)
{
    if (onTheMainThread())
        return;
    std::fprintf(stderr, "%s called off the main thread\n", where);
    std::abort();
}

void post(std::function<void()> work)
{
    asio::post(mainQueue(), std::move(work));
}

void runTheMainLoop()
{
    assertOnTheMainThread("runTheMainLoop");
    // A work guard keeps run() from returning when no source is pending.
    auto guard = asio::make_work_guard(mainQueue());
    for (;;) {
        mainQueue().run();
        mainQueue().restart();
    }
}

std::size_t runTheMainQueueFor(std::chrono::steady_clock::duration time)
{
    mainQueue().restart();
    return mainQueue().run_for(time);
}

std::size_t runWhatIsReady()
{
    mainQueue().restart();
    return mainQueue().poll();
}

std::size_t runOneHandler()
{
    mainQueue().restart();
    return mainQueue().run_one();
}

bool runTheMainQueueUntil(const std::function<bool()>& condition, std::chrono::steady_clock::duration limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        // An idle loop returns at once: a short nap keeps the wait from
        // spinning while the condition waits on something outside it.
        if (runTheMainQueueFor(std::chrono::milliseconds(10)) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void runTheMainQueueUntilStopped()
{
    auto guard = asio::make_work_guard(mainQueue());
    mainQueue().restart();
    mainQueue().run();
}

void stopTheMainQueue()
{
    mainQueue().stop();
}

namespace {
class AsioSignalSource final : public SignalSource, public std::enable_shared_from_this<AsioSignalSource> {
public:
    AsioSignalSource(int signalNumber, std::function<void()> handler)
        : set_(mainQueue(), signalNumber)
        , handler_(std::move(handler))
    {
    }
    void start() { waitForTheSignal(); }
    // Cancelling keeps asio's handler installed (removing it would bring back
    // the default action); the signal is swallowed from then on.
    void cancel() override { cancelled_ = true; }

private:
    void waitForTheSignal()
    {
        set_.async_wait([self = shared_from_this()](const std::error_code& error, int) {
            if (error == asio::error::operation_aborted)
                return;
            if (!self->cancelled_)
                self->handler_();
            self->waitForTheSignal();
        });
    }
    asio::signal_set set_;
    std::function<void()> handler_;
    bool cancelled_ = false;
};
}

std::shared_ptr<SignalSource> onSignal(int signalNumber, std::function<void()> handler)
{
    assertOnTheMainThread("onSignal");
    auto source = std::make_shared<AsioSignalSource>(signalNumber, std::move(handler));
    source->start();
    // A mask inherited from whoever started the host would hold the signal
    // back for ever. Threads started later inherit the unblocked mask.
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, signalNumber);
    pthread_sigmask(SIG_UNBLOCK, &handled, nullptr);
    return source;
}

struct Timer::State {
    explicit State(asio::io_context& queue)
        : timer(queue)
    {
    }
    asio::steady_timer timer;
    std::function<void()> handler;
    bool cancelled = false;
};

Timer::Timer(std::chrono::steady_clock::duration delay, std::function<void()> handler)
    : state_(std::make_shared<State>(mainQueue()))
{
    state_->handler = std::move(handler);
    state_->timer.expires_after(delay);
    state_->timer.async_wait([state = state_](const std::error_code& error) {
        if (error || state->cancelled)
            return;
        auto handler = std::move(state->handler);
        handler();
    });
}

Timer::~Timer()
{
    cancel();
}

void Timer::cancel()
{
    state_->cancelled = true;
    state_->timer.cancel();
}

std::unique_ptr<Timer> after(std::chrono::steady_clock::duration delay, std::function<void()> handler)
{
    return std::make_unique<Timer>(delay, std::move(handler));
}

struct DescriptorWatch::State {
    State(asio::io_context& queue, int fd)
        : stream(queue, fd)
    {
    }
    ~State()
    {
        // The descriptor belongs to the caller: let go of it without closing.
        if (stream.is_open())
            stream.release();
    }
    asio::posix::stream_descriptor stream;
    std::function<void()> handler;
    Readiness readiness;
    bool stopped = false;
};

namespace {
void waitForReadiness(std::shared_ptr<DescriptorWatch::State> state);
}

DescriptorWatch::DescriptorWatch(int fd, Readiness readiness, std::function<void()> handler)
    : state_(std::make_shared<State>(mainQueue(), fd))
{
    state_->handler = std::move(handler);
    state_->readiness = readiness;
    waitForReadiness(state_);
}

DescriptorWatch::~DescriptorWatch()
{
    // Deregister now, not when the last pending wait lets go of the state: a
    // new watch on the same descriptor may follow at once.
    state_->stopped = true;
    if (state_->stream.is_open())
        state_->stream.release();
}

namespace {
void waitForReadiness(std::shared_ptr<DescriptorWatch::State> state)
{
    auto kind = state->readiness == DescriptorWatch::Readiness::readable ? asio::posix::stream_descriptor::wait_read
                                                                          : asio::posix::stream_descriptor::wait_write;
    state->stream.async_wait(kind, [state](const std::error_code& error) {
        if (state->stopped || error == asio::error::operation_aborted)
            return;
        state->handler();
        if (!state->stopped)
            waitForReadiness(state);
    });
}
}

struct TwoWayWatch::State {
    State(asio::io_context& queue, int fd)
        : stream(queue, fd)
    {
    }
    ~State()
    {
        if (stream.is_open())
            stream.release();
    }
    asio::posix::stream_descriptor stream;
    std::function<void()> readable;
    std::function<void()> writable;
    bool stopped = false;
    bool wantsToWrite = false;
    bool writeWaitPending = false;
};

namespace {
void awaitReadable(std::shared_ptr<TwoWayWatch::State> state)
{
    state->stream.async_wait(asio::posix::stream_descriptor::wait_read, [state](const std::error_code& error) {
        if (state->stopped || error == asio::error::operation_aborted)
            return;
        state->readable();
        if (!state->stopped)
            awaitReadable(state);
    });
}

// At most one write wait is outstanding; one that completes after the
// writer stopped waiting does nothing and is not renewed.
void awaitWritable(std::shared_ptr<TwoWayWatch::State> state)
{
    state->writeWaitPending = true;
    state->stream.async_wait(asio::posix::stream_descriptor::wait_write, [state](const std::error_code& error) {
        state->writeWaitPending = false;
        if (state->stopped || error == asio::error::operation_aborted || !state->wantsToWrite)
            return;
        state->writable();
        if (!state->stopped && state->wantsToWrite && !state->writeWaitPending)
            awaitWritable(state);
    });
}
}

TwoWayWatch::TwoWayWatch(int fd, std::function<void()> readable, std::function<void()> writable)
    : state_(std::make_shared<State>(mainQueue(), fd))
{
    state_->readable = std::move(readable);
    state_->writable = std::move(writable);
    awaitReadable(state_);
}

TwoWayWatch::~TwoWayWatch()
{
    state_->stopped = true;
    if (state_->stream.is_open())
        state_->stream.release();
}

void TwoWayWatch::waitToWrite()
{
    state_->wantsToWrite = true;
    if (!state_->writeWaitPending)
        awaitWritable(state_);
}

void TwoWayWatch::stopWaitingToWrite()
{
    state_->wantsToWrite = false;
}

std::unique_ptr<DescriptorWatch> whenReadable(int fd, std::function<void()> handler)
{
    return std::make_unique<DescriptorWatch>(fd, DescriptorWatch::Readiness::readable, std::move(handler));
}

std::unique_ptr<DescriptorWatch> whenWritable(int fd, std::function<void()> handler)
{
    return std::make_unique<DescriptorWatch>(fd, DescriptorWatch::Readiness::writable, std::move(handler));
}

} // namespace platform
