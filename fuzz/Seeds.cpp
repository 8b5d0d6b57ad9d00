#include "fuzz/Seeds.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "QuillmereProfiles/AuxProtocol.h"
#include "QuillmereProfiles/ClipboardTransfer.h"
#include "QuillmereProfiles/DisplayPayloads.h"
#include "QuillmereProfiles/FileTransferChannel.h"
#include "QuillmereProfiles/FileTransferDocuments.h"
#include "QuillmereProfiles/FileTransferPacket.h"
#include "QuillmereProfiles/InputPayloads.h"
#include "QuillmereProfiles/MediaPayloads.h"
#include "QuillmereProfiles/QuillmereIdentity.h"
#include "QuillmereProfiles/SessionPayloads.h"
#include "support/TestPlatform.h"

namespace qm::fuzz {

namespace {

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes packet(AuxPacketType type, const Bytes& payload) { return makeAuxPacket(type, 0, payload, 123456789); }

Bytes fileFrame(const Bytes& payload) {
    return ByteWriter()
        .bytes(FileTransferChannelConstants::magic)
        .u32(static_cast<std::uint32_t>(payload.size()))
        .bytes(payload)
        .take();
}

// One valid example of each payload the decoders read, in the order of the payload target's
// table (its first byte selects the decoder).
std::vector<Bytes> payloadExamples() {
    AuxPacketHeader header;
    header.type = AuxPacketType::pointerEvent;
    header.payloadLength = 9;
    IdentityProofPayload proof;
    proof.signature[0] = 1;
    FileTransferEndpointPayload endpoint{49153, {1, 2, 3, 4}};
    VideoStreamConfigPayload config;
    config.width = 1920;
    config.height = 1080;
    config.fps = 60;
    config.bitrate = 20000000;
    config.parameterSets = {Bytes{0x67, 0x42, 0x00, 0x1f}, Bytes{0x68, 0xce}};
    GestureEventControlPayload gesture;
    gesture.kind = GestureEventKind::magnify;
    gesture.amount = -12;
    HostShortcutControlPayload shortcut;
    shortcut.kind = HostShortcutKind::launchpad;
    RawKeyEventControlPayload rawKey;
    rawKey.keyCode = 36;
    rawKey.flags = 0x100000;
    rawKey.isDown = true;
    SystemDefinedKeyEventControlPayload systemKey;
    systemKey.keyType = 16;
    HostSessionInfoPayload info;
    info.flags = HostSessionInfoPayload::loginDoneFlag;
    info.username = "ada";
    info.displayName = "Ada";
    info.hostID = "5E1D0C1B-6F58-4D43-9E0E-0C1D2E3F4A5B";
    info.viewportROI = Rect{0.1, 0.2, 0.5, 0.5};
    info.pipRegions = {{"a", Rect{0, 0, 0.25, 0.25}}, {"b", Rect{0.5, 0.5, 0.1, 0.1}}};
    FileTransferPacket fileStart;
    fileStart.op = FileTransferOp::fileStart;
    fileStart.value1 = 4096;
    fileStart.path = "folder/name.txt";
    fileStart.data = {1, 2, 3};
    AudioControlPayload audio;
    audio.wantsExclusiveListening = true;
    audio.hasValue = true;
    audio.value = 48000;
    return {
        header.encode(),
        ClientSessionAuthPayload{"ada", "Ada's Viewer", Bytes(61, 7)}.encode(),
        ClientSessionAuthResultPayload{false, "code=invalid-credentials"}.encode(),
        IdentityChallengePayload{}.encode(),
        proof.encode(),
        endpoint.encode(),
        DragPullRequestPayload{3, 1}.encode(),
        audio.encode(),
        config.encode(),
        VideoFramePayload{42, Bytes{0, 0, 0, 1, 0x65, 0x88}}.encode(),
        VideoFrameAckPayload{42}.encode(),
        PointerEventControlPayload{1, 10, 20, 320, 180}.encode(),
        gesture.encode(),
        shortcut.encode(),
        KeyEventControlPayload{0x61, true}.encode(),
        rawKey.encode(),
        systemKey.encode(),
        CaptureModeControlPayload::preset(VideoCaptureMode::pro, VideoChromaMode::yuv444,
                                          VideoCaptureBackend::physical).encode(),
        DisplayLayoutPayload{1, 0, 0, 1512, 982, 0, 0, 1512, 982, 3024, 1964, 1}.encode(),
        info.encode(),
        ViewportROIPayload{Rect{0.25, 0.25, 0.5, 0.5}}.encode(),
        PipRegionSetPayload{"pip", Rect{0.1, 0.1, 0.2, 0.2}}.encode(),
        PipRegionRemovePayload{"pip"}.encode(),
        fileStart.encode(),
    };
}

std::vector<Bytes> fileTransferPackets() {
    std::vector<Bytes> packets;
    FileTransferPacket p;
    p.op = FileTransferOp::listDir;
    p.path = "/";
    packets.push_back(p.encode());
    p = {};
    p.op = FileTransferOp::batchStart;
    p.value2 = FileTransferPacket::batchStartValue2(FileTransferIntent::copy, 1);
    p.data = FileTransferDocuments::encodeItemNames({"a.txt"});
    packets.push_back(p.encode());
    p.op = FileTransferOp::fileStart;
    p.value1 = 5;
    p.value2 = 0;
    p.path = "a.txt";
    p.data = {};
    packets.push_back(p.encode());
    p.op = FileTransferOp::fileChunk;
    p.data = bytesOf("hello");
    packets.push_back(p.encode());
    p.op = FileTransferOp::fileEnd;
    p.data = {};
    packets.push_back(p.encode());
    p.op = FileTransferOp::batchEnd;
    packets.push_back(p.encode());
    p.op = FileTransferOp::peerSendRequest;
    p.data = FileTransferPeerSendRequest({"/tmp/x"}, "/home", FileTransferDeliveryOptions::promptForConflicts).encoded();
    packets.push_back(p.encode());
    return packets;
}

Bytes identityFileText() {
    test::TemporaryDirectory folder;
    loadOrCreateHostIdentity(folder.path());
    std::ifstream in(folder.path() / kHostIdentityFileName, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::map<std::string, std::vector<Bytes>> makeSeeds() {
    std::map<std::string, std::vector<Bytes>> seeds;
    const auto payloads = payloadExamples();

    // aux_frame_reader: limit (u16), chunking (u32), stream.
    {
        Bytes stream;
        for (std::size_t i = 11; i < 18; ++i) {
            const auto more = packet(AuxPacketType::pointerEvent, payloads[i]);
            stream.insert(stream.end(), more.begin(), more.end());
        }
        seeds["aux_frame_reader"] = {concat({{0xd0, 0x07, 1, 2, 3, 4}, stream}),
                                     concat({{0x10, 0x00, 9, 9, 9, 9}, stream}),
                                     concat({{0xff, 0x07, 7, 0, 0, 0}, packet(AuxPacketType::videoFrame, payloads[9])})};
    }

    for (std::size_t i = 0; i < payloads.size(); ++i)
        seeds["payloads"].push_back(concat({{static_cast<std::uint8_t>(i)}, payloads[i]}));

    // file_channel: payload limit (u16), chunking (u32), whether the peer closes, stream.
    {
        Bytes stream;
        for (const auto& p : fileTransferPackets()) stream = concat({stream, fileFrame(p)});
        seeds["file_channel"] = {concat({{0xff, 0xff, 5, 6, 7, 8, 0}, stream}),
                                 concat({{0x10, 0x00, 1, 1, 1, 1, 1}, fileFrame(Bytes(16, 0xab))})};
    }

    {
        std::vector<RemoteDirectoryEntry> entries{{"a.txt", false, 5, 1700000000.5}, {"sub", true, 0, std::nullopt}};
        FileTransferPeerSendResponse response;
        response.accepted = false;
        response.message = "busy";
        seeds["file_documents"] = {
            concat({{0}, FileTransferDocuments::encodeItemNames({"a.txt", " b ", "c"})}),
            concat({{1}, FileTransferDocuments::encodeListing(entries)}),
            concat({{2}, FileTransferPeerSendRequest({"/a", "/b"}, "/dest", FileTransferDeliveryOptions{3}).encoded()}),
            concat({{3}, response.encoded()}),
            concat({{4}, bytesOf("  \xe2\x80\x83name\xc3\xa9\n")}),
        };
    }

    {
        ClipboardTransfer transfer;
        transfer.sourceID = "viewer-1";
        transfer.sequence = 3;
        transfer.generatedAtNs = 987654321;
        ClipboardTransferItem text;
        text.text = "hello";
        ClipboardTransferItem image;
        image.kind = ClipboardTransferItemKind::image;
        image.imageData = Bytes{0x89, 'P', 'N', 'G'};
        image.imageTypeIdentifier = "public.png";
        ClipboardTransferItem files;
        files.kind = ClipboardTransferItemKind::files;
        files.files = {{"a.txt", "public.plain-text", bytesOf("abc")}};
        transfer.items = {text, image, files};
        if (auto encoded = transfer.encodedData()) seeds["clipboard"].push_back(*encoded);
        // A recipe list (first byte 0xB1): an array holding itself and a dictionary.
        seeds["clipboard"].push_back(Bytes{0xB1, 3, 0, 2, 0, 1, 1, 2, 1, 0, 2, 3, 2, 'h', 'i'});
    }

    // file_service: records of peer, op, id index, value1 (u32), value2 top byte, path, data, run flag.
    {
        auto record = [](std::uint8_t peer, FileTransferOp op, std::uint8_t id, std::uint32_t value1,
                         std::string_view path, std::string_view data) {
            Bytes out{peer, static_cast<std::uint8_t>(static_cast<std::uint8_t>(op) - 1), id};
            for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value1 >> (8 * i)));
            out.push_back(0);
            out.push_back(static_cast<std::uint8_t>(path.size()));
            out.insert(out.end(), path.begin(), path.end());
            out.push_back(static_cast<std::uint8_t>(data.size()));
            out.insert(out.end(), data.begin(), data.end());
            out.push_back(1);
            return out;
        };
        seeds["file_service"] = {
            concat({record(0, FileTransferOp::directSave, 0, 0, "~/Inbox", ""),
                    record(0, FileTransferOp::batchStart, 0, 5, "", "[\"f\",\"a.txt\"]"),
                    record(0, FileTransferOp::mkdir, 0, 0, "f", ""),
                    record(0, FileTransferOp::fileStart, 0, 5, "f/b.txt", ""),
                    record(0, FileTransferOp::fileChunk, 0, 0, "f/b.txt", "hello"),
                    record(0, FileTransferOp::fileEnd, 0, 5, "f/b.txt", ""),
                    record(1, FileTransferOp::cancelBatch, 0, 0, "", ""),
                    record(0, FileTransferOp::fileStart, 0, 3, "../a.txt", ""),
                    record(0, FileTransferOp::batchEnd, 0, 0, "", ""),
                    record(0, FileTransferOp::batchStart, 1, 1, "", ""),
                    record(0, FileTransferOp::fileStart, 1, 1, "x\ny", ""),
                    record(0, FileTransferOp::cancelBatch, 1, 0, "", ""),
                    record(0, FileTransferOp::listDir, 2, 0, "~", "")}),
        };
    }

    {
        const auto keys = HostIdentityKeys::generate();
        const std::array<std::uint8_t, kIdentityNonceSize> nonce{7, 7, 7};
        const auto sealed = sealCredential(keys->agreementPublicKey(), nonce, "ada", "secret");
        seeds["identity"] = {concat({{0}, identityFileText()}),
                             concat({{0}, bytesOf("version=1\ndiscoveryHostID=nothing\n")}),
                             concat({{1, 3}, bytesOf("ada"), *sealed})};
    }

    seeds["discovery"] = {
        Bytes{3, 0, 2, 4, '1', '.', '2', '.', '3', 1, 3, 2, 'f', 'e', 2, 3, 4, '1', '0', '.', '0', 1, '1', 0, 5,
              'H', 'o', 's', 't', 0, 1, 0x10, 0x27, 0x11, 0x27, 1, 4, 'a', 'a', ':', 'b', 2, 'f', 'p'},
    };

    // server_stream: scenario (bits 0-1 control, video, file; bit 2 sign in first), chunking (u32), stream.
    {
        const std::pair<AuxPacketType, std::size_t> controlPackets[] = {
            {AuxPacketType::audioControl, 7},          {AuxPacketType::pointerEvent, 11},
            {AuxPacketType::gestureEvent, 12},         {AuxPacketType::keyEvent, 14},
            {AuxPacketType::systemDefinedKeyEvent, 16}, {AuxPacketType::viewportROI, 20},
            {AuxPacketType::pipRegionSet, 21},         {AuxPacketType::pipRegionRemove, 22}};
        Bytes control;
        for (const auto& [type, index] : controlPackets) control = concat({control, packet(type, payloads[index])});
        const Bytes video = concat({packet(AuxPacketType::captureModeControl, payloads[17]),
                                    packet(AuxPacketType::videoFrameAck, payloads[10])});
        Bytes files;
        for (const auto& p : fileTransferPackets()) files = concat({files, fileFrame(p)});
        const Bytes stranger = concat({packet(AuxPacketType::identityChallenge, payloads[3]),
                                       packet(AuxPacketType::clientSessionAuth, payloads[1])});
        seeds["server_stream"] = {
            concat({{0}, {1, 0, 0, 0}, stranger}),   concat({{1}, {3, 0, 0, 0}, stranger}),
            concat({{2}, {5, 0, 0, 0}, fileFrame(Bytes(16, 1))}), concat({{4}, {7, 0, 0, 0}, control}),
            concat({{5}, {9, 0, 0, 0}, video}),      concat({{6}, {11, 0, 0, 0}, files}),
        };
    }

    seeds["release_feed"] = {
        bytesOf(R"({"viewer":{"version":"2.0","build":"20"},"host":{"version":"1.5.2","build":"150","notes":"x"}})"),
        bytesOf(R"({"viewer":{"version":"2","build":"0"},"host":{"version":"1..5","build":"-1"}})"),
    };

    // update_status: the status file the updater writes, in both forms.
    {
        const std::string xml =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            "<key>requestID</key><string>0f0f0f0f-0000-4000-8000-000000000000</string>"
            "<key>state</key><string>failed</string><key>failureReason</key><string>disk full</string>"
            "<key>targetVersion</key><string>1.6</string></dict></plist>\n";
        // {"requestID": "r1", "state": "completed"}
        const Bytes binary = concat({bytesOf("bplist00"), {0xD2, 1, 2, 3, 4}, bytesOf("\x59requestID"),
                                     bytesOf("\x55state"), bytesOf("\x52r1"), bytesOf("\x59" "completed"),
                                     {8, 13, 23, 29, 32}, Bytes(6, 0), {1, 1}, Bytes(7, 0), {5}, Bytes(7, 0), {0},
                                     Bytes(7, 0), {42}});
        seeds["update_status"] = {bytesOf(xml), binary};
    }

    // preferences: key (byte), value (byte), file.
    seeds["preferences"] = {
        concat({{0, 1}, bytesOf(R"({"app.languageOverride":"fr","n":1.5,"l":[1,null],"o":{"base64":"QQ=="}})")}),
        concat({{1, 0}, bytesOf(R"({"host.launchAtLogin.desired":true,"x":{"base64":"@"}})")}),
        concat({{2, 2}, bytesOf("{\"count\": tru")}),
    };

    // link_socket: closes (flag), then pieces: piece length, piece, repetitions.
    seeds["link_socket"] = {
        concat({{0, 29}, bytesOf("quillmerehost://update/restart"), {0, 0}, bytesOf("\n"), {0}}),
        concat({{1, 9}, bytesOf("quillmereh"), {2}}),
        concat({{1, 63}, Bytes(64, 'a'), {127}}),
    };

    // file_tree: root, then per listing: whether a resolved path follows (and it), its length (u16),
    // the listing, the sort key and order, and which folder to open next.
    {
        const auto listing = FileTransferDocuments::encodeListing(
            {{"Docs", true, 0, std::nullopt}, {"a.txt", false, 5, 1700000000.5}, {"b", true, 0, 0.0}});
        const auto inner = FileTransferDocuments::encodeListing({{"z.bin", false, 1 << 20, 1.0e9}});
        auto sized = [](const Bytes& document) {
            return concat({{static_cast<std::uint8_t>(document.size()), static_cast<std::uint8_t>(document.size() >> 8)},
                           document});
        };
        seeds["file_tree"] = {concat({{0, 0, 8}, bytesOf("/Users/x"), sized(listing), {1, 1, 0}, {1}, sized(inner),
                                      {2, 0, 0}})};
    }
    return seeds;
}

}  // namespace qm::fuzz
