// File delivery end to end: the Host built the way the process builds it (the delegate makes,
// wires and starts the real server on 127.0.0.1; the file service, the delivery and the Linux
// file-manager stand-in are the real ones), and a test Viewer over real TCP with its file channel.
// The Host runs in this process: no test starts the Host's executable, whose ports and account
// are fixed.
#include <gtest/gtest.h>

#include <fstream>

#include "HostApp/App/HostProbeDelegate.h"
#include "HostApp/Delivery/HostFileDelivery.h"
#include "Platform/Core/LogSink.h"
#include "Platform/Linux/XdgFileManagerDesktop.h"
#include "QuillmereProfiles/ClipboardSyncBridge.h"
#include "QuillmereProfiles/FileTransferDocuments.h"
#include "QuillmereProfiles/QuillmereL10n.h"
#include "support/LiveServer.h"
#include "support/RecordingHostShell.h"
#include "support/TestFiles.h"
#include "support/TestViewer.h"
#include "support/WiredHost.h"

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

// The application on real queues and sockets, launched as main launches it.
struct LiveHostApp {
    TemporaryDirectory folder;
    std::shared_ptr<RecordingHostShell> shell = std::make_shared<RecordingHostShell>();
    std::shared_ptr<HostProbeDelegate> delegate;
    DispatchQueuePtr mainQueue;
    std::unique_ptr<LiveServer> live;

    LiveHostApp() {
        LogSink::shared().setWritesStandardError(false);
        fs::create_directories(home());
        LiveServer::Setup setup;
        setup.start = [this](const std::shared_ptr<V230HostAudioAuxServer>& server, const HostPlatform& platform) {
            HostProbeDelegate::Environment environment;
            environment.platform = platform;
            environment.shell = shell;
            environment.defaults = std::make_shared<InMemoryUserDefaults>();
            environment.makeServer = [server] { return server; };
            environment.routeRecords = [] { return std::vector<QuillmereRouteRecord>{}; };
            environment.hostName = [] { return std::string("live-host"); };
            environment.fetchLatestFeed = [](auto) {};
            environment.cachesDirectory = folder.path() / "caches";
            environment.homeDirectory = home();
            environment.fileManager =
                std::make_shared<XdgFileManagerDesktop>(home(), std::make_shared<RecordingProcessLauncher>());
            environment.installerMarker = folder.path() / "no-marker";
            mainQueue = platform.mainQueue;
            delegate = HostProbeDelegate::create(environment);
            mainQueue->sync([this] { delegate->applicationDidFinishLaunching(); });
        };
        live = std::make_unique<LiveServer>(setup);
    }
    ~LiveHostApp() {
        mainQueue->sync([this] {
            delegate->clipboardBridge()->stop();
            delegate->timer()->cancel();
        });
        live.reset();
        mainQueue->sync([this] { delegate.reset(); });
        LogSink::shared().setWritesStandardError(true);
    }

    fs::path home() const { return fs::weakly_canonical(folder.path()) / "home"; }
    fs::path staging() const { return folder.path() / "caches" / "QuillmereFileInbox" / "Viewer"; }
    bool stagingEmpty() const {
        std::error_code error;
        return !fs::exists(staging(), error) || fs::is_empty(staging(), error);
    }
    bool logged(const std::string& line) {
        for (const auto& entry : delegate->diagnosticLog()->lines())
            if (entry.substr(13) == line) return true;
        return false;
    }
};

Bytes fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Sends one file as a batch on the file channel, its intent (when not copy) in its own packet.
UUID sendFile(TestFileChannel& channel, FileTransferIntent intent, const std::optional<std::string>& destination,
              const std::string& name, const Bytes& content) {
    const UUID id = UUID::random();
    if (destination) channel.sendPacket({FileTransferOp::directSave, id, 0, 0, *destination, {}});
    channel.sendPacket({FileTransferOp::batchStart, id, content.size(), FileTransferPacket::batchStartValue2(FileTransferIntent::copy, 1),
                        "", FileTransferDocuments::encodeItemNames({name})});
    if (intent != FileTransferIntent::copy)
        channel.sendPacket({FileTransferOp::batchIntent, id, static_cast<std::uint64_t>(intent), 0, "", {}});
    channel.sendPacket({FileTransferOp::fileStart, id, content.size(), 0, name, {}});
    constexpr std::size_t chunk = 256 * 1024;
    for (std::size_t offset = 0; offset < content.size(); offset += chunk) {
        const auto end = std::min(content.size(), offset + chunk);
        channel.sendPacket({FileTransferOp::fileChunk, id, offset, 0, name,
                            Bytes(content.begin() + static_cast<std::ptrdiff_t>(offset),
                                  content.begin() + static_cast<std::ptrdiff_t>(end))});
    }
    channel.sendPacket({FileTransferOp::fileEnd, id, content.size(), 0, name, {}});
    channel.sendPacket({FileTransferOp::batchEnd, id, 0, 0, "", {}});
    return id;
}

// The packets of the channel until the one `until` accepts; nothing when the channel went quiet.
std::optional<FileTransferPacket> readUntil(TestFileChannel& channel,
                                            const std::function<bool(const FileTransferPacket&)>& until,
                                            std::vector<FileTransferPacket>* seen = nullptr) {
    while (auto frame = channel.waitForFrame(std::chrono::seconds(20))) {
        auto packet = FileTransferPacket::decode(*frame);
        if (!packet) continue;
        if (seen) seen->push_back(*packet);
        if (until(*packet)) return packet;
    }
    return std::nullopt;
}

std::optional<FileTransferPeerSendResponse> responseTo(TestFileChannel& channel, const UUID& id,
                                                       std::vector<FileTransferPacket>* seen = nullptr) {
    auto packet = readUntil(
        channel, [&](const FileTransferPacket& p) { return p.op == FileTransferOp::peerSendResponse && p.batchID == id; },
        seen);
    return packet ? FileTransferPeerSendResponse::decode(packet->data) : std::nullopt;
}

}  // namespace

TEST(FileDeliveryEndToEnd, ViewerBatchesLandWhereTheyShouldAndLeaveNothingStaged) {
    LiveHostApp host;
    WiredViewer viewer(*host.live);
    ASSERT_TRUE(viewer.ready());
    const auto content = randomBytes(3u << 20, 11);

    // A copy with a destination hint: that folder, made when missing.
    sendFile(*viewer.channel, FileTransferIntent::copy, "~/Incoming", "copy.bin", content);
    ASSERT_TRUE(waitUntil([&] { return fs::exists(host.home() / "Incoming" / "copy.bin") && host.stagingEmpty(); }));
    EXPECT_TRUE(fileBytes(host.home() / "Incoming" / "copy.bin") == content) << "byte-identical";

    // A managed copy, its intent a packet after its start: placed, and its receipt comes back.
    const auto managed = sendFile(*viewer.channel, FileTransferIntent::managedCopy, "~/Managed", "managed.bin", content);
    auto receipt = responseTo(*viewer.channel, managed);
    ASSERT_TRUE(receipt);
    EXPECT_TRUE(receipt->accepted);
    EXPECT_TRUE(fileBytes(host.home() / "Managed" / "managed.bin") == content);

    // A drop with no file-manager window answering: the Desktop.
    sendFile(*viewer.channel, FileTransferIntent::dropToFinder, std::nullopt, "dropped.bin", content);
    ASSERT_TRUE(waitUntil([&] { return fs::exists(host.home() / "Desktop" / "dropped.bin") && host.stagingEmpty(); }));
    EXPECT_TRUE(fileBytes(host.home() / "Desktop" / "dropped.bin") == content);
    EXPECT_TRUE(waitUntil([&] { return host.logged("files: dropped 1/1 item(s) into Finder"); }));
}

TEST(FileDeliveryEndToEnd, AViewerReceivesTheHostFilesItAsksForAndNothingOutsideHome) {
    LiveHostApp host;
    WiredViewer viewer(*host.live);
    WiredViewer bystander(*host.live);
    ASSERT_TRUE(viewer.ready());
    ASSERT_TRUE(bystander.ready());
    const auto content = randomBytes(2u << 20, 12);
    writeFile(host.home() / "docs" / "report.bin", content);
    writeFile(host.folder.path() / "outside.bin", Bytes{1, 2, 3});

    const UUID request = UUID::random();
    FileTransferPeerSendRequest ask({"~/docs/report.bin"}, "", {});
    viewer.channel->sendPacket({FileTransferOp::peerSendRequest, request, 0, 0, "", ask.encoded()});
    std::vector<FileTransferPacket> seen;
    auto answer = responseTo(*viewer.channel, request, &seen);
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->accepted);
    // The batch answering it carries the request's id and is a managed copy; collect it whole.
    readUntil(*viewer.channel,
              [&](const FileTransferPacket& p) { return p.op == FileTransferOp::batchEnd && p.batchID == request; }, &seen);
    Bytes received;
    bool managed = false;
    for (const auto& packet : seen) {
        if (packet.batchID != request) continue;
        if (packet.op == FileTransferOp::batchStart)
            managed = FileTransferPacket::batchStartIntent(packet.value2) == FileTransferIntent::managedCopy;
        if (packet.op == FileTransferOp::fileChunk) received.insert(received.end(), packet.data.begin(), packet.data.end());
    }
    EXPECT_TRUE(managed);
    EXPECT_TRUE(received == content) << "byte-identical";

    const UUID outside = UUID::random();
    FileTransferPeerSendRequest escape({(host.folder.path() / "outside.bin").string(), "~/../outside.bin"}, "", {});
    viewer.channel->sendPacket({FileTransferOp::peerSendRequest, outside, 0, 0, "", escape.encoded()});
    answer = responseTo(*viewer.channel, outside);
    ASSERT_TRUE(answer);
    EXPECT_FALSE(answer->accepted);
    EXPECT_EQ(answer->message, "The requested files are no longer available on the Host.");
    EXPECT_TRUE(waitUntil([&] { return host.logged("files: rejected peer send request with no readable Home paths"); }));

    // The other Viewer heard none of it.
    while (auto frame = bystander.channel->waitForFrame(std::chrono::milliseconds(200))) {
        auto packet = FileTransferPacket::decode(*frame);
        ASSERT_TRUE(packet);
        EXPECT_NE(packet->batchID, request);
        EXPECT_NE(packet->batchID, outside);
    }
}
