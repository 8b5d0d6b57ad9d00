#include "HostApp/Audio/PcmConversion.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <fmt/format.h>

namespace qm {

namespace {

enum class SampleKind { float32, int16, int32 };

std::optional<SampleKind> sampleKind(const AudioStreamBasicDescription& format) {
    const bool isFloat = (format.mFormatFlags & AudioFormatFlags::isFloat) != 0;
    const bool isSigned = (format.mFormatFlags & AudioFormatFlags::isSignedInteger) != 0;
    if (isFloat && format.mBitsPerChannel == 32) return SampleKind::float32;
    if (isSigned && format.mBitsPerChannel == 16) return SampleKind::int16;
    if (isSigned && !isFloat && format.mBitsPerChannel == 32) return SampleKind::int32;
    return std::nullopt;
}

inline float clampUnit(float v) {
    v = std::min(v, 1.0f);
    return v < -1.0f ? -1.0f : v;
}

inline float readSample(SampleKind kind, const std::uint8_t* p) {
    switch (kind) {
        case SampleKind::float32: {
            float v;
            std::memcpy(&v, p, 4);
            return v;
        }
        case SampleKind::int16: {
            std::int16_t v;
            std::memcpy(&v, p, 2);
            return clampUnit(static_cast<float>(v) / 32767.0f);
        }
        case SampleKind::int32: {
            std::int32_t v;
            std::memcpy(&v, p, 4);
            return clampUnit(static_cast<float>(v) * 4.656612873077393e-10f);
        }
    }
    return 0;
}

inline void writeFrame(std::uint8_t* out, float left, float right) {
    std::memcpy(out, &left, 4);
    std::memcpy(out + 4, &right, 4);
}

}  // namespace

std::optional<Bytes> convertToInterleavedFloat32Stereo(const AudioStreamBasicDescription& format,
                                                       const std::vector<AudioBuffer>& buffers) {
    const std::size_t channels = format.mChannelsPerFrame;
    if (channels == 0) return std::nullopt;
    const auto kind = sampleKind(format);
    if (!kind) return std::nullopt;
    const std::size_t bytesPerSample = format.mBitsPerChannel / 8;

    if (buffers.size() == 1) {
        const AudioBuffer& buffer = buffers[0];
        if (!buffer.hasData) return std::nullopt;
        const std::size_t samples = buffer.data.size() / bytesPerSample;
        // Only whole frames: a buffer holding part of one frame converts to nothing.
        const std::size_t frames = samples / channels;
        if (frames == 0) return std::nullopt;
        Bytes out(frames * kStereoFloatFrameBytes);
        const std::uint8_t* in = buffer.data.data();
        const std::size_t stride = channels * bytesPerSample;
        for (std::size_t i = 0; i < frames; ++i) {
            const std::uint8_t* frame = in + i * stride;
            const float left = readSample(*kind, frame);
            const float right = channels == 1 ? left : readSample(*kind, frame + bytesPerSample);
            writeFrame(out.data() + i * kStereoFloatFrameBytes, left, right);
        }
        return out;
    }
    if (buffers.size() >= 2) {
        const AudioBuffer& first = buffers[0];
        const AudioBuffer& second = channels == 1 ? buffers[0] : buffers[1];
        if (!first.hasData || !second.hasData) return std::nullopt;
        const std::size_t frames = std::min(first.data.size(), second.data.size()) / bytesPerSample;
        if (frames == 0) return std::nullopt;
        Bytes out(frames * kStereoFloatFrameBytes);
        for (std::size_t i = 0; i < frames; ++i) {
            const float left = readSample(*kind, first.data.data() + i * bytesPerSample);
            const float right = channels == 1 ? left : readSample(*kind, second.data.data() + i * bytesPerSample);
            writeFrame(out.data() + i * kStereoFloatFrameBytes, left, right);
        }
        return out;
    }
    return std::nullopt;
}

bool isConvertibleSampleFormat(const AudioStreamBasicDescription& format) { return sampleKind(format).has_value(); }

std::string audioFormatLine(const AudioStreamBasicDescription& format, std::size_t bufferCount) {
    std::string rate = fmt::format("{}", format.mSampleRate);
    if (rate.find_first_of(".eE") == std::string::npos && std::isfinite(format.mSampleRate)) rate += ".0";
    return fmt::format("[QuillmereHost] ASBD rate={} channels={} bits={} float={} int={} interleaved={} buffers={}", rate,
                       format.mChannelsPerFrame, format.mBitsPerChannel,
                       (format.mFormatFlags & AudioFormatFlags::isFloat) != 0,
                       (format.mFormatFlags & AudioFormatFlags::isSignedInteger) != 0,
                       (format.mFormatFlags & AudioFormatFlags::isNonInterleaved) == 0, bufferCount);
}

std::uint64_t presentationTimeNs(double seconds) {
    if (!std::isfinite(seconds) || seconds <= 0) return 0;
    const double ns = seconds * 1'000'000'000.0;
    // Beyond 2^63 ns (292 years of uptime) a time is as meaningless as a non-finite one.
    if (!(ns < 9223372036854775807.0)) return 0;
    // Rounded, not truncated: a time that is a whole number of nanoseconds stays one after the
    // trip through seconds, so packets on a 20 ms grid stay exactly 20 ms apart.
    return static_cast<std::uint64_t>(std::llround(ns));
}

}  // namespace qm
