// The Host user's drag, offered to Viewers: read on the drag-poll timer while a Viewer is
// connected, announced to signed-in Viewers whenever it changes, and looked up for pulls.
#include "HostApp/Server/ServerSupport.h"
#include "Platform/DragPasteboard.h"
#include "QuillmereProfiles/SessionPayloads.h"

namespace qm {

void V230HostAudioAuxServer::pollDragSnapshot() {
    assertOnQueue();
    // A snapshot must not outlive the Viewers that could pull from it.
    if (!hasConnectedViewerOnQueue()) return applyDraggedFiles({});
    if (!platform_.dragPasteboard || drag_.readInFlight) return;
    drag_.readInFlight = true;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    // The read may answer on another thread, or at once; it is applied on a later turn of the queue.
    platform_.dragPasteboard->readDraggedFiles([weak, queue = queue](std::vector<std::filesystem::path> files) {
        queue->async([weak, files = std::move(files)]() mutable {
            if (auto self = weak.lock()) {
                self->drag_.readInFlight = false;
                self->applyDraggedFiles(std::move(files));
            }
        });
    });
}

void V230HostAudioAuxServer::applyDraggedFiles(std::vector<std::filesystem::path> files) {
    assertOnQueue();
    // A read that ends after the last Viewer left, or after the stop began, offers nothing.
    if (stopping_ || !hasConnectedViewerOnQueue()) files.clear();
    if (files.size() > DragPasteboard::maximumFiles) files.resize(DragPasteboard::maximumFiles);
    announceDragSnapshot(drag_.replace(std::move(files)));
}

void V230HostAudioAuxServer::announceDragSnapshot(bool changed) {
    assertOnQueue();
    // The end of a drag is news only to those told of it; a drag in progress is news to every
    // signed-in Viewer not yet told.
    if (drag_.urls().empty() && !changed) return;
    std::vector<ConnectionPtr> targets;
    for (const auto& id : sessions_.authorizedAudioSessions()) {
        if (drag_.announcedTo.contains(id)) continue;
        auto connection = sessions_.audioSessions().find(id);
        if (connection == sessions_.audioSessions().end()) continue;
        targets.push_back(connection->second);
        drag_.announcedTo.insert(id);
    }
    if (targets.empty()) return;
    DragSnapshotPayload payload;
    payload.snapshotID = drag_.snapshotID();
    for (const auto& url : drag_.urls()) payload.itemNames.push_back(url.filename().string());
    const auto packet = makeSharedPacket(AuxPacketType::dragSnapshot, payload.encode());
    for (const auto& connection : targets) connection->send(packet);
}

std::optional<std::filesystem::path> V230HostAudioAuxServer::dragSourceURL(std::uint32_t snapshotID, std::uint32_t index) {
    return queue->syncInline([&] { return drag_.url(snapshotID, index); });
}

}  // namespace qm
