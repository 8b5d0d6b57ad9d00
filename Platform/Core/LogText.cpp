#include "Platform/Core/LogText.h"

#include <cstdint>

namespace qm {

namespace {

// The length of the well-formed UTF-8 sequence that starts `text[at]`, or 0 when there is none
// (stray continuation bytes, overlong forms, surrogates, values past U+10FFFF, cut sequences).
std::size_t utf8SequenceLength(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(at);
    std::size_t length;
    std::uint8_t low = 0x80, high = 0xBF;  // the allowed range of the second byte
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
    }
    return length;
}

void appendHexEscape(std::string& out, std::uint8_t value) {
    static constexpr char digits[] = "0123456789ABCDEF";
    out += "\\x";
    out += digits[value >> 4];
    out += digits[value & 0x0F];
}

}  // namespace

std::string escapedForLog(std::string_view text, std::size_t maxBytes) {
    static constexpr std::string_view ellipsis = "\xE2\x80\xA6";  // "…"
    const std::size_t keepBeforeEllipsis = maxBytes >= ellipsis.size() ? maxBytes - ellipsis.size() : maxBytes;
    std::string out;
    std::size_t cutAt = 0;  // the longest output, at a character boundary, that leaves room for "…"
    for (std::size_t at = 0; at < text.size();) {
        const auto c = static_cast<std::uint8_t>(text[at]);
        std::size_t length = utf8SequenceLength(text, at);
        if (length == 0) {
            appendHexEscape(out, c);
            length = 1;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\\') {
            out += "\\\\";  // so that an escape in the log always stands for one byte sent
        } else if (c < 0x20 || c == 0x7F) {
            appendHexEscape(out, c);
        } else if (length == 2 && c == 0xC2 && static_cast<std::uint8_t>(text[at + 1]) < 0xA0) {
            // U+0080..U+009F, the C1 controls, shown by their code point.
            appendHexEscape(out, static_cast<std::uint8_t>(text[at + 1]));
        } else {
            out.append(text.substr(at, length));
        }
        at += length;
        if (out.size() > maxBytes) {
            out.resize(cutAt);
            if (maxBytes >= ellipsis.size()) out += ellipsis;
            return out;
        }
        if (out.size() <= keepBeforeEllipsis) cutAt = out.size();
    }
    return out;
}

}  // namespace qm
