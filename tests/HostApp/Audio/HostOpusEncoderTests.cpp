#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>

#include "AudioTestSupport.h"
#include "HostApp/Audio/HostOpusEncoder.h"

namespace qm {
namespace HostOpusEncoderTests {
namespace {

Bytes tonePCM(std::size_t frames, double frequency, std::size_t firstFrame = 0) {
    Bytes pcm(frames * 8);
    for (std::size_t i = 0; i < frames; ++i) {
        const float v = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(firstFrame + i) / 48000.0));
        std::memcpy(pcm.data() + i * 8, &v, 4);
        std::memcpy(pcm.data() + i * 8 + 4, &v, 4);
    }
    return pcm;
}

TEST(HostOpusEncoder, StampsTwentyMillisecondFramesFromTheRunStart) {
    HostOpusEncoder encoder;
    ASSERT_TRUE(encoder.isActive());
    const Bytes frame = tonePCM(960, 440);

    // 959 frames stay buffered; 8 more bytes complete a packet stamped with the first call's time.
    auto packets = encoder.encodeFrames(std::span(frame).first(7672), 1000);
    EXPECT_TRUE(packets.empty());
    EXPECT_EQ(encoder.pendingByteCount(), 7672u);
    packets = encoder.encodeFrames(std::span(frame).subspan(7672), 99'000);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].timestampNs, 1000u);
    EXPECT_EQ(encoder.pendingByteCount(), 0u);

    // Empty buffer: the next call anchors a new run at its own time.
    Bytes three = tonePCM(2880, 440);
    packets = encoder.encodeFrames(three, 5'000'000'000);
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[1].timestampNs, 5'020'000'000u);
    EXPECT_EQ(packets[2].timestampNs, 5'040'000'000u);
    for (const auto& p : packets) EXPECT_TRUE(p.payload.size() >= 1 && p.payload.size() <= 4000);

    // With leftovers buffered, a jump in input time does not move the running timestamp.
    encoder.encodeFrames(std::span(frame).first(4000), 7'000'000'000);
    packets = encoder.encodeFrames(frame, 9'000'000'000);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].timestampNs, 7'000'000'000u);

    // Empty input changes nothing; reset drops the leftovers and re-anchors.
    const auto pending = encoder.pendingByteCount();
    EXPECT_TRUE(encoder.encodeFrames({}, 1).empty());
    EXPECT_EQ(encoder.pendingByteCount(), pending);
    encoder.reset();
    EXPECT_EQ(encoder.pendingByteCount(), 0u);
    packets = encoder.encodeFrames(frame, 42);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].timestampNs, 42u);
}

TEST(HostOpusEncoder, DecodedStreamCarriesTheTonesFrequency) {
    HostOpusEncoder encoder;
    test::OpusTestDecoder decoder;
    const double frequency = 997;
    // Blocks of 10 ms, as the capture delivers them, for one second.
    for (int block = 0; block < 100; ++block) {
        const Bytes pcm = tonePCM(480, frequency, static_cast<std::size_t>(block) * 480);
        for (const auto& packet : encoder.encodeFrames(pcm, static_cast<std::uint64_t>(block) * 10'000'000)) {
            ASSERT_EQ(decoder.decode(packet.payload.data(), packet.payload.size()), 960);
        }
    }
    ASSERT_EQ(decoder.left.size(), 48000u);
    // Skip the codec's start-up.
    const std::vector<float> steady(decoder.left.begin() + 4800, decoder.left.end());
    EXPECT_NEAR(test::estimateFrequency(steady, 48000), frequency, frequency * 0.01);
}

}  // namespace
}  // namespace HostOpusEncoderTests
}  // namespace qm
