#include "records.h"

namespace desktop {

const char* nameOf(Role role)
{
    switch (role) {
    case Role::none:
        return "none";
    case Role::host:
        return "host";
    case Role::application:
        return "application";
    case Role::client:
        return "client";
    case Role::views:
        return "views";
    }
    return "none";
}

} // namespace desktop
