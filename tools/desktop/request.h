// One request of a peer as its handler sees it: its members, read with the
// refusal sent for a member that is missing or wrong, and its reply.
#pragma once

#include "records.h"

#include "platform/desktop/wire.h"

#include <concepts>
#include <optional>
#include <string>
#include <utility>

namespace desktop {

class Session;

class Request {
public:
    Request(Session& session, Connection& connection, const json& message);

    const json& message() const { return message_; }
    Connection& connection() const { return connection_; }
    // The process the connection speaks for (0 for a client).
    pid_t pid() const { return connection_.pid; }

    // The member `name` of kind T (bool, double, std::string or an integer
    // type whose range it must fit); nothing when it is missing or not of
    // that kind, and then the request is refused with `refusal`, by default
    // "\"NAME\" is missing".
    template <typename T>
    std::optional<T> required(const char* name, const std::string& refusal = {});

    // The success reply, with the result's members (none without an id).
    void reply(json result = json::object());
    // The error reply.
    void refuse(const std::string& error);

private:
    // The member as T when it is of that kind.
    template <typename T>
    std::optional<T> member(const char* name) const;

    Session& session_;
    Connection& connection_;
    const json& message_;
};

template <typename T>
std::optional<T> Request::member(const char* name) const
{
    namespace wire = platform::wire;
    if constexpr (std::same_as<T, bool>) {
        return wire::booleanAt(message_, name);
    } else if constexpr (std::same_as<T, std::string>) {
        return wire::stringAt(message_, name);
    } else if constexpr (std::floating_point<T>) {
        return wire::numberAt(message_, name);
    } else {
        static_assert(std::integral<T>);
        auto value = wire::integerAt(message_, name);
        if (!value || !std::in_range<T>(*value))
            return std::nullopt;
        return T(*value);
    }
}

template <typename T>
std::optional<T> Request::required(const char* name, const std::string& refusal)
{
    auto value = member<T>(name);
    if (!value)
        refuse(refusal.empty() ? "\"" + std::string(name) + "\" is missing" : refusal);
    return value;
}

} // namespace desktop
