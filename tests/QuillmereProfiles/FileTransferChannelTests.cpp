#include <gtest/gtest.h>

#include <set>
#include <unordered_set>

#include "Platform/Core/ManualDispatchQueue.h"
#include "QuillmereProfiles/FileTransferChannel.h"
#include "support/ScriptedConnection.h"

namespace FileTransferChannelTests {

using namespace qm;
using qm::test::ScriptedConnection;

namespace {

// Frame bytes built by hand, independently of the code under test.
Bytes frame(const Bytes& payload, std::uint32_t announced) {
    Bytes out{'F', 'T', 'R', 'X'};
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(announced >> (8 * i)));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}
Bytes frame(const Bytes& payload) { return frame(payload, static_cast<std::uint32_t>(payload.size())); }
Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct Channel {
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<ManualDispatchQueue> queue = clock->makeQueue("files");
    std::shared_ptr<ScriptedConnection> wire = std::make_shared<ScriptedConnection>();
    std::shared_ptr<std::vector<std::string>> log = std::make_shared<std::vector<std::string>>();
    std::vector<Bytes> frames;
    std::vector<SharedBytes> storages;  // what each frame's bytes lay in
    std::vector<std::optional<NetworkError>> endings;
    std::shared_ptr<FileTransferChannelConnection> channel;

    explicit Channel(bool ready = true) {
        auto lines = log;
        channel = std::make_shared<FileTransferChannelConnection>(
            wire, queue, "file aux", [lines](const std::string& line) { lines->push_back(line); });
        channel->onFrame = [this](std::span<const std::uint8_t> payload, const SharedBytes& storage) {
            frames.emplace_back(payload.begin(), payload.end());
            storages.push_back(storage);
        };
        channel->onEnded = [this](const std::optional<NetworkError>& error) { endings.push_back(error); };
        channel->start();
        if (ready) {
            wire->becomeReady();
            run();
        }
    }
    void run() { queue->runUntilIdle(); }
};

}  // namespace

TEST(FileTransferChannelConnection, ReadsOnlyOnceReadyInReadsSizedToTheFrameLimit) {
    Channel c(false);
    // A stranger's channel reads one small frame at a time, from the first read on.
    c.channel->setMaximumPayloadSize(16);
    c.run();
    EXPECT_FALSE(c.wire->isReceivingContinuously());
    c.wire->reportState(Connection::State::preparing);
    c.run();
    EXPECT_FALSE(c.wire->isReceivingContinuously());
    EXPECT_TRUE(c.log->empty());

    c.wire->becomeReady();
    c.run();
    EXPECT_EQ(*c.log, std::vector<std::string>{"file aux ready"});
    EXPECT_TRUE(c.wire->isReceivingContinuously());
    EXPECT_EQ(c.wire->receiveBufferSize(), 24u);
    c.channel->setMaximumPayloadSize(FileTransferChannelConstants::maxPayloadSize);
    EXPECT_EQ(c.wire->receiveBufferSize(), FileTransferChannelConnection::maxReadSize);

    // A frame larger than one read arrives over several reads and is delivered once, whole, put
    // together in a buffer of exactly its size.
    Bytes big(2 * FileTransferChannelConnection::maxReadSize + 12345);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
    c.wire->deliver(frame(big));
    c.run();
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.frames[0], big);
    EXPECT_EQ(c.storages[0]->size(), big.size() + 8);

    // Frames whole inside one read are views into that read's buffer, not copies.
    c.wire->deliver(concat({frame(text("one")), frame(text("two"))}));
    c.run();
    ASSERT_EQ(c.frames.size(), 3u);
    EXPECT_EQ(c.storages[1], c.storages[2]);
    EXPECT_EQ(c.storages[1]->size(), 2 * 8 + 6u);
    // An empty read changes nothing.
    c.wire->deliver({});
    c.run();
    EXPECT_TRUE(c.wire->isReceivingContinuously());
    EXPECT_TRUE(c.endings.empty());
}

TEST(FileTransferChannelConnection, PausedReadingHoldsFramesUntilResumed) {
    // Paused before the connection is ready: applied when reading begins.
    Channel c(false);
    c.channel->setReadingPaused(true);
    c.wire->becomeReady();
    c.run();
    EXPECT_TRUE(c.wire->receivingPaused());
    c.wire->deliver(frame(text("held")));
    c.run();
    EXPECT_TRUE(c.frames.empty());

    c.channel->setReadingPaused(false);
    c.run();
    EXPECT_FALSE(c.wire->receivingPaused());
    EXPECT_EQ(c.frames, std::vector<Bytes>{text("held")});

    // Paused while reading: later reads wait, in order.
    c.channel->setReadingPaused(true);
    c.wire->deliver(frame(text("a")));
    c.wire->deliver(frame(text("b")));
    c.run();
    EXPECT_EQ(c.frames.size(), 1u);
    c.channel->setReadingPaused(false);
    c.run();
    EXPECT_EQ(c.frames, (std::vector<Bytes>{text("held"), text("a"), text("b")}));
    EXPECT_TRUE(c.endings.empty());
}

TEST(FileTransferChannelConnection, CutsFramesAtAnyReadBoundary) {
    Channel c;
    const Bytes stream = concat({frame(text("hello")), frame(text("world!"))});
    // Header of the first frame split after 3 and 7 bytes, the second frame split mid-payload.
    std::size_t from = 0;
    std::vector<std::size_t> framesAfterEachRead;
    for (std::size_t cut : {std::size_t{3}, std::size_t{7}, std::size_t{12}, std::size_t{17}, stream.size()}) {
        c.wire->deliver(Bytes(stream.begin() + static_cast<std::ptrdiff_t>(from), stream.begin() + static_cast<std::ptrdiff_t>(cut)));
        c.run();
        framesAfterEachRead.push_back(c.frames.size());
        from = cut;
    }
    EXPECT_EQ(framesAfterEachRead, (std::vector<std::size_t>{0, 0, 0, 1, 2}));
    EXPECT_EQ(c.frames, (std::vector<Bytes>{text("hello"), text("world!")}));

    // Many frames in one read, including empty payloads, come out in order.
    Bytes many;
    std::vector<Bytes> expected;
    for (int i = 0; i < 2000; ++i) {
        Bytes payload(static_cast<std::size_t>(i % 5), static_cast<std::uint8_t>(i));
        expected.push_back(payload);
        auto f = frame(payload);
        many.insert(many.end(), f.begin(), f.end());
    }
    c.frames.clear();
    c.wire->deliver(many);
    c.run();
    EXPECT_EQ(c.frames, expected);

    EXPECT_TRUE(c.endings.empty());
}

TEST(FileTransferChannelConnection, RefusesOversizedLengthsWithTheLimitInclusive) {
    {
        Channel c;
        Bytes max(FileTransferChannelConstants::maxPayloadSize, 0x5A);
        c.wire->deliver(frame(max));
        c.run();
        ASSERT_EQ(c.frames.size(), 1u);
        EXPECT_EQ(c.frames[0].size(), 8388608u);
        EXPECT_TRUE(c.endings.empty());
    }
    {
        Channel c;
        // Only the header is needed: the length is judged before any payload arrives.
        c.wire->deliver(frame({}, 8388609));
        c.run();
        EXPECT_TRUE(c.frames.empty());
        EXPECT_EQ(*c.log, (std::vector<std::string>{"file aux ready", "file aux payload too large (8388609); closing",
                                                     "file aux cancelled"}));
        ASSERT_EQ(c.endings.size(), 1u);
        EXPECT_FALSE(c.endings[0].has_value());
        EXPECT_EQ(c.wire->cancelCount(), 1u);
        EXPECT_TRUE(c.channel->didEnd());
    }
}

TEST(FileTransferChannelConnection, OwnerLimitGuardsAnUnauthorisedChannel) {
    Channel c;
    c.channel->setMaximumPayloadSize(1ULL << 40);
    EXPECT_EQ(c.channel->maximumPayloadSize(), FileTransferChannelConstants::maxPayloadSize);

    c.channel->setMaximumPayloadSize(16);
    // The owner lifts the limit from inside the handler once the first frame is accepted; the
    // next frame of the same read is judged by the new limit.
    c.channel->onFrame = [&](std::span<const std::uint8_t> payload, const SharedBytes&) {
        c.frames.emplace_back(payload.begin(), payload.end());
        c.channel->setMaximumPayloadSize(FileTransferChannelConstants::maxPayloadSize);
    };
    c.wire->deliver(concat({frame(Bytes(16, 1)), frame(Bytes(1000, 2))}));
    c.run();
    EXPECT_EQ(c.frames.size(), 2u);

    Channel stranger;
    stranger.channel->setMaximumPayloadSize(16);
    stranger.wire->deliver(frame(Bytes(17, 3)));
    stranger.run();
    EXPECT_TRUE(stranger.frames.empty());
    EXPECT_EQ(stranger.log->at(1), "file aux payload too large (17); closing");
    EXPECT_EQ(stranger.endings.size(), 1u);
}

TEST(FileTransferChannelConnection, ClosesOnBadMagicWithoutResynchronising) {
    Channel c;
    // Seven bytes that already differ from the magic are not judged yet.
    c.wire->deliver(text("GARBAGE"));
    c.run();
    EXPECT_EQ(c.log->size(), 1u);
    EXPECT_TRUE(c.endings.empty());

    // The eighth byte completes a header; a valid frame right behind it is never delivered.
    c.wire->deliver(concat({Bytes{0}, frame(text("later"))}));
    c.run();
    EXPECT_TRUE(c.frames.empty());
    EXPECT_EQ(*c.log, (std::vector<std::string>{"file aux ready", "file aux magic mismatch; closing",
                                                 "file aux cancelled"}));
    ASSERT_EQ(c.endings.size(), 1u);
    EXPECT_FALSE(c.endings[0].has_value());
    EXPECT_FALSE(c.wire->isReceivingContinuously());

    // A good frame followed by garbage in the same read: the good one arrives, then the end.
    Channel d;
    d.wire->deliver(concat({frame(text("ok")), Bytes{'F', 'T', 'R', 'Y', 0, 0, 0, 0}}));
    d.run();
    EXPECT_EQ(d.frames, std::vector<Bytes>{text("ok")});
    EXPECT_EQ(d.endings.size(), 1u);
}

TEST(FileTransferChannelConnection, PeerCloseAndReadErrorsEndTheChannelOnce) {
    {
        Channel c;
        const auto f = frame(text("unfinished"));
        c.wire->deliver(Bytes(f.begin(), f.begin() + 12));
        c.wire->closeFromPeer();
        c.run();
        EXPECT_TRUE(c.frames.empty());
        ASSERT_EQ(c.endings.size(), 1u);
        EXPECT_FALSE(c.endings[0].has_value());
        // Our cancel drives the connection to `cancelled`: logged, but no second end.
        EXPECT_EQ(c.log->back(), "file aux cancelled");
        EXPECT_EQ(c.endings.size(), 1u);
    }
    {
        // The peer's last bytes complete a frame in the same read that ends the stream.
        Channel c;
        c.wire->closeFromPeer(frame(text("last")));
        c.run();
        EXPECT_EQ(c.frames, std::vector<Bytes>{text("last")});
        EXPECT_EQ(c.endings.size(), 1u);
    }
    {
        Channel c;
        c.wire->failRead(NetworkError{ECONNRESET, "Connection reset by peer"});
        c.run();
        ASSERT_EQ(c.endings.size(), 1u);
        ASSERT_TRUE(c.endings[0].has_value());
        EXPECT_EQ(c.endings[0]->code, ECONNRESET);
        EXPECT_EQ(c.wire->cancelCount(), 1u);
    }
    {
        Channel c;
        c.wire->reportState(Connection::State::failed, NetworkError{ETIMEDOUT, "Operation timed out"});
        c.run();
        EXPECT_EQ((*c.log)[1], "file aux failed: Operation timed out");
        ASSERT_EQ(c.endings.size(), 1u);
        EXPECT_EQ(c.endings[0]->description, "Operation timed out");
        c.channel->cancel();
        c.run();
        EXPECT_EQ(c.endings.size(), 1u);
    }
}

TEST(FileTransferChannelConnection, CancelEndsOnceAndStopsDelivery) {
    Channel c;
    c.channel->cancel();
    c.channel->cancel();
    c.run();
    EXPECT_EQ(c.endings.size(), 1u);
    EXPECT_FALSE(c.endings[0].has_value());
    EXPECT_EQ(c.wire->cancelCount(), 1u);

    // Cancelling from inside onFrame: the frames behind it in the same read are not delivered.
    Channel d;
    d.channel->onFrame = [&](std::span<const std::uint8_t> payload, const SharedBytes&) {
        d.frames.emplace_back(payload.begin(), payload.end());
        d.channel->cancel();
    };
    d.wire->deliver(concat({frame(text("a")), frame(text("b")), frame(text("c"))}));
    d.run();
    EXPECT_EQ(d.frames, std::vector<Bytes>{text("a")});
    EXPECT_EQ(d.endings.size(), 1u);
    // Data that arrives afterwards goes nowhere.
    d.wire->deliver(frame(text("d")));
    d.run();
    EXPECT_EQ(d.frames.size(), 1u);

    // A read already completed but not yet handled when the owner cancels is dropped, and
    // reading stops.
    Channel e;
    e.wire->deliver(frame(text("in flight")));
    e.channel->cancel();
    e.run();
    EXPECT_TRUE(e.frames.empty());
    EXPECT_FALSE(e.wire->isReceivingContinuously());
}

TEST(FileTransferChannelConnection, SendsFramesUntilTheEnd) {
    Channel c;
    c.channel->sendFrame(text("payload"));
    c.channel->sendFrame(Bytes{});
    c.run();
    EXPECT_EQ(c.wire->sentMessages(), (std::vector<Bytes>{frame(text("payload")), frame({})}));
    EXPECT_EQ(c.wire->sentMessages()[1].size(), 8u);

    // What one side sends, the other side reads back frame by frame.
    Channel peer;
    peer.wire->deliverSplit(c.wire->sentBytes(), {3, 10});
    peer.run();
    EXPECT_EQ(peer.frames, (std::vector<Bytes>{text("payload"), Bytes{}}));

    c.channel->cancel();
    c.channel->sendFrame(text("too late"));
    c.run();
    EXPECT_EQ(c.wire->sentMessages().size(), 2u);
}

TEST(FileTransferChannelConnection, SendErrorsEndTheChannel) {
    Channel c;
    c.wire->failSends(NetworkError{EPIPE, "Broken pipe"});
    c.channel->sendFrame(text("x"));
    c.run();
    EXPECT_EQ(c.log->at(1), "file aux send error: Broken pipe");
    ASSERT_EQ(c.endings.size(), 1u);
    EXPECT_EQ(c.endings[0]->code, EPIPE);

    // A send that fails after the owner let go is still logged, under a generic name.
    Channel d;
    d.wire->failSends(NetworkError{EPIPE, "Broken pipe"});
    d.channel->sendFrame(text("y"));
    d.channel.reset();
    d.run();
    EXPECT_EQ(d.log->back(), "channel send error: Broken pipe");
    EXPECT_TRUE(d.endings.empty());
}

TEST(FileTransferChannelConnection, ReleasingTheOwnerStopsCallbacksAndClosesTheSocket) {
    Channel c;
    c.channel.reset();
    EXPECT_EQ(c.wire->cancelCount(), 1u);
    c.wire->deliver(frame(text("nobody listens")));
    c.wire->reportState(Connection::State::failed, NetworkError{1, "gone"});
    c.run();
    EXPECT_TRUE(c.frames.empty());
    EXPECT_TRUE(c.endings.empty());
    EXPECT_EQ(c.log->size(), 1u);

    auto wire = std::make_shared<ScriptedConnection>();
    auto clock = std::make_shared<ManualClock>();
    FileTransferChannelConnection unowned(wire, clock->makeQueue("q"), "file aux", nullptr);
    EXPECT_THROW(unowned.start(), std::logic_error);
}

TEST(FileTransferChannelToken, SizesEqualityAndShortDescription) {
    for (std::size_t size : {0, 15, 17}) EXPECT_FALSE(FileTransferChannelToken::fromBytes(Bytes(size, 1))) << size;

    Bytes raw{0x00, 0x0a, 0xff, 0x10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    auto a = FileTransferChannelToken::fromBytes(raw);
    auto b = FileTransferChannelToken::fromBytes(raw);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(*a, *b);
    EXPECT_EQ(std::hash<FileTransferChannelToken>{}(*a), std::hash<FileTransferChannelToken>{}(*b));
    EXPECT_EQ(a->shortDescription(), "000aff10");
    raw[15] ^= 1;
    EXPECT_NE(*a, *FileTransferChannelToken::fromBytes(raw));

    std::unordered_set<FileTransferChannelToken> fresh;
    const FileTransferChannelToken::Bytes zero{};
    for (int i = 0; i < 64; ++i) {
        FileTransferChannelToken token;
        EXPECT_NE(token.bytes(), zero);
        EXPECT_EQ(token.shortDescription().size(), 8u);
        fresh.insert(token);
    }
    EXPECT_EQ(fresh.size(), 64u);
}

TEST(FileTransferChannelToken, FailingGeneratorGivesNoToken) {
    auto failing = [](std::uint8_t*, std::size_t) { return false; };
    EXPECT_THROW(FileTransferChannelToken{failing}, std::runtime_error);
}

}  // namespace FileTransferChannelTests
