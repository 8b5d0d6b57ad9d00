#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "Platform/Core/ByteIO.h"
#include "Platform/Core/LogSink.h"

struct OpusEncoder;

namespace qm {

// One libopus encoder for the Host's system audio: 48 kHz interleaved float stereo in, one Opus
// packet per 20 ms out, each stamped with a nanosecond timestamp. Thread-safe: encoding (capture
// queue) and reset (server queue) are serialised by its own lock.
class HostOpusEncoder {
public:
    static constexpr int sampleRate = 48000;
    static constexpr int channels = 2;
    static constexpr int frameSamples = 960;         // per channel, 20 ms
    static constexpr std::size_t frameBytes = 7680;  // 960 x 2 channels x 4 bytes
    static constexpr std::uint64_t frameDurationNs = 20'000'000;
    static constexpr int maxPacketBytes = 4000;

    struct Packet {
        Bytes payload;
        std::uint64_t timestampNs = 0;
    };

    // Creates and configures the encoder; on failure the object stays inactive (and says so on
    // standard error) and never produces packets.
    HostOpusEncoder();
    ~HostOpusEncoder();
    HostOpusEncoder(const HostOpusEncoder&) = delete;
    HostOpusEncoder& operator=(const HostOpusEncoder&) = delete;

    bool isActive() const { return isActive_; }

    // Appends the PCM and returns one packet per complete 20 ms frame now available, in order.
    // Within a run (from the moment the buffer was empty) packets are stamped with the run's first
    // timestamp plus 20 ms each; later timestamps only anchor a new run.
    std::vector<Packet> encodeFrames(std::span<const std::uint8_t> pcm, std::uint64_t timestampNs);
    // Drops buffered PCM and the running timestamp and resets the codec's history.
    void reset();

    // Bytes buffered and not yet encoded (for tests).
    std::size_t pendingByteCount() const;

private:
    mutable std::mutex lock_;
    RepeatingLogLine encodeErrorLine_;  // once per buffer while it fails, so thinned out
    OpusEncoder* encoder_ = nullptr;
    Bytes pendingPCM_;
    std::optional<std::uint64_t> nextTimestampNs_;
    bool isActive_ = false;
};

}  // namespace qm
