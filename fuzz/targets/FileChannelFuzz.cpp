// The file channel's framing fed in random reads, under a random payload limit, and every frame it
// delivers decoded as a file-transfer packet. The frames must be the ones a plain parse of the
// stream finds, and the channel must close exactly when the stream breaks the framing.
#include <optional>
#include <vector>

#include "Platform/Core/ByteIO.h"
#include "Platform/Core/ManualDispatchQueue.h"
#include "QuillmereProfiles/FileTransferChannel.h"
#include "QuillmereProfiles/FileTransferPacket.h"
#include "fuzz/FuzzTarget.h"
#include "support/ScriptedConnection.h"

using namespace qm;

namespace {

std::uint32_t lengthAt(std::span<const std::uint8_t> header) { return *ByteReader(header.subspan(4)).u32(); }

struct Parsed {
    std::vector<Bytes> frames;
    bool broken = false;
};

Parsed reference(std::span<const std::uint8_t> stream, std::size_t maxPayload) {
    using namespace FileTransferChannelConstants;
    Parsed result;
    while (stream.size() >= headerSize) {
        if (!std::equal(magic.begin(), magic.end(), stream.begin()) || lengthAt(stream) > maxPayload) {
            result.broken = true;
            break;
        }
        const std::size_t length = lengthAt(stream);
        if (stream.size() < headerSize + length) break;
        result.frames.emplace_back(stream.begin() + headerSize, stream.begin() + static_cast<std::ptrdiff_t>(headerSize + length));
        stream = stream.subspan(headerSize + length);
    }
    return result;
}

}  // namespace

QM_FUZZ_TARGET(file_channel) {
    fuzz::FuzzInput input(data);
    const std::size_t maxPayload = input.u16();
    std::uint32_t state = input.u32() | 1;
    const bool peerCloses = input.flag();
    const auto stream = input.rest();

    auto clock = std::make_shared<ManualClock>();
    auto queue = clock->makeQueue("files");
    auto wire = std::make_shared<test::ScriptedConnection>();
    std::vector<Bytes> frames;
    int endings = 0;
    auto channel = std::make_shared<FileTransferChannelConnection>(wire, queue, "file aux", nullptr);
    channel->setMaximumPayloadSize(maxPayload);
    channel->onFrame = [&](std::span<const std::uint8_t> payload, const SharedBytes&) {
        QM_FUZZ_CHECK(payload.size() <= maxPayload, "a frame passed the payload limit");
        if (auto packet = FileTransferPacket::decode(payload)) {
            auto again = FileTransferPacket::decode(packet->encode());
            QM_FUZZ_CHECK(again.has_value() && *again == *packet, "file-transfer packet round trip");
            auto view = FileTransferPacketView::decode(payload);
            QM_FUZZ_CHECK(view.has_value() && view->packet() == *packet, "the in-place view reads what the copy reads");
        }
        frames.emplace_back(payload.begin(), payload.end());
    };
    channel->onEnded = [&](const std::optional<NetworkError>&) { ++endings; };
    channel->start();
    wire->becomeReady();
    queue->runUntilIdle();

    for (std::size_t at = 0; at < stream.size();) {
        state = state * 1103515245u + 12345u;
        const std::size_t size = std::min<std::size_t>(stream.size() - at, 1 + (state >> 16) % 64);
        wire->deliver(Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at),
                            stream.begin() + static_cast<std::ptrdiff_t>(at + size)));
        at += size;
        if ((state >> 8) & 1) queue->runUntilIdle();
    }
    if (peerCloses) wire->closeFromPeer();
    queue->runUntilIdle();

    const Parsed expected = reference(stream, maxPayload);
    QM_FUZZ_CHECK(frames == expected.frames, "the channel cut other frames");
    QM_FUZZ_CHECK(channel->didEnd() == (expected.broken || peerCloses), "the channel ended when it should not, or not");
    QM_FUZZ_CHECK(endings == (channel->didEnd() ? 1 : 0), "onEnded was not told exactly once");
    QM_FUZZ_CHECK(!expected.broken || wire->cancelCount() >= 1, "a broken stream left the connection open");
    channel->cancel();
    queue->runUntilIdle();
    QM_FUZZ_CHECK(endings == 1, "onEnded was not told exactly once after cancel");
}
