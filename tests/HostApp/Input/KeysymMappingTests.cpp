#include <gtest/gtest.h>

#include "HostApp/Input/KeysymMapping.h"

namespace qm {
namespace KeysymMappingTests {
namespace {

TEST(KeysymMapping, ModifiersMapRightHandKeysToLeftHandCodesAndLocksAreNotModifiers) {
    const struct {
        std::uint32_t keysym;
        std::optional<KeyMapping> expected;
    } rows[] = {
        {0xFFE1, KeyMapping{56, EventFlag::shift}},   {0xFFE2, KeyMapping{56, EventFlag::shift}},
        {0xFFE3, KeyMapping{59, EventFlag::control}}, {0xFFE4, KeyMapping{59, EventFlag::control}},
        {0xFFE5, std::nullopt},                       {0xFFE6, std::nullopt},
        {0xFFE7, KeyMapping{55, EventFlag::command}}, {0xFFE8, KeyMapping{55, EventFlag::command}},
        {0xFFE9, KeyMapping{58, EventFlag::option}},  {0xFFEA, KeyMapping{58, EventFlag::option}},
        {0xFFE0, std::nullopt},                       {0xFFEB, std::nullopt},
    };
    for (const auto& row : rows) EXPECT_EQ(modifierKey(row.keysym), row.expected) << std::hex << row.keysym;
}

TEST(KeysymMapping, PunctuationIsExactlyTheThirtyTwoAsciiSymbols) {
    std::string all;
    for (std::uint32_t k = 0; k < 0x200; ++k) {
        if (auto text = exactPrintableASCIIPunctuation(k)) all += *text;
    }
    EXPECT_EQ(all, "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~");
}

TEST(KeysymMapping, KeyTableRowsIncludingFunctionKeyCharacters) {
    const std::pair<std::uint32_t, std::uint16_t> rows[] = {
        {0xFF08, 51},  {0xFF09, 48},  {0xFF0D, 36},  {0xFF1B, 53},  {0xFF50, 115}, {0xFF51, 123}, {0xFF52, 126},
        {0xFF53, 124}, {0xFF54, 125}, {0xFF55, 116}, {0xFF56, 121}, {0xFF57, 119}, {0xFFFF, 117}, {0xF729, 115},
        {0xF72B, 119}, {0xF72C, 116}, {0xF72D, 121}, {0xFFBE, 122}, {0xFFBF, 120}, {0xFFC0, 99},  {0xFFC1, 118},
        {0xFFC2, 96},  {0xFFC3, 97},  {0xFFC4, 98},  {0xFFC5, 100}, {0xFFC6, 101}, {0xFFC7, 109}, {0xFFC8, 103},
        {0xFFC9, 111},
    };
    for (auto [keysym, code] : rows) EXPECT_EQ(keyCode(keysym), (KeyMapping{code, 0})) << std::hex << keysym;
    // Keypad Enter, Insert, F13 and values beyond Unicode have no key code.
    for (std::uint32_t keysym : {0xFF8Du, 0xFF63u, 0xFFCAu, 0x010000E9u, 0xD800u}) {
        EXPECT_EQ(keyCode(keysym), std::nullopt) << std::hex << keysym;
    }
}

TEST(KeysymMapping, EveryPrintableAsciiCharacterTypesFromItsUsAnsiKey) {
    // Key code, unshifted and shifted character, one row per key.
    const struct {
        std::uint16_t code;
        char plain;
        char shifted;
    } rows[] = {
        {0, 'a', 'A'},   {1, 's', 'S'},   {2, 'd', 'D'},  {3, 'f', 'F'},  {4, 'h', 'H'},   {5, 'g', 'G'},
        {6, 'z', 'Z'},   {7, 'x', 'X'},   {8, 'c', 'C'},  {9, 'v', 'V'},  {11, 'b', 'B'},  {12, 'q', 'Q'},
        {13, 'w', 'W'},  {14, 'e', 'E'},  {15, 'r', 'R'}, {16, 'y', 'Y'}, {17, 't', 'T'},  {18, '1', '!'},
        {19, '2', '@'},  {20, '3', '#'},  {21, '4', '$'}, {22, '6', '^'}, {23, '5', '%'},  {24, '=', '+'},
        {25, '9', '('},  {26, '7', '&'},  {27, '-', '_'}, {28, '8', '*'}, {29, '0', ')'},  {30, ']', '}'},
        {31, 'o', 'O'},  {32, 'u', 'U'},  {33, '[', '{'}, {34, 'i', 'I'}, {35, 'p', 'P'},  {37, 'l', 'L'},
        {38, 'j', 'J'},  {39, '\'', '"'}, {40, 'k', 'K'}, {41, ';', ':'}, {42, '\\', '|'}, {43, ',', '<'},
        {44, '/', '?'},  {45, 'n', 'N'},  {46, 'm', 'M'}, {47, '.', '>'}, {50, '`', '~'},
    };
    int covered = 1;  // the space, below
    for (const auto& row : rows) {
        EXPECT_EQ(keyCode(static_cast<unsigned char>(row.plain)), (KeyMapping{row.code, 0})) << row.plain;
        EXPECT_EQ(keyCode(static_cast<unsigned char>(row.shifted)), (KeyMapping{row.code, EventFlag::shift}))
            << row.shifted;
        covered += 2;
    }
    EXPECT_EQ(keyCode(0x20), (KeyMapping{49, 0}));
    EXPECT_EQ(covered, 95);  // every printable ASCII character
    // Control characters, Return and Tab as characters, and DEL give nothing.
    for (char32_t c : {U'\0', U'\r', U'\t', U'\x7F', U'é'}) EXPECT_EQ(asciiKeyCode(c), std::nullopt);
}

TEST(KeysymMapping, TextFromKeysyms) {
    EXPECT_EQ(unicodeText(0x010000E9), "é");       // Unicode keysym
    EXPECT_EQ(unicodeText(0x01F600), "\xF0\x9F\x98\x80");  // taken as the scalar itself
    EXPECT_EQ(unicodeText(0x0100000D), std::nullopt);  // control character
    EXPECT_EQ(unicodeText(0x0100007F), std::nullopt);  // DEL
    EXPECT_EQ(unicodeText(0x01000085), std::nullopt);  // C1 controls
    EXPECT_EQ(unicodeText(0x010000A0), "\xC2\xA0");  // the first character after them
    EXPECT_EQ(unicodeText(0x0100D800), std::nullopt);  // surrogate
    EXPECT_EQ(unicodeText(0x01110000), std::nullopt);  // beyond Unicode
    EXPECT_EQ(unicodeText(0x41), std::nullopt);        // ASCII goes through the key table instead
    EXPECT_EQ(unicodeText(0x9F), std::nullopt);
    // Latin-1 keysyms type their character.
    EXPECT_EQ(unicodeText(0xE9), "é");
    EXPECT_EQ(unicodeText(0xA0), "\xC2\xA0");
    EXPECT_EQ(unicodeText(0xFF), "ÿ");
    // Function, keypad and modifier keysyms never become text.
    for (std::uint32_t keysym : {0xFD00u, 0xFF8Du, 0xFFE5u, 0xFFBEu, 0xFFFFu}) {
        EXPECT_EQ(unicodeText(keysym), std::nullopt) << std::hex << keysym;
    }
    EXPECT_EQ(unicodeText(0xFCFF), "\xEF\xB3\xBF");
    EXPECT_EQ(unicodeText(0x20AC), "€");
}

}  // namespace
}  // namespace KeysymMappingTests
}  // namespace qm
