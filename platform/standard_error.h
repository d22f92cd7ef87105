#pragma once

#include <string>

namespace platform {

// Writes `line` and a line feed to standard error in one write, so that
// lines from several threads or processes never mix.
void sayOnStandardError(const std::string& line);

} // namespace platform
