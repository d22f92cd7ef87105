// Link delivery: URLs handed to the shell as "url" messages, or kept until a
// replacement shell is up, and the link log.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <string>

namespace kestrune::links {

struct WaitingLink {
    std::string url;
    std::string source;
    std::chrono::system_clock::time_point received;
};

// Start-up: where the link log goes (the descriptor's "links", else
// links.jsonl in the application's folder named after `identity`), and the
// links kept across a swap of the shell.
void setTheLinkLog(const std::string& identity, const std::optional<std::string>& links);
const std::string& linkLog();

// URLs not yet handed to the shell, oldest first.
const std::deque<WaitingLink>& waiting();

// Hands `url` to the shell now, or keeps it while the shell is away or being
// replaced. Drops it when the shell is not piped.
void deliver(const std::string& url, const std::string& source = "url");

// Writes one link to the shell's inbox and logs how that went.
void write(const std::string& url, const std::string& source, std::chrono::system_clock::time_point received, bool ready);

// Lets the shell's process take activation from the host, when the system
// knows it as a running application: done just before a pick or a hot key
// is handed to it, so that a window it opens can come to the front.
void yieldToTheChild();

} // namespace kestrune::links
