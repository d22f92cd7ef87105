// URL texts as the host reads and makes them: whether a text is a URL, its
// scheme, a file URL's path, and the URLs the Services entry makes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrune::links {

// The lower-cased scheme of `text` when the text parses as a URL reference
// with a scheme: ASCII only, every character one a URL may hold, every "%"
// followed by two hexadecimal digits, a bracketed host only where a host
// goes, a numeric port, at most one "#". Nothing for a text that does not
// parse or has no scheme.
std::optional<std::string> schemeOf(std::string_view text);

// What the host reads of a URL reference besides its scheme: the host of its
// authority (without user, port or brackets, percent-decoded; nothing when
// there is no authority or its host is empty) and its path, percent-decoded.
struct URLParts {
    std::optional<std::string> host;
    std::string path;
};
// Nothing when the text does not parse as schemeOf reads it.
std::optional<URLParts> partsOf(std::string_view text);

// The last component of a path, as a file system names it: the last one that
// is not empty ("b" for "/a/b/"), "/" for a path of slashes alone, "" for an
// empty path.
std::string lastPathComponentOf(std::string_view path);

// The path of a file URL ("file:" with an empty or "localhost" authority, or
// none), percent-decoded; nothing for any other URL or a path holding a NUL.
std::optional<std::string> filePathOf(std::string_view url);

// A file path as a file URL, percent-encoding what a path may not hold.
std::string fileURLOf(std::string_view path);

// "scheme://host?path=..." for a file handed over by the Services menu: the
// host and the query value percent-encoded, "/" kept in the value. Nothing
// when the host is empty.
std::optional<std::string> serviceURLOf(std::string_view scheme, std::string_view host, std::string_view path);

// Space, tab, line feed, carriage return, vertical tab, form feed and the
// Unicode white space and line breaks removed from both ends.
std::string_view trimmed(std::string_view text);

} // namespace kestrune::links
