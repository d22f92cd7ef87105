#include "platform/linux/desktop_entry.h"

namespace platform {

namespace {

// Characters that make an Exec argument need quotes.
constexpr std::string_view EXEC_RESERVED = " \t\n\"'\\><~|&;$*?#()`";
// Characters that need a backslash inside a quoted Exec argument.
constexpr std::string_view EXEC_QUOTED_ESCAPES = "\"`$\\";

// The white space that readers trim around keys and values.
bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

// `text` without white space at either end.
std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// One argument as the Exec quoting rules want it, % not yet doubled.
std::string quotedArgument(const std::string& argument)
{
    if (!argument.empty() && argument.find_first_of(EXEC_RESERVED) == std::string::npos)
        return argument;
    std::string quoted = "\"";
    for (char c : argument) {
        if (EXEC_QUOTED_ESCAPES.find(c) != std::string_view::npos)
            quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

} // namespace

std::string desktopEntryValue(std::string_view text)
{
    std::string value;
    value.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        switch (c) {
        case '\\': value += "\\\\"; break;
        case '\n': value += "\\n"; break;
        case '\t': value += "\\t"; break;
        case '\r': value += "\\r"; break;
        case ' ':
            value += (i == 0 || i + 1 == text.size()) ? "\\s" : " ";
            break;
        default: value += c;
        }
    }
    return value;
}

std::string unescapedDesktopEntryValue(std::string_view value)
{
    std::string text;
    text.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            text += value[i];
            continue;
        }
        char next = value[i + 1];
        switch (next) {
        case '\\': text += '\\'; break;
        case 'n': text += '\n'; break;
        case 't': text += '\t'; break;
        case 'r': text += '\r'; break;
        case 's': text += ' '; break;
        default:
            text += '\\';
            text += next;
        }
        ++i;
    }
    return text;
}

std::string execCommandOf(const std::vector<std::string>& arguments)
{
    std::string command;
    for (const auto& argument : arguments) {
        if (!command.empty())
            command += ' ';
        for (char c : quotedArgument(argument)) {
            if (c == '%')
                command += '%';
            command += c;
        }
    }
    return command;
}

DesktopEntryKeys desktopEntryKeysOf(std::string_view text)
{
    DesktopEntryKeys keys;
    bool inTheMainGroup = false;
    while (!text.empty()) {
        auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        std::string_view content = trimmed(line);
        if (content.empty() || content.front() == '#')
            continue;
        if (content.front() == '[') {
            inTheMainGroup = content == "[Desktop Entry]";
            continue;
        }
        auto equals = line.find('=');
        if (!inTheMainGroup || equals == std::string_view::npos)
            continue;
        std::string_view key = trimmed(line.substr(0, equals));
        if (key.empty() || key.find('[') != std::string_view::npos)
            continue;
        std::string_view value = line.substr(equals + 1);
        while (!value.empty() && isBlank(value.front()))
            value.remove_prefix(1);
        keys[std::string(key)] = unescapedDesktopEntryValue(value);
    }
    return keys;
}

bool desktopEntryBooleanIs(const std::string& value, bool wanted)
{
    std::string_view word = trimmed(value);
    return wanted ? (word == "true" || word == "1") : (word == "false" || word == "0");
}

} // namespace platform
