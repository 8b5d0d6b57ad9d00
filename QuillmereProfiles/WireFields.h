#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Platform/Core/ByteIO.h"
#include "Platform/Core/Geometry.h"

// Field codings shared by the aux payloads. Strings are a u16 byte count and UTF-8; opaque byte
// strings a u32 byte count and the bytes; rectangles four float64 (x, y, width, height).
namespace qm::wire {

constexpr std::size_t maxString16 = 0xFFFF;

// Clamps a 64-bit value into the range of the narrower wire integer instead of wrapping it.
inline std::int32_t clampInt32(std::int64_t v) {
    if (v < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
    if (v > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(v);
}

inline std::uint32_t clampUInt32(std::int64_t v) {
    if (v < 0) return 0;
    if (v > static_cast<std::int64_t>(std::numeric_limits<std::uint32_t>::max()))
        return std::numeric_limits<std::uint32_t>::max();
    return static_cast<std::uint32_t>(v);
}

// The longest prefix of `s` that fits `limit` bytes without cutting a UTF-8 sequence in two.
inline std::string_view utf8Prefix(std::string_view s, std::size_t limit) {
    if (s.size() <= limit) return s;
    std::size_t n = limit;
    while (n > 0 && (static_cast<std::uint8_t>(s[n]) & 0xC0) == 0x80) --n;
    return s.substr(0, n);
}

// Writes a u16 length and the text; a text longer than 65,535 bytes is cut at a character boundary
// so that the length never wraps.
inline void appendString16(ByteWriter& w, std::string_view s) {
    const auto text = utf8Prefix(s, maxString16);
    w.u16(static_cast<std::uint16_t>(text.size()));
    w.bytes(text);
}

// Reads a u16-prefixed string; nothing when it runs past the end or is not valid UTF-8.
inline std::optional<std::string> readString16(ByteReader& r) {
    auto n = r.u16();
    if (!n) return std::nullopt;
    auto b = r.bytes(*n);
    if (!b || !isValidUTF8(*b)) return std::nullopt;
    return std::string(b->begin(), b->end());
}

inline void appendBytes32(ByteWriter& w, std::span<const std::uint8_t> b) {
    w.u32(static_cast<std::uint32_t>(b.size()));
    w.bytes(b);
}

inline std::optional<Bytes> readBytes32(ByteReader& r) {
    auto n = r.u32();
    if (!n) return std::nullopt;
    auto b = r.bytes(*n);
    if (!b) return std::nullopt;
    return Bytes(b->begin(), b->end());
}

inline void appendRect(ByteWriter& w, const Rect& rect) {
    w.f64(rect.origin.x).f64(rect.origin.y).f64(rect.size.width).f64(rect.size.height);
}

// Reads four float64; a NaN or infinite component makes the rectangle unreadable.
inline std::optional<Rect> readRect(ByteReader& r) {
    double v[4];
    for (double& d : v) {
        auto x = r.f64();
        if (!x || !std::isfinite(*x)) return std::nullopt;
        d = *x;
    }
    return Rect(v[0], v[1], v[2], v[3]);
}

}  // namespace qm::wire
