// The browser driving a real pair of file-transfer services whose packets cross a loopback
// TCP connection: one side plays the Viewer that embeds the window, the other the Host.
#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "Platform/Core/AsioDispatchQueue.h"
#include "Platform/Linux/AsioNetwork.h"
#include "Platform/Linux/PosixLocalFolders.h"
#include "QuillmereProfiles/FileTransferChannel.h"
#include "QuillmereProfiles/FileTransferService.h"
#include "QuillmereProfiles/UI/FileTransferWindowController.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"

namespace BrowserLoopbackTests {

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

std::map<std::string, Bytes> treeOf(const fs::path& root) {
    std::map<std::string, Bytes> out;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        Bytes data;
        if (entry.is_regular_file()) {
            std::ifstream in(entry.path(), std::ios::binary);
            data.assign(std::istreambuf_iterator<char>(in), {});
        }
        out[fs::relative(entry.path(), root).string()] = std::move(data);
    }
    return out;
}

// Moves each staged item into the folder, as the receiving side's delivery would.
void deliver(const std::vector<fs::path>& items, const fs::path& folder) {
    fs::create_directories(folder);
    for (const auto& item : items) fs::rename(item, folder / item.filename());
}

fs::path expandedIn(const std::string& path, const fs::path& home) {
    return fs::path(expandTilde(path, home.string()));
}

class BrowserLoopback : public ::testing::Test {
protected:
    TemporaryDirectory tmp;
    fs::path viewerHome = tmp.path() / "viewer";
    fs::path hostHome = tmp.path() / "host";
    std::shared_ptr<AsioDispatchQueue> main = std::make_shared<AsioDispatchQueue>("test.main");
    std::shared_ptr<AsioDispatchQueue> net = std::make_shared<AsioDispatchQueue>("test.net");
    std::unique_ptr<AsioNetworkService> network = std::make_unique<AsioNetworkService>();
    ListenerPtr listener;
    std::shared_ptr<FileTransferChannelConnection> hostChannel, viewerChannel;
    std::shared_ptr<FileTransferService> viewer, host;
    std::shared_ptr<FileTransferWindowController> window;
    std::vector<std::string> statusTexts;  // every distinct status line the window showed
    int sheets = 0;
    std::map<UUID, std::string> hostDestinations;  // main queue

    HostPlatform platformFor() {
        HostPlatform p;
        p.clock = SystemClock::shared();
        p.makeQueue = [](const std::string& label) { return std::make_shared<AsioDispatchQueue>(label); };
        p.mainQueue = main;
        return p;
    }

    static void forward(const std::shared_ptr<FileTransferService>& service, std::span<const std::uint8_t> payload,
                        const char* peer) {
        if (auto packet = FileTransferPacket::decode(payload)) service->handleIncomingPacket(*packet, peer);
    }

    void SetUp() override {
        fs::create_directories(viewerHome / "Desktop");
        fs::create_directories(viewerHome / "Documents");
        fs::create_directories(hostHome / "Inbox");
        viewer = std::make_shared<FileTransferService>(platformFor(), "Host", 262144,
                                                       FileTransferService::Folders{tmp.path() / "vc", viewerHome});
        host = std::make_shared<FileTransferService>(platformFor(), "Viewer", 262144,
                                                     FileTransferService::Folders{tmp.path() / "hc", hostHome});

        std::optional<NetworkError> error;
        ListenerParameters params;
        params.family = ListenerParameters::Family::ipv4;
        params.host = "127.0.0.1";
        listener = network->makeListener(params, error);
        ASSERT_TRUE(listener) << "listen failed";
        listener->setNewConnectionHandler([this](ConnectionPtr connection) {
            hostChannel = std::make_shared<FileTransferChannelConnection>(connection, net, "host", nullptr);
            hostChannel->onFrame = [this](std::span<const std::uint8_t> payload, const SharedBytes&) {
                // The Host's owner answers a Viewer's request for files with a managed copy.
                const auto packet = FileTransferPacket::decode(payload);
                if (packet && packet->op == FileTransferOp::peerSendRequest) {
                    if (auto request = FileTransferService::peerSendRequest(*packet)) {
                        std::vector<fs::path> urls;
                        for (const auto& p : request->sourcePaths) urls.push_back(expandedIn(p, hostHome));
                        host->sendURLs(urls, FileTransferIntent::managedCopy, request->destination,
                                       request->deliveryOptions(), std::nullopt, packet->batchID);
                    }
                    return;
                }
                // The owner learns where the Viewer wants the batch from its destination packet, which may
                // have been handled and the batch finished before the owner's start callback runs.
                if (packet && packet->op == FileTransferOp::directSave) {
                    main->async([this, id = packet->batchID, path = packet->path] { hostDestinations[id] = path; });
                }
                forward(host, payload, "viewer");
            };
            hostChannel->start();
        });
        listener->start(net);
        viewerChannel = std::make_shared<FileTransferChannelConnection>(
            network->makeConnection("127.0.0.1", listener->port()), net, "viewer", nullptr);
        viewerChannel->onFrame = [this](std::span<const std::uint8_t> payload, const SharedBytes&) {
            forward(viewer, payload, "host");
        };
        net->sync([this] { viewerChannel->start(); });

        viewer->sendPacket = [this](const FileTransferPacket& p) {
            net->async([this, bytes = p.encode()] { viewerChannel->sendFrame(bytes); });
        };
        host->sendPacket = [this](const FileTransferPacket& p) {
            net->async([this, bytes = p.encode()] {
                if (hostChannel) hostChannel->sendFrame(bytes);
            });
        };
        // Host side: deliver a received batch where the Viewer asked, then confirm it.
        host->onBatchCompleted = [this](const UUID& id, const std::vector<fs::path>& items, FileTransferIntent) {
            deliver(items, expandedIn(hostDestinations.contains(id) ? hostDestinations[id] : "~", hostHome));
            host->sendPeerSendResponse(id, true, std::nullopt, std::nullopt);
        };

        FileTransferWindowController::Dependencies deps;
        deps.sendPacket = [this](const FileTransferPacket& p) { viewer->sendPacket(p); };
        deps.requestDirectoryListing = [this](const std::string& path) { return viewer->requestDirectoryListing(path); };
        deps.setDirectoryListingHandler = [this](FileTransferWindowController::ListingHandler handler) {
            viewer->onDirectoryListing = handler;
        };
        deps.sendFiles = [this](const std::vector<fs::path>& urls, FileTransferIntent intent,
                                const std::optional<std::string>& destination, const std::optional<std::string>&,
                                FileTransferDeliveryOptions options) {
            return viewer->sendURLs(urls, intent, destination, options, std::nullopt, std::nullopt);
        };
        deps.requestPeerSend = [this](const std::vector<std::string>& paths, const std::string& destination,
                                      FileTransferDeliveryOptions options) {
            return viewer->requestPeerSend(paths, destination, options);
        };
        deps.localDeviceName = [] { return std::string("Laptop"); };
        deps.connectedPeers = [] { return std::vector<FileTransferWindowController::Peer>{{"host-1", "Studio"}}; };
        deps.openFileTransferForPeer = [](const std::string&) { return false; };
        deps.cancelBatch = [this](const UUID& id) { viewer->cancelOutgoingBatch(id); };

        main->sync([&] {
            window = FileTransferWindowController::make(
                deps, {main, std::make_shared<PosixLocalFolders>(viewerHome), std::make_shared<InMemoryUserDefaults>()});
            FileTransferWindowController::ViewCallbacks view;
            view.stateChanged = [this] {
                const auto& text = window->views().transferStatusLabel.text;
                if (statusTexts.empty() || statusTexts.back() != text) statusTexts.push_back(text);
            };
            view.beginSheet = [this](const FileTransferAlert&) { ++sheets; };
            window->setViewCallbacks(view);
        });

        // The embedding application reports its batches to the window.
        auto started = [this](const UUID& id, std::int64_t files, std::uint64_t total, auto&&...) {
            window->transferDidStart(id, files, total);
        };
        auto progress = [this](const UUID& id, std::uint64_t done, std::uint64_t total) {
            window->transferDidUpdateProgress(id, done, total);
        };
        viewer->onOutgoingBatchStarted = [started](const UUID& id, std::int64_t files, std::uint64_t total,
                                                   FileTransferIntent, const std::vector<std::string>&) {
            started(id, files, total);
        };
        viewer->onOutgoingBatchProgress = progress;
        viewer->onOutgoingBatchCompleted = [this](const UUID& id) { window->transferDidFinishSending(id); };
        viewer->onPeerSendResponse = [this](const UUID& id, const FileTransferPeerSendResponse& response) {
            window->transferDidComplete(id, false, response.accepted);
        };
        viewer->onBatchStarted = [started](const UUID& id, std::int64_t files, std::uint64_t total,
                                           const std::vector<std::string>&) { started(id, files, total); };
        viewer->onBatchProgress = progress;
        viewer->onBatchCompleted = [this](const UUID& id, const std::vector<fs::path>& items, FileTransferIntent) {
            deliver(items, viewerHome / "Documents");
            window->transferDidComplete(id, false, true);
        };
    }

    void TearDown() override {
        main->sync([this] { window.reset(); });
        net->sync([this] {
            if (viewerChannel) viewerChannel->cancel();
            if (hostChannel) hostChannel->cancel();
            if (listener) listener->cancel();
        });
        viewer.reset();
        host.reset();
    }

    template <class F>
    auto onMain(F&& f) {
        return main->sync(std::forward<F>(f));
    }

    FileTransferNodePtr child(const FileTransferNodePtr& parent, const std::string& name) {
        return onMain([&]() -> FileTransferNodePtr {
            if (!parent->children) return nullptr;
            for (const auto& c : *parent->children)
                if (c->name == name) return c;
            return nullptr;
        });
    }

    // Expands a Host folder and waits for its listing.
    void expandRemote(const FileTransferNodePtr& node) {
        onMain([&] { window->shouldExpandItem(FileTransferPane::right, node); });
        ASSERT_TRUE(waitUntil([&] { return onMain([&] { return !node->pendingRequestID && node->childrenLoaded; }); }));
    }
    bool idle() {
        return onMain([&] { return !window->activeTransferBatchID(); });
    }
};

}  // namespace

TEST_F(BrowserLoopback, ListsCopiesBothWaysAndShowsProgress) {
    const auto big = randomBytes(700000, 1), small = randomBytes(1234, 2), nested = randomBytes(300000, 3);
    writeFile(viewerHome / "Desktop" / "big.bin", big);
    writeFile(viewerHome / "Desktop" / "small.txt", small);
    writeFile(viewerHome / "Desktop" / "Project" / "src" / "main.c", nested);
    writeFile(viewerHome / "Desktop" / "unchecked.txt", {'u'});
    writeFile(hostHome / "Outbox" / "report.pdf", randomBytes(500000, 4));
    writeFile(hostHome / "Outbox" / "notes.md", randomBytes(10, 5));
    writeFile(hostHome / "Outbox" / "Photos" / "a.jpg", randomBytes(400000, 6));
    writeFile(hostHome / "Outbox" / "left.txt", {'l'});
    ASSERT_TRUE(waitUntil([&] { return hostChannel != nullptr; }));

    // List the Host's home: its own absolute path comes back.
    auto home = onMain([&] { return window->remoteRoots().at(0); });
    expandRemote(home);
    EXPECT_EQ(onMain([&] { return home->path; }), hostHome.string());
    auto inbox = child(home, "Inbox");
    ASSERT_TRUE(inbox);

    // Send two files and a folder into the Host's Inbox.
    onMain([&] {
        FileTransferNodePtr desktop;
        for (const auto& r : window->localRoots())
            if (r->name == "Desktop") desktop = r;
        window->shouldExpandItem(FileTransferPane::left, desktop);
        for (const auto& c : *desktop->children) {
            if (c->name != "unchecked.txt") window->sourceCheckboxToggled({c, FileTransferPane::left, CheckState::on});
        }
        window->outlineViewSelectionDidChange(FileTransferPane::right, {inbox});
        EXPECT_EQ(window->views().executeButton.title, "Copy 3 Item(s) to Studio");
        window->executeTransfer();
    });
    ASSERT_TRUE(waitUntil([&] { return onMain([&] { return sheets == 1; }); }, std::chrono::seconds(60)));
    EXPECT_TRUE(idle());
    EXPECT_EQ(onMain([&] { return window->views().transferSummaryLabel.text; }), "📤 Copied 3 item(s) to Studio");
    // The Viewer's side is done once everything is sent; the Host writes the last of it on its own queue.
    const std::map<std::string, Bytes> sent{{"big.bin", big},
                                            {"small.txt", small},
                                            {"Project", {}},
                                            {"Project/src", {}},
                                            {"Project/src/main.c", nested}};
    waitUntil([&] { return treeOf(hostHome / "Inbox") == sent; });
    EXPECT_EQ(treeOf(hostHome / "Inbox"), sent);
    EXPECT_NE(std::find(statusTexts.begin(), statusTexts.end(), "Copying… 100%"), statusTexts.end());
    EXPECT_NE(std::find(statusTexts.begin(), statusTexts.end(),
                        "The Host is writing the files into the selected destination folder."),
              statusTexts.end());

    // Receive two files and a folder from the Host's Outbox into the local Documents.
    statusTexts.clear();
    auto outbox = child(home, "Outbox");
    ASSERT_TRUE(outbox);
    onMain([&] { window->selectDirectionSegment(1); });
    expandRemote(outbox);
    onMain([&] {
        for (const auto& c : *outbox->children) {
            if (c->name != "left.txt") window->sourceCheckboxToggled({c, FileTransferPane::right, CheckState::on});
        }
        FileTransferNodePtr documents;
        for (const auto& r : window->localRoots())
            if (r->name == "Documents") documents = r;
        window->outlineViewSelectionDidChange(FileTransferPane::left, {documents});
        EXPECT_EQ(window->views().executeButton.title, "Receive 3 Item(s) from Studio");
        window->executeTransfer();
    });
    ASSERT_TRUE(waitUntil([&] { return onMain([&] { return sheets == 2; }); }, std::chrono::seconds(60)));
    EXPECT_EQ(onMain([&] { return window->views().transferSummaryLabel.text; }), "📥 Copied 3 item(s) to Studio");
    auto expected = treeOf(hostHome / "Outbox");
    expected.erase("left.txt");
    waitUntil([&] { return treeOf(viewerHome / "Documents") == expected; });
    EXPECT_EQ(treeOf(viewerHome / "Documents"), expected);
    EXPECT_NE(std::find_if(statusTexts.begin(), statusTexts.end(),
                           [](const std::string& s) { return s.starts_with("Receiving… "); }),
              statusTexts.end());
}

}  // namespace BrowserLoopbackTests
