#pragma once

#include <cstdint>
#include <optional>

namespace qm {

// Places the blocks of a captured audio stream on the uptime clock. Each block is stamped from
// the stream position (an anchor plus the frames counted since), never from when the reading
// thread got to run, so the stamps advance exactly with the sound.
//
// A block read at `now` began at now - its own length - what the server still held. What the
// server reports it holds cannot be taken as it comes: a new stream's reports are stale for a
// second or more (0.07-0.7 s against a true 0, left from before its source ran), and trusting
// them stamps the first blocks that much early. The reads say more. The first read of a stream
// waits while the source starts; when it waited for most of its block, the server held less
// than a block, so the block came as it was recorded. A first read that begins late (the thread
// was slow to get there) finds its block waiting, but the server cannot hold more than was
// recorded since the stream opened. After that, the server cannot hold more than it held after
// the last read plus what was recorded since. The report is capped by those, so no block is
// placed early by a stale report. The stream is placed once, by its first block,
// and the stamps are then compared with the clock over windows of `windowSeconds`: reads
// only come late, so when even the earliest read of a window puts the stamps more than
// `toleranceNs` off (the card's clock drifted from ours), the anchor moves by that much. A
// thread or server that runs late for part of a window moves nothing. A difference beyond
// `lostThresholdNs` (samples lost in an overrun) moves it at once.
class AudioStreamClock {
public:
    struct Options {
        std::int64_t sampleRate = 48000;
        double windowSeconds = 0.5;
        std::int64_t toleranceNs = 20'000'000;  // one audio packet
        std::int64_t lostThresholdNs = 1'000'000'000;
    };

    AudioStreamClock() : AudioStreamClock(Options()) {}
    explicit AudioStreamClock(Options options);

    // A block of `frames` frames was read at `nowNs` (uptime) after the read waited `waitedNs`
    // for it, while the server reported `latencyNs` (none when it could not tell): the uptime of
    // the block's first frame.
    std::int64_t place(std::int64_t nowNs, std::optional<std::int64_t> latencyNs, std::int64_t frames,
                       std::int64_t waitedNs);
    // The stream (re)opened at `openedNs` (uptime): the next block anchors afresh, and nothing the
    // server holds for it was recorded before then.
    void start(std::int64_t openedNs);
    // The stream started again at a time not known: the next block anchors afresh.
    void reset();
    // How often the anchor moved after the stream was placed (for the log and tests).
    std::uint64_t reanchorCount() const { return reanchors_; }

private:
    std::int64_t durationNs(std::int64_t frames) const;

    Options options_;
    std::int64_t windowFrames_;
    bool anchored_ = false;
    std::optional<std::int64_t> openedNs_;
    std::int64_t anchorNs_ = 0;
    std::int64_t framesCounted_ = 0;
    std::int64_t framesInWindow_ = 0;
    // The last read, and what the server held after it by the estimate made then.
    std::int64_t lastReadNs_ = 0;
    std::int64_t heldAfterLastReadNs_ = 0;
    // The earliest read of the current window, against the stamps.
    std::int64_t windowSmallestErrorNs_ = 0;
    std::uint64_t reanchors_ = 0;
};

}  // namespace qm
