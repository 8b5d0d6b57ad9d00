#include "support/WiredHost.h"

#include <algorithm>

#include "HostApp/App/HostServiceWiring.h"

namespace qm::test {

namespace fs = std::filesystem;

WiredHost::WiredHost(V230HostAudioAuxServer::Options options, std::optional<fs::path> cachesFolder)
    : caches_(cachesFolder ? *cachesFolder : folder.path() / "caches") {
    LiveServer::Setup setup;
    setup.options = options;
    setup.dragPasteboard = drag;
    setup.beforeStart = [this](const std::shared_ptr<V230HostAudioAuxServer>& server, const HostPlatform& platform) {
        mainQueue = platform.mainQueue;
        clipboard = std::make_shared<ClipboardSyncBridge>(platform, "Viewer", pasteboard, 32 << 20, 48 << 20, caches());
        files = std::make_shared<FileTransferService>(platform, "Viewer", chunk,
                                                      FileTransferService::Folders{caches(), folder.path() / "home"});
        connectHostServices(server, clipboard, files, mainQueue);
        files->onBatchCompleted = [this](const UUID& id, const std::vector<fs::path>& items, FileTransferIntent) {
            {
                std::lock_guard lock(mutex_);
                completed_.push_back(items);
            }
            if (releases_) files->releaseCompletedBatch(id);
        };
    };
    live = std::make_unique<LiveServer>(setup);
    mainQueue->sync([this] { clipboard->start(); });
}

WiredHost::~WiredHost() {
    mainQueue->sync([this] { clipboard->stop(); });
    live.reset();
}

std::vector<std::vector<fs::path>> WiredHost::completedBatches() {
    std::lock_guard lock(mutex_);
    return completed_;
}

std::size_t WiredHost::stagedFiles() const {
    std::size_t count = 0;
    std::error_code ec;
    if (!fs::exists(staging(), ec)) return 0;
    for (fs::recursive_directory_iterator it(staging(), ec), end; !ec && it != end; it.increment(ec))
        count += it->is_regular_file();
    return count;
}

WiredViewer::WiredViewer(WiredHost& host, std::string sourceAddress) : WiredViewer(*host.live, std::move(sourceAddress)) {}

WiredViewer::WiredViewer(LiveServer& live, std::string sourceAddress)
    : control(live.ports().control, "127.0.0.1", std::move(sourceAddress)) {
    auto& server = live.server();
    std::vector<UUID> before;
    for (const auto& [id, name] : server.connectedFileTransferPeers()) before.push_back(id);
    auto result = control.signIn(LiveServer::user, LiveServer::password);
    if (!result || !result->accepted) return;
    auto frame = control.waitFor(AuxPacketType::fileTransferEndpoint);
    auto endpoint = frame ? FileTransferEndpointPayload::decode(frame->payload) : std::nullopt;
    if (!endpoint) return;
    channel = std::make_unique<TestFileChannel>(endpoint->port);
    channel->sendFrame(Bytes(endpoint->token.begin(), endpoint->token.end()));
    waitUntil([&] {
        for (const auto& [id, name] : server.connectedFileTransferPeers()) {
            if (std::find(before.begin(), before.end(), id) == before.end()) {
                sessionID = id;
                return true;
            }
        }
        return false;
    });
}

}  // namespace qm::test
