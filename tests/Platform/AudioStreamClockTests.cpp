// Audio stamps against a simulated sound card: the sound server's reports can be bogus at the
// start, the reading thread late, the card's clock off from ours, and samples lost.
#include "Platform/AudioStreamClock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

namespace qm {
namespace AudioStreamClockTests {
namespace {

constexpr std::int64_t blockFrames = 480;  // 10 ms
constexpr std::int64_t blockNs = 10'000'000;

struct Read {
    std::int64_t recordedNs;  // when the block's first frame was recorded, by our clock
    std::int64_t latencyNs;   // what the server reports
    std::int64_t lateNs;      // how late the reading thread ran
};

// Feeds `count` blocks and returns the largest |stamp - truth| from block `from` on.
std::int64_t worstError(AudioStreamClock& clock, int count, int from, const std::function<Read(int)>& read) {
    std::int64_t worst = 0;
    for (int k = 0; k < count; ++k) {
        const auto r = read(k);
        const std::int64_t held = 468'000;  // what the server really holds
        const auto stamp = clock.place(r.recordedNs + blockNs + held + r.lateNs, r.latencyNs, blockFrames);
        if (k >= from) worst = std::max<std::int64_t>(worst, std::llabs(stamp - r.recordedNs));
    }
    return worst;
}

TEST(AudioStreamClock, BogusFirstLatenciesDoNotPlaceTheStreamEarly) {
    AudioStreamClock clock;
    const std::int64_t start = 5'000'000'000;
    // A monitor stream's first reports are hundreds of milliseconds too large.
    const auto worst = worstError(clock, 300, 3, [&](int k) {
        const std::int64_t bogus = k == 0 ? 713'178'000 : k == 1 ? 342'625'000 : 468'000;
        return Read{start + k * blockNs, bogus, 0};
    });
    EXPECT_LT(worst, 1'000'000) << "within a millisecond once a settled latency came";
    EXPECT_EQ(clock.reanchorCount(), 0u);

    // While nothing plays, a monitor can report 0.7 s for seconds on end: once the sound starts,
    // the stamps are on it within a window.
    AudioStreamClock silent;
    const auto later = worstError(silent, 400, 260, [&](int k) {
        return Read{start + k * blockNs, k < 200 ? 700'000'000 : 468'000, 0};
    });
    EXPECT_LT(later, 1'000'000);
    EXPECT_EQ(silent.reanchorCount(), 1u);
}

TEST(AudioStreamClock, StampsIgnoreALateThreadButFollowADriftingCardAndLostSamples) {
    const std::int64_t start = 5'000'000'000;
    {
        // Every third read finds the server's report 0-250 ms old, and for a second and a half the
        // thread is away for 300 ms at a time and then reads what waited (which the reported
        // latency covers): the stamps stay on the sound.
        AudioStreamClock clock;
        const auto worst = worstError(clock, 1000, 0, [&](int k) {
            if (k >= 400 && k < 550) {
                const std::int64_t backlog = 300'000'000 - (k % 30) * blockNs;
                return Read{start + k * blockNs, 468'000 + backlog, backlog};
            }
            return Read{start + k * blockNs, 468'000, k % 3 == 0 ? (k % 250) * 1'000'000 : 0};
        });
        EXPECT_LT(worst, 1'000'000);
        EXPECT_EQ(clock.reanchorCount(), 0u);
    }
    {
        // The card runs 0.5 % fast against our clock: 60 ms off after 12 s if nothing followed.
        AudioStreamClock clock;
        const auto worst = worstError(clock, 1200, 50, [&](int k) {
            return Read{start + k * blockNs * 1000 / 1005, 468'000, 0};
        });
        EXPECT_LE(worst, 20'000'000 + 12'000'000) << "never more than a packet and two seconds' drift off";
        EXPECT_GE(clock.reanchorCount(), 2u);
    }
    {
        // Two seconds of samples lost: the next block is placed where it was recorded.
        AudioStreamClock clock;
        const auto worst = worstError(clock, 400, 201, [&](int k) {
            return Read{start + k * blockNs + (k > 200 ? 2'000'000'000 : 0), 468'000, 0};
        });
        EXPECT_LT(worst, 1'000'000);
        EXPECT_EQ(clock.reanchorCount(), 1u);
    }
    {
        // A new stream anchors afresh; a read without a latency does not fix the anchor.
        AudioStreamClock clock;
        worstError(clock, 100, 0, [&](int k) { return Read{start + k * blockNs, 468'000, 0}; });
        clock.reset();
        EXPECT_EQ(clock.place(start + 9'000'000'000, std::nullopt, blockFrames), start + 9'000'000'000 - blockNs);
        EXPECT_EQ(clock.place(start + 9'010'000'000, 5'000'000, blockFrames), start + 9'000'000'000 - 5'000'000)
            << "the first reported latency replaces the guess";
    }
}

}  // namespace
}  // namespace AudioStreamClockTests
}  // namespace qm
