// What a signed-in Viewer can make the Host write: every line a packet causes, whichever
// operation writes it, is charged to that Viewer's budget at the one road to the log.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>

#include "Platform/Core/LogSink.h"
#include "QuillmereProfiles/DisplayPayloads.h"
#include "support/InMemoryViewer.h"

namespace ServerLogBudgetTests {

using namespace qm;
using namespace qm::test;

namespace {

// Lines the process's sink writes while it lives (standard error stays quiet meanwhile).
class LineCounter {
public:
    LineCounter() {
        LogSink::shared().setWritesStandardError(false);
        subscription_ = LogSink::shared().subscribe([this](std::string_view line) {
            ++lines_;
            std::lock_guard lock(mutex_);
            last_ = line;
        });
    }
    ~LineCounter() {
        subscription_.cancel();
        LogSink::shared().setWritesStandardError(true);
    }
    std::size_t lines() const { return lines_.load(); }
    std::string last() {
        std::lock_guard lock(mutex_);
        return last_;
    }

private:
    std::atomic<std::size_t> lines_{0};
    std::mutex mutex_;
    std::string last_;
    LogSink::Subscription subscription_;
};

// `count` frames of one type sent in batches, half a second of virtual time passing after each.
void sendMany(ManualServer& host, InMemoryViewer& viewer, std::uint8_t rawType, const Bytes& payload, int count) {
    constexpr int batch = 1000;
    const auto frame = makeAuxPacket(static_cast<AuxPacketType>(rawType), 0, payload, 0);
    for (int sent = 0; sent < count; sent += batch) {
        Bytes bytes;
        bytes.reserve(frame.size() * batch);
        for (int i = 0; i < batch; ++i) bytes.insert(bytes.end(), frame.begin(), frame.end());
        viewer.sendRaw(bytes);
        host.clock().advance(0.5);
    }
}

}  // namespace

TEST(ServerLogBudget, TenThousandBadPacketsOfEachKindCostABoundedNumberOfLines) {
    constexpr int perKind = 10'000;
    // Five seconds of virtual time per kind: at most two of a Viewer's 10 s windows, each with
    // its two budgets (8 lines about what it sent, 32 about what the Host did for it), their
    // "suppressed" lines and the counts of what was left out; a little more for the Host's own
    // lines when capture starts and a video session comes and goes.
    constexpr std::size_t boundPerKind = 2 * ((8 + 2) + (32 + 2)) + 10;

    ManualServer host;
    auto& server = host.server();
    InMemoryViewer control(host, server.boundPorts().control);
    const Bytes garbage{0xFF, 0x00, 0x7F, 0x80, 0x01};

    LineCounter counter;
    auto sendKind = [&](InMemoryViewer& viewer, std::uint8_t rawType, const Bytes& payload, const std::string& what) {
        const auto before = counter.lines();
        sendMany(host, viewer, rawType, payload, perKind);
        // Whatever the packets queued elsewhere (a decode on another queue) has run by now.
        host.clock().advance(1.0);
        EXPECT_LE(counter.lines() - before, boundPerKind) << what << "; the last line: " << counter.last();
    };
    for (int raw = 0; raw < 256; ++raw) {
        const auto type = auxPacketTypeFromRaw(static_cast<std::uint8_t>(raw));
        if (!type) continue;
        // Every type on both channels: malformed payloads, wrong channels and types only the Host sends.
        sendKind(control, static_cast<std::uint8_t>(raw), garbage, "control: " + auxPacketTypeName(*type));
        // A video session that never acknowledges a frame is closed after 10 s: a fresh one per kind.
        InMemoryViewer video(host, server.boundPorts().video);
        sendKind(video, static_cast<std::uint8_t>(raw), {}, "video: " + auxPacketTypeName(*type));
    }
    sendKind(control, 200, garbage, "an unknown type");
    // Well-formed but pointless: the same capture request over and over.
    const auto request = CaptureModeControlPayload::preset(VideoCaptureMode::easy, VideoChromaMode::yuv420,
                                                           VideoCaptureBackend::physical);
    sendKind(control, static_cast<std::uint8_t>(AuxPacketType::captureModeControl), request.encode(),
             "repeated capture requests");

    EXPECT_EQ(server.resourceCounts().authorizedSessions, 1u) << "bad packets cost lines, not the sign-in";
}

}  // namespace ServerLogBudgetTests
