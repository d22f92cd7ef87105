#include "platform/text.h"

#include <algorithm>
#include <cwctype>
#include <iterator>
#include <locale.h>
#include <utf8proc.h>

namespace platform {

namespace {
void appendUtf8(std::string& text, long point)
{
    if (point < 0x80) {
        text += static_cast<char>(point);
    } else if (point < 0x800) {
        text += static_cast<char>(0xC0 | (point >> 6));
        text += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        text += static_cast<char>(0xE0 | (point >> 12));
        text += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (point >> 18));
        text += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (point & 0x3F));
    }
}

// The upper-case mappings of Unicode that give more than one character
// (SpecialCasing, unconditional), sorted by code point; every other
// character maps one to one through the C library's tables.
struct Expansion {
    long point;
    const char32_t* upper;
};
constexpr Expansion expandingUpperCase[] = {
    {0x00DF, U"SS"}, {0x0149, U"\u02BCN"}, {0x01F0, U"J\u030C"}, {0x0390, U"\u0399\u0308\u0301"},
    {0x03B0, U"\u03A5\u0308\u0301"}, {0x0587, U"\u0535\u0552"}, {0x1E96, U"H\u0331"}, {0x1E97, U"T\u0308"},
    {0x1E98, U"W\u030A"}, {0x1E99, U"Y\u030A"}, {0x1E9A, U"A\u02BE"}, {0x1F50, U"\u03A5\u0313"},
    {0x1F52, U"\u03A5\u0313\u0300"}, {0x1F54, U"\u03A5\u0313\u0301"}, {0x1F56, U"\u03A5\u0313\u0342"}, {0x1F80, U"\u1F08\u0399"},
    {0x1F81, U"\u1F09\u0399"}, {0x1F82, U"\u1F0A\u0399"}, {0x1F83, U"\u1F0B\u0399"}, {0x1F84, U"\u1F0C\u0399"},
    {0x1F85, U"\u1F0D\u0399"}, {0x1F86, U"\u1F0E\u0399"}, {0x1F87, U"\u1F0F\u0399"}, {0x1F88, U"\u1F08\u0399"},
    {0x1F89, U"\u1F09\u0399"}, {0x1F8A, U"\u1F0A\u0399"}, {0x1F8B, U"\u1F0B\u0399"}, {0x1F8C, U"\u1F0C\u0399"},
    {0x1F8D, U"\u1F0D\u0399"}, {0x1F8E, U"\u1F0E\u0399"}, {0x1F8F, U"\u1F0F\u0399"}, {0x1F90, U"\u1F28\u0399"},
    {0x1F91, U"\u1F29\u0399"}, {0x1F92, U"\u1F2A\u0399"}, {0x1F93, U"\u1F2B\u0399"}, {0x1F94, U"\u1F2C\u0399"},
    {0x1F95, U"\u1F2D\u0399"}, {0x1F96, U"\u1F2E\u0399"}, {0x1F97, U"\u1F2F\u0399"}, {0x1F98, U"\u1F28\u0399"},
    {0x1F99, U"\u1F29\u0399"}, {0x1F9A, U"\u1F2A\u0399"}, {0x1F9B, U"\u1F2B\u0399"}, {0x1F9C, U"\u1F2C\u0399"},
    {0x1F9D, U"\u1F2D\u0399"}, {0x1F9E, U"\u1F2E\u0399"}, {0x1F9F, U"\u1F2F\u0399"}, {0x1FA0, U"\u1F68\u0399"},
    {0x1FA1, U"\u1F69\u0399"}, {0x1FA2, U"\u1F6A\u0399"}, {0x1FA3, U"\u1F6B\u0399"}, {0x1FA4, U"\u1F6C\u0399"},
    {0x1FA5, U"\u1F6D\u0399"}, {0x1FA6, U"\u1F6E\u0399"}, {0x1FA7, U"\u1F6F\u0399"}, {0x1FA8, U"\u1F68\u0399"},
    {0x1FA9, U"\u1F69\u0399"}, {0x1FAA, U"\u1F6A\u0399"}, {0x1FAB, U"\u1F6B\u0399"}, {0x1FAC, U"\u1F6C\u0399"},
    {0x1FAD, U"\u1F6D\u0399"}, {0x1FAE, U"\u1F6E\u0399"}, {0x1FAF, U"\u1F6F\u0399"}, {0x1FB2, U"\u1FBA\u0399"},
    {0x1FB3, U"\u0391\u0399"}, {0x1FB4, U"\u0386\u0399"}, {0x1FB6, U"\u0391\u0342"}, {0x1FB7, U"\u0391\u0342\u0399"},
    {0x1FBC, U"\u0391\u0399"}, {0x1FC2, U"\u1FCA\u0399"}, {0x1FC3, U"\u0397\u0399"}, {0x1FC4, U"\u0389\u0399"},
    {0x1FC6, U"\u0397\u0342"}, {0x1FC7, U"\u0397\u0342\u0399"}, {0x1FCC, U"\u0397\u0399"}, {0x1FD2, U"\u0399\u0308\u0300"},
    {0x1FD3, U"\u0399\u0308\u0301"}, {0x1FD6, U"\u0399\u0342"}, {0x1FD7, U"\u0399\u0308\u0342"}, {0x1FE2, U"\u03A5\u0308\u0300"},
    {0x1FE3, U"\u03A5\u0308\u0301"}, {0x1FE4, U"\u03A1\u0313"}, {0x1FE6, U"\u03A5\u0342"}, {0x1FE7, U"\u03A5\u0308\u0342"},
    {0x1FF2, U"\u1FFA\u0399"}, {0x1FF3, U"\u03A9\u0399"}, {0x1FF4, U"\u038F\u0399"}, {0x1FF6, U"\u03A9\u0342"},
    {0x1FF7, U"\u03A9\u0342\u0399"}, {0x1FFC, U"\u03A9\u0399"}, {0xFB00, U"FF"}, {0xFB01, U"FI"},
    {0xFB02, U"FL"}, {0xFB03, U"FFI"}, {0xFB04, U"FFL"}, {0xFB05, U"ST"},
    {0xFB06, U"ST"}, {0xFB13, U"\u0544\u0546"}, {0xFB14, U"\u0544\u0535"}, {0xFB15, U"\u0544\u053B"},
    {0xFB16, U"\u054E\u0546"}, {0xFB17, U"\u0544\u053D"},
};

// The C library's UTF-8 character tables, loaded on first need: loading
// them costs time and memory that ASCII names never need.
locale_t utf8Locale()
{
    static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    return utf8;
}

} // namespace

long nextCodePoint(std::string_view text, std::size_t& at)
{
    auto byte = static_cast<unsigned char>(text[at]);
    int length = byte < 0x80 ? 1 : (byte >> 5) == 0x6 ? 2 : (byte >> 4) == 0xE ? 3 : (byte >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || at + static_cast<std::size_t>(length) > text.size()) {
        ++at;
        return -1;
    }
    long point = length == 1 ? byte : byte & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        auto next = static_cast<unsigned char>(text[at + static_cast<std::size_t>(i)]);
        if ((next & 0xC0) != 0x80) {
            ++at;
            return -1;
        }
        point = (point << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and points beyond Unicode are not UTF-8:
    // their bytes are kept as they are rather than decoded.
    const long smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < smallest[length] || (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF) {
        ++at;
        return -1;
    }
    at += static_cast<std::size_t>(length);
    return point;
}

bool isUTF8(std::string_view text)
{
    for (std::size_t at = 0; at < text.size();) {
        if (nextCodePoint(text, at) < 0)
            return false;
    }
    return true;
}

std::string repairedUTF8(std::string_view text)
{
    std::string repaired;
    repaired.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        std::size_t start = at;
        if (nextCodePoint(text, at) < 0)
            repaired += "\xEF\xBF\xBD";
        else
            repaired.append(text.substr(start, at - start));
    }
    return repaired;
}

// Splits UTF-8 text where Unicode's extended grapheme cluster rules allow a
// break, carrying the rules' state (emoji sequences, regional indicator
// pairs) from one code point to the next.
std::vector<std::string_view> graphemesOf(std::string_view text)
{
    std::vector<std::string_view> characters;
    std::size_t start = 0;
    std::size_t at = 0;
    long previous = -1;
    utf8proc_int32_t state = 0;
    while (at < text.size()) {
        std::size_t here = at;
        long point = nextCodePoint(text, at);
        // A byte that is not UTF-8 is a character of its own, breaking on
        // both sides.
        bool breaks = previous < 0 || point < 0
                      || utf8proc_grapheme_break_stateful(static_cast<utf8proc_int32_t>(previous),
                                                          static_cast<utf8proc_int32_t>(point), &state);
        if (point < 0)
            state = 0;
        if (breaks && here > start) {
            characters.push_back(text.substr(start, here - start));
            start = here;
        }
        previous = point;
    }
    if (at > start)
        characters.push_back(text.substr(start, at - start));
    return characters;
}

// Upper-cases UTF-8 text by Unicode's full case mappings, locale-free. Bytes
// that are not UTF-8 stay as they are.
std::string upperCased(const std::string& text)
{
    std::string result;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t start = at;
        long point = nextCodePoint(text, at);
        if (point < 0) {
            result += text[start];
            continue;
        }
        auto expansion = std::lower_bound(std::begin(expandingUpperCase), std::end(expandingUpperCase), point,
                                          [](const Expansion& entry, long wanted) { return entry.point < wanted; });
        if (expansion != std::end(expandingUpperCase) && expansion->point == point) {
            for (const char32_t* upper = expansion->upper; *upper; ++upper)
                appendUtf8(result, static_cast<long>(*upper));
            continue;
        }
        long upper = point;
        if (point < 0x80)
            upper = (point >= 'a' && point <= 'z') ? point - 'a' + 'A' : point;
        else if (locale_t utf8 = utf8Locale())
            upper = static_cast<long>(towupper_l(static_cast<wint_t>(point), utf8));
        appendUtf8(result, upper);
    }
    return result;
}
// Lower-cases UTF-8 text by Unicode's mappings, locale-free; İ becomes i and
// a combining dot, as Unicode's full mapping says. Bytes that are not UTF-8
// stay as they are.
std::string lowerCased(const std::string& text)
{
    std::string result;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t start = at;
        long point = nextCodePoint(text, at);
        if (point < 0) {
            result += text[start];
            continue;
        }
        if (point == 0x130) {
            appendUtf8(result, 'i');
            appendUtf8(result, 0x307);
            continue;
        }
        long lower = point;
        if (point < 0x80)
            lower = (point >= 'A' && point <= 'Z') ? point - 'A' + 'a' : point;
        else if (locale_t utf8 = utf8Locale())
            lower = static_cast<long>(towlower_l(static_cast<wint_t>(point), utf8));
        appendUtf8(result, lower);
    }
    return result;
}

} // namespace platform
