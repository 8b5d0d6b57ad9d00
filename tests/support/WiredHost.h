#pragma once

#include <atomic>

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "HostApp/Server/V230HostAudioAuxServer.h"
#include "Platform/DragPasteboard.h"
#include "Platform/Pasteboard.h"
#include "QuillmereProfiles/ClipboardSyncBridge.h"
#include "QuillmereProfiles/FileTransferService.h"
#include "support/LiveServer.h"
#include "support/TestViewer.h"

namespace qm::test {

// The Host process in miniature: the live server with the clipboard bridge (on an in-memory
// pasteboard) and the file service connected the way the process connects them. Staging goes
// below `caches()`, which a test may point elsewhere (a small file system) before construction.
class WiredHost {
public:
    static constexpr std::int64_t chunk = 256 * 1024;

    explicit WiredHost(V230HostAudioAuxServer::Options options = {},
                       std::optional<std::filesystem::path> cachesFolder = std::nullopt);
    ~WiredHost();

    std::filesystem::path caches() const { return caches_; }
    std::filesystem::path staging() const { return caches() / "QuillmereFileInbox" / "Viewer"; }
    // Every inbound batch completed so far, as the items it delivered.
    std::vector<std::vector<std::filesystem::path>> completedBatches();
    // From now on each completed batch is let go of at once, as the Host's delivery does once it
    // moved the items (their files are gone then): a Viewer's burst is not held back waiting for it.
    void releaseCompletedBatches() { releases_ = true; }
    // Regular files below the staging folder.
    std::size_t stagedFiles() const;

    TemporaryDirectory folder;
    std::shared_ptr<InMemoryPasteboard> pasteboard = std::make_shared<InMemoryPasteboard>();
    // What the Host's user drags.
    std::shared_ptr<InMemoryDragPasteboard> drag = std::make_shared<InMemoryDragPasteboard>();
    DispatchQueuePtr mainQueue;
    std::shared_ptr<ClipboardSyncBridge> clipboard;
    std::shared_ptr<FileTransferService> files;
    std::unique_ptr<LiveServer> live;

private:
    std::filesystem::path caches_;
    std::mutex mutex_;
    std::vector<std::vector<std::filesystem::path>> completed_;
    std::atomic<bool> releases_{false};
};

// A signed-in Viewer with its file channel open, and its session id on the Host. Viewers are
// made one at a time: the new session is the file channel that was not bound before.
struct WiredViewer {
    explicit WiredViewer(WiredHost& host, std::string sourceAddress = {});
    explicit WiredViewer(LiveServer& live, std::string sourceAddress = {});
    bool ready() const { return sessionID.has_value(); }

    TestViewer control;
    std::unique_ptr<TestFileChannel> channel;
    std::optional<UUID> sessionID;
};

}  // namespace qm::test
