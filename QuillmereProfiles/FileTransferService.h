#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Core/DispatchQueue.h"
#include "Platform/HostPlatform.h"
#include "Platform/Network.h"
#include "QuillmereProfiles/CallbackSlot.h"
#include "QuillmereProfiles/ConfinedFiles.h"
#include "QuillmereProfiles/FileTransferDocuments.h"
#include "QuillmereProfiles/FileTransferPacket.h"

namespace qm {

// The file-transfer engine of one side. It never touches a socket: packets leave through
// `routedSendPacket` (with the operation's routing token) or else `sendPacket`, and arrive
// through handleIncomingPacket. Outgoing batches run one at a time on the send queue,
// everything that arrives runs on the receive queue, and start/progress/completion, listing
// and response callbacks are scheduled on the main queue. Every callback slot may be replaced
// at any time from any thread.
class FileTransferService : public std::enable_shared_from_this<FileTransferService> {
public:
    // Where staging goes (the caches folder) and what listings are confined to (home).
    struct Folders {
        std::filesystem::path caches;
        std::filesystem::path home;
        static Folders current();
    };

    // A destination announced by directSave before its batch starts.
    struct PendingDestination {
        std::string path;
        FileTransferDeliveryOptions deliveryOptions;
        std::optional<std::string> peerToken;  // the peer that announced it; only its batch takes it
    };

    // What one peer's batch folders hold of the Host: each held folder counts here until its
    // descriptor is closed, so the count is what that peer really holds (see
    // maxStagedBatchesPerPeer). A folder let go of wakes the peer's packets waiting for room.
    struct StagingShare {
        std::atomic<std::size_t> held = 0;
        std::weak_ptr<FileTransferService> service;
    };

    // A batch folder this service made, held while the batch needs it: the staging root as it
    // was opened when the folder was made (the folder is removed through it, never by path; one
    // descriptor shared by every folder made while the root stayed the same) and the folder
    // itself, locked, so that a Host starting beside this one leaves it alone.
    struct StagedFolder {
        std::shared_ptr<const FileDescriptor> root;
        FileDescriptor folder;
        std::string name;
        std::shared_ptr<StagingShare> share;  // of the peer whose batch it is
        StagedFolder() = default;
        StagedFolder(const StagedFolder&) = delete;
        StagedFolder& operator=(const StagedFolder&) = delete;
        ~StagedFolder();
    };

    // One batch being received into its staging folder.
    struct InboundBatch {
        std::filesystem::path rootDir;
        std::shared_ptr<StagedFolder> staged;
        std::vector<std::filesystem::path> topLevelEntries;
        std::optional<std::filesystem::path> currentFile;
        std::string currentRelativePath;
        FileDescriptor currentHandle;
        std::uint64_t currentExpectedSize = 0;
        std::uint64_t currentReceived = 0;
        std::uint64_t totalExpectedBytes = 0;
        std::int64_t totalFilesExpected = 0;
        std::uint64_t totalReceivedBytes = 0;
        FileTransferIntent intent = FileTransferIntent::copy;
        std::vector<std::string> itemNames;
        std::optional<std::string> destinationHint;
        FileTransferDeliveryOptions deliveryOptions;
        double startedAt = 0;
        // The peer whose batchStart opened it; packets of other peers are not applied to it.
        std::optional<std::string> peerToken;
        // Names of the top-level entries, so a repeated name costs one lookup, not a scan.
        std::set<std::string> topLevelNames;
        UUID batchID;
        std::uint64_t droppedFiles = 0;
        // The file whose packets arrive now was dropped: its remaining chunks and its fileEnd,
        // which find no open file, do not count it again.
        bool currentFileDropped = false;
        bool itemLimitReported = false;
        // Reported through onInboundBatchSettled; its intent no longer changes.
        bool settled = false;
        // Names the open file while a chunk's data is moved into it off the packet order (a tail
        // of the file channel): the move's end finds out whether that file is still the one open.
        std::uint64_t currentSerial = 0;
        // The progress the main queue has not been told of yet: one report waits at a time.
        struct Progress {
            std::atomic<std::uint64_t> received = 0;
            std::atomic<bool> reportWaiting = false;
        };
        std::shared_ptr<Progress> progress = std::make_shared<Progress>();
        std::uint64_t reportedBytes = 0;   // the figure the last report was made for
        std::uint64_t nextReportNs = 0;    // no report is made before this (uptime)
        bool reportFollows = false;        // a report of the latest figure is due at nextReportNs
    };

    // What an inbound batch's own packets said of it, taken when its intent is settled: at its
    // batchIntent packet, or at the first later packet when it has none. The receiving side
    // decides where the batch goes from this, never by asking after the batch ended.
    struct InboundBatchInfo {
        UUID batchID;
        std::int64_t fileCount = 0;
        std::uint64_t totalBytes = 0;
        std::vector<std::string> itemNames;
        FileTransferIntent intent = FileTransferIntent::copy;
        std::optional<std::string> destinationHint;  // from the batch's directSave
        FileTransferDeliveryOptions deliveryOptions;  // from the batch's directSave
        std::optional<std::string> peerToken;         // the peer that started it
        // Settled by its batchEnd: it ended before any item came, and its completion lists none.
        bool endedEmpty = false;
    };

    // What one peer may hold of the receiving side at once. Everything is released when the
    // peer's session ends (forgetPeer).
    static constexpr std::size_t maxInboundBatchesPerPeer = 8;       // unfinished batches (one open file each)
    // Batch folders one peer holds at once, unfinished or finished and not yet released by the
    // owner (a descriptor each): a batchStart beyond waits in its peer's lane, whose reads are
    // held meanwhile, until one is released; it is never refused for it. More than the unfinished
    // ones and what a Host's user can keep waiting (8 for a folder, 8 on conflict questions), so
    // only batches on their way through delivery ever hold it back.
    static constexpr std::size_t maxStagedBatchesPerPeer = 24;
    static constexpr std::size_t maxPendingDestinationsPerPeer = 16;
    static constexpr std::size_t maxPeerPathBytes = 4096;            // a mkdir, fileStart or directSave path
    static constexpr std::size_t maxPeerPathDepth = 64;              // components of such a path
    static constexpr std::size_t maxItemNamesBytes = 256u << 10;     // a batchStart's item-name document
    static constexpr std::size_t maxTopLevelEntriesPerBatch = 65536;
    // A listing answers with at most this many entries and bytes of document (value1 = 1 then).
    static constexpr std::size_t maxListingEntries = 2000;
    static constexpr std::size_t maxListingBytes = 512u << 10;
    // A batch's progress reaches the main queue at most once per this many seconds, in either
    // direction, and its last figure before its completion: what a peer's packets cost the main
    // queue is bounded by time, however many files they carry.
    static constexpr double progressReportInterval = 0.25;

    FileTransferService(const HostPlatform& platform, std::string peerLabel, std::int64_t chunkSize,
                        Folders folders = Folders::current());
    ~FileTransferService();

    using BatchStarted = void(const UUID& batchID, std::int64_t fileCount, std::uint64_t totalBytes,
                              const std::vector<std::string>& itemNames);
    using BatchStartedWithIntent = void(const UUID& batchID, std::int64_t fileCount, std::uint64_t totalBytes,
                                        FileTransferIntent intent, const std::vector<std::string>& itemNames);
    using Progress = void(const UUID& batchID, std::uint64_t bytes, std::uint64_t totalBytes);

    CallbackSlot<void(const FileTransferPacket&)> sendPacket;
    CallbackSlot<void(const FileTransferPacket&, const std::optional<std::string>& routingToken)> routedSendPacket;
    // Whom a status line is about. A line that a peer's packets caused names that peer (on the
    // Host its Viewer session id) and tells either of what the peer sent (an item or a batch
    // refused or dropped) or of what was done for it (a batch received, a send it asked for); the
    // owner bounds such lines per peer. A line about the owner's own work names no peer.
    struct StatusSource {
        enum class Kind : std::uint8_t { sentByPeer, doneForPeer };
        std::optional<std::string> peerToken;
        Kind kind = Kind::doneForPeer;
    };
    // One status line: the outgoing ones on the send queue, the inbound ones on the main queue,
    // removeLeftStaging's on its caller's thread.
    CallbackSlot<void(const std::string& text, const StatusSource& source)> onStatus;
    CallbackSlot<void(const UUID& batchID, const std::vector<std::filesystem::path>& items, FileTransferIntent intent)>
        onBatchCompleted;
    CallbackSlot<BatchStarted> onBatchStarted;
    CallbackSlot<BatchStartedWithIntent> onBatchStartedWithIntent;
    CallbackSlot<Progress> onBatchProgress;
    CallbackSlot<BatchStartedWithIntent> onOutgoingBatchStarted;
    CallbackSlot<Progress> onOutgoingBatchProgress;
    CallbackSlot<void(const UUID& batchID)> onOutgoingBatchCompleted;
    // An outgoing batch that did not reach its destination whole: cancelled (by either side), or
    // its destination left. On the main queue, right before its onOutgoingBatchCompleted.
    CallbackSlot<void(const UUID& batchID, bool destinationGone)> onOutgoingBatchStopped;
    // Files and folders of an inbound batch that were sent and are not among its staged items
    // (refused, or their data did not fit what was announced): on the main queue, right before
    // onBatchCompleted, when there were any.
    CallbackSlot<void(const UUID& batchID, std::uint64_t droppedItems)> onBatchItemsDropped;
    // Once per inbound batch, on the main queue, after onBatchStarted and before onBatchCompleted.
    CallbackSlot<void(const InboundBatchInfo& batch)> onInboundBatchSettled;
    // A batch reported through onInboundBatchSettled was dropped before its end: cancelled by
    // either side, or its Viewer's road ended. On the main queue.
    CallbackSlot<void(const UUID& batchID)> onInboundBatchDropped;
    // A batchStart that was refused (too many unfinished batches, the staging folder unavailable,
    // no batch folder made), with the intent it announced and the peer that sent it: such a batch
    // never settles, so this is all its owner hears of it. Not for a batchStart under the id of a
    // finished batch still being delivered: what is said under that id is that batch's. On the
    // main queue.
    CallbackSlot<void(const UUID& batchID, FileTransferIntent intent, const std::optional<std::string>& peerToken)>
        onInboundBatchRefused;
    CallbackSlot<void(const UUID& requestID, const std::string& path, const std::vector<RemoteDirectoryEntry>& entries)>
        onDirectoryListing;
    CallbackSlot<void(const UUID& batchID, const FileTransferPeerSendResponse& response)> onPeerSendResponse;
    // The inbound backlog crossed a mark: true once more than maxQueuedInboundBytes wait for the
    // receive queue, false once it drained to half of that. Called in the order of the changes,
    // with the backlog lock held: hand the news on (to a queue), never call back into the service.
    CallbackSlot<void(bool congested)> onInboundCongestion;
    // A line for the peer that sent a batch (on the Host its Viewer session id): the batch's
    // outcome, a file that was dropped, a batch that was refused. Called on the receive queue.
    CallbackSlot<void(const std::string& peerToken, const std::string& text)> onPeerNotice;
    // Asked before every chunk read for an outgoing batch: how many bytes wait to be sent to
    // that destination (nothing once it is gone). Reading waits while it is above
    // maxOutgoingBacklogBytes; a destination that is gone ends the batch as failed.
    CallbackSlot<std::optional<std::size_t>(const std::optional<std::string>& routingToken)> outgoingBacklog;
    static constexpr std::size_t maxOutgoingBacklogBytes = 8u << 20;
    // An outgoing batch's walk looks for a cancel or a stop before it begins and then every
    // walkCheckEntries entries; this is called on the send queue right before each look (a seam
    // for holding a walk at an entry).
    CallbackSlot<void(const UUID& batchID)> onWalkCheck;
    static constexpr std::uint64_t walkCheckEntries = 16;

    // Packet bytes waiting for the receive queue above which the owner should stop reading.
    static constexpr std::size_t maxQueuedInboundBytes = 16u << 20;
    // Packet bytes of one peer waiting in its lane above which the owner should stop reading that
    // peer, however long its lane waits: what a peer sent and was not handled yet stays bounded
    // whatever it sends. Its reads go on once its lane is down to half of this, with room enough
    // left that a peer sending large chunks (on its control connection: a chunk is 256 KiB there)
    // streams on while its reads are held.
    static constexpr std::size_t maxQueuedBytesPerPeer = 1u << 20;
    // The owner should stop reading that peer's packets (true) until told again (false): its lane
    // holds more than maxQueuedBytesPerPeer, or its next packet waits for room (see below).
    // Called in the order of the changes with the backlog lock held, as onInboundCongestion, on
    // the thread that made the change: for a hold raised by a packet handed in, the thread that
    // handed it in, so an owner may stop reading before it hands in the next one.
    CallbackSlot<void(const std::string& peerToken, bool held)> onPeerReadsHeld;
    // What a queued packet costs beyond its path and data: its place in its peer's lane, the
    // closure that carries it, the peer's token, the receive queue's own entry and what the
    // allocator adds to each (about 600 bytes for a one-byte chunk).
    static constexpr std::size_t queuedPacketOverhead = 640;

    const std::string peerLabel;
    const std::int64_t chunkSize;

    // Any thread. Packets are processed one at a time on the receive queue, in call order.
    // `peerToken` names the sending peer (on the Host its Viewer session id); a batch only takes
    // packets from the peer that started it, and cancelInboundBatches drops a peer's batches.
    void handleIncomingPacket(const FileTransferPacket& packet, std::optional<std::string> peerToken = std::nullopt);
    // The same without copying the packet's data, which lies inside `storage`; the service keeps
    // `storage` until the packet is processed and writes chunks straight from it.
    void handleIncomingPacket(const FileTransferPacketView& packet, SharedBytes storage,
                              std::optional<std::string> peerToken = std::nullopt);
    // A fileChunk whose data is still in the connection (`tail`): `head` carries the rest of the
    // packet. The data is moved into the open file on the receive queue, in order with the other
    // packets; a tail let go of unused (no such file, a chunk that does not fit) is dropped. The
    // tail's connection carries file-channel frames: once the data is in the file, the next
    // chunks of the same file right behind it are taken from the connection on the receive queue
    // (FrameTail::takeFollowing), judged as this road judges them, until another frame comes or
    // the next head has not arrived; the connection's reader has the rest.
    void handleIncomingChunk(const FileTransferPacketView& head, FrameTailPtr tail,
                             std::optional<std::string> peerToken = std::nullopt);
    // Packet bytes handed to handleIncomingPacket and not processed yet.
    std::size_t queuedInboundBytes() const;
    // Drops every unfinished inbound batch of that peer with its staging folder (its file
    // channel ended, so its batchEnd will never come), behind the packets it sent before. Costs
    // nothing for a peer that never handed the service a packet.
    void cancelInboundBatches(const std::string& peerToken);
    // The peer left for good: what waits to answer it (its listings) goes unanswered at once,
    // then its unfinished batches go as above. Costs nothing for a peer that never handed the
    // service a packet (a connection that never signed in).
    void forgetPeer(const std::string& peerToken);
    // The Host starts serving: unless another running service holds this staging root, takes it
    // for this service's life and removes what an earlier run left in it (the batch folders of a
    // run that crashed or was killed), ahead of every packet. Entries not shaped like a batch
    // folder are left alone. Call it once, before any packet is handed in.
    void start();
    // Nothing peers sent is handled any more: what waits is dropped, and once this returns no
    // inbound batch settles or completes (cancels and releases the owner asks for still run). An
    // owner that answers every settled batch at a stop calls this first, so none settles after it
    // looked. Never call it from one of the service's queues.
    void stopReceiving();
    // Ends the service for good: outgoing batches stop, unfinished inbound batches are dropped
    // with their staging folders, the folders of finished batches the owner had not released go
    // too, so do those an earlier removal could not take, and nothing new is taken. Returns once
    // that is done; never call it from one of the service's queues. A batch folder of files goes
    // even when the process has no descriptor to spare; one with folders in it needs a few more,
    // and stays for removeLeftStaging when there are none.
    void stop();
    // After stop(), once the owner has let go of what held the process's descriptors (the Host
    // closes its connections): removes the batch folders the service could not, trying again while
    // the process is short of descriptors or memory, for up to `patience` seconds. What stays then
    // is told through onStatus, on the caller's thread. True when none stays; false at once before
    // stop().
    bool removeLeftStaging(double patience);
    // A name a batch folder in the staging root has: <seconds>-<8 upper-case hex digits>, with
    // -<n> when that name was taken.
    static bool isBatchFolderName(std::string_view name);
    // Entries of the receiving side's tables (batches, pending destinations, cancel marks,
    // running outgoing batches), so a leak shows.
    std::size_t tableEntryCount();
    // Batch folders of that peer held open now (unfinished, or finished and not released).
    std::size_t stagedBatchCount(const std::optional<std::string>& peerToken);

    // Outgoing batches. Nothing is queued (nullopt) when no item is named, the service has
    // stopped, or `batchID` is that of a batch still queued or being sent. Links in folders are
    // followed; with `confinedTo` (for a peer's request, whose items were checked to lie inside
    // that folder) only those that resolve inside it, and the batch's status line counts the
    // links left out. Such a batch goes down through the folders it walks, following no link
    // but judging each link it meets from that folder, one component at a time; a file is
    // opened again the same way to be sent. A cancel or a stop ends a walk where it stands:
    // the batch is then sent empty (batchStart, batchEnd).
    // `requestedBy` names the peer whose request the batch answers (which need not be its only
    // destination): its status lines are about that peer.
    std::optional<UUID> sendURLs(const std::vector<std::filesystem::path>& urls, FileTransferIntent intent,
                                 const std::optional<std::string>& destination,
                                 FileTransferDeliveryOptions deliveryOptions,
                                 const std::optional<std::string>& routingToken, std::optional<UUID> batchID,
                                 const std::optional<std::filesystem::path>& confinedTo = std::nullopt,
                                 const std::optional<std::string>& requestedBy = std::nullopt);
    void cancelOutgoingBatch(const UUID& batchID);
    // Outgoing batches queued or running that were sent with this routing token. Any thread.
    std::size_t outgoingBatchCount(const std::string& routingToken) const;
    // Whether that outgoing batch is still queued or being sent. Any thread.
    bool outgoingBatchActive(const UUID& batchID) const;

    // Peer send requests and responses (caller's thread).
    std::optional<UUID> requestPeerSend(const std::vector<std::string>& paths, const std::string& destination,
                                        FileTransferDeliveryOptions deliveryOptions);
    void sendPeerSendResponse(const UUID& batchID, bool accepted, const std::optional<std::string>& message,
                              const std::optional<std::string>& routingToken);
    static std::optional<FileTransferPeerSendRequest> peerSendRequest(const FileTransferPacket& packet);
    static std::optional<FileTransferPeerSendResponse> peerSendResponse(const FileTransferPacket& packet);

    // Folder listings. With a routing token the request goes to that peer alone, and only that
    // peer's reply reaches onDirectoryListing; without one it goes to every peer and the first
    // reply is taken.
    UUID requestDirectoryListing(const std::string& path);
    UUID requestDirectoryListing(const std::string& path, const std::optional<std::string>& routingToken);
    // Listing requests waiting for their reply that are remembered with their peer; the oldest
    // is forgotten beyond this many.
    static constexpr std::size_t maxPendingListingRequests = 256;

    // Cancellation and the owner's lookups into running inbound batches. The lookups wait for
    // the receive queue; never call them from a block running on it.
    // Also removes the staging folder of a completed batch that was not released yet.
    void cancelBatch(const UUID& batchID);
    // The owner is done with a completed batch: its staging folder goes, with whatever the
    // delivery left in it. Until then a completed batch keeps its folder.
    void releaseCompletedBatch(const UUID& batchID);
    // Completed batches whose staging folder was not released yet.
    std::size_t unreleasedBatchCount();
    void notifyPeerCancel(const UUID& batchID);
    std::optional<std::string> destinationHint(const UUID& batchID);
    FileTransferDeliveryOptions deliveryOptions(const UUID& batchID);
    std::optional<FileTransferIntent> intent(const UUID& batchID);
    // The batches reported (or on their way to be reported) through onInboundBatchSettled that
    // are still here: unfinished, or completed and neither released nor cancelled (without their
    // item names). An owner that stops answers each of them, whether or not their events reached
    // it yet.
    std::vector<InboundBatchInfo> settledInboundBatches();

    // caches / "QuillmereFileInbox" / peerLabel, created when missing (0700, the user's alone).
    std::filesystem::path stagingRoot() const;
    // The staging root opened without following a link at the two levels the service creates;
    // nothing (with `error`) when it cannot be made or belongs to another user.
    std::optional<FileDescriptor> openStagingRoot(std::string& error) const;

private:
    struct Entry;

    void send(const FileTransferPacket& packet, const std::optional<std::string>& routingToken) const;
    bool isOutgoingCancelled(const UUID& batchID) const;
    // Schedules the block on the main queue; it does nothing once the service is gone.
    void onMain(std::function<void(FileTransferService&)> block);

    // Outgoing.
    void performSend(const std::vector<std::filesystem::path>& urls, const UUID& batchID, FileTransferIntent intent,
                     const std::optional<std::string>& destination, FileTransferDeliveryOptions deliveryOptions,
                     const std::optional<std::string>& routingToken,
                     const std::optional<std::filesystem::path>& confinedTo,
                     const std::optional<std::string>& requestedBy);
    // An outgoing batch's progress, told at most once per progressReportInterval (send queue).
    struct OutgoingProgress {
        UUID batchID;
        std::uint64_t sent = 0;
        std::uint64_t total = 0;
        std::uint64_t reported = 0;
        std::uint64_t nextReportNs = 0;
    };
    void sendFileChunks(int fd, const std::string& relativePath, const UUID& batchID, std::uint64_t fileSize,
                        OutgoingProgress& progress, const std::optional<std::string>& routingToken);
    void reportOutgoingProgress(OutgoingProgress& progress, bool last);

    // Inbound, on the receive queue.
    void processIncoming(const FileTransferPacketView& packet, const std::optional<std::string>& peerToken);
    InboundBatch* inboundBatch(const UUID& batchID, const std::optional<std::string>& peerToken);
    void handleBatchStart(const FileTransferPacketView& packet, const std::optional<std::string>& peerToken);
    // Tells the owner of a refused batch, with its intent (onInboundBatchRefused).
    void reportRefusedBatch(const UUID& batchID, FileTransferIntent intent, const std::optional<std::string>& peerToken);
    // The packet that follows a refused plain batchStart of its peer: the batch is reported with
    // the intent its batchIntent names, else as a copy. True when the packet was that batchIntent.
    bool refusedBatchIntent(const FileTransferPacketView& packet, const std::optional<std::string>& peerToken);
    void handleMkdir(InboundBatch& batch, const FileTransferPacketView& packet);
    void handleFileStart(InboundBatch& batch, const FileTransferPacketView& packet);
    void handleFileChunk(const UUID& batchID, InboundBatch& batch, const FileTransferPacketView& packet);
    // Whether `length` bytes at `offset` continue the open file within its announced size.
    static bool chunkContinuesFile(const InboundBatch& batch, std::uint64_t offset, std::uint64_t length);
    // The same; the file is abandoned when not.
    bool chunkFits(InboundBatch& batch, std::uint64_t offset, std::uint64_t length);
    void chunkWritten(const UUID& batchID, InboundBatch& batch, std::uint64_t length);
    // Tells the main queue the batch's latest figure (one report waiting at a time).
    void reportInboundProgress(const UUID& batchID, InboundBatch& batch);
    void processIncomingChunk(const FileTransferPacketView& head, FrameTailPtr tail,
                              const std::optional<std::string>& peerToken, std::size_t cost);
    void chunkTailMoved(const UUID& batchID, std::uint64_t serial, const FrameTail::Outcome& outcome);
    // From the completion of a chunk moved whole into its file: takes the next chunk of that file
    // straight from the connection when it is the frame right behind.
    void followChunk(FrameTail& moved, const UUID& batchID, std::uint64_t serial,
                     const std::optional<std::string>& peerToken);
    void handleFileEnd(InboundBatch& batch);
    void handleFileEnd(InboundBatch& batch, const std::string& path);
    // Counts and reports an item of the batch that is not staged.
    void refusePeerItem(InboundBatch& batch, const std::string& path, const std::string& reason);
    // The components of a mkdir or fileStart path that may be staged; the item is refused when not.
    std::optional<std::vector<std::string>> stageablePath(InboundBatch& batch, const std::string& path);
    // A chunk or fileEnd that finds no open file.
    void noteDataWithoutFile(InboundBatch& batch, const std::string& path);
    void handleBatchEnd(const UUID& batchID);
    void settle(InboundBatch& batch, bool atItsEnd = false);
    void releaseFolder(const UUID& batchID);
    void handlePeerCancel(const UUID& batchID, const std::optional<std::string>& peerToken);
    void handleDirectSave(const FileTransferPacketView& packet, const std::optional<std::string>& peerToken);
    void notifyPeer(const std::optional<std::string>& peerToken, const std::string& text);
    void dropInbound(std::map<UUID, InboundBatch>::iterator it, bool waitForRemoval);
    bool acceptablePeerPath(InboundBatch& batch, const UUID& batchID, const std::string& path);
    bool waitForOutgoingRoom(const UUID& batchID, const std::optional<std::string>& routingToken, bool& gone);
    void abandonCurrentFile(InboundBatch& batch, const std::string& reason);
    void discardInbound(const UUID& batchID);
    void handleListDirRequest(const FileTransferPacketView& packet, const std::optional<std::string>& peerToken);
    void handleListDirReply(const FileTransferPacketView& packet, const std::optional<std::string>& peerToken);
    // A status line of the receiving side, told on the main queue.
    void inboundStatus(std::string text, StatusSource source);
    // On the receive queue: the batch folders an earlier run left in the claimed staging root.
    void removeEarlierStaging();
    // The batch folder just made as `name` in the opened staging root, opened and locked; nothing
    // (errno set) when it is no longer there, could not be opened (it is removed again then, while
    // still empty) or a starting Host took it first.
    static std::shared_ptr<StagedFolder> holdBatchFolder(std::shared_ptr<const FileDescriptor> root,
                                                         const std::string& name);
    // The staging root a new batch folder is made in: opened and checked again (its path may
    // lead elsewhere now), and the descriptor held already when it is still the same folder.
    std::shared_ptr<const FileDescriptor> batchStagingRoot(std::string& error);
    // The peer's share of batch folders, made on its first batch (receive queue).
    std::shared_ptr<StagingShare> stagingShare(const std::optional<std::string>& peerToken);
    // Any thread: one of a peer's batch folders was let go of.
    void stagingShareFreed();
    // Removes a held batch folder with everything in it, through the staging root it was made in;
    // false (errno set) when something of it stays.
    static bool removeStagedFolder(const std::shared_ptr<StagedFolder>& staged);
    // Any thread: a held batch folder whose removal failed is kept in leftFolders_.
    void keepLeft(const std::shared_ptr<StagedFolder>& staged);
    // Any thread: tries the folders of leftFolders_ again; how many stay, and the first one's error.
    struct LeftStaged {
        std::size_t count = 0;
        int error = 0;
    };
    LeftStaged removeLeftFolders();

    DispatchQueuePtr mainQueue_;
    DispatchQueuePtr sendQueue_;
    DispatchQueuePtr inboundQueue_;
    DispatchQueuePtr cleanupQueue_;
    std::shared_ptr<const Clock> clock_;
    Folders folders_;

    mutable std::mutex outgoingLock_;
    std::set<UUID> outgoingCancelled_;
    // Outgoing batches queued or running, with their routing token: only their destination (or
    // any peer, for a batch sent to every peer) may cancel them.
    std::map<UUID, std::optional<std::string>> outgoingActive_;
    bool stopped_ = false;  // under outgoingLock_
    bool started_ = false;  // under outgoingLock_
    // The staging root, locked while this service serves: a second Host finds it held.
    FileDescriptor stagingClaim_;

    // The receive queue serves peers in turn: each peer's packets wait in its own lane, in the
    // order they came, and each turn (one block of the receive queue) runs the first packet of the
    // next lane that may run, so one peer's burst holds another's packets back by a packet per
    // turn, not by the whole burst, and a turn costs the same however many lanes wait. A lane
    // whose next packet needs room sits out (is parked) until there is some: a listing while its
    // peer's send backlog is above maxOutgoingBacklogBytes (looked at again every
    // answerRoomRetrySeconds), a batchStart while its peer holds maxStagedBatchesPerPeer batch
    // folders (looked at again when one is let go of). Its peer's reads are held while it is
    // parked or holds more than maxQueuedBytesPerPeer (onPeerReadsHeld), so little more of it
    // piles up here, and every packet is served once there is room.
    enum class InboundGate : std::uint8_t { none, answerRoom, stagingRoom };
    struct InboundJob {
        std::function<void()> run;  // calls inboundProcessed once the packet is done with
        std::size_t cost = 0;
        InboundGate gate = InboundGate::none;
        bool fromPeer = true;  // a packet the peer handed in (not the service's own follow-up)
    };
    struct InboundLane {
        std::deque<InboundJob> jobs;
        std::size_t bytes = 0;   // the jobs' costs
        bool readsHeld = false;  // told through onPeerReadsHeld
        // Sat out for room, from then until its first job runs: its bytes are in parkedLaneBytes_.
        bool parked = false;
    };
    static constexpr double answerRoomRetrySeconds = 0.01;
    // Any thread: the job goes at the end of its peer's lane (nowhere once the service stopped).
    void queueInbound(const std::optional<std::string>& peerToken, InboundJob job);
    // Receive queue: one turn.
    void serveInboundTurn();
    // Under backlogLock_: a turn is queued unless one is already.
    void scheduleInboundTurn();
    // Under backlogLock_, on the receive queue: the lane sits out until there is room.
    void parkInboundLane(const std::optional<std::string>& peerToken, InboundGate gate);
    // Under backlogLock_: tells the owner to hold the peer's reads while its lane is parked or
    // above maxQueuedBytesPerPeer, and to go on once it runs again and is down to half of that.
    // A peer that was forgotten is not held again: nothing more of it is read.
    void updateReadsHeld(const std::optional<std::string>& peerToken, InboundLane& lane);
    // Receive queue: the lanes that sat out go back in turn once there is room.
    void recheckWaitingLanes();
    // Under backlogLock_: the lanes waiting for room to answer are looked at again shortly.
    void armAnswerRoomRetry();
    bool hasRoomToAnswer(const std::optional<std::string>& peerToken) const;
    // Receive queue, under backlogLock_ (it reads only the receive queue's state and counters).
    bool hasStagingRoom(const std::optional<std::string>& peerToken) const;
    // Receive queue: the left peer's listings go unanswered, then its batches are cancelled.
    void dropPeer(const std::string& peerToken);
    // The job that drops the peer's unfinished batches and what it announced for later ones.
    InboundJob cancelJob(const std::string& peerToken, bool forgetShare);
    void queueInboundChunk(const FileTransferPacketView& head, FrameTailPtr tail,
                           const std::optional<std::string>& peerToken, std::size_t cost, bool fromPeer);
    // Called on the receive queue once a packet of `bytes` was processed.
    void inboundProcessed(std::size_t bytes);
    // Under backlogLock_: tells the owner when the backlog that counts crosses its marks. Parked
    // lanes do not count: their peers' reads are stopped already, and a peer that never reads
    // would otherwise hold every other peer's reads for as long as it stays. A lane held only for
    // its size counts: it drains at the receive queue's pace.
    void updateInboundCongestion();

    // Listing requests sent and not answered yet, with the peer that was asked (none: any),
    // oldest first.
    std::mutex listingLock_;
    std::vector<std::pair<UUID, std::optional<std::string>>> pendingListings_;

    mutable std::mutex backlogLock_;
    std::size_t queuedInboundBytes_ = 0;
    std::size_t parkedLaneBytes_ = 0;  // of queuedInboundBytes_, in parked lanes
    bool inboundCongested_ = false;
    // Under backlogLock_ (the receive queue alone takes jobs out of a lane and moves it between
    // the ready and the waiting lanes; other threads add jobs, and a stop clears everything).
    std::map<std::optional<std::string>, InboundLane> inboundLanes_;
    std::deque<std::optional<std::string>> readyLanes_;  // lanes whose first job may run, next first
    std::map<std::optional<std::string>, InboundGate> waitingLanes_;  // lanes sitting out, and for what
    std::set<std::string> peersWithPackets_;  // peers that handed in packets and were not forgotten
    bool turnQueued_ = false;
    bool recheckQueued_ = false;
    bool retryArmed_ = false;
    bool inboundStopped_ = false;

    // Receive queue only.
    std::uint64_t lastFileSerial_ = 0;
    // The staging root the batch folders held now were made in; closed with the last of them.
    std::weak_ptr<const FileDescriptor> stagingRoot_;
    std::map<std::optional<std::string>, std::shared_ptr<StagingShare>> stagingShares_;
    std::map<UUID, InboundBatch> inbound_;
    std::map<UUID, PendingDestination> pendingDestinations_;
    // Staging folders of completed batches the owner has not released.
    std::map<UUID, std::shared_ptr<StagedFolder>> completedFolders_;
    // What settled each batch of inbound_ and completedFolders_ that has settled.
    std::map<UUID, InboundBatchInfo> settledInfo_;
    // Per peer, its batch refused at a plain batchStart, until its next packet tells whether a
    // batchIntent names another intent: one at most per peer, forgotten with the peer.
    std::map<std::optional<std::string>, UUID> refusedAwaitingIntent_;

    // Batch folders whose removal failed (the process short of descriptors), by the staging root
    // they were made in: nothing holds them, so the stop tries them again. Beyond maxLeftFolders
    // they are left to the next start.
    struct LeftFolder {
        std::shared_ptr<const FileDescriptor> root;
        std::string name;
    };
    static constexpr std::size_t maxLeftFolders = 4096;
    std::mutex leftLock_;
    std::vector<LeftFolder> leftFolders_;
};

// The first 8 characters of a batch id's text, as status lines show it.
std::string shortBatchID(const UUID& batchID);

}  // namespace qm
