// UTF-8 text by Unicode's rules, without the process's locale: code points,
// user-perceived characters and case mapping. The C library's case tables
// are loaded only when text is not ASCII.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The code point of well-formed UTF-8 at `at`, moving past it; -1 for a
// byte that starts none (overlong forms, surrogates and points beyond
// Unicode included), moving one byte on.
long nextCodePoint(std::string_view text, std::size_t& at);

// Whether all of `text` is well-formed UTF-8.
bool isUTF8(std::string_view text);

// The text with every byte that starts no well-formed code point replaced by
// U+FFFD.
std::string repairedUTF8(std::string_view text);

// The user-perceived characters of UTF-8 text (Unicode's extended grapheme
// clusters), in order: "K\u0301" is one character, and so is a flag. A byte
// that starts no well-formed code point is a character by itself.
std::vector<std::string_view> graphemesOf(std::string_view text);

// Upper case, with Unicode's one-to-many mappings (ß becomes SS).
std::string upperCased(const std::string& text);

// Lower case.
std::string lowerCased(const std::string& text);

} // namespace platform
