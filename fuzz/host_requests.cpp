// Bytes as a client of the host socket sends them: cut into reads of sizes
// the input chooses, framed into request lines, each line answered through
// stand-ins for the menu and the links. Nothing may crash or throw, the
// cuts must not change the lines, and every reply is one line holding one
// JSON object of a known kind.
#include "links/url.h"
#include "platform/main_queue.h"
#include "socket/request_lines.h"
#include "socket/requests.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

using namespace kestrune;

namespace {

void setUp()
{
    static const bool done = [] {
        platform::markTheMainThread();
        static const std::map<std::string, std::string> titles = {
            {"open", "Open"}, {"quit", "Quit Acme"}, {"bad", "\xff\xfe title"}, {"lines", "two\nlines"}, {"", "untitled"}};
        socket::setTheHostRequestSeams({
            .drawnOnce = [] { return true; },
            .publish = [] { return true; },
            .titleOf = [](const std::string& id) -> std::optional<std::string> {
                auto found = titles.find(id);
                if (found == titles.end())
                    return std::nullopt;
                return found->second;
            },
            .send = [](const std::string& id) { return id.size() % 2 == 0; },
            .isOneOfOurURLs = [](const std::string& url) { return links::schemeOf(url) == "acme"; },
            .arrived = [](const std::string&) {},
            .runningShell = [] { return std::optional<pid_t>(4242); },
        });
        return true;
    }();
    (void)done;
}

struct Framed {
    std::vector<std::string> lines;
    bool framed = true;
};

// The stream cut into reads of `sizes` in turn (all of it at once when
// there are none).
Framed frame(std::string_view stream, const std::vector<std::size_t>& sizes, std::size_t limit)
{
    socket::RequestLines splitter(limit);
    Framed result;
    auto keep = [&](std::string_view line) { result.lines.emplace_back(line); };
    std::size_t at = 0;
    for (std::size_t turn = 0; at < stream.size(); ++turn) {
        std::size_t size = sizes.empty() ? stream.size() : sizes[turn % sizes.size()];
        result.framed = splitter.take(stream.substr(at, size), keep) && result.framed;
        at += size;
    }
    return result;
}

} // namespace

// Byte 0 seeds the read sizes, byte 1's low bit picks a short line limit
// (so that the fuzzer meets it often); the rest is the stream.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    setUp();
    if (size < 2)
        return 0;
    std::size_t limit = (data[1] & 1) ? 64 : socket::REQUEST_LINE_LIMIT;
    std::string_view stream(reinterpret_cast<const char*>(data) + 2, size - 2);

    std::vector<std::size_t> sizes;
    uint32_t state = data[0] * 2654435761u + 1;
    for (int i = 0; i < 8; ++i) {
        state = state * 1103515245u + 12345u;
        sizes.push_back(1 + (state >> 16) % (data[0] + 1u));
    }
    Framed whole = frame(stream, {}, limit);
    Framed cut = frame(stream, sizes, limit);
    if (whole.lines != cut.lines || whole.framed != cut.framed)
        __builtin_trap();

    for (const auto& line : whole.lines) {
        if (line.size() > limit || line.find('\n') != std::string::npos)
            __builtin_trap();
        std::string reply = socket::replyLine(socket::answer(line));
        if (reply.empty() || reply.back() != '\n' || reply.find('\n') != reply.size() - 1)
            __builtin_trap();
        auto parsed = nlohmann::json::parse(reply, nullptr, /*allow_exceptions=*/false);
        if (!parsed.is_object())
            __builtin_trap();
        if (!parsed.contains("error") && !parsed.contains("refreshed") && !parsed.contains("delivered") && !parsed.contains("invoked"))
            __builtin_trap();
    }
    return 0;
}
