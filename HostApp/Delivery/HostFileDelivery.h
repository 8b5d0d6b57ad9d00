#pragma once

#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "HostApp/App/HostShell.h"
#include "HostApp/Delivery/FileTransferConflictResolver.h"
#include "HostApp/Delivery/PeerSendBudget.h"
#include "HostApp/Delivery/FileTransferRows.h"
#include "Platform/Core/Clock.h"
#include "Platform/Core/DispatchQueue.h"
#include "Platform/Core/UUID.h"
#include "Platform/FileManagerDesktop.h"
#include "Platform/UserDefaults.h"
#include "QuillmereProfiles/ConfinedFiles.h"
#include "QuillmereProfiles/FileTransferService.h"

namespace qm {

// The Host's side of file delivery: what happens to the batches Viewers send (a row in the
// progress window, a destination, the move out of staging, the answer to a managed copy) and
// the Viewers' requests for Host files. Everything runs on the main queue except
// handleIncomingFileTransferPacket, which the server calls on its queue; the per-batch state
// below is touched on the main queue only.
class HostFileDelivery : public std::enable_shared_from_this<HostFileDelivery> {
public:
    struct Environment {
        DispatchQueuePtr mainQueue;
        std::shared_ptr<const Clock> clock;
        std::shared_ptr<FileTransferService> service;
        std::shared_ptr<HostShell> shell;                 // may be empty: no panel, no alert
        std::shared_ptr<FileManagerDesktop> fileManager;  // the front window, the Desktop, revealing
        std::shared_ptr<UserDefaults> defaults;
        std::filesystem::path home;
        // One diagnostic line; any queue.
        std::function<void(const std::string&)> log;
        // The parent for conflict alerts when the progress window has none (the summary window).
        std::function<std::shared_ptr<WindowModel>()> fallbackWindow;
        // The application's key, main or first visible window.
        std::function<std::shared_ptr<WindowModel>()> visibleWindow;
        // The delegate's inbound clipboard claim, which the latest inbound batch takes.
        std::optional<UUID>* latestInboundFileBatchID = nullptr;
        // False on a Host without a desktop: what the shell shows nobody sees, so a batch that
        // needs its folder chosen is refused at once instead of waiting for an answer.
        bool desktop = true;
    };

    // Where a drop lands when no file manager window answers, before the Desktop.
    static inline const std::string dropFolderKey = "host.fileDelivery.dropFolder";
    // Asks Finder which folder its front window shows; Linux asks the file manager instead, and
    // the text stays as the contract of what is asked.
    static const std::string frontFinderWindowScript;
    static constexpr const char* peerLabel = "Viewer";
    // The folder panel asks about one batch at a time; the others that need a folder wait for it
    // in arrival order. A Viewer session may have this many batches asking (the one on the panel
    // included), and all of them together the larger number (finished batches wait on after their
    // Viewer left); a further batch is refused like one whose destination cannot be used. The
    // same numbers bound the deliveries that wait for an answer about a taken name; a further one
    // keeps both items without asking.
    static constexpr std::size_t maxBatchesAskingForFolderPerViewer = 8;
    static constexpr std::size_t maxBatchesAskingForFolder = 32;

    static std::shared_ptr<HostFileDelivery> create(Environment environment);

    // The progress window; none: no rows are shown and the save panel has no parent.
    std::shared_ptr<FileTransferRows> rows;
    // A line a Viewer's request caused, on the server queue: the owner charges it to that
    // Viewer's log budget. Set before the server starts; without it such lines go to `log`.
    std::function<void(const UUID& viewerSession, const std::string& line)> viewerLog;
    // A line about what was done with a Viewer's batch (saved, dropped into the file manager), on
    // the main queue: the owner charges it to that Viewer's log budget for what the Host did for
    // it. Without it such lines go to `log`.
    std::function<void(const UUID& viewerSession, const std::string& line)> viewerBatchLog;

    // ---- Server queue ---------------------------------------------------------------------
    // True when the packet was answered here (a peer send request); other packets go on to the
    // service after their bookkeeping is queued on the main queue.
    bool handleIncomingFileTransferPacket(const FileTransferPacket& packet, const UUID& viewerSession);

    // ---- Main queue: the service's events ---------------------------------------------------
    void incomingBatchSettled(const FileTransferService::InboundBatchInfo& batch);
    // Dropped by the service before its end (the Viewer cancelled it or left).
    void incomingBatchDropped(const UUID& batchID);
    // The service refused the batch at its batchStart (it never settles): a managedCopy gets its
    // receipt, that the Host could not take it now.
    void incomingBatchRefused(const UUID& batchID, FileTransferIntent intent, const std::optional<std::string>& peerToken);
    void incomingBatchProgress(const UUID& batchID, std::uint64_t received, std::uint64_t total);
    // Items the Viewer sent that the batch did not stage; they count as not saved.
    void incomingBatchItemsDropped(const UUID& batchID, std::uint64_t count);
    void incomingBatchCompleted(const UUID& batchID, const std::vector<std::filesystem::path>& urls,
                                FileTransferIntent intent);
    void outgoingBatchStarted(const UUID& batchID, std::int64_t fileCount, std::uint64_t totalBytes,
                              FileTransferIntent intent, const std::vector<std::string>& itemNames);
    void outgoingBatchProgress(const UUID& batchID, std::uint64_t sent, std::uint64_t total);
    // The batch did not reach its Viewer whole: cancelled, or its Viewer left.
    void outgoingBatchStopped(const UUID& batchID, bool viewerGone);
    void outgoingBatchCompleted(const UUID& batchID);

    // The Host stops: every batch taken here and not delivered ends as when the Host's user
    // cancels its row (its Viewer is sent a cancelBatch, a managedCopy also its receipt,
    // "Cancelled"), its folder panel or conflict question is called off and its staging released;
    // nothing is asked afterwards. So are the batches the service settled whose events have not
    // reached this side yet: their Viewers were told they were received. Each gets one terminal
    // line. Before the service stops and the server says it is exiting.
    void stop();

    // ---- Delivery ----------------------------------------------------------------------------
    // The hint as a folder inside `home`, made when missing: "~" and "~/x" are home and below it,
    // a relative path is taken from home, an absolute one must begin with home's path. Links and ".." are resolved one step at a time from the
    // opened home folder, each step checked to stay inside it (a ".." below a missing folder is
    // refused), and the missing tail is made only after that. Nothing for an empty hint, one that
    // leads outside home at any step, a non-folder, or a folder that cannot be made; with
    // `failure`, nothing also tells the error of the step on the file system that failed (0 when
    // the hint itself was refused), so a Host short of descriptors is told from a hint that is
    // not usable.
    static std::optional<std::filesystem::path> resolveDestinationHint(const std::string& hint,
                                                                       const std::filesystem::path& home,
                                                                       int* failure = nullptr);
    // A Viewer's path of a Host item, canonical and inside `home`; nothing otherwise.
    static std::optional<std::filesystem::path> confinedSourcePath(const std::string& path,
                                                                   const std::filesystem::path& home);
    // The batch's lines (a failed move, a file manager that did not answer) are its Viewer's.
    std::vector<std::filesystem::path> moveFilesToFrontFinderWindow(const UUID& batchID,
                                                                    const std::vector<std::filesystem::path>& urls);
    std::optional<std::filesystem::path> frontFinderWindowPath(const UUID& batchID);
    std::filesystem::path defaultDropDestination();
    std::vector<std::filesystem::path> moveStagedFiles(const UUID& batchID, const std::vector<std::filesystem::path>& urls,
                                                       const std::filesystem::path& folder);
    void tryDeliverFileBatch(const UUID& batchID);
    void finishFileDelivery(const UUID& batchID, std::size_t requestedCount, const std::filesystem::path& destination,
                            const FileTransferDeliveryResult& result);
    void sendManagedCopyDeliveryResponse(const UUID& batchID, bool accepted, const std::optional<std::string>& message);
    // The folder chooser: "Choose Save Location", on the progress window when there is one, opening
    // at the folder last chosen in it, else at home. Returns what closes it unanswered (nothing to
    // close when it was answered at once).
    std::function<void()> pickSaveLocation(const UUID& batchID, const std::optional<std::string>& suggestedName,
                                           std::function<void(std::filesystem::path)> onPick,
                                           std::function<void()> onCancel);

    // ---- Per-batch state (main queue) ---------------------------------------------------------
    std::map<UUID, std::filesystem::path> pendingFileDestinations;
    std::map<UUID, std::vector<std::filesystem::path>> pendingFileURLs;
    std::map<UUID, FileTransferDeliveryOptions> pendingFileDeliveryOptions;
    std::map<UUID, std::string> inboundFileTransferRoutingTokens;
    std::set<UUID> managedCopyInboundBatchIDs;
    // Inbound batches between their settled event and their end, with the Viewer that sent each.
    std::map<UUID, std::optional<std::string>> activeInboundBatches;
    // Items of a completed batch that its Viewer sent and the service did not stage.
    std::map<UUID, std::int64_t> droppedInboundItemCounts;

    // The batch the folder panel asks about, and those waiting for it, oldest first.
    std::optional<UUID> batchAskedForFolder() const;
    const std::deque<UUID>& batchesWaitingForFolder() const { return waitingForFolder_; }

    // Entries of every table above, so a leak shows.
    std::size_t entryCount() const;

private:
    explicit HostFileDelivery(Environment environment) : env_(std::move(environment)) {}
    void onMain(std::function<void(HostFileDelivery&)> block);
    void log(const std::string& line) const;
    // A line about that batch: charged to the Viewer that sent it, when known.
    void logForBatch(const UUID& batchID, const std::string& line) const;
    // A line about a batch of the Viewer that `peerToken` names (none: the Host's own line).
    void logForViewer(const std::optional<std::string>& peerToken, const std::string& line) const;
    void answerPeerSendRequest(const FileTransferPacket& packet, const UUID& viewerSession);
    void rowCancelled(const UUID& batchID);
    // Refuses a batch that has no folder to go to: cancelled at both ends, its row failed, and
    // the terminal told why.
    void refuseWithoutDestination(const UUID& batchID, const std::string& reason);
    // Refuses a batch the Host ran short of descriptors, memory or room for (`error`) while it
    // opened its folder: as above, but its Viewer and its row are told the Host could not take it
    // now, never that the folder it named is missing.
    void refuseForShortage(const UUID& batchID, int error);
    // Either refusal: the terminal is told `reason`, the receipt and the row `message`.
    void refuse(const UUID& batchID, const std::string& reason, const std::string& message);
    // The batch needs the Host's user to choose a folder: asked now, queued, or refused.
    void askForFolder(const UUID& batchID);
    void askNextForFolder();
    void folderAnswered(std::uint64_t question, const std::optional<std::filesystem::path>& folder);
    // The batch is over for the delivery: its state goes and its staging folder is released.
    void forgetBatch(const UUID& batchID);
    void clearLatestInboundBatch(const UUID& batchID);
    // A folder inside home (as resolved from a Viewer's hint) opened again the way the hint was:
    // nothing when it now leads out of home (`failure` as for resolveDestinationHint).
    std::optional<ConfinedFolder> reopenInsideHome(const std::filesystem::path& folder, int* failure) const;
    // Moves one staged item into the folder under a numbered free name; nothing when it failed.
    // `via` reaches `folder` (its open descriptor, or the folder itself); what is returned and
    // logged names `folder`.
    std::optional<std::filesystem::path> deliverNumbered(const UUID& batchID, const std::filesystem::path& url,
                                                         const std::filesystem::path& folder,
                                                         const std::filesystem::path& via);
    std::vector<std::filesystem::path> moveStagedFiles(const UUID& batchID, const std::vector<std::filesystem::path>& urls,
                                                       const std::filesystem::path& folder,
                                                       const std::filesystem::path& via);

    Environment env_;
    PeerSendBudget peerSendBudget_;
    // Deliveries waiting on a conflict question; a cancel calls them off before staging goes.
    std::map<UUID, std::shared_ptr<FileTransferConflictResolver::Run>> deliveryRuns_;
    // Outgoing batches told stopped, whose completion that follows must not read "Sent".
    std::set<UUID> stoppedOutgoingBatches_;
    struct FolderQuestion {
        UUID batchID;
        std::uint64_t serial = 0;  // an answer to an earlier panel finds another serial here
        std::function<void()> close;
    };
    std::optional<FolderQuestion> folderQuestion_;
    std::uint64_t folderQuestions_ = 0;
    std::deque<UUID> waitingForFolder_;
    // Batches whose destination a Viewer named: checked again when they are delivered.
    std::set<UUID> viewerNamedDestinations_;
    bool stopped_ = false;
    // The folder the user last chose in the folder panel: the next panel opens there.
    std::optional<std::filesystem::path> lastChosenFolder_;
};

}  // namespace qm
