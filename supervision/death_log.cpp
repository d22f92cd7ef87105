#include "supervision/death_log.h"

#include "platform/clock.h"
#include "platform/files.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace kestrune::supervision {

namespace {
std::string applicationFolder;
std::optional<std::string> logSetting;
}

void setTheDeathLog(const std::string& identity, const std::optional<std::string>& log)
{
    applicationFolder = platform::appendingComponent(platform::applicationSupportFolder(), identity);
    logSetting = log;
}

std::string deathLog(pid_t pid)
{
    if (!logSetting)
        return platform::appendingComponent(applicationFolder, "shell.jsonl");
    const std::string& value = *logSetting;
    if (value.size() >= 6 && value.compare(value.size() - 6, 6, ".jsonl") == 0)
        return value;
    const std::string ending = "-" + std::to_string(pid) + ".jsonl";
    for (const auto& name : platform::entriesOf(value)) {
        if (name.rfind("shell-", 0) == 0 && name.size() >= ending.size() + 6
            && name.compare(name.size() - ending.size(), ending.size(), ending) == 0)
            return platform::appendingComponent(value, name);
    }
    std::string stamp = platform::clock.now();
    for (char& c : stamp) {
        if (c == ':')
            c = '-';
    }
    return platform::appendingComponent(value, "shell-" + stamp + ending);
}

bool append(nlohmann::json record, const std::string& file)
{
    if (!record.is_object())
        return false;
    if (record.contains("kind")) {
        if (!record.contains("at"))
            record["at"] = platform::clock.now();
        record["pid"] = getpid();
    }
    std::string folder = platform::deletingLastComponent(file);
    if (!folder.empty() && !platform::makeFolders(folder))
        return false;
    std::string line;
    try {
        // Text that is not UTF-8 (a URL from outside, say) is written with
        // replacement characters: the record is kept and the line stays JSON.
        line = record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    } catch (const nlohmann::json::exception&) {
        return false;
    }
    // O_APPEND moves to the end and writes in one step, and the line goes
    // out in one write: two writers can never interleave or overwrite.
    int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    ssize_t wrote;
    do {
        wrote = write(fd, line.data(), line.size());
    } while (wrote < 0 && errno == EINTR);
    close(fd);
    return wrote == static_cast<ssize_t>(line.size());
}

} // namespace kestrune::supervision
