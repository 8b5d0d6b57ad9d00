#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "Platform/Core/ByteIO.h"

// The Viewer's input packets. Each has a fixed layout; a payload shorter than that layout does not
// decode, extra bytes after it are ignored.
namespace qm {

// pointerEvent, 9 bytes: buttonMask (u8), x, y, framebufferWidth, framebufferHeight (u16 each).
struct PointerEventControlPayload {
    static constexpr std::size_t encodedSize = 9;
    std::uint8_t buttonMask = 0;  // bits 0-2 left, middle, right; bits 3-6 wheel up, down, left, right
    std::uint16_t x = 0;
    std::uint16_t y = 0;
    std::uint16_t framebufferWidth = 0;
    std::uint16_t framebufferHeight = 0;

    Bytes encode() const;
    static std::optional<PointerEventControlPayload> decode(std::span<const std::uint8_t> bytes);
    friend bool operator==(const PointerEventControlPayload&, const PointerEventControlPayload&) = default;
};

enum class GestureEventKind : std::uint8_t { scroll = 1, magnify = 2 };

// gestureEvent, 15 bytes: kind (u8), x, y, framebufferWidth, framebufferHeight (u16 each at bytes 1, 3,
// 5, 7), deltaX, deltaY, amount (i16 each at bytes 9, 11, 13).
struct GestureEventControlPayload {
    static constexpr std::size_t encodedSize = 15;
    GestureEventKind kind = GestureEventKind::scroll;
    std::uint16_t x = 0;
    std::uint16_t y = 0;
    std::uint16_t framebufferWidth = 0;
    std::uint16_t framebufferHeight = 0;
    std::int16_t deltaX = 0;
    std::int16_t deltaY = 0;
    std::int16_t amount = 0;

    Bytes encode() const;
    // Nothing for a kind other than 1 or 2.
    static std::optional<GestureEventControlPayload> decode(std::span<const std::uint8_t> bytes);
    friend bool operator==(const GestureEventControlPayload&, const GestureEventControlPayload&) = default;
};

enum class HostShortcutKind : std::uint8_t {
    missionControl = 1,
    launchpad = 2,
    nextDesktop = 3,
    previousDesktop = 4,
    appExpose = 5,
    playPause = 10,
    nextTrack = 11,
    previousTrack = 12,
    mute = 13,
    volumeUp = 14,
    volumeDown = 15,
    brightnessUp = 16,
    brightnessDown = 17,
    keyboardIlluminationUp = 18,
    keyboardIlluminationDown = 19,
    nextInputSource = 20,
    screenshot = 22,
    screenRecording = 23,
    lockScreen = 50,
    wakeDisplay = 51,
    pauseStream = 100,
    resumeStream = 101,
    optionMissionControl = 160,
    optionLaunchpad = 161,
};

std::optional<HostShortcutKind> hostShortcutKindFromRaw(std::uint8_t raw);

// hostShortcut, 1 byte: the kind.
struct HostShortcutControlPayload {
    static constexpr std::size_t encodedSize = 1;
    HostShortcutKind kind = HostShortcutKind::missionControl;

    Bytes encode() const;
    // Nothing for a byte that is no kind.
    static std::optional<HostShortcutControlPayload> decode(std::span<const std::uint8_t> bytes);
    friend bool operator==(const HostShortcutControlPayload&, const HostShortcutControlPayload&) = default;
};

// keyEvent, 5 bytes: keysym (u32), isDown (byte 4 not zero).
struct KeyEventControlPayload {
    static constexpr std::size_t encodedSize = 5;
    std::uint32_t keysym = 0;
    bool isDown = false;

    Bytes encode() const;
    static std::optional<KeyEventControlPayload> decode(std::span<const std::uint8_t> bytes);
    friend bool operator==(const KeyEventControlPayload&, const KeyEventControlPayload&) = default;
};

// rawKeyEvent, 11 bytes: keyCode (u16), flags (u64 event flags), isDown (byte 10 not zero).
struct RawKeyEventControlPayload {
    static constexpr std::size_t encodedSize = 11;
    std::uint16_t keyCode = 0;
    std::uint64_t flags = 0;
    bool isDown = false;

    Bytes encode() const;
    static std::optional<RawKeyEventControlPayload> decode(std::span<const std::uint8_t> bytes);
    friend bool operator==(const RawKeyEventControlPayload&, const RawKeyEventControlPayload&) = default;
};

// systemDefinedKeyEvent, 2 bytes: keyType (u16).
struct SystemDefinedKeyEventControlPayload {
    static constexpr std::size_t encodedSize = 2;
    std::uint16_t keyType = 0;

    Bytes encode() const;
    static std::optional<SystemDefinedKeyEventControlPayload> decode(std::span<const std::uint8_t> bytes);
    friend bool operator==(const SystemDefinedKeyEventControlPayload&,
                           const SystemDefinedKeyEventControlPayload&) = default;
};

}  // namespace qm
