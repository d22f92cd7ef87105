// Case mapping of UTF-8 text by Unicode's rules, without the process's
// locale: the C library's tables are loaded only when text is not ASCII.
#pragma once

#include <string>

namespace platform {

// Upper case, with Unicode's one-to-many mappings (ß becomes SS).
std::string upperCased(const std::string& text);

// Lower case.
std::string lowerCased(const std::string& text);

} // namespace platform
