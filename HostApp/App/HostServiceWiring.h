#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "Platform/Core/DispatchQueue.h"
#include "Platform/DragPasteboard.h"
#include "QuillmereProfiles/FileTransferPacket.h"
#include "QuillmereProfiles/FileTransferService.h"

namespace qm {

class V230HostAudioAuxServer;
class ClipboardSyncBridge;
struct ClipboardTransfer;

// Pull batches one Viewer may have on their way at once: as many as a drag snapshot offers items,
// so pulling every item of a drag at once is always served.
inline constexpr std::size_t maxDragPullsInFlight = DragPasteboard::maximumFiles;

// Connects the session server, the clipboard bridge and the file-transfer service, none of which
// knows the others: every message between them passes through the callbacks installed here, and
// each callback holds its target weakly. Call it before server->start() (the server reads its
// callbacks on its queue without a lock) and start the bridge on `mainQueue` afterwards.
//
// - Clipboard, Host to Viewers: the bridge's snapshot goes to broadcastClipboardTransfer, whose
//   answer (a signed-in Viewer exists) goes back to the bridge.
// - Clipboard, Viewer to Host: the server's snapshot goes to the bridge on `mainQueue`.
// - Files, Host to Viewers: a routing token that is a session id sends to that session, anything
//   else to every signed-in Viewer.
// - Files, Viewer to Host: packets from either channel pass the application's `fileTransferPacket`
//   hook first (file chunks excepted: they go straight to the service without a copy), then go to
//   the service with the session id as the peer. Without an application to answer it, a peer send
//   request is refused. Packets on the control channel keep that connection under the service's
//   backlog mark. A control session that leaves takes its unfinished inbound batches with it.
// - Drag pulls: the item of the current drag snapshot goes to every Viewer as a pull batch; a
//   stale snapshot or index is logged, charged to the asking Viewer's log budget, and nothing is
//   sent. A Viewer's pull of an item whose batch from its earlier pull is still on its way, or
//   beyond maxDragPullsInFlight such batches, is refused the same way; the line of a pull served
//   and those of its batch are charged to that Viewer too.
// - Status lines of the bridge go to the hooks below, else out through the server's publish.
//   The service's are logged behind "files: " (through `log`, else the server's publish) and
//   shown through `filesStatus`; one that a Viewer's packets caused is logged only within that
//   Viewer's log budget (logForViewer).
//
// The application sets the hooks (its status label and diagnostic log); tests and benchmarks
// leave them empty. Hooks may be called on any queue.
struct HostServiceHooks {
    // A status text of the server, the clipboard bridge, the file-transfer service. The service's
    // is only shown here: the wiring logs it.
    std::function<void(const std::string&)> serverStatus;
    std::function<void(const std::string&)> clipboardStatus;
    std::function<void(const std::string&)> filesStatus;
    // One diagnostic line ("clipboard sent seq=...", "drag pull: ...", the file service's "files: ...").
    std::function<void(const std::string&)> log;
    // The Host's own clipboard changed: what came from a Viewer is no longer on it.
    std::function<void(const std::string& reason)> hostClipboardChanged;
    // Every file-transfer packet of a Viewer but its file chunks, on the server queue, before the
    // service sees it; true when the application took it (the service then never does).
    std::function<bool(const FileTransferPacket& packet, const UUID& viewerSession)> fileTransferPacket;
    // The service's batch events, on the main queue: incoming batches once their intent is settled,
    // their progress and end; outgoing batches' start, progress and end.
    std::function<void(const FileTransferService::InboundBatchInfo&)> incomingBatchSettled;
    std::function<void(const UUID&)> incomingBatchDropped;
    // A batch refused at its batchStart (it never settles), with the intent it announced and the
    // Viewer that sent it.
    std::function<void(const UUID&, FileTransferIntent, const std::optional<std::string>& peerToken)>
        incomingBatchRefused;
    std::function<void(const UUID&, std::uint64_t received, std::uint64_t total)> incomingBatchProgress;
    std::function<void(const UUID&, std::uint64_t droppedItems)> incomingBatchItemsDropped;
    std::function<void(const UUID&, const std::vector<std::filesystem::path>&, FileTransferIntent)>
        incomingBatchCompleted;
    std::function<void(const UUID&, std::int64_t fileCount, std::uint64_t totalBytes, FileTransferIntent,
                       const std::vector<std::string>& itemNames)>
        outgoingBatchStarted;
    std::function<void(const UUID&, std::uint64_t sent, std::uint64_t total)> outgoingBatchProgress;
    std::function<void(const UUID&, bool viewerGone)> outgoingBatchStopped;
    std::function<void(const UUID&)> outgoingBatchCompleted;
};

// The server's callbacks (set them before server->start(): the server reads its callbacks on its
// queue without a lock).
void connectServerCallbacks(const std::shared_ptr<V230HostAudioAuxServer>& server,
                            const std::shared_ptr<ClipboardSyncBridge>& clipboard,
                            const std::shared_ptr<FileTransferService>& files, const DispatchQueuePtr& mainQueue,
                            const HostServiceHooks& hooks = {});
// The bridge's and the service's callbacks; start the bridge on `mainQueue` afterwards.
void connectServiceCallbacks(const std::shared_ptr<V230HostAudioAuxServer>& server,
                             const std::shared_ptr<ClipboardSyncBridge>& clipboard,
                             const std::shared_ptr<FileTransferService>& files, const HostServiceHooks& hooks = {});
// Both of the above.
void connectHostServices(const std::shared_ptr<V230HostAudioAuxServer>& server,
                         const std::shared_ptr<ClipboardSyncBridge>& clipboard,
                         const std::shared_ptr<FileTransferService>& files, const DispatchQueuePtr& mainQueue,
                         const HostServiceHooks& hooks = {});

// Charges a log line that a Viewer's packets caused to that Viewer's log budget, from any queue:
// a line about what it sent (sentByPeer) or about what the Host did for it (doneForPeer). Within
// the budget `write` writes it (else the server, as its own lines); past it the server's
// suppression lines stand for it. A Viewer that has left shares the budget of connections not
// signed in.
void logForViewer(const std::shared_ptr<V230HostAudioAuxServer>& server, const UUID& viewerSession,
                  FileTransferService::StatusSource::Kind kind, std::string line,
                  std::function<void(const std::string&)> write = {});

// "clipboard sent seq=<sequence> kind=<kind of the first item, or unknown>".
std::string clipboardSentLine(const ClipboardTransfer& transfer);

// The refusal a Viewer's peer send request gets when no application answers it (the wiring
// without the delegate, as tests and benchmarks build it).
std::string peerSendRefusal(const FileTransferPacket& request);

}  // namespace qm
