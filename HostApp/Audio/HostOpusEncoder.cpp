#include "HostApp/Audio/HostOpusEncoder.h"
#include "Platform/Core/LogSink.h"

#include <opus/opus.h>

#include <array>
#include <cstdio>
#include <cstring>

namespace qm {

HostOpusEncoder::HostOpusEncoder() {
    int error = 0;
    OpusEncoder* encoder = opus_encoder_create(sampleRate, channels, OPUS_APPLICATION_AUDIO, &error);
    if (!encoder || error != OPUS_OK) {
        if (encoder) opus_encoder_destroy(encoder);
        logLine("[opus-encoder] failed to create: error " + std::to_string(error));
        return;
    }
    // High-quality music: every request is issued, and all must succeed.
    const int results[] = {
        opus_encoder_ctl(encoder, OPUS_SET_BITRATE(512000)),
        opus_encoder_ctl(encoder, OPUS_SET_COMPLEXITY(10)),
        opus_encoder_ctl(encoder, OPUS_SET_VBR(1)),
        opus_encoder_ctl(encoder, OPUS_SET_VBR_CONSTRAINT(1)),
        opus_encoder_ctl(encoder, OPUS_SET_MAX_BANDWIDTH(OPUS_BANDWIDTH_FULLBAND)),
        opus_encoder_ctl(encoder, OPUS_SET_SIGNAL(OPUS_SIGNAL_MUSIC)),
    };
    for (int result : results) {
        if (result != OPUS_OK) {
            opus_encoder_destroy(encoder);
            logLine("[opus-encoder] failed to configure high-quality audio");
            return;
        }
    }
    encoder_ = encoder;
    isActive_ = true;
}

HostOpusEncoder::~HostOpusEncoder() {
    if (encoder_) opus_encoder_destroy(encoder_);
}

std::vector<HostOpusEncoder::Packet> HostOpusEncoder::encodeFrames(std::span<const std::uint8_t> pcm,
                                                                   std::uint64_t timestampNs) {
    std::vector<Packet> result;
    if (!isActive_ || pcm.empty()) return result;
    std::lock_guard guard(lock_);
    if (!encoder_) return result;
    if (pendingPCM_.empty()) nextTimestampNs_ = timestampNs;
    pendingPCM_.insert(pendingPCM_.end(), pcm.begin(), pcm.end());

    std::size_t offset = 0;
    std::array<float, frameSamples * channels> frame;
    while (pendingPCM_.size() - offset >= frameBytes) {
        std::memcpy(frame.data(), pendingPCM_.data() + offset, frameBytes);
        offset += frameBytes;
        // The slot is used up even when the frame fails to encode.
        const std::uint64_t t = nextTimestampNs_.value_or(timestampNs);
        nextTimestampNs_ = t + frameDurationNs;
        Bytes out(maxPacketBytes);
        const opus_int32 n = opus_encode_float(encoder_, frame.data(), frameSamples, out.data(), maxPacketBytes);
        if (n <= 0) {
            encodeErrorLine_.write("[opus-encoder] encode error: " + std::to_string(static_cast<int>(n)));
            continue;
        }
        out.resize(static_cast<std::size_t>(n));
        result.push_back(Packet{std::move(out), t});
    }
    pendingPCM_.erase(pendingPCM_.begin(), pendingPCM_.begin() + static_cast<std::ptrdiff_t>(offset));
    return result;
}

void HostOpusEncoder::reset() {
    std::lock_guard guard(lock_);
    pendingPCM_.clear();
    nextTimestampNs_.reset();
    if (isActive_ && encoder_) opus_encoder_ctl(encoder_, OPUS_RESET_STATE);
}

std::size_t HostOpusEncoder::pendingByteCount() const {
    std::lock_guard guard(lock_);
    return pendingPCM_.size();
}

}  // namespace qm
