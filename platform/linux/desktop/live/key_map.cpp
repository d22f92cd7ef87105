#include "platform/linux/desktop/live/key_map.h"

#include <map>

namespace platform {

namespace {

// X keysym values (X11/keysymdef.h) of the keys below, named here to spare
// the library Xlib's headers.
enum : xcb_keysym_t {
    KEY_BACKSPACE = 0xff08,
    KEY_TAB = 0xff09,
    KEY_CLEAR = 0xff0b,
    KEY_RETURN = 0xff0d,
    KEY_ESCAPE = 0xff1b,
    KEY_DELETE = 0xffff,
    KEY_HOME = 0xff50,
    KEY_LEFT = 0xff51,
    KEY_UP = 0xff52,
    KEY_RIGHT = 0xff53,
    KEY_DOWN = 0xff54,
    KEY_PAGE_UP = 0xff55,
    KEY_PAGE_DOWN = 0xff56,
    KEY_END = 0xff57,
    KEY_INSERT = 0xff63,
    KEY_HELP = 0xff6a,
    KEY_PAD_ENTER = 0xff8d,
    KEY_PAD_MULTIPLY = 0xffaa,
    KEY_PAD_ADD = 0xffab,
    KEY_PAD_SUBTRACT = 0xffad,
    KEY_PAD_DECIMAL = 0xffae,
    KEY_PAD_DIVIDE = 0xffaf,
    KEY_PAD_0 = 0xffb0,
    KEY_PAD_EQUAL = 0xffbd,
    KEY_F1 = 0xffbe,
    KEY_SECTION = 0x00a7,
    KEY_DEAD_GRAVE = 0xfe50,
    KEY_YEN = 0x00a5,
    KEY_UNDERSCORE = 0x005f,
    KEY_PAD_SEPARATOR = 0xffac,
    KEY_EISU = 0xff2f,        // Eisu_toggle
    KEY_KANA = 0xff2d,        // Kana_Lock
};

// The table, built once: every virtual key code a hot key may name that has
// a twin on a PC keyboard. Modifier keys and media keys have none.
const std::map<uint32_t, std::vector<xcb_keysym_t>>& table()
{
    static const std::map<uint32_t, std::vector<xcb_keysym_t>> keys = [] {
        std::map<uint32_t, std::vector<xcb_keysym_t>> made;
        // Printable keys: their unshifted US character is their keysym.
        const std::pair<uint32_t, char> printable[] = {
            {0, 'a'},   {1, 's'},   {2, 'd'},   {3, 'f'},   {4, 'h'},   {5, 'g'},   {6, 'z'},   {7, 'x'},
            {8, 'c'},   {9, 'v'},   {11, 'b'},  {12, 'q'},  {13, 'w'},  {14, 'e'},  {15, 'r'},  {16, 'y'},
            {17, 't'},  {18, '1'},  {19, '2'},  {20, '3'},  {21, '4'},  {22, '6'},  {23, '5'},  {24, '='},
            {25, '9'},  {26, '7'},  {27, '-'},  {28, '8'},  {29, '0'},  {30, ']'},  {31, 'o'},  {32, 'u'},
            {33, '['},  {34, 'i'},  {35, 'p'},  {37, 'l'},  {38, 'j'},  {39, '\''}, {40, 'k'},  {41, ';'},
            {42, '\\'}, {43, ','},  {44, '/'},  {45, 'n'},  {46, 'm'},  {47, '.'},  {49, ' '},
        };
        for (auto [code, character] : printable)
            made[code] = {xcb_keysym_t(character)};
        // The grave accent's key, and the ISO key left of "1", which carries
        // "§" on some layouts and the grave accent on others.
        made[50] = {'`', KEY_DEAD_GRAVE};
        made[10] = {KEY_SECTION, '`', KEY_DEAD_GRAVE};
        made[36] = {KEY_RETURN};
        made[48] = {KEY_TAB};
        made[51] = {KEY_BACKSPACE};
        made[53] = {KEY_ESCAPE};
        made[117] = {KEY_DELETE};
        made[114] = {KEY_HELP, KEY_INSERT};
        made[115] = {KEY_HOME};
        made[116] = {KEY_PAGE_UP};
        made[119] = {KEY_END};
        made[121] = {KEY_PAGE_DOWN};
        made[123] = {KEY_LEFT};
        made[124] = {KEY_RIGHT};
        made[125] = {KEY_DOWN};
        made[126] = {KEY_UP};
        // The function keys, scattered over the code space.
        const std::pair<uint32_t, int> functionKeys[] = {
            {122, 1},  {120, 2},  {99, 3},   {118, 4},  {96, 5},   {97, 6},   {98, 7},
            {100, 8},  {101, 9},  {109, 10}, {103, 11}, {111, 12}, {105, 13}, {107, 14},
            {113, 15}, {106, 16}, {64, 17},  {79, 18},  {80, 19},  {90, 20},
        };
        for (auto [code, number] : functionKeys)
            made[code] = {xcb_keysym_t(KEY_F1 + number - 1)};
        // The keypad.
        const std::pair<uint32_t, int> keypadDigits[] = {{82, 0}, {83, 1}, {84, 2}, {85, 3}, {86, 4},
                                                          {87, 5}, {88, 6}, {89, 7}, {91, 8}, {92, 9}};
        for (auto [code, digit] : keypadDigits)
            made[code] = {xcb_keysym_t(KEY_PAD_0 + digit)};
        made[65] = {KEY_PAD_DECIMAL};
        made[67] = {KEY_PAD_MULTIPLY};
        made[69] = {KEY_PAD_ADD};
        made[71] = {KEY_CLEAR};
        made[75] = {KEY_PAD_DIVIDE};
        made[76] = {KEY_PAD_ENTER};
        made[78] = {KEY_PAD_SUBTRACT};
        made[81] = {KEY_PAD_EQUAL};
        // The Japanese keyboard's own keys.
        made[93] = {KEY_YEN};
        made[94] = {KEY_UNDERSCORE};
        made[95] = {KEY_PAD_SEPARATOR};
        made[102] = {KEY_EISU};
        made[104] = {KEY_KANA};
        return made;
    }();
    return keys;
}

} // namespace

std::vector<xcb_keysym_t> keysymsOfVirtualKey(uint32_t code)
{
    auto found = table().find(code);
    if (found == table().end())
        return {};
    return found->second;
}

} // namespace platform
