#include "platform/standard_error.h"

#include <cerrno>
#include <unistd.h>

namespace platform {

void sayOnStandardError(const std::string& line)
{
    std::string bytes = line + "\n";
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t wrote = ::write(STDERR_FILENO, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return;
        done += static_cast<std::size_t>(wrote);
    }
}

} // namespace platform
