#include "platform/result.h"

#include <cstring>

namespace platform {

std::string Failure::description() const
{
    if (!reason.empty())
        return reason;
    if (error != 0)
        return std::strerror(error);
    return call + " failed";
}

Failure failureOf(std::string call, int error, std::string subject)
{
    return Failure{std::move(call), error, std::move(subject), {}};
}

Failure failureBecause(std::string call, std::string reason, std::string subject, int error)
{
    return Failure{std::move(call), error, std::move(subject), std::move(reason)};
}

} // namespace platform
