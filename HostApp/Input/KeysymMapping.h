#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Platform/InputEvents.h"

// What a Viewer's X11 keysym becomes on the Host: a modifier key with its flag, a punctuation
// character typed as text, a virtual key code (US ANSI layout) with extra flags, or text.
// The key handler tries them in that order.
namespace qm {

struct KeyMapping {
    std::uint16_t keyCode = 0;
    EventFlags flags = 0;  // the modifier's own flag, or the extra flags the key needs
    friend bool operator==(const KeyMapping&, const KeyMapping&) = default;
};

// Shift, Control, Meta (Command) and Alt (Option), left or right, as the left-hand key codes.
std::optional<KeyMapping> modifierKey(std::uint32_t forKeysym);
// The 32 ASCII punctuation and symbol characters, as themselves.
std::optional<std::string> exactPrintableASCIIPunctuation(std::uint32_t forKeysym);
// Editing, arrow and function keys from a fixed table; otherwise the keysym read as a
// character and looked up with asciiKeyCode.
std::optional<KeyMapping> keyCode(std::uint32_t forKeysym);
// The key (and Shift) that types a printable ASCII character on a US ANSI keyboard.
std::optional<KeyMapping> asciiKeyCode(char32_t forCharacter);
// The text a keysym types: X11 Unicode keysyms (0x01xxxxxx) by their low 24 bits, Latin-1
// keysyms 0xA0-0xFF as their character, other keysyms of 0x100 and above as the scalar itself
// except the function and keypad keysyms 0xFD00-0xFFFF. Nothing for control characters,
// surrogates and values beyond Unicode.
std::optional<std::string> unicodeText(std::uint32_t forKeysym);

}  // namespace qm
