// The shell's process object: a program with its arguments and environment,
// optionally on two pipes, launched once, with a reader of its output and a
// handler of its end that each run on a thread of their own.
#pragma once

#include "platform/process.h"
#include "platform/result.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace platform {

// How a child process ended.
struct Termination {
    pid_t pid = 0;
    bool signaled = false;   // an uncaught signal ended it
    int status = 0;          // the exit status, or the signal's number
};

// How the end of a process waits for its output reader to reach the end of
// the output: while `keepWaiting` says so (asked about every 100 ms with the
// time waited so far); when it stops, `giveUp` tells the reader that what it
// still has is no longer wanted.
struct OutputDrain {
    std::function<bool(std::chrono::steady_clock::duration waited)> keepWaiting;
    std::function<void()> giveUp;
};

class ChildProcess {
public:
    // `piped`: the process's standard input and output are pipes whose other
    // ends the host keeps; otherwise its input is the null device and its
    // output the host's own.
    ChildProcess(std::string program, std::vector<std::string> arguments, Environment environment, bool piped);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts the process; fails (also when the pipes could not be made) with
    // a description that names the program.
    Result<void> launch();

    // The process id; 0 until the launch, as for a process that never ran.
    pid_t pid() const { return pid_; }
    bool launched() const { return pid_ > 0; }
    bool isPiped() const { return piped_; }
    // True from the launch until the process has ended and been reaped (or
    // markEnded()): a process that ended is never signalled by its number
    // again, which may belong to another process by then.
    bool isRunning() const { return pid_ > 0 && !ended_ && !reaped_->load(); }
    // Called on the main thread once the termination handler saw the end.
    void markEnded() { ended_ = true; }

    // Runs on a thread of its own with the host's end of the process's
    // standard output (piped processes only), from the launch on, until it
    // returns; the descriptor is the reader's to close. Without a drain
    // rule the end of the process waits half a second for the reader.
    void setOutputReader(std::function<void(int fd)> reader, OutputDrain drain = {})
    {
        outputReader_ = std::move(reader);
        outputDrain_ = std::move(drain);
    }
    // Runs once, on a thread of its own, after the process has ended and has
    // been reaped, and after the output reader returned or its drain rule
    // gave up on it.
    void setTerminationHandler(std::function<void(Termination)> handler) { terminationHandler_ = std::move(handler); }

    const std::string& program() const { return program_; }
    const std::vector<std::string>& arguments() const { return arguments_; }

    // When piped: the host's end of the process's standard input. It may be
    // taken once; -1 afterwards or when not piped.
    int takeStandardInput();

private:
    std::string program_;
    std::vector<std::string> arguments_;
    Environment environment_;
    bool piped_;
    pid_t pid_ = 0;
    bool ended_ = false;
    // Set by the waiter thread as soon as the process is reaped; shared with
    // it, since a swap may destroy this object while that thread runs.
    std::shared_ptr<std::atomic<bool>> reaped_ = std::make_shared<std::atomic<bool>>(false);
    std::function<void(int fd)> outputReader_;
    OutputDrain outputDrain_;
    std::function<void(Termination)> terminationHandler_;
    int pipeError_ = 0;
    int inputRead_ = -1, inputWrite_ = -1;
    int outputRead_ = -1, outputWrite_ = -1;
};

} // namespace platform
