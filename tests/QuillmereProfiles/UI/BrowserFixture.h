#pragma once

#include <gtest/gtest.h>

#include <fstream>

#include "Platform/Core/ManualDispatchQueue.h"
#include "Platform/Linux/PosixLocalFolders.h"
#include "QuillmereProfiles/UI/FileTransferBookmarks.h"
#include "QuillmereProfiles/UI/FileTransferWindowController.h"
#include "support/TestPlatform.h"

namespace qm::test {

// A browser over a scripted home folder, a virtual main queue and recording dependencies.
class BrowserFixture : public ::testing::Test {
protected:
    using Controller = FileTransferWindowController;

    struct SentFiles {
        std::vector<std::filesystem::path> urls;
        FileTransferIntent intent;
        std::optional<std::string> destination;
        std::optional<std::string> peerID;
        FileTransferDeliveryOptions options;
    };
    struct PeerSend {
        std::vector<std::string> paths;
        std::string destination;
        FileTransferDeliveryOptions options;
    };

    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<ManualDispatchQueue> main = clock->makeQueue("main");
    TemporaryDirectory tmp;
    std::filesystem::path homeDir = tmp.path() / "home";
    std::shared_ptr<SimulatedLocalFolders> folders;
    std::shared_ptr<InMemoryUserDefaults> defaults = std::make_shared<InMemoryUserDefaults>();

    std::vector<Controller::Peer> peers;
    std::vector<std::string> openedPeers;
    std::set<std::string> peersOpenedElsewhere;
    std::vector<std::pair<UUID, std::string>> listingRequests;
    Controller::ListingHandler listingHandler;
    std::vector<SentFiles> sentFiles;
    std::vector<PeerSend> peerSends;
    std::vector<UUID> cancelled;
    bool startRefused = false;
    std::string deviceName = "Desk";

    std::vector<FolderAuthorizationRequest> panels;
    std::vector<FileTransferAlert> sheets;
    int panelRaised = 0;
    std::vector<std::pair<FileTransferPane, FileTransferNodePtr>> expanded;

    BrowserFixture() {
        for (const char* d : {"Desktop", "Documents", "Downloads"}) std::filesystem::create_directories(homeDir / d);
        folders = std::make_shared<SimulatedLocalFolders>(std::make_shared<PosixLocalFolders>(homeDir));
    }

    void writeFile(const std::filesystem::path& path, const std::string& contents) {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << contents;
    }

    Controller::Dependencies deps() {
        Controller::Dependencies d;
        d.sendPacket = [](const FileTransferPacket&) {};
        d.requestDirectoryListing = [this](const std::string& path) {
            const auto id = UUID::random();
            listingRequests.emplace_back(id, path);
            return id;
        };
        d.setDirectoryListingHandler = [this](Controller::ListingHandler h) { listingHandler = std::move(h); };
        d.sendFiles = [this](const std::vector<std::filesystem::path>& urls, FileTransferIntent intent,
                             const std::optional<std::string>& dest, const std::optional<std::string>& peer,
                             FileTransferDeliveryOptions options) -> std::optional<UUID> {
            if (startRefused) return std::nullopt;
            sentFiles.push_back({urls, intent, dest, peer, options});
            return UUID::random();
        };
        d.requestPeerSend = [this](const std::vector<std::string>& paths, const std::string& dest,
                                   FileTransferDeliveryOptions options) -> std::optional<UUID> {
            if (startRefused) return std::nullopt;
            peerSends.push_back({paths, dest, options});
            return UUID::random();
        };
        d.localDeviceName = [this] { return deviceName; };
        d.connectedPeers = [this] { return peers; };
        d.openFileTransferForPeer = [this](const std::string& id) {
            openedPeers.push_back(id);
            return peersOpenedElsewhere.count(id) > 0;
        };
        d.cancelBatch = [this](const UUID& id) { cancelled.push_back(id); };
        return d;
    }

    std::shared_ptr<Controller> make() {
        auto c = Controller::make(deps(), {main, folders, defaults});
        Controller::ViewCallbacks v;
        v.presentFolderPanel = [this](const FolderAuthorizationRequest& r) { panels.push_back(r); };
        v.bringFolderPanelToFront = [this] { ++panelRaised; };
        v.beginSheet = [this](const FileTransferAlert& a) { sheets.push_back(a); };
        v.expandItem = [this](FileTransferPane p, const FileTransferNodePtr& n) { expanded.emplace_back(p, n); };
        c->setViewCallbacks(v);
        return c;
    }

    static FileTransferNodePtr named(const std::vector<FileTransferNodePtr>& nodes, const std::string& name) {
        for (const auto& n : nodes) {
            if (n->name == name) return n;
        }
        return nullptr;
    }
    static FileTransferNodePtr named(const FileTransferNodePtr& parent, const std::string& name) {
        return parent && parent->children ? named(*parent->children, name) : nullptr;
    }
    static std::vector<std::string> names(const std::vector<FileTransferNodePtr>& nodes) {
        std::vector<std::string> out;
        for (const auto& n : nodes) out.push_back(n->name);
        return out;
    }

    // Ticks a row's check box as the user would.
    static void toggle(Controller& c, FileTransferPane pane, const FileTransferNodePtr& node, bool on) {
        c.sourceCheckboxToggled({node, pane, on ? CheckState::on : CheckState::off});
    }

    // Answers the latest listing request for `path`.
    void answer(const std::string& path, const std::vector<RemoteDirectoryEntry>& entries,
                const std::string& resolved = "") {
        for (auto it = listingRequests.rbegin(); it != listingRequests.rend(); ++it) {
            if (it->second == path) {
                listingHandler(it->first, resolved, entries);
                return;
            }
        }
        FAIL() << "no listing request for " << path;
    }

    static RemoteDirectoryEntry dir(const std::string& name) { return {name, true, 0, std::nullopt}; }
    static RemoteDirectoryEntry file(const std::string& name, std::uint64_t size) { return {name, false, size, 5.0}; }
};

}  // namespace qm::test
