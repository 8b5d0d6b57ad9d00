#pragma once

#include <cstdint>
#include <optional>

namespace qm {

// Places the blocks of a captured audio stream on the uptime clock. Each block is stamped from
// the stream position (an anchor plus the frames counted since), never from when the reading
// thread got to run, so the stamps advance exactly with the sound.
//
// The anchor comes from what the sound server reports: a block read at `now` with `latency`
// still held by the server began at now - latency - its own length. The first latencies of a
// stream can be far off (a monitor stream reports 0.2-0.7 s against a settled 0.5 ms for as long
// as nothing plays), so over the first `settleSeconds` the anchor follows the read with the
// smallest latency. After that the stamps are compared with the clock over windows of the same
// length: reads only come late, so when even the earliest read of a window puts the stamps more
// than `toleranceNs` off (the sound started after a bogus start, the card's clock drifted from
// ours), the anchor moves by that much. A thread or server that runs late for part of a window
// moves nothing. A difference beyond `lostThresholdNs` (samples lost in an overrun) moves it at
// once.
class AudioStreamClock {
public:
    struct Options {
        std::int64_t sampleRate = 48000;
        double settleSeconds = 0.5;
        std::int64_t toleranceNs = 20'000'000;  // one audio packet
        std::int64_t lostThresholdNs = 1'000'000'000;
    };

    AudioStreamClock() : AudioStreamClock(Options()) {}
    explicit AudioStreamClock(Options options);

    // A block of `frames` frames was read at `nowNs` (uptime) while the server reported
    // `latencyNs` (none when it could not tell): the uptime of the block's first frame.
    std::int64_t place(std::int64_t nowNs, std::optional<std::int64_t> latencyNs, std::int64_t frames);
    // The stream started again (a new source): the next block anchors afresh.
    void reset();
    // How often the anchor moved after it settled (for the log and tests).
    std::uint64_t reanchorCount() const { return reanchors_; }

private:
    std::int64_t durationNs(std::int64_t frames) const;

    Options options_;
    std::int64_t settleFrames_;
    bool anchored_ = false;
    std::int64_t anchorNs_ = 0;
    std::int64_t framesCounted_ = 0;
    std::int64_t smallestLatencyNs_ = 0;
    std::int64_t windowFrames_ = 0;
    // The earliest read of the current window, against the stamps.
    std::int64_t windowSmallestErrorNs_ = 0;
    std::uint64_t reanchors_ = 0;
};

}  // namespace qm
