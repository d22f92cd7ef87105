#include "request.h"

#include "session.h"

namespace desktop {

Request::Request(Session& session, Connection& connection, const json& message)
    : session_(session)
    , connection_(connection)
    , message_(message)
{
}

void Request::reply(json result)
{
    auto id = message_.find("id");
    if (id == message_.end() || id->is_null())
        return;
    result["id"] = *id;
    result["ok"] = true;
    session_.send(connection_, result);
}

void Request::refuse(const std::string& error)
{
    json message = {{"error", error}};
    auto id = message_.find("id");
    message["id"] = id == message_.end() ? json(nullptr) : *id;
    if (auto op = platform::wire::stringAt(message_, "op"))
        message["op"] = *op;
    session_.send(connection_, message);
}

} // namespace desktop
