#include "Platform/AudioStreamClock.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

namespace qm {

AudioStreamClock::AudioStreamClock(Options options)
    : options_(options),
      settleFrames_(static_cast<std::int64_t>(options.settleSeconds * static_cast<double>(options.sampleRate))) {}

std::int64_t AudioStreamClock::durationNs(std::int64_t frames) const {
    const auto rate = options_.sampleRate;
    return frames / rate * 1'000'000'000 + frames % rate * 1'000'000'000 / rate;
}

void AudioStreamClock::reset() {
    anchored_ = false;
    framesCounted_ = 0;
    windowFrames_ = 0;
}

std::int64_t AudioStreamClock::place(std::int64_t nowNs, std::optional<std::int64_t> latencyNs, std::int64_t frames) {
    // Where the clock puts the start of the stream, by this block.
    const std::int64_t originNs = nowNs - latencyNs.value_or(0) - durationNs(frames) - durationNs(framesCounted_);
    if (!anchored_ || (latencyNs && framesCounted_ < settleFrames_ && *latencyNs < smallestLatencyNs_)) {
        // Without a latency the first anchor is a guess that any reported latency replaces.
        anchored_ = true;
        anchorNs_ = originNs;
        smallestLatencyNs_ = latencyNs.value_or(std::numeric_limits<std::int64_t>::max());
    } else if (latencyNs && framesCounted_ >= settleFrames_) {
        const std::int64_t errorNs = originNs - anchorNs_;
        if (std::llabs(errorNs) > options_.lostThresholdNs) {
            anchorNs_ = originNs;
            windowFrames_ = 0;
            ++reanchors_;
        } else {
            // Reads only come late (this thread or a starved server ran late), so the earliest
            // read of a window tells where the sound is. A monitor reports a latency far too large
            // while nothing plays, so the anchor made then is off until the sound starts.
            windowSmallestErrorNs_ = windowFrames_ == 0 ? errorNs : std::min(windowSmallestErrorNs_, errorNs);
            windowFrames_ += frames;
            if (windowFrames_ >= settleFrames_) {
                windowFrames_ = 0;
                if (std::llabs(windowSmallestErrorNs_) > options_.toleranceNs) {
                    anchorNs_ += windowSmallestErrorNs_;
                    ++reanchors_;
                }
            }
        }
    }
    const std::int64_t stampNs = anchorNs_ + durationNs(framesCounted_);
    framesCounted_ += frames;
    return stampNs;
}

}  // namespace qm
