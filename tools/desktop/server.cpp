// The desktop server's program side: a session built, a session file
// loaded, the socket listened on, the loop run.
#include "server.h"

#include "session.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace desktop {

int serve(const ServeOptions& options)
{
    ::signal(SIGPIPE, SIG_IGN);
    asio::io_context io(1);
    Session session(io, options.socketPath);
    if (options.sessionFile) {
        std::ifstream file(*options.sessionFile);
        std::stringstream text;
        text << file.rdbuf();
        if (!file) {
            std::fprintf(stderr, "kestrune-desktop: cannot read %s\n", options.sessionFile->c_str());
            return 1;
        }
        auto loaded = json::parse(text.str(), nullptr, false);
        if (loaded.is_discarded()) {
            std::fprintf(stderr, "kestrune-desktop: %s is not JSON\n", options.sessionFile->c_str());
            return 1;
        }
        if (auto error = session.load(loaded)) {
            std::fprintf(stderr, "kestrune-desktop: %s: %s\n", options.sessionFile->c_str(), error->c_str());
            return 1;
        }
    }
    if (auto error = session.listen()) {
        std::fprintf(stderr, "kestrune-desktop: %s\n", error->c_str());
        return 1;
    }
    std::printf("kestrune-desktop: listening on %s\n", options.socketPath.c_str());
    std::fflush(stdout);
    io.run();
    return 0;
}

} // namespace desktop
