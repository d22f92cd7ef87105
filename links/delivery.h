// Link delivery: URLs handed to the shell as "url" messages, or kept until a
// replacement shell is up, and the link log.
#pragma once

#include <chrono>
#include <deque>
#include <string>

namespace kestrune {

struct WaitingLink {
    std::string url;
    std::string source;
    std::chrono::system_clock::time_point received;
};

// URLs not yet handed to the shell, oldest first.
inline std::deque<WaitingLink> waiting;
inline std::string linkLog;

// Start-up: where the link log goes.
void setTheLinkLog();

// Hands `url` to the shell now, or keeps it while the shell is away or being
// replaced. Drops it when the shell is not piped.
void deliver(const std::string& url, const std::string& source = "url");

// Writes one link to the shell's inbox and logs how that went.
void write(const std::string& url, const std::string& source, std::chrono::system_clock::time_point received, bool ready);

} // namespace kestrune
