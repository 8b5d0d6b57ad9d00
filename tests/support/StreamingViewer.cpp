#include "support/StreamingViewer.h"

#include <time.h>

#include <span>

#include "Platform/Core/ByteIO.h"
#include "QuillmereProfiles/AuxProtocol.h"
#include "QuillmereProfiles/DisplayPayloads.h"
#include "support/LiveServer.h"

namespace qm::test {

namespace {

std::uint64_t streamingViewerClockNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000'000ULL + static_cast<std::uint64_t>(t.tv_nsec);
}

}  // namespace

StreamingViewer::StreamingViewer(std::uint16_t controlPort, std::uint16_t videoPort, int decodeThreads, bool keepPictures)
    : decodeThreads_(decodeThreads),
      keepPictures_(keepPictures),
      user_(LiveServer::user),
      password_(LiveServer::password),
      control_(controlPort),
      video_(videoPort) {}

void StreamingViewer::useAccount(std::string user, std::string password) {
    user_ = std::move(user);
    password_ = std::move(password);
}

StreamingViewer::~StreamingViewer() { stop(); }

std::optional<std::string> StreamingViewer::start() {
    if (!control_.signIn(user_, password_)) return "control sign-in failed";
    control_.send(AuxPacketType::captureModeControl, request.encode());
    video_.setObserver([this](const AuxFrame& frame, std::uint64_t) { received(frame); });
    if (!video_.signIn(user_, password_)) {
        stop();
        return "video sign-in failed";
    }
    return std::nullopt;
}

void StreamingViewer::ask(const CaptureModeControlPayload& next) {
    control_.send(AuxPacketType::captureModeControl, next.encode());
}

void StreamingViewer::stop() { video_.setObserver(nullptr); }

int StreamingViewer::decodeErrors() const { return pastErrors_ + (decoder_ ? decoder_->errorCount() : 0); }

void StreamingViewer::received(const AuxFrame& frame) {
    if (frame.header.type == AuxPacketType::videoConfig) {
        auto config = VideoStreamConfigPayload::decode(frame.payload);
        if (!config) return;
        // A new stream may start here: a fresh decoder, from the next keyframe on.
        if (decoder_) pastErrors_ += decoder_->errorCount();
        decoder_.emplace(config->codec, decodeThreads_);
        decoder_->keepPictures(keepPictures_);
        parameterSets_ = parameterSetsAnnexB(config->parameterSets);
        waitingForKeyframe_ = true;
        if (onConfig) onConfig(*config);
        return;
    }
    if (frame.header.type != AuxPacketType::videoFrame || frame.payload.size() < VideoFramePayload::minimumSize) return;
    Frame seen;
    seen.arrivedNs = streamingViewerClockNs();
    ByteReader reader(frame.payload);
    seen.number = *reader.u64();
    seen.keyframe = (frame.header.flags & VideoFramePayload::keyframeFlag) != 0;
    seen.captureNs = frame.header.timestampNs;
    seen.packetBytes = AuxPacketHeader::size + frame.payload.size();
    const auto accessUnit = std::span<const std::uint8_t>(frame.payload).subspan(8);
    if (decoder_ && (seen.keyframe || !waitingForKeyframe_)) {
        seen.pictures = decoder_->decode(
            waitingForKeyframe_ ? std::span<const std::uint8_t>(parameterSets_) : std::span<const std::uint8_t>(), accessUnit);
        waitingForKeyframe_ = false;
    }
    seen.decodedNs = streamingViewerClockNs();
    video_.sendRaw(makeAuxPacket(AuxPacketType::videoFrameAck, 0, VideoFrameAckPayload{seen.number}.encode(), 0));
    if (onFrame) onFrame(seen, decoder_ ? &*decoder_ : nullptr);
}

}  // namespace qm::test
