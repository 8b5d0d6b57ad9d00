#include <gtest/gtest.h>

#include <set>

#include "QuillmereProfiles/AuxProtocol.h"

namespace AuxProtocolTests {

using namespace qm;

namespace {

Bytes packet(AuxPacketType type, Bytes payload, std::uint64_t ts = 0) {
    return makeAuxPacket(type, 0, payload, ts);
}

void appendAll(Bytes& to, const Bytes& more) {
    to.insert(to.end(), more.begin(), more.end());
}

}  // namespace

TEST(AuxPacketHeader, EncodesTheTwentyByteLayoutAndDecodesItBack) {
    AuxPacketHeader h;
    h.type = AuxPacketType::captureModeControl;
    h.flags = 0x81;
    h.reserved = 0xBEEF;  // never written
    h.payloadLength = 0x01020304;
    h.timestampNs = 0x1122334455667788ULL;
    const auto bytes = h.encode();
    const Bytes expected{'2', 'Q', '2', 'Q', 18, 0x81, 0, 0, 0x04, 0x03, 0x02, 0x01,
                         0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
    EXPECT_EQ(bytes, expected);

    auto decoded = AuxPacketHeader::decode(bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->type, AuxPacketType::captureModeControl);
    EXPECT_EQ(decoded->flags, 0x81);
    EXPECT_EQ(decoded->reserved, 0);
    EXPECT_EQ(decoded->payloadLength, 0x01020304u);
    EXPECT_EQ(decoded->timestampNs, 0x1122334455667788ULL);

    EXPECT_FALSE(AuxPacketHeader::decode(std::span(bytes).first(19)));
    Bytes badMagic = bytes;
    badMagic[3] = '2';
    EXPECT_FALSE(AuxPacketHeader::decode(badMagic));
    // A type that is no known value still decodes: the dispatcher decides what to do with it.
    Bytes unknown = bytes;
    unknown[4] = 200;
    ASSERT_TRUE(AuxPacketHeader::decode(unknown));
    EXPECT_EQ(auxPacketTypeName(AuxPacketHeader::decode(unknown)->type), "unknown(200)");
}

TEST(AuxPacketType, EveryTypeHasADistinctValueInRangeAndANameThatMapsBack) {
    std::set<std::string> names;
    int known = 0;
    for (int raw = 0; raw < 256; ++raw) {
        auto type = auxPacketTypeFromRaw(static_cast<std::uint8_t>(raw));
        if (!type) continue;
        ++known;
        EXPECT_GE(raw, 6);
        EXPECT_LE(raw, 49);
        EXPECT_TRUE(names.insert(auxPacketTypeName(*type)).second);
    }
    EXPECT_EQ(known, 31);
}

TEST(AuxPacket, MakeAuxPacketPutsTheHeaderBeforeThePayload) {
    const Bytes payload{1, 2, 3};
    const auto bytes = makeAuxPacket(AuxPacketType::hostStatus, 0x01, payload, 42);
    ASSERT_EQ(bytes.size(), 23u);
    EXPECT_EQ(AuxPacketHeader::decode(bytes)->payloadLength, 3u);
    EXPECT_EQ(Bytes(bytes.begin() + 20, bytes.end()), payload);
    EXPECT_EQ(makeAuxPacket(AuxPacketType::pipRegionClear, 0, {}, 0).size(), 20u);
    // A payload given in parts is the same packet as the parts joined.
    const Bytes head{1}, tail{2, 3};
    EXPECT_EQ(makeAuxPacket(AuxPacketType::hostStatus, 0x01, {head, tail}, 42), bytes);
}

TEST(AuxFrameReader, CutsFramesThatArriveSplitOrManyInOneRead) {
    AuxFrameReader reader;
    const auto first = packet(AuxPacketType::keyEvent, {1, 2, 3, 4, 5}, 7);
    const auto second = packet(AuxPacketType::pipRegionClear, {});
    const auto third = packet(AuxPacketType::hostStatus, Bytes(300, 'x'));

    // Byte by byte: nothing comes out until the last byte of the first frame is there.
    for (std::size_t i = 0; i + 1 < first.size(); ++i) {
        ASSERT_TRUE(reader.append(std::span(first).subspan(i, 1)));
        EXPECT_FALSE(reader.nextFrame());
    }
    ASSERT_TRUE(reader.append(std::span(first).last(1)));
    auto f = reader.nextFrame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->header.type, AuxPacketType::keyEvent);
    EXPECT_EQ(f->header.timestampNs, 7u);
    EXPECT_EQ(f->payload, (Bytes{1, 2, 3, 4, 5}));
    EXPECT_FALSE(reader.nextFrame());
    EXPECT_EQ(reader.bufferedBytes(), 0u);

    // Two whole frames and the head of a third in one read, the rest in the next.
    Bytes read;
    appendAll(read, second);
    appendAll(read, first);
    read.insert(read.end(), third.begin(), third.begin() + 30);
    ASSERT_TRUE(reader.append(read));
    EXPECT_EQ(reader.nextFrame()->header.type, AuxPacketType::pipRegionClear);
    EXPECT_EQ(reader.nextFrame()->header.type, AuxPacketType::keyEvent);
    EXPECT_FALSE(reader.nextFrame());
    ASSERT_TRUE(reader.append(std::span(third).subspan(30)));
    auto t = reader.nextFrame();
    ASSERT_TRUE(t);
    EXPECT_EQ(t->payload.size(), 300u);
    EXPECT_FALSE(reader.error());
}

TEST(AuxFrameReader, ThousandsOfSmallFramesInOneReadAllComeOutInOrder) {
    AuxFrameReader reader;
    Bytes read;
    for (int i = 0; i < 3000; ++i) appendAll(read, packet(AuxPacketType::videoFrameAck, Bytes(1, 0), i));
    ASSERT_LE(read.size(), AuxFrameReader::maxReadSize);
    ASSERT_TRUE(reader.append(read));
    for (std::uint64_t i = 0; i < 3000; ++i) {
        auto f = reader.nextFrame();
        ASSERT_TRUE(f);
        ASSERT_EQ(f->header.timestampNs, i);
    }
    EXPECT_FALSE(reader.nextFrame());
    EXPECT_EQ(reader.bufferedBytes(), 0u);
}

TEST(AuxFrameReader, WrongMagicFailsForGoodAndIsNeverResynchronised) {
    AuxFrameReader reader;
    auto good = packet(AuxPacketType::keyEvent, {1, 2, 3, 4, 5});
    Bytes read = good;
    read.push_back('2');
    read.push_back('X');  // the next frame starts wrong: reported before its header is complete
    ASSERT_TRUE(reader.append(read));
    EXPECT_TRUE(reader.nextFrame());
    EXPECT_FALSE(reader.nextFrame());
    EXPECT_EQ(reader.error(), AuxFrameError::badMagic);
    EXPECT_STREQ(auxFrameErrorName(*reader.error()), "bad magic");
    // Good frames after the damage are not searched for.
    EXPECT_FALSE(reader.append(good));
    EXPECT_FALSE(reader.nextFrame());
}

TEST(AuxFrameReader, RefusesToBufferMoreThanItsLimit) {
    // A header that announces more than the limit fails as soon as the header is complete.
    {
        AuxFrameReader reader;
        AuxPacketHeader h;
        h.type = AuxPacketType::clipboardTransfer;
        h.payloadLength = AuxFrameReader::defaultMaxBufferedBytes - AuxPacketHeader::size + 1;
        ASSERT_TRUE(reader.append(h.encode()));
        EXPECT_FALSE(reader.nextFrame());
        EXPECT_EQ(reader.error(), AuxFrameError::frameTooLarge);
    }
    {
        AuxFrameReader reader;
        AuxPacketHeader h;
        h.payloadLength = 0xFFFFFFFF;
        ASSERT_TRUE(reader.append(h.encode()));
        EXPECT_FALSE(reader.nextFrame());
        EXPECT_EQ(reader.error(), AuxFrameError::frameTooLarge);
    }
    // A frame of exactly the limit passes, delivered in reads of the largest read size.
    {
        AuxFrameReader reader;
        const auto big = packet(AuxPacketType::fileTransfer,
                                Bytes(AuxFrameReader::defaultMaxBufferedBytes - AuxPacketHeader::size, 0x5A));
        for (std::size_t off = 0; off < big.size(); off += AuxFrameReader::maxReadSize) {
            const auto n = std::min(AuxFrameReader::maxReadSize, big.size() - off);
            ASSERT_TRUE(reader.append(std::span(big).subspan(off, n)));
        }
        auto f = reader.nextFrame();
        ASSERT_TRUE(f);
        EXPECT_EQ(f->payload.size(), AuxFrameReader::defaultMaxBufferedBytes - AuxPacketHeader::size);
    }
    // Data that would grow the unconsumed buffer past the limit is refused, even in whole frames.
    {
        AuxFrameReader reader(100);
        const auto small = packet(AuxPacketType::keyEvent, Bytes(30, 1));  // 50 bytes
        ASSERT_TRUE(reader.append(small));
        ASSERT_TRUE(reader.append(small));  // exactly 100
        EXPECT_FALSE(reader.append(Bytes(1, '2')));
        EXPECT_EQ(reader.error(), AuxFrameError::bufferOverflow);
        EXPECT_FALSE(reader.nextFrame());
    }
    // Consumed frames no longer count against the limit.
    {
        AuxFrameReader reader(100);
        const auto small = packet(AuxPacketType::keyEvent, Bytes(30, 1));
        for (int i = 0; i < 10; ++i) {
            ASSERT_TRUE(reader.append(small));
            ASSERT_TRUE(reader.nextFrame());
        }
        EXPECT_FALSE(reader.error());
    }
}

TEST(AuxFrameReader, ConsumingInAnyChunkingYieldsTheSameFramesWithoutCopiesOfWholeOnes) {
    Bytes stream;
    std::vector<Bytes> payloads;
    for (std::size_t i = 0; i < 40; ++i) {
        Bytes payload(i * 37 % 300, static_cast<std::uint8_t>(i));
        payloads.push_back(payload);
        const auto packet = makeAuxPacket(AuxPacketType::pointerEvent, static_cast<std::uint8_t>(i), payload, i);
        stream.insert(stream.end(), packet.begin(), packet.end());
    }
    for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{19}, std::size_t{20}, std::size_t{21},
                              std::size_t{333}, stream.size()}) {
        SCOPED_TRACE("chunk " + std::to_string(chunk));
        AuxFrameReader reader;
        std::vector<Bytes> seen;
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            const auto piece = std::span<const std::uint8_t>(stream).subspan(at, std::min(chunk, stream.size() - at));
            ASSERT_TRUE(reader.consume(piece, [&](const AuxFrameView& frame) {
                EXPECT_EQ(frame.header.flags, seen.size());
                seen.emplace_back(frame.payload.begin(), frame.payload.end());
                return true;
            }));
        }
        EXPECT_EQ(seen, payloads);
        EXPECT_EQ(reader.bufferedBytes(), 0u);
    }

    // A handler that closes its connection stops the cutting; a bad magic fails as soon as its
    // bytes arrive, also in the middle of a read.
    AuxFrameReader stopping;
    int handled = 0;
    EXPECT_TRUE(stopping.consume(stream, [&](const AuxFrameView&) { return ++handled < 3; }));
    EXPECT_EQ(handled, 3);
    AuxFrameReader broken;
    Bytes bad(stream.begin(), stream.begin() + 23);  // the first frame has no payload
    bad[20] = '2', bad[21] = 'Q', bad[22] = 'x';
    EXPECT_FALSE(broken.consume(bad, [](const AuxFrameView&) { return true; }));
    EXPECT_EQ(broken.error(), AuxFrameError::badMagic);
}

}  // namespace AuxProtocolTests
