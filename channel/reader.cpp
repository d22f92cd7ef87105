#include "channel/reader.h"

#include <cerrno>
#include <unistd.h>

namespace kestrune {

void listen(Child& shell)
{
    shell.setOutputReader([](int fd) {
        char buffer[65536];
        for (;;) {
            ssize_t got = read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            ssize_t done = 0;
            while (done < got) {
                ssize_t wrote = write(STDOUT_FILENO, buffer + done, static_cast<size_t>(got - done));
                if (wrote < 0 && errno == EINTR)
                    continue;
                if (wrote <= 0)
                    break;
                done += wrote;
            }
        }
        close(fd);
    });
}

} // namespace kestrune
