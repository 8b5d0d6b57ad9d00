#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "QuillmereProfiles/DisplayPayloads.h"
#include "QuillmereProfiles/InputPayloads.h"
#include "QuillmereProfiles/MediaPayloads.h"
#include "QuillmereProfiles/SessionPayloads.h"

namespace PayloadTests {

using namespace qm;

namespace {

std::span<const std::uint8_t> prefix(const Bytes& b, std::size_t n) {
    return std::span(b).first(n);
}

// The encoding decodes to the same value at its full length and not one byte shorter.
template <class P>
void expectRoundTripAtMinimum(const P& value, std::size_t expectedSize) {
    const auto bytes = value.encode();
    ASSERT_EQ(bytes.size(), expectedSize);
    auto decoded = P::decode(bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, value);
    if (expectedSize > 0) {
        EXPECT_FALSE(P::decode(prefix(bytes, expectedSize - 1)));
    }
}

Bytes withTrailingByte(Bytes b) {
    b.push_back(0);
    return b;
}

}  // namespace

TEST(InputPayloads, LayoutsSitAtTheirByteOffsets) {
    PointerEventControlPayload pointer{0x29, 0x0102, 0x0304, 1920, 1080};
    expectRoundTripAtMinimum(pointer, 9);
    EXPECT_EQ(pointer.encode(), (Bytes{0x29, 0x02, 0x01, 0x04, 0x03, 0x80, 0x07, 0x38, 0x04}));

    GestureEventControlPayload gesture{GestureEventKind::magnify, 1, 2, 3, 4, -2, 0x0A0B, -160};
    expectRoundTripAtMinimum(gesture, 15);
    const auto g = gesture.encode();
    EXPECT_EQ(g, (Bytes{2, 1, 0, 2, 0, 3, 0, 4, 0, 0xFE, 0xFF, 0x0B, 0x0A, 0x60, 0xFF}));
    for (std::uint8_t badKind : {0, 3, 255}) {
        auto b = g;
        b[0] = badKind;
        EXPECT_FALSE(GestureEventControlPayload::decode(b));
    }

    expectRoundTripAtMinimum(KeyEventControlPayload{0xFFE3, true}, 5);
    EXPECT_EQ(KeyEventControlPayload::decode(Bytes{0x2F, 0, 0, 0, 7})->isDown, true);  // any non-zero byte

    RawKeyEventControlPayload raw{59, 0x0000000000140000ULL, true};
    expectRoundTripAtMinimum(raw, 11);
    EXPECT_EQ(raw.encode(), (Bytes{59, 0, 0, 0, 0x14, 0, 0, 0, 0, 0, 1}));

    expectRoundTripAtMinimum(SystemDefinedKeyEventControlPayload{0x0119}, 2);

    // Extra bytes after a fixed layout are ignored.
    EXPECT_EQ(PointerEventControlPayload::decode(withTrailingByte(pointer.encode())), pointer);
    EXPECT_EQ(RawKeyEventControlPayload::decode(withTrailingByte(raw.encode())), raw);
}

TEST(InputPayloads, HostShortcutDecodesExactlyTheTwentyFourKinds) {
    int kinds = 0;
    for (int v = 0; v < 256; ++v) {
        auto p = HostShortcutControlPayload::decode(Bytes{static_cast<std::uint8_t>(v)});
        if (!p) continue;
        ++kinds;
        EXPECT_EQ(static_cast<int>(p->kind), v);
    }
    EXPECT_EQ(kinds, 24);
    expectRoundTripAtMinimum(HostShortcutControlPayload{HostShortcutKind::optionLaunchpad}, 1);
}

TEST(AudioControlPayload, FollowsTheFlagAndLengthRules) {
    EXPECT_FALSE(AudioControlPayload::decode(Bytes{}));
    auto one = AudioControlPayload::decode(Bytes{0x07});
    ASSERT_TRUE(one);
    EXPECT_TRUE(one->wantsExclusiveListening);
    EXPECT_TRUE(one->wantsHostOutputMute);
    EXPECT_FALSE(one->hasValue);  // 0x02 counts only when the payload is longer than one byte
    auto shortValue = AudioControlPayload::decode(Bytes{0x02, 9, 9, 9});
    ASSERT_TRUE(shortValue);
    EXPECT_TRUE(shortValue->hasValue);
    EXPECT_EQ(shortValue->value, 0u);
    auto full = AudioControlPayload::decode(Bytes{0x02, 0x78, 0x56, 0x34, 0x12});
    EXPECT_EQ(full->value, 0x12345678u);
    EXPECT_FALSE(full->wantsExclusiveListening);
    auto noFlag = AudioControlPayload::decode(Bytes{0x04, 0x78, 0x56, 0x34, 0x12});
    EXPECT_EQ(noFlag->value, 0u);
    AudioControlPayload p;
    p.hasValue = true;
    p.value = 77;
    p.wantsHostOutputMute = true;
    EXPECT_EQ(AudioControlPayload::decode(p.encode()), p);
}

TEST(CaptureModeControlPayload, WireRoundTripClampsAndRejectsUnknownEnums) {
    auto request = CaptureModeControlPayload::preset(VideoCaptureMode::pro, VideoChromaMode::yuv444,
                                                     VideoCaptureBackend::headlessVirtual);
    request.flags |= CaptureModeControlPayload::encoderOption20Flag;
    expectRoundTripAtMinimum(request, 29);
    const auto bytes = request.encode();
    EXPECT_EQ(bytes[0], 4);
    EXPECT_EQ(bytes[1], 1);
    EXPECT_EQ(bytes[28], 0x21);
    for (std::size_t index : {0, 1, 2, 3}) {
        auto bad = bytes;
        bad[index] = index == 0 ? 2 : 5;  // 2 is no mode; 5 no backend, codec or chroma
        EXPECT_FALSE(CaptureModeControlPayload::decode(bad)) << index;
    }
    auto huge = request;
    huge.bitrate = 1LL << 40;
    huge.fps = -5;
    auto decoded = CaptureModeControlPayload::decode(huge.encode());
    EXPECT_EQ(decoded->bitrate, 0xFFFFFFFFLL);
    EXPECT_EQ(decoded->fps, 0);
    EXPECT_EQ(request.summary(),
              "mode=Pro backend=headlessVirtual codec=hevc chroma=yuv444 logical=2240x1260 px=4480x2520 fps=60 "
              "bitrate=65000000 flags=0x21");
}

TEST(DisplayLayoutPayload, AppendInt32LEClampsInsteadOfWrapping) {
    Bytes out;
    DisplayLayoutPayload::appendInt32LE(1, out);
    DisplayLayoutPayload::appendInt32LE(-2, out);
    DisplayLayoutPayload::appendInt32LE(std::int64_t{1} << 32, out);  // would wrap to 0
    DisplayLayoutPayload::appendInt32LE(std::numeric_limits<std::int64_t>::min(), out);
    EXPECT_EQ(out, (Bytes{1, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0x80}));

    DisplayLayoutPayload layout{7, -1440, 0, 1512, 982, -1440, 0, 2952, 982, 3024, 1964, 1};
    expectRoundTripAtMinimum(layout, 45);
    EXPECT_EQ(layout.summary(), "display=7 target=-1440,0 1512x982 union=-1440,0 2952x982 px=3024x1964 HiDPI");
    layout.flags = 0;
    layout.unionWidth = 5'000'000'000LL;
    EXPECT_EQ(DisplayLayoutPayload::decode(layout.encode())->unionWidth, 2147483647);
    EXPECT_EQ(layout.summary(), "display=7 target=-1440,0 1512x982 union=-1440,0 5000000000x982 px=3024x1964");
}

TEST(HostDisplayGeometry, SummaryFormat) {
    HostDisplayGeometry g{69733378, 1512, 982, 3024, 1964, 120.0, true};
    EXPECT_EQ(g.summary(), "display=69733378 1512x982 px=3024x1964 scale=2.0x 120Hz HiDPI");
    HostDisplayGeometry plain{1, 1920, 1080, 1920, 1080, 59.94, false};
    EXPECT_EQ(plain.summary(), "display=1 1920x1080 px=1920x1080 scale=1.0x 60Hz");
    HostDisplayGeometry empty{4294967295u, 0, 0, 640, 480, 0, false};  // scale 1.0 below one point of width
    EXPECT_EQ(empty.summary(), "display=4294967295 0x0 px=640x480 scale=1.0x 0Hz");
}

TEST(HostSessionInfoPayload, RoundTripKeepsTheViewportFlagHonest) {
    HostSessionInfoPayload info;
    info.flags = HostSessionInfoPayload::lockedFlag | HostSessionInfoPayload::loginDoneFlag;
    info.username = "anna";
    info.displayName = "Anna Ødegård";
    info.hostID = "HOST-1";
    info.viewportROI = Rect(0.25, 0.25, 0.5, 0.5);
    info.pipRegions = {{"chat", Rect(0, 0, 0.2, 0.3)}, {"map", Rect(0.5, 0.5, 0.1, 0.1)}};
    auto bytes = info.encode();
    EXPECT_EQ(bytes[0], 2 | 4 | 8);
    auto decoded = HostSessionInfoPayload::decode(bytes);
    ASSERT_TRUE(decoded);
    info.flags |= HostSessionInfoPayload::viewportROIFlag;
    EXPECT_EQ(*decoded, info);

    // Flag 8 without a rectangle is never written, so the Viewer never reads a rectangle that is not there.
    HostSessionInfoPayload bare;
    bare.flags = HostSessionInfoPayload::viewportROIFlag | HostSessionInfoPayload::loginWindowFlag;
    expectRoundTripAtMinimum(HostSessionInfoPayload{1, "", "", "", std::nullopt, {}}, 9);
    EXPECT_EQ(bare.encode()[0], 1);

    EXPECT_FALSE(HostSessionInfoPayload::decode(withTrailingByte(bytes)));
    auto badUTF8 = HostSessionInfoPayload{0, "ab", "", "", std::nullopt, {}}.encode();
    badUTF8[3] = 0xC0;
    EXPECT_FALSE(HostSessionInfoPayload::decode(badUTF8));
    // A repeated region name cannot come from a dictionary: flags, three empty strings, count 2, two "a".
    Bytes dup{0, 0, 0, 0, 0, 0, 0, 2, 0};
    for (int i = 0; i < 2; ++i) {
        dup.insert(dup.end(), {1, 0, 'a'});
        dup.insert(dup.end(), 32, 0);
    }
    EXPECT_FALSE(HostSessionInfoPayload::decode(dup));
    Bytes single(dup.begin(), dup.begin() + 9 + 35);
    single[7] = 1;
    EXPECT_EQ(HostSessionInfoPayload::decode(single)->pipRegions.count("a"), 1u);
}

TEST(ViewportAndPipPayloads, RectanglesMustBeFinite) {
    expectRoundTripAtMinimum(ViewportROIPayload{Rect(0.1, 0.2, 0.3, 0.4)}, 32);
    auto cleared = ViewportROIPayload::decode(Bytes{});
    ASSERT_TRUE(cleared);
    EXPECT_FALSE(cleared->rect);
    EXPECT_FALSE(ViewportROIPayload::decode(ViewportROIPayload{Rect(NAN, 0, 1, 1)}.encode()));
    EXPECT_FALSE(ViewportROIPayload::decode(ViewportROIPayload{Rect(0, 0, INFINITY, 1)}.encode()));

    expectRoundTripAtMinimum(PipRegionSetPayload{"", Rect(0, 0, 1, 1)}, 34);
    PipRegionSetPayload named{"picture", Rect(0.5, 0.5, 0.25, 0.25)};
    EXPECT_EQ(PipRegionSetPayload::decode(named.encode()), named);
    EXPECT_FALSE(PipRegionSetPayload::decode(withTrailingByte(named.encode())));
    EXPECT_FALSE(PipRegionSetPayload::decode(PipRegionSetPayload{"x", Rect(0, NAN, 1, 1)}.encode()));
    expectRoundTripAtMinimum(PipRegionRemovePayload{""}, 2);
    expectRoundTripAtMinimum(PipRegionRemovePayload{"picture"}, 9);
    EXPECT_FALSE(PipRegionRemovePayload::decode(Bytes{3, 0, 'a', 'b'}));  // announces more than is there

    // Names are at most 64 bytes; the largest session info, with every region at that length,
    // stays a few KiB.
    const std::string longest(PipRegionSetPayload::maxNameBytes, 'n');
    EXPECT_TRUE(PipRegionSetPayload::decode(PipRegionSetPayload{longest, Rect(0, 0, 1, 1)}.encode()));
    EXPECT_FALSE(PipRegionSetPayload::decode(PipRegionSetPayload{longest + "n", Rect(0, 0, 1, 1)}.encode()));
    EXPECT_TRUE(PipRegionRemovePayload::decode(PipRegionRemovePayload{longest}.encode()));
    EXPECT_FALSE(PipRegionRemovePayload::decode(PipRegionRemovePayload{longest + "n"}.encode()));
    HostSessionInfoPayload info;
    info.viewportROI = Rect(0, 0, 1, 1);
    for (std::size_t i = 0; i < PipRegionSetPayload::maxRegions; ++i) {
        info.pipRegions[std::to_string(100 + i) + longest.substr(3)] = Rect(0, 0, 1, 1);
    }
    EXPECT_LT(info.encode().size(), 4096u);
}

TEST(VideoPayloads, ConfigFrameAndAckRoundTrip) {
    VideoStreamConfigPayload empty;
    expectRoundTripAtMinimum(empty, 21);
    VideoStreamConfigPayload config{VideoCaptureMode::max, VideoStreamCodec::hevc, VideoChromaMode::yuv444,
                                    6400, 3600, 60, 100'000'000, {{0x40, 0x01}, {0x42, 0x01, 0x01}, {0x44}}};
    const auto bytes = config.encode();
    EXPECT_EQ(VideoStreamConfigPayload::decode(bytes), config);
    EXPECT_FALSE(VideoStreamConfigPayload::decode(prefix(bytes, bytes.size() - 1)));
    EXPECT_FALSE(VideoStreamConfigPayload::decode(withTrailingByte(bytes)));
    auto badCodec = bytes;
    badCodec[1] = 2;
    EXPECT_FALSE(VideoStreamConfigPayload::decode(badCodec));
    // A set whose length runs past the end does not decode (and nothing is allocated for it).
    Bytes lying = empty.encode();
    lying[19] = 1;
    lying.insert(lying.end(), {0xFF, 0xFF, 0xFF, 0x7F, 1});
    EXPECT_FALSE(VideoStreamConfigPayload::decode(lying));

    VideoFramePayload frame{5, {0, 0, 0, 1, 0x65}};
    EXPECT_EQ(VideoFramePayload::decode(frame.encode()), frame);
    expectRoundTripAtMinimum(VideoFramePayload{1ULL << 40, {0x00}}, 9);
    EXPECT_FALSE(VideoFramePayload::decode(Bytes(8, 0)));  // a frame number with no data
    expectRoundTripAtMinimum(VideoFrameAckPayload{0x0102030405060708ULL}, 8);
}

TEST(SessionPayloads, ExactSizesAndLengthPrefixedFields) {
    IdentityChallengePayload challenge;
    for (std::size_t i = 0; i < 32; ++i) challenge.nonce[i] = static_cast<std::uint8_t>(i);
    expectRoundTripAtMinimum(challenge, 32);
    EXPECT_FALSE(IdentityChallengePayload::decode(Bytes(33, 0)));

    IdentityProofPayload proof;
    proof.signature.fill(1);
    proof.signingPublicKey.fill(2);
    proof.keyAgreementPublicKey.fill(3);
    proof.sessionNonce.fill(4);
    expectRoundTripAtMinimum(proof, 160);
    const auto proofBytes = proof.encode();
    EXPECT_EQ(proofBytes[63] + proofBytes[64] + proofBytes[96] + proofBytes[159], 1 + 2 + 3 + 4);
    EXPECT_FALSE(IdentityProofPayload::decode(withTrailingByte(proofBytes)));

    FileTransferEndpointPayload endpoint;
    endpoint.port = 7348;
    endpoint.token.fill(0xAB);
    expectRoundTripAtMinimum(endpoint, 18);
    EXPECT_EQ(endpoint.encode()[0], 0xB4);
    EXPECT_EQ(endpoint.encode()[1], 0x1C);
    EXPECT_FALSE(FileTransferEndpointPayload::decode(withTrailingByte(endpoint.encode())));

    expectRoundTripAtMinimum(DragPullRequestPayload{3, 9}, 8);
    EXPECT_EQ(DragPullRequestPayload::decode(Bytes{1, 0, 0, 0, 2, 0, 0, 0, 99}), (DragPullRequestPayload{1, 2}));

    // The drag on offer: id, count, names; consumed exactly. No names: the drag ended.
    const DragSnapshotPayload drag{0x01020304, {"report.pdf", "Grüße.txt"}};
    const auto dragBytes = drag.encode();
    EXPECT_EQ(Bytes(dragBytes.begin(), dragBytes.begin() + 8), (Bytes{4, 3, 2, 1, 2, 0, 10, 0}));
    EXPECT_EQ(DragSnapshotPayload::decode(dragBytes), drag);
    EXPECT_FALSE(DragSnapshotPayload::decode(withTrailingByte(dragBytes)));
    EXPECT_FALSE(DragSnapshotPayload::decode(prefix(dragBytes, dragBytes.size() - 1)));
    EXPECT_EQ(DragSnapshotPayload::decode(Bytes{7, 0, 0, 0, 0, 0}), (DragSnapshotPayload{7, {}}));
    // A file name that is not UTF-8 still decodes, its bad bytes shown as U+FFFD.
    const auto latin1 = DragSnapshotPayload::decode(DragSnapshotPayload{1, {"caf\xE9.txt", "ok\xC3"}}.encode());
    ASSERT_TRUE(latin1);
    EXPECT_EQ(latin1->itemNames, (std::vector<std::string>{"caf\uFFFD.txt", "ok\uFFFD"}));

    expectRoundTripAtMinimum(ClientSessionAuthPayload{}, 8);
    ClientSessionAuthPayload auth{"anna", "Anna's iPad", Bytes{9, 8, 7, 6}};
    const auto authBytes = auth.encode();
    EXPECT_EQ(ClientSessionAuthPayload::decode(authBytes), auth);
    EXPECT_FALSE(ClientSessionAuthPayload::decode(withTrailingByte(authBytes)));
    EXPECT_FALSE(ClientSessionAuthPayload::decode(prefix(authBytes, authBytes.size() - 1)));
    auto invalid = authBytes;
    invalid[2] = 0xFF;  // not UTF-8
    EXPECT_FALSE(ClientSessionAuthPayload::decode(invalid));

    expectRoundTripAtMinimum(ClientSessionAuthResultPayload{false, ""}, 3);
    ClientSessionAuthResultPayload refusal{false, "code=invalid-credentials"};
    EXPECT_EQ(ClientSessionAuthResultPayload::decode(refusal.encode()), refusal);
    auto notBool = ClientSessionAuthResultPayload{true, "ok"}.encode();
    notBool[0] = 2;
    EXPECT_FALSE(ClientSessionAuthResultPayload::decode(notBool));
}

TEST(Payloads, OverlongStringsAreCutAtACharacterBoundaryNotWrapped) {
    std::string name(65534, 'a');
    name += "\xC3\xA9";  // "é" straddles the 65,535-byte limit
    ClientSessionAuthPayload auth{name, "d", {}};
    auto decoded = ClientSessionAuthPayload::decode(auth.encode());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->username, std::string(65534, 'a'));
    EXPECT_EQ(decoded->displayName, "d");
}

TEST(Payloads, GarbageNeverCrashesADecoder) {
    std::mt19937 rng(1234);
    int decodedSessionInfo = 0;
    for (int round = 0; round < 4000; ++round) {
        Bytes b(rng() % 200);
        for (auto& x : b) x = static_cast<std::uint8_t>(rng());
        // Small length prefixes make the variable layouts reachable, not only their first check.
        if (b.size() > 4 && round % 2) b[1] = b[3] = 0;
        (void)PointerEventControlPayload::decode(b);
        (void)GestureEventControlPayload::decode(b);
        (void)HostShortcutControlPayload::decode(b);
        (void)KeyEventControlPayload::decode(b);
        (void)RawKeyEventControlPayload::decode(b);
        (void)SystemDefinedKeyEventControlPayload::decode(b);
        (void)AudioControlPayload::decode(b);
        (void)CaptureModeControlPayload::decode(b);
        (void)DisplayLayoutPayload::decode(b);
        decodedSessionInfo += HostSessionInfoPayload::decode(b).has_value();
        (void)ViewportROIPayload::decode(b);
        (void)PipRegionSetPayload::decode(b);
        (void)PipRegionRemovePayload::decode(b);
        (void)VideoStreamConfigPayload::decode(b);
        (void)VideoFramePayload::decode(b);
        (void)VideoFrameAckPayload::decode(b);
        (void)ClientSessionAuthPayload::decode(b);
        (void)ClientSessionAuthResultPayload::decode(b);
        (void)IdentityChallengePayload::decode(b);
        (void)IdentityProofPayload::decode(b);
        (void)FileTransferEndpointPayload::decode(b);
        (void)DragPullRequestPayload::decode(b);
        (void)DragSnapshotPayload::decode(b);
    }
    EXPECT_LT(decodedSessionInfo, 40);  // random bytes almost never form a whole session info
}

}  // namespace PayloadTests
