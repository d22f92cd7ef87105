// The host's root: the process that started it (or adopted it). When the
// root ends, the host stops the shell and leaves, or, when its hosting
// parent asked for it, waits a while for a successor to adopt it (see the
// supervisor's watchTheParent).
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

namespace kestrune::supervision {

// Start-up step 37: the root-wait file's place, awaiting-root.json in the
// application's folder named after `identity`.
std::string rootWaitFileOf(const std::string& identity);

// Start-up step 38: watch `bornUnder`, the parent the host was started by,
// unless launchd started the host, and handle a parent that already went
// away during start-up.
void watchTheParent(pid_t bornUnder);

// An adopter's answer in awaiting-root.json: the new root, when the file is
// an object whose "pid" is `me` and whose "root" is an integer of at least 2.
std::optional<pid_t> adopterIn(const std::string& text, pid_t me);

} // namespace kestrune::supervision
