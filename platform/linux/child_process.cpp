#include "platform/child_process.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <future>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace platform {

namespace {
// How long the end of a process waits for a reader without a drain rule: a
// process it started may hold that output open for ever.
constexpr auto OUTPUT_DRAIN_TIME = std::chrono::milliseconds(500);
constexpr auto DRAIN_CHECK = std::chrono::milliseconds(100);

// Waits for the reader under `drain`'s rule.
void waitForTheReader(const std::shared_future<void>& outputRead, const OutputDrain& drain)
{
    if (!drain.keepWaiting) {
        outputRead.wait_for(OUTPUT_DRAIN_TIME);
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    while (outputRead.wait_for(DRAIN_CHECK) != std::future_status::ready) {
        if (!drain.keepWaiting(std::chrono::steady_clock::now() - start)) {
            if (drain.giveUp)
                drain.giveUp();
            return;
        }
    }
}

void closeIfOpen(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}
}

ChildProcess::ChildProcess(std::string program, std::vector<std::string> arguments, Environment environment, bool piped)
    : program_(std::move(program))
    , arguments_(std::move(arguments))
    , environment_(std::move(environment))
    , piped_(piped)
{
    if (!piped_)
        return;
    int input[2], output[2];
    if (pipe2(input, O_CLOEXEC) != 0) {
        pipeError_ = errno;
        return;
    }
    if (pipe2(output, O_CLOEXEC) != 0) {
        pipeError_ = errno;
        close(input[0]);
        close(input[1]);
        return;
    }
    inputRead_ = input[0];
    inputWrite_ = input[1];
    outputRead_ = output[0];
    outputWrite_ = output[1];
}

ChildProcess::~ChildProcess()
{
    closeIfOpen(inputRead_);
    closeIfOpen(inputWrite_);
    closeIfOpen(outputRead_);
    closeIfOpen(outputWrite_);
}

Result<void> ChildProcess::launch()
{
    if (pipeError_ != 0)
        return failureOf("pipe2", pipeError_, program_);
    Launch request;
    request.program = program_;
    request.arguments = arguments_;
    request.environment = environment_;
    int nullDevice = -1;
    if (piped_) {
        request.standardInput = inputRead_;
        request.standardOutput = outputWrite_;
    } else {
        nullDevice = open("/dev/null", O_RDONLY | O_CLOEXEC);
        request.standardInput = nullDevice;
    }
    auto launched = platform::launch(request);
    if (nullDevice >= 0)
        close(nullDevice);
    // The process's ends belong to it now; keeping them open here would hide
    // the end of its output and of its input from both sides.
    closeIfOpen(inputRead_);
    closeIfOpen(outputWrite_);
    if (!launched) {
        closeIfOpen(inputWrite_);
        closeIfOpen(outputRead_);
        const Failure& failure = launched.failure();
        return failureBecause(failure.call, program_ + ": " + failure.description(), program_, failure.error);
    }
    pid_ = *launched;
    // The reader says when it has seen the end of the output, so that what
    // the process wrote last is out before anyone acts on its end.
    std::shared_future<void> outputRead;
    if (outputReader_ && outputRead_ >= 0) {
        int fd = outputRead_;
        outputRead_ = -1;
        std::promise<void> done;
        outputRead = done.get_future().share();
        std::thread([reader = outputReader_, fd, done = std::move(done)]() mutable {
            reader(fd);
            done.set_value();
        }).detach();
    }
    if (terminationHandler_) {
        // Only this thread waits for this process id; other children of the
        // host have reapers of their own.
        std::thread([pid = pid_, handler = terminationHandler_, outputRead, drain = outputDrain_, reaped = reaped_] {
            int status = 0;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            reaped->store(true);
            if (outputRead.valid())
                waitForTheReader(outputRead, drain);
            Termination end;
            end.pid = pid;
            end.signaled = WIFSIGNALED(status);
            end.status = end.signaled ? WTERMSIG(status) : WEXITSTATUS(status);
            handler(end);
        }).detach();
    }
    return {};
}

int ChildProcess::takeStandardInput()
{
    int fd = inputWrite_;
    inputWrite_ = -1;
    return fd;
}

} // namespace platform
