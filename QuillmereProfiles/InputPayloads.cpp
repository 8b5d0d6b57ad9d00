#include "QuillmereProfiles/InputPayloads.h"

namespace qm {

Bytes PointerEventControlPayload::encode() const {
    ByteWriter w(encodedSize);
    w.u8(buttonMask).u16(x).u16(y).u16(framebufferWidth).u16(framebufferHeight);
    return w.take();
}

std::optional<PointerEventControlPayload> PointerEventControlPayload::decode(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < encodedSize) return std::nullopt;
    ByteReader r(bytes);
    PointerEventControlPayload p;
    p.buttonMask = *r.u8();
    p.x = *r.u16();
    p.y = *r.u16();
    p.framebufferWidth = *r.u16();
    p.framebufferHeight = *r.u16();
    return p;
}

Bytes GestureEventControlPayload::encode() const {
    ByteWriter w(encodedSize);
    w.u8(static_cast<std::uint8_t>(kind)).u16(x).u16(y).u16(framebufferWidth).u16(framebufferHeight);
    w.i16(deltaX).i16(deltaY).i16(amount);
    return w.take();
}

std::optional<GestureEventControlPayload> GestureEventControlPayload::decode(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < encodedSize) return std::nullopt;
    ByteReader r(bytes);
    const auto kind = *r.u8();
    if (kind != 1 && kind != 2) return std::nullopt;
    GestureEventControlPayload p;
    p.kind = static_cast<GestureEventKind>(kind);
    p.x = *r.u16();
    p.y = *r.u16();
    p.framebufferWidth = *r.u16();
    p.framebufferHeight = *r.u16();
    p.deltaX = *r.i16();
    p.deltaY = *r.i16();
    p.amount = *r.i16();
    return p;
}

std::optional<HostShortcutKind> hostShortcutKindFromRaw(std::uint8_t raw) {
    if ((raw >= 1 && raw <= 5) || (raw >= 10 && raw <= 20) || raw == 22 || raw == 23 || raw == 50 || raw == 51 ||
        raw == 100 || raw == 101 || raw == 160 || raw == 161)
        return static_cast<HostShortcutKind>(raw);
    return std::nullopt;
}

Bytes HostShortcutControlPayload::encode() const {
    return Bytes{static_cast<std::uint8_t>(kind)};
}

std::optional<HostShortcutControlPayload> HostShortcutControlPayload::decode(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < encodedSize) return std::nullopt;
    const auto kind = hostShortcutKindFromRaw(bytes[0]);
    if (!kind) return std::nullopt;
    return HostShortcutControlPayload{*kind};
}

Bytes KeyEventControlPayload::encode() const {
    ByteWriter w(encodedSize);
    w.u32(keysym).u8(isDown ? 1 : 0);
    return w.take();
}

std::optional<KeyEventControlPayload> KeyEventControlPayload::decode(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < encodedSize) return std::nullopt;
    ByteReader r(bytes);
    KeyEventControlPayload p;
    p.keysym = *r.u32();
    p.isDown = *r.u8() != 0;
    return p;
}

Bytes RawKeyEventControlPayload::encode() const {
    ByteWriter w(encodedSize);
    w.u16(keyCode).u64(flags).u8(isDown ? 1 : 0);
    return w.take();
}

std::optional<RawKeyEventControlPayload> RawKeyEventControlPayload::decode(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < encodedSize) return std::nullopt;
    ByteReader r(bytes);
    RawKeyEventControlPayload p;
    p.keyCode = *r.u16();
    p.flags = *r.u64();
    p.isDown = *r.u8() != 0;
    return p;
}

Bytes SystemDefinedKeyEventControlPayload::encode() const {
    ByteWriter w(encodedSize);
    w.u16(keyType);
    return w.take();
}

std::optional<SystemDefinedKeyEventControlPayload> SystemDefinedKeyEventControlPayload::decode(
    std::span<const std::uint8_t> bytes) {
    if (bytes.size() < encodedSize) return std::nullopt;
    ByteReader r(bytes);
    return SystemDefinedKeyEventControlPayload{*r.u16()};
}

}  // namespace qm
