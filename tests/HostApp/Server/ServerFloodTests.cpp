// Strangers that never sign in flood the Host over real sockets while a signed-in Viewer streams:
// its frames keep coming, the right password still signs in, and the Host's memory stays bounded.
#include <gtest/gtest.h>

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <mutex>
#include <thread>

#include "HostApp/Server/ServerConstants.h"
#include "Platform/Core/Clock.h"
#include "QuillmereProfiles/InputPayloads.h"
#include "QuillmereProfiles/SessionPayloads.h"
#include "support/LiveServer.h"
#include "support/Sanitizers.h"
#include "support/TestViewer.h"

namespace ServerFloodTests {

using namespace qm;
using namespace qm::test;
using namespace std::chrono_literals;

namespace {


std::int64_t residentMegabytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6)) / 1024;
    }
    return 0;
}

// Writes `bytes` over and over on fresh connections from `source` until told to stop, never
// reading a reply: the Host must close or bound each one.
void floodWith(std::uint16_t port, const std::string& source, const Bytes& bytes, const std::atomic<bool>& running) {
    asio::io_context context;
    while (running.load()) {
        asio::ip::tcp::socket socket(context);
        std::error_code ec;
        socket.open(asio::ip::tcp::v4(), ec);
        socket.bind(asio::ip::tcp::endpoint(asio::ip::make_address(source), 0), ec);
        socket.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port), ec);
        if (ec) continue;
        socket.non_blocking(true, ec);
        for (int i = 0; i < 200 && running.load(); ++i) {
            asio::write(socket, asio::buffer(bytes), ec);
            if (ec && ec != asio::error::would_block) break;
        }
    }
}

// Frames per second over the frames received from index `from` to index `to`.
double frameRate(const std::vector<std::uint64_t>& times, std::size_t from, std::size_t to) {
    if (to >= times.size() || to <= from || times[to] <= times[from]) return 0;
    return static_cast<double>(to - from) * 1e9 / static_cast<double>(times[to] - times[from]);
}

}  // namespace

TEST(ServerFlood, StrangersFloodingTheHostDoNotStallASignedInViewer) {
    LiveServer live;
    live.displays()->addDisplay(SimulatedDisplayService::makeDisplay(1, {0, 0}, 320, 180, 320, 180, 60, true));
    TestViewer control(live.ports().control);
    ASSERT_TRUE(control.signIn(LiveServer::user, LiveServer::password)->accepted);
    // What the video Viewer's reading thread writes outlives the Viewer, which stops that thread.
    std::mutex mutex;
    std::vector<std::uint64_t> frameTimes;
    std::size_t frames = 0;
    TestViewer video(live.ports().video);
    video.setObserver([&](const AuxFrame& frame, std::uint64_t receivedNs) {
        if (frame.header.type != AuxPacketType::videoFrame) return;
        auto payload = VideoFramePayload::decode(frame.payload);
        if (!payload) return;
        {
            std::lock_guard lock(mutex);
            frameTimes.push_back(receivedNs);
            ++frames;
        }
        video.send(AuxPacketType::videoFrameAck, VideoFrameAckPayload{payload->frameNumber}.encode());
    });
    ASSERT_TRUE(video.signIn(LiveServer::user, LiveServer::password)->accepted);
    // The rate before the flood, in this run on this machine, is what the rate under it is held to.
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard lock(mutex);
        return frames >= 90;
    }, 20s));
    const double rateBefore = [&] {
        std::lock_guard lock(mutex);
        return frameRate(frameTimes, 30, 90);
    }();
    const auto memoryBefore = residentMegabytes();

    const Bytes refused = makeAuxPacket(AuxPacketType::pointerEvent, 0, PointerEventControlPayload{}.encode(), 0);
    Bytes challenges;
    for (int i = 0; i < 8; ++i) {
        const auto packet = makeAuxPacket(AuxPacketType::identityChallenge, 0, IdentityChallengePayload{}.encode(), 0);
        challenges.insert(challenges.end(), packet.begin(), packet.end());
    }
    Bytes halfFrame = makeAuxPacket(AuxPacketType::clientSessionAuth, 0, Bytes(6000, 0x41), 0);
    halfFrame.resize(3000);  // announces 6,000 bytes and never sends the rest

    const std::size_t linesBeforeFlood = live.statusCount();
    const auto floodStarted = std::chrono::steady_clock::now();
    std::atomic<bool> running{true};
    std::atomic<int> wrongAttempts{0};  // outlives the threads that count into it
    std::vector<std::thread> flood;
    flood.emplace_back(floodWith, live.ports().control, "127.0.0.2", refused, std::cref(running));
    flood.emplace_back(floodWith, live.ports().video, "127.0.0.3", challenges, std::cref(running));
    flood.emplace_back(floodWith, live.ports().control, "127.0.0.4", halfFrame, std::cref(running));
    flood.emplace_back(floodWith, live.ports().fileTransfer, "127.0.0.5", refused, std::cref(running));
    for (const char* source : {"127.0.0.6", "127.0.0.7", "127.0.0.8"}) {
        flood.emplace_back([&, source] {
            while (running.load()) {
                TestViewer guesser(live.ports().control, "127.0.0.1", source);
                if (guesser.signIn(LiveServer::user, "wrong guess")) ++wrongAttempts;
            }
        });
    }

    // The flood runs while the stream goes on for about two seconds (120 frames) under it.
    const auto framesBefore = [&] {
        std::lock_guard lock(mutex);
        return frames;
    }();
    EXPECT_TRUE(waitUntil([&] {
        std::lock_guard lock(mutex);
        return frames >= framesBefore + 120;
    }, 20s));
    // The right password from an address of its own still gets a check and signs in.
    TestViewer newcomer(live.ports().control, "127.0.0.1", "127.0.0.9");
    const auto result = newcomer.signIn(LiveServer::user, LiveServer::password);
    running.store(false);
    for (auto& thread : flood) thread.join();
    const double floodSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - floodStarted).count();

    ASSERT_TRUE(result);
    EXPECT_TRUE(result->accepted) << result->message;
    EXPECT_GT(wrongAttempts.load(), 3);
    std::lock_guard lock(mutex);
    // Every frame of the stretch arrived; the flood may slow the stream down, but not to under
    // half of what it ran at just before.
    const double rateUnder = frameRate(frameTimes, framesBefore, framesBefore + 120);
    EXPECT_GE(rateUnder, rateBefore / 2) << "frames per second before the flood " << rateBefore << ", under it " << rateUnder;
    // The flood may cost the Host a bounded amount: small buffers per stranger, at most 64 of
    // them, and a bounded queue per connection. (AddressSanitizer keeps freed memory in
    // quarantine, so there resident memory says nothing about the Host.)
    if (!runsUnderAddressSanitizer) {
        EXPECT_LT(residentMegabytes() - memoryBefore, 100) << "resident memory grew from " << memoryBefore << " MB";
    }
    // The strangers' thousands of connections leave a short log: their budget per second and the
    // count of what it left out, over however long this machine took to stream the stretch, plus
    // the lines of the signed-in Viewers' own stream and the newcomer's sign-in.
    const auto budgetedLines = static_cast<std::size_t>(
        (ServerConstants::strangerLogLinesPerSecond + 1) * (std::ceil(floodSeconds) + 1));
    EXPECT_LE(live.statusCount() - linesBeforeFlood, budgetedLines + 60)
        << "over " << floodSeconds << " s of flood";
}

}  // namespace ServerFloodTests
