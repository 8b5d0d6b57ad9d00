// Every aux payload decoder, chosen by the first byte. Whatever decodes must encode to bytes that
// decode again and encode to the very same bytes (compared as bytes, so NaNs compare too).
#include <array>
#include <string>

#include "QuillmereProfiles/AuxProtocol.h"
#include "QuillmereProfiles/DisplayPayloads.h"
#include "QuillmereProfiles/FileTransferPacket.h"
#include "QuillmereProfiles/InputPayloads.h"
#include "QuillmereProfiles/MediaPayloads.h"
#include "QuillmereProfiles/SessionPayloads.h"
#include "fuzz/FuzzTarget.h"

using namespace qm;

namespace {

template <class Payload>
void roundTrip(std::span<const std::uint8_t> bytes) {
    auto decoded = Payload::decode(bytes);
    if (!decoded) return;
    const Bytes once = decoded->encode();
    auto again = Payload::decode(once);
    QM_FUZZ_CHECK(again.has_value(), "an encoded payload does not decode");
    QM_FUZZ_CHECK(again->encode() == once, "encoding a decoded payload is not stable");
}

void captureMode(std::span<const std::uint8_t> bytes) {
    roundTrip<CaptureModeControlPayload>(bytes);
    if (auto request = CaptureModeControlPayload::decode(bytes)) {
        (void)request->summary();
        (void)transportMaxDimension(*request);
        for (auto mode : {VideoCaptureMode::easy, request->mode}) (void)request->withMode(mode).summary();
    }
}

void displayLayout(std::span<const std::uint8_t> bytes) {
    roundTrip<DisplayLayoutPayload>(bytes);
    if (auto layout = DisplayLayoutPayload::decode(bytes)) (void)layout->summary();
}

void header(std::span<const std::uint8_t> bytes) {
    auto decoded = AuxPacketHeader::decode(bytes);
    if (!decoded) return;
    (void)auxPacketTypeName(decoded->type);
    auto again = AuxPacketHeader::decode(decoded->encode());
    QM_FUZZ_CHECK(again.has_value(), "an encoded header does not decode");
    decoded->reserved = 0;  // never written
    QM_FUZZ_CHECK(*again == *decoded, "header round trip");
}

void fileTransferPacket(std::span<const std::uint8_t> bytes) {
    auto decoded = FileTransferPacket::decode(bytes);
    if (!decoded) return;
    auto again = FileTransferPacket::decode(decoded->encode());
    QM_FUZZ_CHECK(again.has_value() && *again == *decoded, "file-transfer packet round trip");
    if (decoded->op == FileTransferOp::batchStart) {
        (void)FileTransferPacket::batchStartIntent(decoded->value2);
        (void)FileTransferPacket::batchStartFileCount(decoded->value2);
    }
}

// The seed program picks decoders by their place in this table: keep the order.
using Decoder = void (*)(std::span<const std::uint8_t>);
constexpr std::array<Decoder, 24> decoders{
    header,
    roundTrip<ClientSessionAuthPayload>,
    roundTrip<ClientSessionAuthResultPayload>,
    roundTrip<IdentityChallengePayload>,
    roundTrip<IdentityProofPayload>,
    roundTrip<FileTransferEndpointPayload>,
    roundTrip<DragPullRequestPayload>,
    roundTrip<AudioControlPayload>,
    roundTrip<VideoStreamConfigPayload>,
    roundTrip<VideoFramePayload>,
    roundTrip<VideoFrameAckPayload>,
    roundTrip<PointerEventControlPayload>,
    roundTrip<GestureEventControlPayload>,
    roundTrip<HostShortcutControlPayload>,
    roundTrip<KeyEventControlPayload>,
    roundTrip<RawKeyEventControlPayload>,
    roundTrip<SystemDefinedKeyEventControlPayload>,
    captureMode,
    displayLayout,
    roundTrip<HostSessionInfoPayload>,
    roundTrip<ViewportROIPayload>,
    roundTrip<PipRegionSetPayload>,
    roundTrip<PipRegionRemovePayload>,
    fileTransferPacket,
};

}  // namespace

QM_FUZZ_TARGET(payloads) {
    if (data.empty()) return;
    decoders[data[0] % decoders.size()](data.subspan(1));
}

