// The death log and the one writer of every JSON-lines log of the host.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <sys/types.h>

namespace kestrune::supervision {

// Where death logs go: the application's folder (named after `identity`)
// unless the descriptor's "log" says otherwise. Set at start-up.
void setTheDeathLog(const std::string& identity, const std::optional<std::string>& log);

// The death-log file for records about process `pid`: the descriptor's
// "log" file when it ends in ".jsonl"; one file per process id inside the
// "log" folder otherwise; else shell.jsonl in the application's folder.
std::string deathLog(pid_t pid);

// Appends `record` to `file` as one line with sorted keys, creating the
// folder and the file when missing. A record with a "kind" gets "at" (unless
// it has one) and the host's "pid". Whole lines only: any number of threads
// may append to one file at once. Returns whether the line was written.
bool append(nlohmann::json record, const std::string& file);

} // namespace kestrune::supervision
