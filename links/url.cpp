#include "links/url.h"

#include "platform/text.h"

#include <cstdint>

namespace kestrune::links {

namespace {

bool isAlpha(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isDigit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

bool isHex(unsigned char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexValue(unsigned char c)
{
    if (isDigit(c))
        return c - '0';
    return (c | 0x20) - 'a' + 10;
}

bool isUnreserved(unsigned char c)
{
    return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

bool isSubDelimiter(unsigned char c)
{
    switch (c) {
    case '!': case '$': case '&': case '\'': case '(': case ')':
    case '*': case '+': case ',': case ';': case '=':
        return true;
    default:
        return false;
    }
}

// A character of a path, query or fragment (RFC 3986 pchar with "/" and
// "?"), not counting percent escapes.
bool isPlain(unsigned char c)
{
    return isUnreserved(c) || isSubDelimiter(c) || c == ':' || c == '@' || c == '/' || c == '?';
}

// Every character is plain or the start of a well-formed percent escape;
// `extra` characters are allowed too.
bool holdsOnly(std::string_view part, std::string_view extra = {})
{
    for (std::size_t i = 0; i < part.size(); ++i) {
        auto c = static_cast<unsigned char>(part[i]);
        if (c == '%') {
            if (i + 2 >= part.size() || !isHex(static_cast<unsigned char>(part[i + 1])) || !isHex(static_cast<unsigned char>(part[i + 2])))
                return false;
            i += 2;
            continue;
        }
        if (!isPlain(c) && extra.find(static_cast<char>(c)) == std::string_view::npos)
            return false;
    }
    return true;
}

// The authority: userinfo@host:port, the host a name or a bracketed
// address, the port digits only.
bool isAuthority(std::string_view authority)
{
    if (auto at = authority.rfind('@'); at != std::string_view::npos) {
        auto user = authority.substr(0, at);
        if (user.find('@') != std::string_view::npos || !holdsOnly(user) || user.find_first_of("/?") != std::string_view::npos)
            return false;
        authority.remove_prefix(at + 1);
    }
    std::string_view port;
    if (!authority.empty() && authority.front() == '[') {
        auto close = authority.find(']');
        if (close == std::string_view::npos)
            return false;
        for (char c : authority.substr(1, close - 1)) {
            auto u = static_cast<unsigned char>(c);
            if (!isHex(u) && c != ':' && c != '.' && !isUnreserved(u) && !isSubDelimiter(u))
                return false;
        }
        auto rest = authority.substr(close + 1);
        if (!rest.empty() && rest.front() != ':')
            return false;
        port = rest.empty() ? rest : rest.substr(1);
    } else {
        auto colon = authority.rfind(':');
        auto host = authority.substr(0, colon);
        if (colon != std::string_view::npos)
            port = authority.substr(colon + 1);
        if (host.find(':') != std::string_view::npos || !holdsOnly(host) || host.find_first_of("/?@") != std::string_view::npos)
            return false;
    }
    for (char c : port) {
        if (!isDigit(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

// The pieces of a URL reference, views into its text.
struct Pieces {
    std::string_view scheme;
    std::optional<std::string_view> authority;
    std::string_view path;
};

// Whether the text is a URL reference as RFC 3986 writes one.
bool isURLReference(std::string_view text, Pieces& pieces)
{
    pieces = {};
    std::string_view& scheme = pieces.scheme;
    auto fragmentAt = text.find('#');
    if (fragmentAt != std::string_view::npos) {
        if (!holdsOnly(text.substr(fragmentAt + 1)))
            return false;
        text = text.substr(0, fragmentAt);
    }
    auto firstSeparator = text.find_first_of("/?");
    auto colon = text.find(':');
    if (colon != std::string_view::npos && (firstSeparator == std::string_view::npos || colon < firstSeparator)) {
        auto candidate = text.substr(0, colon);
        if (candidate.empty() || !isAlpha(static_cast<unsigned char>(candidate.front())))
            return false;
        for (char c : candidate) {
            auto u = static_cast<unsigned char>(c);
            if (!isAlpha(u) && !isDigit(u) && c != '+' && c != '-' && c != '.')
                return false;
        }
        scheme = candidate;
        text.remove_prefix(colon + 1);
    }
    if (text.substr(0, 2) == "//") {
        text.remove_prefix(2);
        auto end = text.find_first_of("/?");
        if (!isAuthority(text.substr(0, end)))
            return false;
        pieces.authority = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end);
    }
    pieces.path = text.substr(0, text.find('?'));
    return holdsOnly(text);
}

// Percent escapes decoded; the text is known to hold only well-formed ones.
std::string decoded(std::string_view text)
{
    std::string plain;
    plain.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            plain += static_cast<char>(hexValue(static_cast<unsigned char>(text[i + 1])) * 16 + hexValue(static_cast<unsigned char>(text[i + 2])));
            i += 2;
        } else {
            plain += text[i];
        }
    }
    return plain;
}

void appendEscaped(std::string& into, unsigned char c)
{
    static const char digits[] = "0123456789ABCDEF";
    into += '%';
    into += digits[c >> 4];
    into += digits[c & 15];
}

bool isWhiteSpaceOrLineBreak(long c)
{
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A)
           || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

} // namespace

std::optional<std::string> schemeOf(std::string_view text)
{
    Pieces pieces;
    if (!isURLReference(text, pieces) || pieces.scheme.empty())
        return std::nullopt;
    std::string_view scheme = pieces.scheme;
    std::string lower(scheme);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

std::optional<std::string> filePathOf(std::string_view url)
{
    auto scheme = schemeOf(url);
    if (!scheme || *scheme != "file")
        return std::nullopt;
    auto rest = url.substr(5);
    auto end = rest.find_first_of("?#");
    rest = rest.substr(0, end);
    if (rest.substr(0, 2) == "//") {
        rest.remove_prefix(2);
        auto slash = rest.find('/');
        auto authority = rest.substr(0, slash);
        if (!authority.empty() && authority != "localhost")
            return std::nullopt;
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    }
    if (rest.empty() || rest.front() != '/')
        return std::nullopt;
    std::string path;
    path.reserve(rest.size());
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '%') {
            char decoded = static_cast<char>(hexValue(static_cast<unsigned char>(rest[i + 1])) * 16 + hexValue(static_cast<unsigned char>(rest[i + 2])));
            if (decoded == '\0')
                return std::nullopt;
            path += decoded;
            i += 2;
        } else {
            path += rest[i];
        }
    }
    return path;
}

std::optional<URLParts> partsOf(std::string_view text)
{
    Pieces pieces;
    if (!isURLReference(text, pieces))
        return std::nullopt;
    URLParts parts;
    if (pieces.authority) {
        auto host = *pieces.authority;
        if (auto at = host.rfind('@'); at != std::string_view::npos)
            host.remove_prefix(at + 1);
        if (!host.empty() && host.front() == '[')
            host = host.substr(1, host.find(']') - 1);
        else
            host = host.substr(0, host.rfind(':'));
        if (!host.empty())
            parts.host = decoded(host);
    }
    parts.path = decoded(pieces.path);
    return parts;
}

std::string lastPathComponentOf(std::string_view path)
{
    if (path.empty())
        return {};
    auto end = path.find_last_not_of('/');
    if (end == std::string_view::npos)
        return "/";
    auto start = path.rfind('/', end);
    start = start == std::string_view::npos ? 0 : start + 1;
    return std::string(path.substr(start, end + 1 - start));
}

std::string fileURLOf(std::string_view path)
{
    std::string url = "file://";
    for (char c : path) {
        auto u = static_cast<unsigned char>(c);
        if (isUnreserved(u) || c == '/' || c == ':' || c == '@' || c == '!' || c == '$' || c == '\'' || c == '(' || c == ')'
            || c == '*' || c == '+' || c == ',' || c == ';' || c == '=' || c == '&')
            url += c;
        else
            appendEscaped(url, u);
    }
    return url;
}

std::optional<std::string> serviceURLOf(std::string_view scheme, std::string_view host, std::string_view path)
{
    if (scheme.empty() || host.empty())
        return std::nullopt;
    std::string url(scheme);
    url += "://";
    for (char c : host) {
        auto u = static_cast<unsigned char>(c);
        if (isUnreserved(u) || isSubDelimiter(u))
            url += c;
        else
            appendEscaped(url, u);
    }
    // The value keeps "/" so that it still reads as a path; everything that
    // could end it or change its meaning ("&", "=", "+", "#") is escaped.
    url += "?path=";
    for (char c : path) {
        auto u = static_cast<unsigned char>(c);
        if (isUnreserved(u) || c == '/')
            url += c;
        else
            appendEscaped(url, u);
    }
    return url;
}

std::string_view trimmed(std::string_view text)
{
    // From the front: decode forwards.
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t next = start;
        long c = platform::nextCodePoint(text, next);
        if (c < 0 || !isWhiteSpaceOrLineBreak(c))
            break;
        start = next;
    }
    // From the back: step to each code point's first byte, then decode it.
    std::size_t end = text.size();
    while (end > start) {
        std::size_t first = end - 1;
        while (first > start && (static_cast<unsigned char>(text[first]) & 0xC0) == 0x80 && end - first < 4)
            --first;
        std::size_t at = first;
        long c = platform::nextCodePoint(text, at);
        if (c < 0 || at != end || !isWhiteSpaceOrLineBreak(c))
            break;
        end = first;
    }
    return text.substr(start, end - start);
}

} // namespace kestrune::links
