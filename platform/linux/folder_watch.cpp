#include "platform/folder_watch.h"

#include "platform/main_queue.h"

#include <cerrno>
#include <sys/inotify.h>
#include <unistd.h>

namespace platform {

namespace {

// Entries made, written, moved in or out, removed; and the folder itself
// going away, after which the watch has nothing left to see.
constexpr uint32_t FOLDER_CHANGES = IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_DELETE_SELF
                                    | IN_MOVE_SELF | IN_ONLYDIR;

class InotifyFolderWatch final : public FolderWatch {
public:
    InotifyFolderWatch(int fd, FolderChanges handler)
        : fd_(fd)
        , handler_(std::move(handler))
    {
        watch_ = whenReadable(fd_, [this] { changed(); });
    }

    ~InotifyFolderWatch() override
    {
        watch_.reset();
        close(fd_);
    }

private:
    // Reads every event the system queued, then tells the handler once.
    void changed()
    {
        alignas(inotify_event) char buffer[4096];
        std::vector<std::string> names;
        bool any = false;
        for (;;) {
            ssize_t got = read(fd_, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            any = true;
            for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                names.emplace_back(event->len ? event->name : "");
                at += ssize_t(sizeof(inotify_event) + event->len);
            }
        }
        if (any)
            handler_(names);
    }

    int fd_;
    FolderChanges handler_;
    std::unique_ptr<DescriptorWatch> watch_;
};

} // namespace

Result<std::unique_ptr<FolderWatch>> watchFolder(const std::string& folder, FolderChanges handler)
{
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0)
        return failureOf("inotify_init1", errno);
    if (inotify_add_watch(fd, folder.c_str(), FOLDER_CHANGES) < 0) {
        int error = errno;
        close(fd);
        return failureOf("inotify_add_watch", error, folder);
    }
    return std::unique_ptr<FolderWatch>(new InotifyFolderWatch(fd, std::move(handler)));
}

} // namespace platform
