#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Platform/AudioCapture.h"

namespace qm {

// The one PCM form of the audio pipeline: frames of 8 bytes, float32 left then float32 right,
// native byte order, 48 kHz, no header.
constexpr std::size_t kStereoFloatFrameBytes = 8;

// Converts the buffers of one delivery (float32, int16 or int32; interleaved in one buffer or
// planar in one buffer per channel; any channel count) into interleaved float32 stereo. The first
// two channels are kept; a single channel goes to both sides. No resampling. Empty when the
// format is not one of these, or when no whole frame is present. Never reads past a buffer.
std::optional<Bytes> convertToInterleavedFloat32Stereo(const AudioStreamBasicDescription& format,
                                                       const std::vector<AudioBuffer>& buffers);

// True for the sample formats the conversion reads: 32-bit float, 16-bit or 32-bit signed integer.
bool isConvertibleSampleFormat(const AudioStreamBasicDescription& format);

// The one-time diagnostic line describing a stream's format (without the line feed).
std::string audioFormatLine(const AudioStreamBasicDescription& format, std::size_t bufferCount);

// A presentation time in seconds as uptime nanoseconds: a negative, not-a-number, infinite or
// too large value counts as 0.
std::uint64_t presentationTimeNs(double seconds);

}  // namespace qm
