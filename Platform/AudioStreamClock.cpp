#include "Platform/AudioStreamClock.h"

#include <algorithm>
#include <cstdlib>

namespace qm {

AudioStreamClock::AudioStreamClock(Options options)
    : options_(options),
      windowFrames_(static_cast<std::int64_t>(options.windowSeconds * static_cast<double>(options.sampleRate))) {}

std::int64_t AudioStreamClock::durationNs(std::int64_t frames) const {
    const auto rate = options_.sampleRate;
    return frames / rate * 1'000'000'000 + frames % rate * 1'000'000'000 / rate;
}

void AudioStreamClock::start(std::int64_t openedNs) {
    reset();
    openedNs_ = openedNs;
}

void AudioStreamClock::reset() {
    anchored_ = false;
    openedNs_.reset();
    framesCounted_ = 0;
    framesInWindow_ = 0;
}

std::int64_t AudioStreamClock::place(std::int64_t nowNs, std::optional<std::int64_t> latencyNs, std::int64_t frames,
                                     std::int64_t waitedNs) {
    const std::int64_t blockNs = durationNs(frames);
    // What the server still holds after this read, by its report, but never more than can be
    // true. The first read of a stream waits while the source starts; when it waited for most
    // of its block, the server had less than a block, so the block came as it was recorded,
    // whatever a stale report claims. A first read that began late finds blocks waiting, yet no
    // more than were recorded since the stream opened. After that, the server holds at most what
    // it held after the last read plus what was recorded since, less this block.
    std::int64_t heldNs = std::max<std::int64_t>(0, latencyNs.value_or(0));
    if (!anchored_) {
        if (waitedNs >= blockNs / 2) {
            heldNs = 0;
        } else if (openedNs_) {
            heldNs = std::min(heldNs, std::max<std::int64_t>(0, nowNs - *openedNs_ - blockNs));
        }
    } else {
        heldNs = std::min(heldNs, std::max<std::int64_t>(0, heldAfterLastReadNs_ + (nowNs - lastReadNs_) - blockNs));
    }
    lastReadNs_ = nowNs;
    heldAfterLastReadNs_ = heldNs;
    // Where the clock puts the start of the stream, by this block.
    const std::int64_t originNs = nowNs - heldNs - blockNs - durationNs(framesCounted_);
    if (!anchored_) {
        anchored_ = true;
        anchorNs_ = originNs;
    } else {
        const std::int64_t errorNs = originNs - anchorNs_;
        if (std::llabs(errorNs) > options_.lostThresholdNs) {
            anchorNs_ = originNs;
            framesInWindow_ = 0;
            ++reanchors_;
        } else {
            // Reads only come late (this thread or a starved server ran late), so the earliest
            // read of a window tells where the sound is.
            windowSmallestErrorNs_ = framesInWindow_ == 0 ? errorNs : std::min(windowSmallestErrorNs_, errorNs);
            framesInWindow_ += frames;
            if (framesInWindow_ >= windowFrames_) {
                framesInWindow_ = 0;
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
