#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "HostApp/Audio/PcmConversion.h"

namespace qm {
namespace PcmConversionTests {
namespace {

template <class T>
AudioBuffer bufferOf(std::initializer_list<T> samples) {
    AudioBuffer buffer;
    buffer.data.resize(samples.size() * sizeof(T));
    std::memcpy(buffer.data.data(), std::data(samples), buffer.data.size());
    return buffer;
}

std::vector<float> floatsOf(const Bytes& bytes) {
    std::vector<float> values(bytes.size() / 4);
    std::memcpy(values.data(), bytes.data(), values.size() * 4);
    return values;
}

AudioStreamBasicDescription describe(std::uint32_t flags, std::uint32_t bits, std::uint32_t channels) {
    return AudioStreamBasicDescription{48000, flags, bits, channels};
}

constexpr auto kFloat = AudioFormatFlags::isFloat;
constexpr auto kInt = AudioFormatFlags::isSignedInteger;

TEST(PcmConversion, KeepsOrDuplicatesChannelsInEveryLayout) {
    // Mono int16 interleaved: 480 samples give 480 frames with both sides equal.
    AudioBuffer mono;
    mono.data.resize(480 * 2, 0x10);
    auto out = convertToInterleavedFloat32Stereo(describe(kInt, 16, 1), {mono});
    ASSERT_TRUE(out);
    EXPECT_EQ(out->size(), 3840u);
    auto values = floatsOf(*out);
    for (std::size_t i = 0; i < values.size(); i += 2) ASSERT_EQ(values[i], values[i + 1]);

    // Float stereo passes unchanged, also beyond 1.0.
    out = convertToInterleavedFloat32Stereo(describe(kFloat, 32, 2), {bufferOf<float>({1.5f, -0.25f, 0.5f, 0.75f})});
    ASSERT_TRUE(out);
    EXPECT_EQ(floatsOf(*out), (std::vector<float>{1.5f, -0.25f, 0.5f, 0.75f}));

    // Planar float pair of 1,920 and 1,916 bytes gives 479 frames, left from buffer 0.
    AudioBuffer left, right;
    left.data.resize(1920);
    right.data.resize(1916);
    float a = 0.25f, b = -0.5f;
    std::memcpy(left.data.data(), &a, 4);
    std::memcpy(right.data.data(), &b, 4);
    out = convertToInterleavedFloat32Stereo(describe(kFloat | AudioFormatFlags::isNonInterleaved, 32, 2), {left, right});
    ASSERT_TRUE(out);
    EXPECT_EQ(out->size(), 479u * 8);
    EXPECT_EQ(floatsOf(*out)[0], 0.25f);
    EXPECT_EQ(floatsOf(*out)[1], -0.5f);

    // Six interleaved channels: only the first two survive.
    out = convertToInterleavedFloat32Stereo(describe(kFloat, 32, 6),
                                            {bufferOf<float>({0.1f, 0.2f, 9, 9, 9, 9, 0.3f, 0.4f, 9, 9, 9, 9})});
    ASSERT_TRUE(out);
    EXPECT_EQ(floatsOf(*out), (std::vector<float>{0.1f, 0.2f, 0.3f, 0.4f}));

    // Planar mono (more than one buffer for one channel): buffer 0 into both sides.
    out = convertToInterleavedFloat32Stereo(describe(kFloat, 32, 1), {bufferOf<float>({0.5f}), bufferOf<float>({9.0f})});
    ASSERT_TRUE(out);
    EXPECT_EQ(floatsOf(*out), (std::vector<float>{0.5f, 0.5f}));
}

TEST(PcmConversion, ScalesAndClampsIntegerExtremes) {
    auto out = convertToInterleavedFloat32Stereo(describe(kInt, 16, 2), {bufferOf<std::int16_t>({-32768, 32767, 0, 0})});
    ASSERT_TRUE(out);
    EXPECT_EQ(floatsOf(*out), (std::vector<float>{-1.0f, 1.0f, 0.0f, 0.0f}));

    out = convertToInterleavedFloat32Stereo(
        describe(kInt, 32, 2),
        {bufferOf<std::int32_t>({std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()})});
    ASSERT_TRUE(out);
    EXPECT_EQ(floatsOf(*out), (std::vector<float>{-1.0f, 1.0f}));

    // Both flags at 16 bits read as int16.
    out = convertToInterleavedFloat32Stereo(describe(kInt | kFloat, 16, 1), {bufferOf<std::int16_t>({32767})});
    ASSERT_TRUE(out);
    EXPECT_EQ(floatsOf(*out)[0], 1.0f);
}

TEST(PcmConversion, RejectsUnsupportedFormatsAndShortBuffers) {
    const auto sample = bufferOf<std::int32_t>({1, 2, 3, 4});
    EXPECT_FALSE(convertToInterleavedFloat32Stereo(describe(kInt, 8, 2), {sample}));
    EXPECT_FALSE(convertToInterleavedFloat32Stereo(describe(kInt, 24, 2), {sample}));
    EXPECT_FALSE(convertToInterleavedFloat32Stereo(describe(0, 16, 2), {sample}));        // unsigned
    EXPECT_FALSE(convertToInterleavedFloat32Stereo(describe(kFloat, 64, 2), {sample}));   // double
    EXPECT_FALSE(convertToInterleavedFloat32Stereo(describe(kFloat, 32, 0), {sample}));   // no channels
    EXPECT_FALSE(convertToInterleavedFloat32Stereo(describe(kFloat, 32, 2), {}));         // no buffers

    // Less than one sample, and one sample of a stereo frame: nothing, and nothing read past the end.
    AudioBuffer tiny;
    tiny.data = {1, 2, 3};
    EXPECT_FALSE(convertToInterleavedFloat32Stereo(describe(kFloat, 32, 2), {tiny}));
    EXPECT_FALSE(convertToInterleavedFloat32Stereo(describe(kFloat, 32, 2), {bufferOf<float>({0.5f})}));
    // A planar pair where either side holds less than a sample.
    EXPECT_FALSE(convertToInterleavedFloat32Stereo(describe(kFloat, 32, 2), {bufferOf<float>({0.5f}), tiny}));
    // A null data pointer.
    AudioBuffer null;
    null.hasData = false;
    EXPECT_FALSE(convertToInterleavedFloat32Stereo(describe(kFloat, 32, 2), {null}));
    EXPECT_FALSE(convertToInterleavedFloat32Stereo(describe(kFloat, 32, 2), {bufferOf<float>({0.5f}), null}));
}

TEST(PcmConversion, PresentationTimesOutsideTheRangeCountAsZero) {
    EXPECT_EQ(presentationTimeNs(1.5), 1'500'000'000u);
    EXPECT_EQ(presentationTimeNs(-1), 0u);
    EXPECT_EQ(presentationTimeNs(std::nan("")), 0u);
    EXPECT_EQ(presentationTimeNs(std::numeric_limits<double>::infinity()), 0u);
    EXPECT_EQ(presentationTimeNs(1e11), 0u);  // 1e20 ns does not fit 64 bits
    EXPECT_EQ(audioFormatLine(describe(kFloat, 32, 2), 1),
              "[QuillmereHost] ASBD rate=48000.0 channels=2 bits=32 float=true int=false interleaved=true buffers=1");
}

}  // namespace
}  // namespace PcmConversionTests
}  // namespace qm
