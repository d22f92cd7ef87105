// Helpers for unit tests that need the host's main loop and real pipes.
#pragma once

#include "platform/main_queue.h"

#include <asio/io_context.hpp>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>

namespace testing_support {

// Runs the main queue until `done` holds; false when a generous deadline
// passed first.
inline bool pumpUntil(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(20))
{
    return platform::runTheMainQueueUntil(done, limit);
}

// A pipe whose ends close with it; the read end is non-blocking.
struct Pipe {
    int readEnd = -1, writeEnd = -1;
    Pipe()
    {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        readEnd = ends[0];
        writeEnd = ends[1];
        fcntl(readEnd, F_SETFL, fcntl(readEnd, F_GETFL) | O_NONBLOCK);
    }
    ~Pipe()
    {
        closeReadEnd();
        if (writeEnd >= 0)
            close(writeEnd);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    // Hands the write end over to an owner that closes it.
    int takeWriteEnd()
    {
        int fd = writeEnd;
        writeEnd = -1;
        return fd;
    }
    void closeReadEnd()
    {
        if (readEnd >= 0)
            close(readEnd);
        readEnd = -1;
    }
    // Everything readable now; `ended` tells whether the writer closed.
    std::string readAvailable(bool* ended = nullptr)
    {
        std::string bytes;
        char buffer[65536];
        for (;;) {
            ssize_t got = read(readEnd, buffer, sizeof buffer);
            if (got > 0) {
                bytes.append(buffer, static_cast<std::size_t>(got));
                continue;
            }
            if (got < 0 && errno == EINTR)
                continue;
            if (ended)
                *ended = got == 0;
            return bytes;
        }
    }
};

} // namespace testing_support
