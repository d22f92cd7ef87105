// A stand-in for what the host socket's requests reach above the socket: a
// menu with a few rows, the links of the scheme "acme", and a shell.
#pragma once

#include "links/url.h"
#include "socket/requests.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

struct FakeHost {
    bool drawn = true;
    bool publishes = true;
    bool shellListens = true;
    std::optional<pid_t> shell = 4242;
    std::map<std::string, std::string> titles = {{"open", "Open"}, {"quit", "Quit Acme"}};
    // What the requests did, in order: "publish", "arrived <url>", "send <id>".
    std::vector<std::string> effects;

    // Makes this the host every request reaches; it must outlive them.
    void install()
    {
        kestrune::socket::setTheHostRequestSeams({
            .drawnOnce = [this] { return drawn; },
            .publish =
                [this] {
                    effects.push_back("publish");
                    return publishes;
                },
            .titleOf = [this](const std::string& id) -> std::optional<std::string> {
                auto found = titles.find(id);
                if (found == titles.end())
                    return std::nullopt;
                return found->second;
            },
            .send =
                [this](const std::string& id) {
                    effects.push_back("send " + id);
                    return shellListens;
                },
            .isOneOfOurURLs = [](const std::string& url) { return kestrune::links::schemeOf(url) == "acme"; },
            .arrived = [this](const std::string& url) { effects.push_back("arrived " + url); },
            .runningShell = [this] { return shell; },
        });
    }
};

} // namespace testing_support
