#include "HostApp/Input/KeysymMapping.h"

#include <array>

namespace qm {

namespace {

bool isUnicodeScalar(std::uint32_t value) {
    return value < 0x110000 && !(value >= 0xD800 && value <= 0xDFFF);
}

std::string utf8(char32_t scalar) {
    std::string out;
    if (scalar < 0x80) {
        out += static_cast<char>(scalar);
    } else if (scalar < 0x800) {
        out += static_cast<char>(0xC0 | (scalar >> 6));
        out += static_cast<char>(0x80 | (scalar & 0x3F));
    } else if (scalar < 0x10000) {
        out += static_cast<char>(0xE0 | (scalar >> 12));
        out += static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (scalar & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (scalar >> 18));
        out += static_cast<char>(0x80 | ((scalar >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (scalar & 0x3F));
    }
    return out;
}

struct AnsiKey {
    std::uint16_t code;
    char plain;
    char shifted;  // 0: none
};

// The US ANSI keyboard: key code, the character without Shift and with it.
constexpr std::array<AnsiKey, 48> ansiKeys{{
    {0, 'a', 'A'},   {1, 's', 'S'},  {2, 'd', 'D'},   {3, 'f', 'F'},  {4, 'h', 'H'},   {5, 'g', 'G'},
    {6, 'z', 'Z'},   {7, 'x', 'X'},  {8, 'c', 'C'},   {9, 'v', 'V'},  {11, 'b', 'B'},  {12, 'q', 'Q'},
    {13, 'w', 'W'},  {14, 'e', 'E'}, {15, 'r', 'R'},  {16, 'y', 'Y'}, {17, 't', 'T'},  {18, '1', '!'},
    {19, '2', '@'},  {20, '3', '#'}, {21, '4', '$'},  {22, '6', '^'}, {23, '5', '%'},  {24, '=', '+'},
    {25, '9', '('},  {26, '7', '&'}, {27, '-', '_'},  {28, '8', '*'}, {29, '0', ')'},  {30, ']', '}'},
    {31, 'o', 'O'},  {32, 'u', 'U'}, {33, '[', '{'},  {34, 'i', 'I'}, {35, 'p', 'P'},  {37, 'l', 'L'},
    {38, 'j', 'J'},  {39, '\'', '"'}, {40, 'k', 'K'}, {41, ';', ':'}, {42, '\\', '|'}, {43, ',', '<'},
    {44, '/', '?'},  {45, 'n', 'N'}, {46, 'm', 'M'},  {47, '.', '>'}, {49, ' ', 0},    {50, '`', '~'},
}};

}  // namespace

std::optional<KeyMapping> modifierKey(std::uint32_t forKeysym) {
    switch (forKeysym) {
    case 0xFFE1: case 0xFFE2: return KeyMapping{56, EventFlag::shift};
    case 0xFFE3: case 0xFFE4: return KeyMapping{59, EventFlag::control};
    case 0xFFE7: case 0xFFE8: return KeyMapping{55, EventFlag::command};
    case 0xFFE9: case 0xFFEA: return KeyMapping{58, EventFlag::option};
    default: return std::nullopt;  // Caps Lock and Shift Lock go on down the chain
    }
}

std::optional<std::string> exactPrintableASCIIPunctuation(std::uint32_t forKeysym) {
    if (forKeysym < 0x21 || forKeysym > 0x7E) return std::nullopt;
    const char c = static_cast<char>(forKeysym);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return std::nullopt;
    return std::string(1, c);
}

std::optional<KeyMapping> keyCode(std::uint32_t forKeysym) {
    switch (forKeysym) {
    case 0xFF08: return KeyMapping{51, 0};
    case 0xFF09: return KeyMapping{48, 0};
    case 0xFF0D: return KeyMapping{36, 0};
    case 0xFF1B: return KeyMapping{53, 0};
    case 0xFF50: case 0xF729: return KeyMapping{115, 0};
    case 0xFF51: return KeyMapping{123, 0};
    case 0xFF52: return KeyMapping{126, 0};
    case 0xFF53: return KeyMapping{124, 0};
    case 0xFF54: return KeyMapping{125, 0};
    case 0xFF55: case 0xF72C: return KeyMapping{116, 0};
    case 0xFF56: case 0xF72D: return KeyMapping{121, 0};
    case 0xFF57: case 0xF72B: return KeyMapping{119, 0};
    case 0xFFFF: return KeyMapping{117, 0};
    default: break;
    }
    if (forKeysym >= 0xFFBE && forKeysym <= 0xFFC9) {
        constexpr std::uint16_t functionKeys[12] = {122, 120, 99, 118, 96, 97, 98, 100, 101, 109, 103, 111};
        return KeyMapping{functionKeys[forKeysym - 0xFFBE], 0};
    }
    if (!isUnicodeScalar(forKeysym)) return std::nullopt;
    return asciiKeyCode(static_cast<char32_t>(forKeysym));
}

std::optional<KeyMapping> asciiKeyCode(char32_t forCharacter) {
    if (forCharacter < 0x20 || forCharacter > 0x7E) return std::nullopt;
    const char c = static_cast<char>(forCharacter);
    for (const AnsiKey& key : ansiKeys) {
        if (key.plain == c) return KeyMapping{key.code, 0};
        if (key.shifted != 0 && key.shifted == c) return KeyMapping{key.code, EventFlag::shift};
    }
    return std::nullopt;
}

std::optional<std::string> unicodeText(std::uint32_t forKeysym) {
    std::uint32_t scalar;
    if ((forKeysym & 0xFF000000) == 0x01000000) {
        scalar = forKeysym & 0x00FFFFFF;
    } else if (forKeysym >= 0xA0 && forKeysym <= 0xFF) {
        scalar = forKeysym;  // Latin-1 keysyms are their own code points
    } else if (forKeysym < 0x100) {
        return std::nullopt;
    } else if (forKeysym >= 0xFD00 && forKeysym <= 0xFFFF) {
        return std::nullopt;  // function, keypad and modifier keys type nothing
    } else {
        scalar = forKeysym;
    }
    // DEL and the C1 controls are no more text than the C0 ones.
    if (scalar < 0x20 || (scalar >= 0x7F && scalar <= 0x9F) || !isUnicodeScalar(scalar)) return std::nullopt;
    return utf8(static_cast<char32_t>(scalar));
}

}  // namespace qm
