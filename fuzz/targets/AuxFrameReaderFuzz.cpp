// The aux frame reader fed in chunks of random size, once through append/nextFrame and once
// through the zero-copy consume path. Both must cut the same frames a plain front-to-back parse
// of the whole stream finds, and fail where it fails.
#include <optional>
#include <vector>

#include "QuillmereProfiles/AuxProtocol.h"
#include "fuzz/FuzzTarget.h"

using namespace qm;

namespace {

struct Cut {
    std::vector<AuxFrame> frames;
    std::optional<AuxFrameError> error;
    std::size_t leftover = 0;  // bytes of an incomplete last frame
};

// The whole stream at once, with nothing clever.
Cut reference(std::span<const std::uint8_t> stream, std::size_t maxBuffered) {
    Cut result;
    const std::uint8_t magic[4] = {'2', 'Q', '2', 'Q'};
    while (!stream.empty()) {
        for (std::size_t i = 0; i < 4 && i < stream.size(); ++i) {
            if (stream[i] != magic[i]) {
                result.error = AuxFrameError::badMagic;
                return result;
            }
        }
        auto header = AuxPacketHeader::decode(stream);
        if (!header) break;
        const std::uint64_t size = AuxPacketHeader::size + std::uint64_t{header->payloadLength};
        if (size > maxBuffered) {
            result.error = AuxFrameError::frameTooLarge;
            return result;
        }
        if (stream.size() < size) break;
        auto payload = stream.subspan(AuxPacketHeader::size, header->payloadLength);
        result.frames.push_back({*header, Bytes(payload.begin(), payload.end())});
        stream = stream.subspan(static_cast<std::size_t>(size));
    }
    result.leftover = stream.size();
    return result;
}

bool sameFrame(const AuxFrame& a, const AuxFrame& b) {
    return a.header == b.header && a.payload == b.payload;
}

bool isPrefix(const std::vector<AuxFrame>& shorter, const std::vector<AuxFrame>& longer) {
    if (shorter.size() > longer.size()) return false;
    for (std::size_t i = 0; i < shorter.size(); ++i)
        if (!sameFrame(shorter[i], longer[i])) return false;
    return true;
}

}  // namespace

QM_FUZZ_TARGET(aux_frame_reader) {
    fuzz::FuzzInput input(data);
    // A small limit lets short inputs reach the size checks.
    const std::size_t maxBuffered = 20 + input.u16() % 2048;
    const std::uint32_t chunkSeed = input.u32() | 1;
    const auto stream = input.rest();

    std::vector<std::size_t> chunks;
    std::uint32_t state = chunkSeed;
    for (std::size_t at = 0; at < stream.size();) {
        state = state * 1103515245u + 12345u;
        const std::size_t size = std::min<std::size_t>(stream.size() - at, 1 + (state >> 16) % 97);
        chunks.push_back(size);
        at += size;
    }

    Cut pulled;
    AuxFrameReader pulling(maxBuffered);
    Cut consumed;
    AuxFrameReader consuming(maxBuffered);
    std::size_t at = 0;
    for (const auto size : chunks) {
        const auto chunk = stream.subspan(at, size);
        at += size;
        if (!pulled.error) {
            if (pulling.append(chunk)) {
                while (auto frame = pulling.nextFrame()) pulled.frames.push_back(std::move(*frame));
            }
            pulled.error = pulling.error();
        }
        if (!consumed.error) {
            const bool ok = consuming.consume(chunk, [&](const AuxFrameView& view) {
                QM_FUZZ_CHECK(view.payload.size() == view.header.payloadLength, "view length");
                consumed.frames.push_back({view.header, Bytes(view.payload.begin(), view.payload.end())});
                return true;
            });
            QM_FUZZ_CHECK(ok == !consuming.error().has_value(), "consume's answer and error() disagree");
            consumed.error = consuming.error();
        }
        QM_FUZZ_CHECK(consuming.bufferedBytes() <= maxBuffered, "consume buffered past its limit");
        QM_FUZZ_CHECK(pulling.bufferedBytes() <= maxBuffered, "append buffered past its limit");
    }
    pulled.leftover = pulling.bufferedBytes();
    consumed.leftover = consuming.bufferedBytes();

    const Cut expected = reference(stream, maxBuffered);
    // The zero-copy path buffers only a partial frame, so it always agrees with the reference.
    QM_FUZZ_CHECK(consumed.error == expected.error, "consume failed differently");
    QM_FUZZ_CHECK(consumed.frames.size() == expected.frames.size() && isPrefix(consumed.frames, expected.frames),
                  "consume cut other frames");
    if (!expected.error) QM_FUZZ_CHECK(consumed.leftover == expected.leftover, "consume kept other bytes");

    // The copying path may additionally run out of room, but only ever after the same frames.
    if (pulled.error == AuxFrameError::bufferOverflow) {
        QM_FUZZ_CHECK(isPrefix(pulled.frames, expected.frames), "nextFrame cut other frames before overflowing");
    } else {
        QM_FUZZ_CHECK(pulled.error == expected.error, "nextFrame failed differently");
        QM_FUZZ_CHECK(pulled.frames.size() == expected.frames.size() && isPrefix(pulled.frames, expected.frames),
                      "nextFrame cut other frames");
        if (!expected.error) QM_FUZZ_CHECK(pulled.leftover == expected.leftover, "nextFrame kept other bytes");
    }
}
