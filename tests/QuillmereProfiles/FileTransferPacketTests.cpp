#include <gtest/gtest.h>

#include "QuillmereProfiles/FileTransferPacket.h"

namespace FileTransferPacketTests {

using namespace qm;

namespace {

UUID sampleID() { return *UUID::parse("00112233-4455-6677-8899-AABBCCDDEEFF"); }

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A packet laid out by hand: op, id, values, path length, path, data length, data.
Bytes handmade(std::uint8_t op, std::uint16_t pathLength, const Bytes& path, std::uint32_t dataLength, const Bytes& data) {
    Bytes out{op};
    const auto id = sampleID().bytes();
    out.insert(out.end(), id.begin(), id.end());
    for (int i = 0; i < 16; ++i) out.push_back(static_cast<std::uint8_t>(i + 1));  // value1, value2
    out.push_back(static_cast<std::uint8_t>(pathLength));
    out.push_back(static_cast<std::uint8_t>(pathLength >> 8));
    out.insert(out.end(), path.begin(), path.end());
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(dataLength >> (8 * i)));
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

}  // namespace

TEST(FileTransferPacket, EncodesTheDocumentedLayout) {
    FileTransferPacket packet{FileTransferOp::fileChunk, sampleID(), 0x0102030405060708ULL, 0xA0B0C0D0E0F00010ULL,
                              "Photos/a.jpg", Bytes{0xDE, 0xAD}};
    const Bytes bytes = packet.encode();
    ASSERT_EQ(bytes.size(), 39u + 12u + 2u);
    // op, the id's first and last byte, each value's lowest and highest byte, the path length.
    EXPECT_EQ((Bytes{bytes[0], bytes[1], bytes[16], bytes[17], bytes[24], bytes[25], bytes[32], bytes[33], bytes[34]}),
              (Bytes{4, 0x00, 0xFF, 0x08, 0x01, 0x10, 0xA0, 12, 0}));
    EXPECT_EQ(std::string(bytes.begin() + 35, bytes.begin() + 47), "Photos/a.jpg");
    EXPECT_EQ((Bytes(bytes.begin() + 47, bytes.begin() + 51)), (Bytes{2, 0, 0, 0}));
    EXPECT_EQ((Bytes(bytes.end() - 2, bytes.end())), (Bytes{0xDE, 0xAD}));

    FileTransferPacket empty{FileTransferOp::batchEnd, sampleID(), 0, 0, "", {}};
    EXPECT_EQ(empty.encode().size(), 39u);
}

TEST(FileTransferPacket, RoundTripsEveryOperation) {
    const std::string paths[] = {"", "Folder/ünïcode ✓/file.txt", std::string(65535, 'p')};
    std::uint8_t raw = 1;
    for (const auto& path : paths) {
        for (; raw <= 13; ++raw) {
            FileTransferPacket packet{*fileTransferOpFromRaw(raw), UUID::random(), ~std::uint64_t{0} - raw, raw,
                                      path, Bytes(raw * 100u, raw)};
            auto decoded = FileTransferPacket::decode(packet.encode());
            ASSERT_TRUE(decoded) << int(raw);
            EXPECT_EQ(*decoded, packet) << int(raw);
        }
        raw = 1;
    }
}

TEST(FileTransferPacket, LongPathsAreCutAt65535Bytes) {
    FileTransferPacket packet{FileTransferOp::listDir, sampleID(), 0, 0, std::string(70000, 'x'), {1, 2, 3}};
    const Bytes bytes = packet.encode();
    EXPECT_EQ(bytes.size(), 39u + 65535u + 3u);
    auto decoded = FileTransferPacket::decode(bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->path, std::string(65535, 'x'));
    EXPECT_EQ(decoded->data, (Bytes{1, 2, 3}));
}

TEST(FileTransferPacket, DecodeRefusesWhatDoesNotFitAndToleratesTheRest) {
    // Minimal packet: 39 bytes, empty path and data.
    const Bytes minimal = handmade(6, 0, {}, 0, {});
    ASSERT_EQ(minimal.size(), 39u);
    auto packet = FileTransferPacket::decode(minimal);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->op, FileTransferOp::batchEnd);
    EXPECT_EQ(packet->batchID, sampleID());
    EXPECT_EQ(packet->value1, 0x0807060504030201ULL);
    EXPECT_EQ(packet->value2, 0x100F0E0D0C0B0A09ULL);
    EXPECT_TRUE(packet->path.empty());
    EXPECT_TRUE(packet->data.empty());
    EXPECT_FALSE(FileTransferPacket::decode(std::span(minimal).first(38)));
    EXPECT_FALSE(FileTransferPacket::decode(Bytes{}));

    EXPECT_FALSE(FileTransferPacket::decode(handmade(0, 0, {}, 0, {})));
    EXPECT_FALSE(FileTransferPacket::decode(handmade(14, 0, {}, 0, {})));
    EXPECT_FALSE(FileTransferPacket::decode(handmade(255, 0, {}, 0, {})));
    EXPECT_EQ(FileTransferPacket::decode(handmade(13, 0, {}, 0, {}))->op, FileTransferOp::peerSendResponse);

    // Lengths that run past the end, including ones that would wrap a naive sum.
    EXPECT_FALSE(FileTransferPacket::decode(handmade(3, 5, bytesOf("abcd"), 0, {})));
    EXPECT_FALSE(FileTransferPacket::decode(handmade(3, 0xFFFF, bytesOf("abcd"), 0, {})));
    EXPECT_FALSE(FileTransferPacket::decode(handmade(4, 1, bytesOf("a"), 3, Bytes{1, 2})));
    EXPECT_FALSE(FileTransferPacket::decode(handmade(4, 1, bytesOf("a"), 0xFFFFFFFF, Bytes{1, 2})));

    // A path that is not UTF-8 arrives empty; the rest of the packet is intact.
    auto badPath = FileTransferPacket::decode(handmade(4, 3, Bytes{'a', 0xC3, 0x28}, 2, Bytes{9, 8}));
    ASSERT_TRUE(badPath);
    EXPECT_EQ(badPath->path, "");
    EXPECT_EQ(badPath->data, (Bytes{9, 8}));

    // Bytes after the data are ignored.
    auto trailing = FileTransferPacket::decode(handmade(11, 2, bytesOf("/x"), 2, bytesOf("[]extra")));
    ASSERT_TRUE(trailing);
    EXPECT_EQ(trailing->path, "/x");
    EXPECT_EQ(trailing->data, bytesOf("[]"));
}

TEST(FileTransferPacket, RawValuesAndBatchStartPacking) {
    EXPECT_FALSE(fileTransferOpFromRaw(0));
    EXPECT_FALSE(fileTransferOpFromRaw(14));
    EXPECT_EQ(fileTransferOpFromRaw(1), FileTransferOp::batchStart);
    EXPECT_EQ(fileTransferOpFromRaw(13), FileTransferOp::peerSendResponse);
    EXPECT_EQ(fileTransferIntentFromRaw(3), FileTransferIntent::managedCopy);
    EXPECT_FALSE(fileTransferIntentFromRaw(4));

    const auto v2 = FileTransferPacket::batchStartValue2(FileTransferIntent::managedCopy, 5);
    EXPECT_EQ(v2 >> 56, 3u);
    EXPECT_EQ(v2 & ((1ULL << 56) - 1), 5u);
    EXPECT_EQ(FileTransferPacket::batchStartFileCount(v2), 5u);
    EXPECT_EQ(FileTransferPacket::batchStartIntent(v2), FileTransferIntent::managedCopy);
    // A count beyond 56 bits cannot spill into the intent byte.
    const auto huge = FileTransferPacket::batchStartValue2(FileTransferIntent::copy, ~std::uint64_t{0});
    EXPECT_EQ(FileTransferPacket::batchStartIntent(huge), FileTransferIntent::copy);
    EXPECT_EQ(FileTransferPacket::batchStartFileCount(huge), (1ULL << 56) - 1);
    // An unknown intent byte reads as copy.
    EXPECT_EQ(FileTransferPacket::batchStartIntent(0x09ULL << 56 | 7), FileTransferIntent::copy);
}

TEST(FileTransferDeliveryOptions, SetAlgebraOverRawBits) {
    using O = FileTransferDeliveryOptions;
    const O both(3);
    EXPECT_TRUE(both.contains(O::promptForConflicts));
    EXPECT_TRUE(both.contains(O::backupBeforeOverwrite));
    EXPECT_EQ(both, (O{O::promptForConflicts, O::backupBeforeOverwrite}));
    EXPECT_TRUE(O(0).isEmpty());
    EXPECT_EQ(O{}, O(0));

    O options;
    EXPECT_TRUE(options.insert(O::promptForConflicts));
    EXPECT_FALSE(options.insert(O::promptForConflicts));
    EXPECT_EQ(options.update(O::promptForConflicts), O::promptForConflicts);
    EXPECT_EQ(options.update(O::backupBeforeOverwrite), std::nullopt);
    EXPECT_EQ(options, both);
    EXPECT_EQ(options.remove(O::backupBeforeOverwrite), O::backupBeforeOverwrite);
    EXPECT_EQ(options.remove(O::backupBeforeOverwrite), std::nullopt);
    EXPECT_EQ(options, O::promptForConflicts);

    EXPECT_EQ(O::promptForConflicts.union_(O::backupBeforeOverwrite), both);
    EXPECT_EQ(both.intersection(O::backupBeforeOverwrite), O::backupBeforeOverwrite);
    EXPECT_EQ(both.symmetricDifference(O::promptForConflicts), O::backupBeforeOverwrite);
    EXPECT_EQ(both.subtracting(O::promptForConflicts), O::backupBeforeOverwrite);
    EXPECT_TRUE(O::promptForConflicts.isStrictSubset(both));
    EXPECT_FALSE(both.isStrictSubset(both));
    EXPECT_FALSE(both.isSubset(O::backupBeforeOverwrite));
    EXPECT_TRUE(O::promptForConflicts.isDisjoint(O::backupBeforeOverwrite));
    EXPECT_FALSE(both.isDisjoint(O::backupBeforeOverwrite));

    // Unknown bits are kept through the algebra.
    O unknown(0x100 | 1);
    unknown.subtract(O::promptForConflicts);
    EXPECT_EQ(unknown.rawValue, 0x100u);
    EXPECT_FALSE(unknown.isEmpty());
}

}  // namespace FileTransferPacketTests
