// Audio stamps against a simulated sound card and reading thread: the sound server's reports can
// be stale for the first second or more, the reading thread late, the card's clock off from
// ours, and samples lost.
#include "Platform/AudioStreamClock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <vector>

namespace qm {
namespace AudioStreamClockTests {
namespace {

constexpr std::int64_t blockFrames = 480;  // 10 ms
constexpr std::int64_t blockNs = 10'000'000;
constexpr std::int64_t serverHoldNs = 468'000;  // what the server really holds once a block is recorded
constexpr std::int64_t openNs = 5'000'000'000;
constexpr std::int64_t sourceStartNs = 500'000'000;  // from the open to the first recorded frame

struct Read {
    explicit Read(std::int64_t recorded) : recordedNs(recorded) {}
    std::int64_t recordedNs;              // when the block's first frame was recorded, by our clock
    std::int64_t lateNs = 0;              // how long after its block was ready a waiting thread woke
    std::optional<std::int64_t> reportNs;  // what the server reports it holds; the truth when unset
    std::int64_t reportOverNs = 0;         // without reportNs: how far above the truth the report is
};

struct Run {
    std::vector<std::int64_t> errors;  // stamp - truth, per block
    std::vector<std::int64_t> stamps;

    std::int64_t worstFrom(std::size_t from) const {
        std::int64_t worst = 0;
        for (std::size_t k = from; k < errors.size(); ++k) worst = std::max<std::int64_t>(worst, std::llabs(errors[k]));
        return worst;
    }
    // Steps between consecutive stamps that are not exactly one block.
    std::size_t offSteps() const {
        std::size_t off = 0;
        for (std::size_t k = 1; k < stamps.size(); ++k) off += stamps[k] - stamps[k - 1] != blockNs;
        return off;
    }
};

// The stream opens at `openNs`; the first read starts `firstReadLateNs` later, each other read
// as the last one returned, and returns at once when its block is ready, else once it is ready
// and the thread woke.
Run feed(AudioStreamClock& clock, int count, const std::function<Read(int)>& read, std::int64_t firstReadLateNs = 0) {
    Run run;
    std::int64_t start = openNs + firstReadLateNs;
    for (int k = 0; k < count; ++k) {
        const auto r = read(k);
        const std::int64_t ready = r.recordedNs + blockNs + serverHoldNs;
        const std::int64_t returned = ready > start ? ready + r.lateNs : start;
        const std::int64_t held = returned - r.recordedNs - blockNs;
        const auto stamp = clock.place(returned, r.reportNs.value_or(held + r.reportOverNs), blockFrames, returned - start);
        run.stamps.push_back(stamp);
        run.errors.push_back(stamp - r.recordedNs);
        start = returned;
    }
    return run;
}

std::int64_t recorded(int k) { return openNs + sourceStartNs + k * blockNs; }

TEST(AudioStreamClock, BogusFirstLatenciesDoNotPlaceTheStreamEarly) {
    // A new stream's reports as a real daemon gives them: stale at 0.07-0.7 s for a second or
    // more, then falling by a block per read to the truth. Also while nothing plays, and with the
    // thread late now and then in the stale stretch (its reads then find blocks waiting).
    for (const std::int64_t stale : {70'000'000LL, 342'000'000LL, 685'000'000LL}) {
        for (const bool lateReads : {false, true}) {
            SCOPED_TRACE(testing::Message() << "stale " << stale << " late reads " << lateReads);
            AudioStreamClock clock;
            const auto run = feed(clock, 400, [&](int k) {
                Read r{recorded(k)};
                if (k < 120) r.reportNs = stale;
                else if (k < 120 + stale / blockNs) r.reportNs = stale - (k - 120) * blockNs;
                if (lateReads && k > 0 && k % 7 == 0) r.lateNs = 8'000'000 + k % 3 * 10'000'000;
                return r;
            });
            EXPECT_LT(run.worstFrom(0), 1'000'000) << "every stamp within a millisecond, the first included";
            EXPECT_EQ(run.offSteps(), 0u) << "stamps exactly a block apart from the first";
            EXPECT_EQ(clock.reanchorCount(), 0u);
        }
    }
}

TEST(AudioStreamClock, AFirstReadThatBeginsLateFindsItsBlocksWaitingAndStillStampsThemWhenRecorded) {
    // The reading thread gets to its first read a while after the stream opened (a loaded
    // machine), so the first blocks are waiting and the read does not wait, while the reports
    // are stale: what the server holds for the stream, plus the source's latency left from
    // before it ran. The source records from the open, or only half a second after it.
    for (const std::int64_t sourceStart : {std::int64_t{0}, sourceStartNs}) {
        for (const std::int64_t firstReadLate : {6'000'000LL, 20'000'000LL, 100'000'000LL}) {
            for (const std::int64_t stale : {70'000'000LL, 342'000'000LL, 700'000'000LL}) {
                SCOPED_TRACE(testing::Message() << "source start " << sourceStart << " first read late "
                                                << firstReadLate << " stale " << stale);
                AudioStreamClock clock;
                clock.start(openNs);
                const auto run = feed(
                    clock, 300,
                    [&](int k) {
                        Read r{openNs + sourceStart + k * blockNs};
                        if (k < 100) r.reportOverNs = stale;
                        else if (k < 100 + stale / blockNs) r.reportOverNs = stale - (k - 100) * blockNs;
                        return r;
                    },
                    firstReadLate);
                EXPECT_LT(run.worstFrom(0), 1'000'000) << "every stamp within a millisecond, the first included";
                EXPECT_EQ(run.offSteps(), 0u) << "stamps exactly a block apart from the first";
                EXPECT_EQ(clock.reanchorCount(), 0u);
            }
        }
    }
}

TEST(AudioStreamClock, StampsIgnoreALateThreadButFollowADriftingCardAndLostSamples) {
    {
        // Every third read wakes 0-250 ms late with the server's report not yet showing what came
        // meanwhile, and for a second and a half the thread is away for 300 ms at a time and then
        // reads what waited (which the reported latency covers): the stamps stay on the sound.
        AudioStreamClock clock;
        const auto run = feed(clock, 1000, [&](int k) {
            Read r{recorded(k)};
            if (k >= 400 && k < 550) {
                if (k % 30 == 0) r.lateNs = 300'000'000;
            } else if (k > 0 && k % 3 == 0) {
                r.lateNs = (k % 250) * 1'000'000;
                r.reportNs = serverHoldNs;
            }
            return r;
        });
        EXPECT_LT(run.worstFrom(0), 1'000'000);
        EXPECT_EQ(clock.reanchorCount(), 0u);
        EXPECT_EQ(run.offSteps(), 0u);
    }
    {
        // The card runs 0.5 % fast against our clock: 60 ms off after 12 s if nothing followed.
        AudioStreamClock clock;
        const auto run = feed(clock, 1200, [&](int k) {
            return Read{openNs + sourceStartNs + k * blockNs * 1000 / 1005};
        });
        EXPECT_LE(run.worstFrom(0), 20'000'000 + 12'000'000) << "never more than a packet and two seconds' drift off";
        EXPECT_GE(clock.reanchorCount(), 2u);
    }
    {
        // Two seconds of samples lost: the next block is placed where it was recorded.
        AudioStreamClock clock;
        const auto run = feed(clock, 400, [&](int k) { return Read{recorded(k) + (k > 200 ? 2'000'000'000 : 0)}; });
        EXPECT_LT(run.worstFrom(0), 1'000'000);
        EXPECT_EQ(clock.reanchorCount(), 1u);
    }
    {
        // A new stream anchors afresh, from its first block however stale the report.
        AudioStreamClock clock;
        feed(clock, 100, [&](int k) { return Read{recorded(k)}; });
        clock.reset();
        EXPECT_EQ(clock.place(openNs + 9'000'000'000, 700'000'000, blockFrames, 400'000'000),
                  openNs + 9'000'000'000 - blockNs);
        EXPECT_EQ(clock.place(openNs + 9'010'000'000, 690'000'000, blockFrames, blockNs), openNs + 9'000'000'000)
            << "one block on, whatever the report";
        clock.reset();
        EXPECT_EQ(clock.place(openNs + 12'000'000'000, std::nullopt, blockFrames, 0), openNs + 12'000'000'000 - blockNs)
            << "a first read that found its block waiting, with no report";
    }
}

}  // namespace
}  // namespace AudioStreamClockTests
}  // namespace qm
