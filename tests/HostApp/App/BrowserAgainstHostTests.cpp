// The Viewer-side file browser against the Host's real wiring: the application as the process
// launches it (server, file service, delivery) in this process, and a Viewer made of the
// browser's model, its own file service and a file channel over real TCP, signed in as a Viewer
// is. The browser copies a file to the Host and one back, each byte for byte.
#include <gtest/gtest.h>

#include <set>

#include "Platform/Core/AsioDispatchQueue.h"
#include "Platform/Linux/AsioNetwork.h"
#include "Platform/Linux/PosixLocalFolders.h"
#include "QuillmereProfiles/FileTransferChannel.h"
#include "QuillmereProfiles/FileTransferService.h"
#include "QuillmereProfiles/UI/FileTransferWindowController.h"
#include "support/LiveHostApp.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"
#include "support/TestViewer.h"

namespace qm::test {
namespace BrowserAgainstHostTests {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A Viewer that embeds the browser: its file service speaks over the Host's file channel, and it
// reports its batches to the window the way an embedding application does.
class BrowserViewer {
public:
    explicit BrowserViewer(LiveServer& host, const fs::path& folder) : home_(folder / "viewer") {
        fs::create_directories(home_ / "Desktop");
        fs::create_directories(home_ / "Documents");
        HostPlatform platform;
        platform.clock = SystemClock::shared();
        platform.makeQueue = [](const std::string& label) { return std::make_shared<AsioDispatchQueue>(label); };
        platform.mainQueue = main_;
        service_ = std::make_shared<FileTransferService>(platform, "Host", 262144,
                                                         FileTransferService::Folders{folder / "viewer-caches", home_});
        control_ = std::make_unique<TestViewer>(host.ports().control);
        auto result = control_->signIn(LiveServer::user, LiveServer::password, "Browser Viewer");
        if (!result || !result->accepted) return;
        auto frame = control_->waitFor(AuxPacketType::fileTransferEndpoint);
        auto endpoint = frame ? FileTransferEndpointPayload::decode(frame->payload) : std::nullopt;
        if (!endpoint) return;

        channel_ = std::make_shared<FileTransferChannelConnection>(network_.makeConnection("127.0.0.1", endpoint->port),
                                                                   net_, "viewer", nullptr);
        channel_->onFrame = [this](std::span<const std::uint8_t> payload, const SharedBytes&) {
            if (auto packet = FileTransferPacket::decode(payload)) service_->handleIncomingPacket(*packet, "host");
        };
        net_->sync([&] {
            channel_->start();
            channel_->sendFrame(endpoint->token);  // first, so every packet after it is the Viewer's
        });
        service_->sendPacket = [this](const FileTransferPacket& packet) {
            net_->async([this, bytes = packet.encode()] { channel_->sendFrame(bytes); });
        };
        makeWindow();
        ready_ = true;
    }

    ~BrowserViewer() {
        main_->sync([this] { window_.reset(); });
        net_->sync([this] {
            if (channel_) channel_->cancel();
        });
        service_->stop();
    }

    bool ready() const { return ready_; }
    const fs::path& home() const { return home_; }
    template <class F>
    auto onMain(F&& f) {
        return main_->sync(std::forward<F>(f));
    }
    FileTransferWindowController& window() { return *window_; }
    int sheets() {
        return onMain([&] { return sheets_; });
    }

private:
    void makeWindow() {
        FileTransferWindowController::Dependencies deps;
        deps.sendPacket = [this](const FileTransferPacket& p) { service_->sendPacket(p); };
        deps.requestDirectoryListing = [this](const std::string& path) { return service_->requestDirectoryListing(path); };
        deps.setDirectoryListingHandler = [this](FileTransferWindowController::ListingHandler handler) {
            service_->onDirectoryListing = handler;
        };
        deps.sendFiles = [this](const std::vector<fs::path>& urls, FileTransferIntent intent,
                                const std::optional<std::string>& destination, const std::optional<std::string>&,
                                FileTransferDeliveryOptions options) {
            return service_->sendURLs(urls, intent, destination, options, std::nullopt, std::nullopt);
        };
        deps.requestPeerSend = [this](const std::vector<std::string>& paths, const std::string& destination,
                                      FileTransferDeliveryOptions options) {
            // Called on the main queue, like every closure the window calls.
            auto id = service_->requestPeerSend(paths, destination, options);
            if (id) receiving_.insert(*id);
            return id;
        };
        deps.localDeviceName = [] { return std::string("Laptop"); };
        deps.connectedPeers = [] { return std::vector<FileTransferWindowController::Peer>{{"host-1", "Studio"}}; };
        deps.openFileTransferForPeer = [](const std::string&) { return false; };
        deps.cancelBatch = [this](const UUID& id) { service_->cancelOutgoingBatch(id); };

        main_->sync([&] {
            window_ = FileTransferWindowController::make(
                deps, {main_, std::make_shared<PosixLocalFolders>(home_), std::make_shared<InMemoryUserDefaults>()});
            FileTransferWindowController::ViewCallbacks view;
            view.beginSheet = [this](const FileTransferAlert&) { ++sheets_; };
            window_->setViewCallbacks(view);
        });

        auto started = [this](const UUID& id, std::int64_t files, std::uint64_t total) {
            window_->transferDidStart(id, files, total);
        };
        auto progress = [this](const UUID& id, std::uint64_t done, std::uint64_t total) {
            window_->transferDidUpdateProgress(id, done, total);
        };
        service_->onOutgoingBatchStarted = [started](const UUID& id, std::int64_t files, std::uint64_t total,
                                                     FileTransferIntent, const std::vector<std::string>&) {
            started(id, files, total);
        };
        service_->onOutgoingBatchProgress = progress;
        service_->onOutgoingBatchCompleted = [this](const UUID& id) { window_->transferDidFinishSending(id); };
        // A receipt ends a send; the answer to a request only says whether the Host's batch comes.
        service_->onPeerSendResponse = [this](const UUID& id, const FileTransferPeerSendResponse& response) {
            if (!receiving_.contains(id)) return window_->transferDidComplete(id, false, response.accepted);
            if (!response.accepted) window_->transferDidFail(id, response.message.value_or(""), std::nullopt);
        };
        service_->onBatchStarted = [started](const UUID& id, std::int64_t files, std::uint64_t total,
                                             const std::vector<std::string>&) { started(id, files, total); };
        service_->onBatchProgress = progress;
        service_->onBatchCompleted = [this](const UUID& id, const std::vector<fs::path>& items, FileTransferIntent) {
            for (const auto& item : items) fs::rename(item, home_ / "Documents" / item.filename());
            window_->transferDidComplete(id, false, true);
        };
    }

    fs::path home_;
    std::shared_ptr<AsioDispatchQueue> main_ = std::make_shared<AsioDispatchQueue>("viewer.main");
    std::shared_ptr<AsioDispatchQueue> net_ = std::make_shared<AsioDispatchQueue>("viewer.net");
    AsioNetworkService network_;
    std::shared_ptr<FileTransferService> service_;
    std::unique_ptr<TestViewer> control_;
    std::shared_ptr<FileTransferChannelConnection> channel_;
    std::shared_ptr<FileTransferWindowController> window_;
    std::set<UUID> receiving_;  // main queue
    int sheets_ = 0;            // main queue
    bool ready_ = false;
};

FileTransferNodePtr named(const std::vector<FileTransferNodePtr>& nodes, const std::string& name) {
    for (const auto& node : nodes)
        if (node->name == name) return node;
    return nullptr;
}

TEST(BrowserAgainstHost, CopiesAFileToTheHostAndOneBackByteForByte) {
    LiveHostApp host;
    const auto toHost = randomBytes(700'000, 41);
    const auto fromHost = randomBytes(500'000, 42);
    fs::create_directories(host.home() / "Inbox");
    writeFile(host.home() / "Outbox" / "report.pdf", fromHost);
    // A sibling left unticked in each source folder, so the ticked file goes alone, not its folder.
    writeText(host.home() / "Outbox" / "left.txt", "stays");
    BrowserViewer viewer(*host.live, host.folder.path());
    ASSERT_TRUE(viewer.ready());
    writeFile(viewer.home() / "Desktop" / "big.bin", toHost);
    writeText(viewer.home() / "Desktop" / "left.txt", "stays");
    auto& window = viewer.window();

    // The Host's home, listed through its file channel: its own path comes back.
    auto home = viewer.onMain([&] { return window.remoteRoots().at(0); });
    auto expand = [&](const FileTransferNodePtr& node) {
        viewer.onMain([&] { window.shouldExpandItem(FileTransferPane::right, node); });
        return waitUntil([&] { return viewer.onMain([&] { return !node->pendingRequestID && node->childrenLoaded; }); },
                         20s);
    };
    ASSERT_TRUE(expand(home));
    EXPECT_EQ(viewer.onMain([&] { return home->path; }), host.home().string());

    // Viewer to Host: into the Host's Inbox, where the delivery writes it; its receipt ends it.
    viewer.onMain([&] {
        auto desktop = named(window.localRoots(), "Desktop");
        window.shouldExpandItem(FileTransferPane::left, desktop);
        window.sourceCheckboxToggled({named(*desktop->children, "big.bin"), FileTransferPane::left, CheckState::on});
        window.outlineViewSelectionDidChange(FileTransferPane::right, {named(*home->children, "Inbox")});
        window.executeTransfer();
    });
    ASSERT_TRUE(waitUntil([&] { return viewer.sheets() == 1; }, 60s));
    EXPECT_EQ(viewer.onMain([&] { return window.views().transferSummaryLabel.text; }), "📤 Copied 1 item(s) to Studio");
    EXPECT_TRUE(fileBytes(host.home() / "Inbox" / "big.bin") == toHost) << "byte-identical on the Host";
    EXPECT_FALSE(fs::exists(host.home() / "Inbox" / "left.txt"));
    EXPECT_TRUE(waitUntil([&] { return host.stagingEmpty(); }));

    // Host to Viewer: the browser asks, the Host answers with its batch, the Viewer places it.
    auto outbox = viewer.onMain([&] { return named(*home->children, "Outbox"); });
    ASSERT_TRUE(outbox);
    viewer.onMain([&] { window.selectDirectionSegment(1); });
    ASSERT_TRUE(expand(outbox));
    viewer.onMain([&] {
        window.sourceCheckboxToggled({named(*outbox->children, "report.pdf"), FileTransferPane::right, CheckState::on});
        window.outlineViewSelectionDidChange(FileTransferPane::left, {named(window.localRoots(), "Documents")});
        window.executeTransfer();
    });
    ASSERT_TRUE(waitUntil([&] { return viewer.sheets() == 2; }, 60s));
    EXPECT_EQ(viewer.onMain([&] { return window.views().transferSummaryLabel.text; }), "📥 Copied 1 item(s) to Studio");
    EXPECT_TRUE(fileBytes(viewer.home() / "Documents" / "report.pdf") == fromHost) << "byte-identical on the Viewer";
    EXPECT_FALSE(fs::exists(viewer.home() / "Documents" / "left.txt"));
}

}  // namespace
}  // namespace BrowserAgainstHostTests
}  // namespace qm::test
