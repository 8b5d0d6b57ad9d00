// The file browser's tree of a Host's folders, fed listing replies as a peer sends them: every
// decoded listing becomes children whose rows and columns can be shown (the date column turns a
// date into an integer), sorted by any column, and opened for the next listing.
#include <memory>
#include <string>
#include <vector>

#include "Platform/Core/ManualDispatchQueue.h"
#include "Platform/Linux/PosixLocalFolders.h"
#include "Platform/UserDefaults.h"
#include "QuillmereProfiles/FileTransferDocuments.h"
#include "QuillmereProfiles/UI/FileTransferWindowController.h"
#include "fuzz/FuzzTarget.h"
#include "support/TestPlatform.h"

using namespace qm;

QM_FUZZ_TARGET(file_tree) {
    using Controller = FileTransferWindowController;
    static test::TemporaryDirectory home;
    fuzz::FuzzInput input(data);
    auto clock = std::make_shared<ManualClock>();
    auto main = clock->makeQueue("main");
    std::vector<std::pair<UUID, std::string>> requests;
    Controller::ListingHandler reply;
    Controller::Dependencies deps;
    deps.sendPacket = [](const FileTransferPacket&) {};
    deps.requestDirectoryListing = [&](const std::string& path) {
        requests.emplace_back(UUID::random(), path);
        return requests.back().first;
    };
    deps.setDirectoryListingHandler = [&](Controller::ListingHandler handler) { reply = std::move(handler); };
    deps.sendFiles = [](const std::vector<std::filesystem::path>&, FileTransferIntent, const std::optional<std::string>&,
                        const std::optional<std::string>&, FileTransferDeliveryOptions) { return std::nullopt; };
    deps.requestPeerSend = [](const std::vector<std::string>&, const std::string&, FileTransferDeliveryOptions) {
        return std::nullopt;
    };
    deps.localDeviceName = [] { return std::string("Desk"); };
    deps.connectedPeers = [] { return std::vector<Controller::Peer>{{"h1", "Studio"}}; };
    deps.openFileTransferForPeer = [](const std::string&) { return false; };
    auto folders = std::make_shared<SimulatedLocalFolders>(std::make_shared<PosixLocalFolders>(home.path()));
    auto controller = Controller::make(deps, {main, folders, std::make_shared<InMemoryUserDefaults>()});
    QM_FUZZ_CHECK(!controller->remoteRoots().empty() && reply, "a selected Host shows its roots");

    auto node = controller->remoteRoots()[input.byte() % controller->remoteRoots().size()];
    controller->shouldExpandItem(FileTransferPane::right, node);
    const char* keys[] = {"name", "modificationDate", "size", "kind"};
    const char* columns[] = {"date", "size", "kind"};
    for (int round = 0; round < 6 && !requests.empty() && !input.empty(); ++round) {
        const auto request = requests.back();
        const auto resolved = input.byte() % 4 == 0 ? input.shortString() : std::string();
        const auto body = input.take(input.u16() % 8192);
        const auto entries = FileTransferDocuments::decodeListing(body);
        reply(request.first, resolved, entries);
        clock->runUntilIdle();
        controller->sortDescriptorsDidChange({{std::string(keys[input.byte() % 4]), input.flag()}});
        if (!node->children) break;
        QM_FUZZ_CHECK(node->children->size() == entries.size(), "one child per listed entry");
        std::vector<FileTransferNodePtr> folders;
        for (const auto& child : *node->children) {
            QM_FUZZ_CHECK(child->path.starts_with(node->path), "a child outside its folder");
            controller->rowCell(FileTransferPane::right, child);
            for (const char* column : columns)
                QM_FUZZ_CHECK(!controller->metadataText(column, child).empty(), "an empty column");
            if (child->isContainer()) folders.push_back(child);
        }
        if (folders.empty()) break;
        node = folders[input.byte() % folders.size()];
        controller->shouldExpandItem(FileTransferPane::right, node);
    }
    clock->advance(30);
}
