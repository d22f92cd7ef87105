// The Services menu entry: files handed to the application become URLs of
// its first scheme, one per file, for the shell.
#pragma once

#include "platform/desktop/application_events.h"

#include <optional>
#include <string>

namespace kestrune::links {

// The message an NSServices entry must name to reach the host.
inline const std::string SERVICES_MESSAGE = "openFiles";

class FileService {
public:
    // Hands each file on the pasteboard to the shell as
    // "scheme://userdata?path=..." with the alphabetically first scheme.
    // Gives the error text for the system, or nothing when files went out.
    std::optional<std::string> openFiles(const platform::ServicesRequest& request);

    // When the bundle declares services, makes this service the
    // application's services provider, for the process's life.
    void provideTheServices();
};

} // namespace kestrune::links
