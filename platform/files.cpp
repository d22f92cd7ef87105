#include "platform/files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

std::string homeFolder()
{
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir)
        return entry->pw_dir;
    return "/";
}

std::string expandingTilde(const std::string& path)
{
    if (path.rfind("~/", 0) != 0)
        return path;
    std::string home = homeFolder();
    while (!home.empty() && home.back() == '/')
        home.pop_back();
    // A home folder of "/" gives "/x", not "//x".
    return home + path.substr(1);
}

std::string applicationSupportFolder()
{
    return appendingComponent(homeFolder(), "Library/Application Support");
}

std::vector<std::string> entriesOf(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return names;
    while (const dirent* entry = readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        names.emplace_back(name);
    }
    closedir(dir);
    return names;
}

std::string lastComponent(std::string_view path)
{
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    auto slash = path.rfind('/');
    if (slash == std::string_view::npos || path.size() == 1)
        return std::string(path);
    return std::string(path.substr(slash + 1));
}

std::string standardizedPath(const std::string& path)
{
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved)
        return path;
    std::string result = resolved;
    std::free(resolved);
    return result;
}

std::string deletingLastComponent(std::string_view path)
{
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    auto slash = path.rfind('/');
    if (slash == std::string_view::npos)
        return "";
    // "a//b" loses every slash before its last component.
    while (slash > 0 && path[slash - 1] == '/')
        --slash;
    if (slash == 0)
        return "/";
    return std::string(path.substr(0, slash));
}

std::string appendingComponent(std::string_view base, std::string_view component)
{
    std::string joined(base);
    while (!component.empty() && component.front() == '/')
        component.remove_prefix(1);
    if (joined.empty())
        return std::string(component);
    if (joined.back() != '/')
        joined += '/';
    joined += component;
    return joined;
}

bool fileExists(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

bool isExecutableFile(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

bool isFolder(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::optional<std::string> contentsOf(const std::string& path, std::size_t limit)
{
    // Only a regular file is read: what stands at the path is looked at
    // before it is opened (opening a device or a FIFO can have effects of
    // its own), and the open is non-blocking in case it changes between.
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || static_cast<uint64_t>(info.st_size) > limit)
        return std::nullopt;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return std::nullopt;
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 || bytes.size() + static_cast<std::size_t>(got) > limit) {
            close(fd);
            return std::nullopt;
        }
        if (got == 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    return bytes;
}

bool makeFolders(const std::string& folder)
{
    if (folder.empty())
        return false;
    if (isFolder(folder))
        return true;
    std::string parent = deletingLastComponent(folder);
    if (!parent.empty() && parent != folder)
        makeFolders(parent);
    if (mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST)
        return isFolder(folder);
    return false;
}

bool makePrivateFolder(const std::string& folder)
{
    if (folder.empty())
        return false;
    if (isFolder(folder))
        return true;
    std::string parent = deletingLastComponent(folder);
    if (!parent.empty() && parent != folder)
        makeFolders(parent);
    if (mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST)
        return isFolder(folder);
    return false;
}

bool isSocket(const std::string& path)
{
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

bool removeFile(const std::string& path)
{
    return unlink(path.c_str()) == 0 || errno == ENOENT;
}

Result<void> replaceAtomically(const std::string& path, std::string_view bytes)
{
    std::string folder = deletingLastComponent(path);
    std::string temporary = appendingComponent(folder.empty() ? "." : folder, "." + lastComponent(path) + ".XXXXXX");
    int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return failureOf("mkostemp", errno, temporary);
    auto fail = [&](const char* call, int error) {
        if (fd >= 0)
            close(fd);
        unlink(temporary.c_str());
        return failureOf(call, error, path);
    };
    std::string_view rest = bytes;
    while (!rest.empty()) {
        ssize_t wrote = write(fd, rest.data(), rest.size());
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote < 0)
            return fail("write", errno);
        rest.remove_prefix(static_cast<std::size_t>(wrote));
    }
    if (fchmod(fd, 0644) != 0)
        return fail("fchmod", errno);
    if (fsync(fd) != 0)
        return fail("fsync", errno);
    int closed = close(fd);
    fd = -1;
    if (closed != 0)
        return fail("close", errno);
    if (rename(temporary.c_str(), path.c_str()) != 0)
        return fail("rename", errno);
    return {};
}

} // namespace platform
