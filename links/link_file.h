// Link files: small files of the application's own extension that hold one
// URL, opened with the application like a document.
#pragma once

#include <optional>
#include <string>

namespace kestrune::links {

// The link a file URL's file holds: the file must carry the application's
// link extension, be a regular file of at most linkFileBytes bytes of UTF-8,
// and hold (white space aside) a URL of one of the application's schemes or
// of a scheme that begins with the relay prefix. Nothing otherwise; never
// blocks on what stands at the path.
std::optional<std::string> linkOf(const std::string& url);

} // namespace kestrune::links
