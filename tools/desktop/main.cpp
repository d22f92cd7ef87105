// kestrune-desktop: the desktop server ("serve") and its command-line
// client (every other command). docs/desktop.md tells how to use both.
#include "client.h"
#include "server.h"

#include "platform/desktop.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// "serve" runs the server; anything else is a client command.
int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (arguments.empty()) {
        std::fputs(desktop::usage().c_str(), stderr);
        return 2;
    }
    if (arguments.front() != "serve")
        return desktop::runTheClient(arguments);

    desktop::ServeOptions options;
    if (const char* fromEnvironment = std::getenv(platform::DESKTOP_SOCKET_VARIABLE); fromEnvironment && *fromEnvironment)
        options.socketPath = fromEnvironment;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const auto& option = arguments[i];
        if ((option == "--socket" || option == "--session") && i + 1 < arguments.size()) {
            (option == "--socket" ? options.socketPath : options.sessionFile.emplace()) = arguments[++i];
        } else {
            std::fprintf(stderr, "kestrune-desktop: unknown argument %s\n%s", option.c_str(), desktop::usage().c_str());
            return 2;
        }
    }
    if (options.socketPath.empty()) {
        std::fprintf(stderr, "kestrune-desktop: name the socket with --socket or $%s\n", platform::DESKTOP_SOCKET_VARIABLE);
        return 2;
    }
    return desktop::serve(options);
}
