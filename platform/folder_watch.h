// A watch on the entries of one folder: a file made, written, replaced by a
// rename or removed there (the kqueue vnode "write" event of a folder on
// macOS, inotify here).
#pragma once

#include "platform/result.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

class FolderWatch {
public:
    virtual ~FolderWatch() = default;
};

// Runs `handler` on the main queue after changes in `folder`, once for each
// batch the system reports, with the names of the entries that changed (an
// empty name: the folder itself), until the watch is destroyed. Fails when
// the folder cannot be watched (it does not exist, say).
using FolderChanges = std::function<void(const std::vector<std::string>& names)>;
Result<std::unique_ptr<FolderWatch>> watchFolder(const std::string& folder, FolderChanges handler);

} // namespace platform
