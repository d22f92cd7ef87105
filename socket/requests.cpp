#include "socket/requests.h"

#include "platform/json_line.h"
#include "platform/main_queue.h"

#include <nlohmann/json.hpp>

namespace kestrune::socket {

namespace {

HostRequestSeams& seams()
{
    static HostRequestSeams theSeams;
    return theSeams;
}

// The member `key` of `request` when it is a string; a value of another type
// counts as absent.
std::optional<std::string> stringAt(const nlohmann::json& request, const char* key)
{
    auto found = request.find(key);
    if (found == request.end() || !found->is_string())
        return std::nullopt;
    return found->get<std::string>();
}

// A refresh writes nothing before the first drawing: there is no menu to
// publish yet, and an empty one would tell the parent the menu is empty.
nlohmann::ordered_json refreshed()
{
    const auto& the = seams();
    bool written = the.drawnOnce && the.drawnOnce() && the.publish && the.publish();
    return {{"refreshed", written}};
}

nlohmann::ordered_json delivered(const std::string& url)
{
    const auto& the = seams();
    bool ours = url.size() <= HOST_URL_LIMIT && the.isOneOfOurURLs && the.isOneOfOurURLs(url);
    if (!ours)
        return {{"error", "url-scheme-not-mine"}, {"url", url}};
    if (the.arrived)
        the.arrived(url);
    // "delivered" means handed to link delivery, which may keep it while the
    // shell is away: the pid says whether a shell runs to take it now.
    std::optional<pid_t> shell = the.runningShell ? the.runningShell() : std::nullopt;
    nlohmann::ordered_json reply = {{"delivered", url}, {"shell", nullptr}};
    if (shell)
        reply["shell"] = *shell;
    return reply;
}

// The requester names the title it saw, so that a row the shell has since
// renamed or reused under the same identifier is never picked by mistake.
nlohmann::ordered_json invoked(const std::string& id, const std::optional<std::string>& believedTitle)
{
    const auto& the = seams();
    std::optional<std::string> title = the.titleOf ? the.titleOf(id) : std::nullopt;
    if (title && believedTitle && *title == *believedTitle) {
        if (the.send && the.send(id))
            return {{"invoked", id}, {"title", *title}};
        return {{"error", "shell-not-listening"}, {"id", id}};
    }
    nlohmann::ordered_json reply = {{"error", "invoke-row-changed"}, {"id", id}, {"title", nullptr}};
    if (title)
        reply["title"] = *title;
    return reply;
}

} // namespace

void setTheHostRequestSeams(HostRequestSeams given)
{
    platform::assertOnTheMainThread("setTheHostRequestSeams");
    seams() = std::move(given);
}

nlohmann::ordered_json answer(std::string_view line)
{
    platform::assertOnTheMainThread("answer");
    // The parser takes a NUL byte for the end of its input and would answer
    // whatever came before it; JSON text holds none.
    if (line.find('\0') != std::string_view::npos)
        return {{"error", "not-json"}};
    // The parser rejects text that is not UTF-8, so every string taken from
    // a request is UTF-8.
    auto request = platform::objectWithin(line, REQUEST_NESTING_LIMIT);
    if (!request)
        return {{"error", "not-json"}};
    // The first key that applies wins; one of the wrong type does not apply.
    auto refresh = request->find("refresh");
    if (refresh != request->end() && refresh->is_boolean() && refresh->get<bool>())
        return refreshed();
    if (auto url = stringAt(*request, "url"))
        return delivered(*url);
    if (auto id = stringAt(*request, "invoke"))
        return invoked(*id, stringAt(*request, "title"));
    return {{"error", "unknown-request"}};
}

std::string replyLine(const nlohmann::ordered_json& reply)
{
    // A title from the shell's rows is not checked for UTF-8 on its way in;
    // replacing its bad bytes keeps the reply one valid line.
    std::string line = reply.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    line += '\n';
    return line;
}

} // namespace kestrune::socket
