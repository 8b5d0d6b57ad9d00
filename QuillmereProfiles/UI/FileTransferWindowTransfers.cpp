// Directory loading (local and Host) and the transfers started from the window.
#include <cmath>

#include "QuillmereProfiles/QuillmereL10n.h"
#include "QuillmereProfiles/UI/FileTransferWindowText.h"
#include "QuillmereProfiles/UI/FileTransferWindowController.h"

namespace qm {
namespace {

using file_transfer_window::format;
using file_transfer_window::text;

constexpr double kSlowListingSeconds = 6.0;
constexpr double kListingTimeoutSeconds = 20.0;
constexpr double kHideProgressSeconds = 2.0;

}  // namespace

// ---- loading -----------------------------------------------------------------------------

FileTransferNodePtr FileTransferWindowController::makePlaceholder(const FileTransferNodePtr& parent,
                                                                  const std::string& name) const {
    return std::make_shared<FileTransferNode>(name, parent->path, FileTransferNode::Kind::placeholder, parent);
}

void FileTransferWindowController::loadLocalChildren(const FileTransferNodePtr& node) {
    if (node->children) return;
    const auto listing =
        env_.folders ? env_.folders->contentsOfDirectory(normalisedPath(node->path, home()), true) : std::nullopt;
    if (!listing) {
        node->children = std::vector<FileTransferNodePtr>{
            makePlaceholder(node, text("fileTransfer.permissionRequired", "🔒 Permission required — use + Add Folder…"))};
        return;
    }
    std::vector<FileTransferNodePtr> children;
    for (const auto& item : *listing) {
        auto child = std::make_shared<FileTransferNode>(
            item.path.filename().string(), item.path.string(),
            item.isDirectory.value_or(false) ? FileTransferNode::Kind::directory : FileTransferNode::Kind::file, node);
        child->size = item.size.value_or(0);
        child->modificationDate = item.modificationDate;
        children.push_back(std::move(child));
    }
    sortSiblings(children);
    for (const auto& c : children) c->isChecked = node->isChecked;
    node->children = std::move(children);
}

void FileTransferWindowController::loadRemoteRoots() {
    if (!selectedPeerID_) return;
    const struct {
        const char* key;
        const char* name;
        const char* path;
    } roots[] = {{"fileTransfer.home", "Home", "~"},
                 {"fileTransfer.desktop", "Desktop", "~/Desktop"},
                 {"fileTransfer.documents", "Documents", "~/Documents"},
                 {"fileTransfer.downloads", "Downloads", "~/Downloads"}};
    remoteRoots_.clear();
    for (const auto& r : roots) {
        remoteRoots_.push_back(std::make_shared<FileTransferNode>(text(r.key, r.name), r.path,
                                                                  FileTransferNode::Kind::directory, nullptr));
    }
    reloadData(FileTransferPane::right);
}

void FileTransferWindowController::loadRemoteChildren(const FileTransferNodePtr& node) {
    if (!node->isContainer()) return;
    if (node->pendingRequestID) return;
    if (node->childrenLoaded && !node->firstChildIsPlaceholder()) return;
    node->childrenLoaded = true;
    node->children = std::vector<FileTransferNodePtr>{makePlaceholder(node, text("fileTransfer.loading", "Loading..."))};
    const UUID id = deps_.requestDirectoryListing ? deps_.requestDirectoryListing(node->path) : UUID::random();
    node->pendingRequestID = id;
    pendingRemoteRequests_[id] = node;
    reloadItem(FileTransferPane::right, node, true);

    // Each timer acts only while the request that scheduled it is still the one outstanding for
    // the node: a timer left over from an earlier request must not time out a newer one.
    std::weak_ptr<FileTransferWindowController> weakSelf = weak_from_this();
    std::weak_ptr<FileTransferNode> weakNode = node;
    const auto stillWaiting = [id](FileTransferWindowController& self, const FileTransferNodePtr& n) {
        if (!n->pendingRequestID || *n->pendingRequestID != id) return false;
        const auto it = self.pendingRemoteRequests_.find(id);
        return it != self.pendingRemoteRequests_.end() && it->second == n;
    };
    env_.mainQueue->asyncAfter(kSlowListingSeconds, [weakSelf, weakNode, stillWaiting] {
        auto self = weakSelf.lock();
        auto n = weakNode.lock();
        if (!self || !n || !stillWaiting(*self, n)) return;
        self->views_.rightStatusLabel.text = text("fileTransfer.listingStillLoading", "Still loading this Host folder...");
        self->changed();
    });
    env_.mainQueue->asyncAfter(kListingTimeoutSeconds, [weakSelf, weakNode, stillWaiting, id] {
        auto self = weakSelf.lock();
        auto n = weakNode.lock();
        if (!self || !n || !stillWaiting(*self, n)) return;
        self->pendingRemoteRequests_.erase(id);
        n->childrenLoaded = false;
        n->children = std::vector<FileTransferNodePtr>{
            self->makePlaceholder(n, text("fileTransfer.retryListing", "No response — double-click to try again"))};
        n->pendingRequestID.reset();
        self->reloadItem(FileTransferPane::right, n, true);
        self->views_.rightStatusLabel.text = text("fileTransfer.noListingResponse", "No response for directory listing");
        self->changed();
    });
}

void FileTransferWindowController::handleRemoteListing(const UUID& requestID, const std::string& resolvedPath,
                                                       const std::vector<RemoteDirectoryEntry>& entries) {
    const auto it = pendingRemoteRequests_.find(requestID);
    if (it == pendingRemoteRequests_.end()) return;
    const auto node = it->second;
    pendingRemoteRequests_.erase(it);
    node->pendingRequestID.reset();
    const auto oldPath = node->path;
    if (!resolvedPath.empty()) node->path = resolvedPath;
    if (targetDirectoryPath_ && *targetDirectoryPath_ == oldPath) targetDirectoryPath_ = node->path;

    const auto childPath = [&](const std::string& name) {
        if (node->path == "/") return "/" + name;
        if (node->path == "~") return "~/" + name;
        return node->path + "/" + name;
    };
    std::vector<FileTransferNodePtr> children;
    for (bool directories : {true, false}) {
        for (const auto& entry : entries) {
            if (entry.isDirectory != directories) continue;
            auto child = std::make_shared<FileTransferNode>(
                entry.name, childPath(entry.name),
                directories ? FileTransferNode::Kind::directory : FileTransferNode::Kind::file, node);
            if (!directories) {
                child->size = entry.size;
                child->modificationDate = entry.modificationDate;
            }
            children.push_back(std::move(child));
        }
    }
    sortSiblings(children);
    node->children = std::move(children);
    reloadItem(FileTransferPane::right, node, true);
    if (direction_ == TransferPanelDirection::receiveFromHost) {
        updateLeftCheckboxState();
        updateExecuteButton();
    }
    views_.rightStatusLabel.text = entries.empty()
                                       ? text("fileTransfer.noSubfolders", "No subfolders. This folder is selected.")
                                       : format("fileTransfer.loadedFolder", "Loaded: %@", {node->path});
    if (targetDirectoryPath_ && *targetDirectoryPath_ == node->path) {
        views_.rightStatusLabel.text = format("fileTransfer.targetSelected", "Target: %@", {node->path});
    }
    changed();
}

void FileTransferWindowController::reloadRemoteChildren(const FileTransferNodePtr& node) {
    if (node->pendingRequestID) pendingRemoteRequests_.erase(*node->pendingRequestID);
    node->pendingRequestID.reset();
    node->childrenLoaded = false;
    node->children.reset();
    loadRemoteChildren(node);
    reloadItem(FileTransferPane::right, node, true);
}

FileTransferNodePtr FileTransferWindowController::destinationNode(const std::vector<FileTransferNodePtr>& nodes,
                                                                  const std::string& path) const {
    for (const auto& node : nodes) {
        if ((node->path == path || expandTilde(node->path, home()) == expandTilde(path, home())) && node->isContainer())
            return node;
        if (node->children) {
            if (auto hit = destinationNode(*node->children, path)) return hit;
        }
    }
    return nullptr;
}

void FileTransferWindowController::refreshDestinationAfterSuccessfulTransfer(TransferPanelDirection direction,
                                                                             const std::optional<std::string>& targetPath,
                                                                             const FileTransferNodePtr& targetNode) {
    if (!targetPath) return;
    if (direction == TransferPanelDirection::sendToHost) {
        auto node = targetNode ? targetNode : destinationNode(remoteRoots_, *targetPath);
        if (!node) return;
        reloadRemoteChildren(node);
        if (view_.expandItem) view_.expandItem(FileTransferPane::right, node);
    } else {
        auto node = targetNode ? targetNode : destinationNode(localRoots_, *targetPath);
        if (!node) return;
        node->children.reset();
        loadLocalChildren(node);
        reloadItem(FileTransferPane::left, node, true);
        if (view_.expandItem) view_.expandItem(FileTransferPane::left, node);
    }
}

std::optional<std::string> FileTransferWindowController::currentDestinationPath() {
    const auto& selection = outline(destinationPane()).selection;
    if (!selection.empty() && selection.front() && selection.front()->isContainer()) {
        targetDirectoryPath_ = selection.front()->path;
        previousTargetNode_ = selection.front();
    }
    return targetDirectoryPath_;
}

// ---- transfers ---------------------------------------------------------------------------

FileTransferDeliveryOptions FileTransferWindowController::deliveryOptions() const {
    return backupEnabled_ ? FileTransferDeliveryOptions{FileTransferDeliveryOptions::promptForConflicts,
                                                        FileTransferDeliveryOptions::backupBeforeOverwrite}
                          : FileTransferDeliveryOptions::promptForConflicts;
}

void FileTransferWindowController::executeTransfer() {
    if (activeTransferBatchID_) return;  // one batch at a time, even if the button was stale
    const auto items = uniqueTopLevelNodes(collectCheckedFileNodes(sourceTree()));
    if (items.empty()) return;
    const auto destination = currentDestinationPath();
    if (!destination) return;
    if (!selectedPeerID_) return;
    if (direction_ == TransferPanelDirection::sendToHost) {
        std::vector<std::filesystem::path> urls;
        for (const auto& item : items) urls.emplace_back(expandTilde(item->path, home()));
        performTransfer(urls, *destination, *selectedPeerID_);
    } else {
        std::vector<std::string> paths;
        for (const auto& item : items) paths.push_back(item->path);
        requestReceiveTransfer(paths, *destination);
    }
}

void FileTransferWindowController::performTransfer(const std::vector<std::filesystem::path>& urls,
                                                   const std::string& targetDir, const std::string& peerID) {
    const auto id = deps_.sendFiles ? deps_.sendFiles(urls, FileTransferIntent::managedCopy, targetDir, peerID,
                                                      deliveryOptions())
                                    : std::nullopt;
    if (!id) {
        views_.transferStatusLabel.text = text("fileTransfer.couldNotStart", "The transfer could not be started.");
        changed();
        return;
    }
    beginTransfer(*id, static_cast<std::int64_t>(urls.size()), TransferPanelDirection::sendToHost, targetDir);
}

void FileTransferWindowController::requestReceiveTransfer(const std::vector<std::string>& paths,
                                                          const std::string& targetDir) {
    const auto id = deps_.requestPeerSend ? deps_.requestPeerSend(paths, targetDir, deliveryOptions()) : std::nullopt;
    if (!id) {
        views_.transferStatusLabel.text = text("fileTransfer.couldNotStart", "The transfer could not be started.");
        changed();
        return;
    }
    beginTransfer(*id, static_cast<std::int64_t>(paths.size()), TransferPanelDirection::receiveFromHost, targetDir);
}

void FileTransferWindowController::beginTransfer(const UUID& batchID, std::int64_t itemCount,
                                                 TransferPanelDirection direction, const std::string& targetDir) {
    // A finished batch's pending hide must not hide this one's row.
    if (progressRowHideWorkItem_) progressRowHideWorkItem_->cancel();
    progressRowHideWorkItem_.reset();
    activeTransferBatchID_ = batchID;
    activeTransferItemCount_ = itemCount;
    activeTransferPeerName_ = selectedPeerName_.value_or("Host");
    activeTransferDirection_ = direction;
    activeTransferTargetPath_ = targetDir;
    const bool send = direction == TransferPanelDirection::sendToHost;
    activeTransferTargetNode_ = destinationNode(send ? remoteRoots_ : localRoots_, targetDir);
    if (!activeTransferTargetNode_) activeTransferTargetNode_ = previousTargetNode_;
    views_.transferProgressRowHidden = false;
    views_.transferProgressIndicator.indeterminate = true;
    views_.transferProgressIndicator.animating = true;
    views_.cancelTransferButton.hidden = false;
    views_.cancelTransferButton.enabled = true;
    if (send) {
        views_.transferSummaryLabel.text =
            format("fileTransfer.preparingCopy", "Preparing %d item(s) for %@", {itemCount, activeTransferPeerName_});
        views_.transferStatusLabel.text = text("fileTransfer.preparingTransfer", "Preparing transfer…");
    } else {
        views_.transferSummaryLabel.text =
            format("fileTransfer.requestingReceive", "Requesting %d item(s) from %@", {itemCount, activeTransferPeerName_});
        views_.transferStatusLabel.text = text("fileTransfer.waitingForHost", "Waiting for Host to begin transfer…");
    }
    updateExecuteButton();
}

void FileTransferWindowController::transferDidStart(const UUID& batchID, std::int64_t fileCount, std::uint64_t totalBytes) {
    if (activeTransferBatchID_ != batchID) return;
    activeTransferItemCount_ = fileCount;
    const bool send = activeTransferDirection_.value_or(direction_) == TransferPanelDirection::sendToHost;
    const bool cancelling = cancelledTransferBatchIDs_.count(batchID) > 0;
    views_.transferProgressRowHidden = false;
    views_.cancelTransferButton.hidden = false;
    views_.cancelTransferButton.enabled = !cancelling;
    auto& bar = views_.transferProgressIndicator;
    if (totalBytes == 0) {
        bar.indeterminate = true;
        bar.animating = true;
    } else {
        bar = {false, false, 0, static_cast<double>(totalBytes), 0};
    }
    views_.transferSummaryLabel.text =
        send ? format("fileTransfer.copyingTo", "Copying %d item(s) to %@", {fileCount, activeTransferPeerName_})
             : format("fileTransfer.receivingFrom", "Receiving %d item(s) from %@", {fileCount, activeTransferPeerName_});
    views_.transferStatusLabel.text = cancelling ? text("fileTransfer.cancelling", "Cancelling transfer…")
                                                 : (send ? text("fileTransfer.copying", "Copying…")
                                                         : text("fileTransfer.receiving", "Receiving…"));
    changed();
}

void FileTransferWindowController::transferDidUpdateProgress(const UUID& batchID, std::uint64_t sentBytes,
                                                             std::uint64_t totalBytes) {
    if (activeTransferBatchID_ != batchID || totalBytes == 0) return;
    const auto shown = std::min(sentBytes, totalBytes);
    views_.transferProgressIndicator = {false, false, 0, static_cast<double>(totalBytes), static_cast<double>(shown)};
    const auto percent = static_cast<std::int64_t>(
        std::round(static_cast<double>(shown) / static_cast<double>(totalBytes) * 100.0));
    const bool send = activeTransferDirection_.value_or(direction_) == TransferPanelDirection::sendToHost;
    views_.transferStatusLabel.text = send ? format("fileTransfer.copyingProgress", "Copying… %d%%", {percent})
                                           : format("fileTransfer.receivingProgress", "Receiving… %d%%", {percent});
    changed();
}

void FileTransferWindowController::transferDidFinishSending(const UUID& batchID) {
    if (activeTransferBatchID_ != batchID) return;
    views_.transferProgressRowHidden = false;
    views_.transferProgressIndicator = {false, false, 0, 1.0, 1.0};
    views_.cancelTransferButton.hidden = true;
    views_.executeButton.enabled = false;
    views_.executeButton.title = text("fileTransfer.waitingForSave", "Waiting for Save…");
    views_.transferSummaryLabel.text =
        text("fileTransfer.sentWaitingForPeer", "Sent. Waiting for the Host to save the files…");
    views_.transferStatusLabel.text = text("fileTransfer.waitingForPeerDelivery",
                                           "The Host is writing the files into the selected destination folder.");
    changed();
}

void FileTransferWindowController::transferDidRequestCancellation(const UUID& batchID) {
    if (activeTransferBatchID_ != batchID) return;
    cancelledTransferBatchIDs_.insert(batchID);
    views_.cancelTransferButton.enabled = false;
    views_.transferStatusLabel.text = text("fileTransfer.cancelling", "Cancelling transfer…");
    changed();
}

void FileTransferWindowController::cancelActiveTransfer() {
    if (!activeTransferBatchID_) return;
    const auto id = *activeTransferBatchID_;
    transferDidRequestCancellation(id);
    deps_.cancelBatch(id);
}

void FileTransferWindowController::transferDidComplete(const UUID& batchID, bool cancelled, bool peerConfirmed) {
    if (activeTransferBatchID_ != batchID) return;
    const auto direction = activeTransferDirection_.value_or(direction_);
    const auto targetPath = activeTransferTargetPath_;
    const auto targetNode = activeTransferTargetNode_;
    const auto count = activeTransferItemCount_;
    const auto peerName = activeTransferPeerName_;
    activeTransferBatchID_.reset();
    activeTransferDirection_.reset();
    activeTransferTargetPath_.reset();
    activeTransferTargetNode_.reset();
    bool wasCancelled = cancelled;
    if (!cancelled) wasCancelled = cancelledTransferBatchIDs_.erase(batchID) > 0;
    views_.transferProgressIndicator = {false, false, 0, 1.0, wasCancelled ? 0.0 : 1.0};
    views_.cancelTransferButton.hidden = true;
    std::weak_ptr<FileTransferWindowController> weak = weak_from_this();
    // The row belongs to this batch only while no later batch has taken it.
    if (progressRowHideWorkItem_) progressRowHideWorkItem_->cancel();
    progressRowHideWorkItem_ = env_.mainQueue->asyncAfter(kHideProgressSeconds, [weak] {
        if (auto self = weak.lock()) {
            if (self->activeTransferBatchID_) return;
            self->views_.transferProgressRowHidden = true;
            self->changed();
        }
    });
    updateExecuteButton();
    if (wasCancelled) {
        views_.transferSummaryLabel.text = text("fileTransfer.transferCancelled", "Transfer cancelled");
        views_.transferStatusLabel.text =
            text("fileTransfer.transferCancelledDetail", "The transfer was cancelled before it finished.");
        changed();
        return;
    }
    refreshDestinationAfterSuccessfulTransfer(direction, targetPath, targetNode);
    const bool send = direction == TransferPanelDirection::sendToHost;
    const std::string icon = send ? "📤" : "📥";
    const auto itemWord = count == 1 ? text("fileTransfer.oneItem", "item") : text("fileTransfer.multipleItems", "items");
    FileTransferAlert alert;
    alert.iconName = "NSFolder";
    alert.button = text("common.ok", "OK");
    if (!peerConfirmed) {
        views_.transferSummaryLabel.text =
            format("fileTransfer.transferSentConfirmationDelayed", "%@ Sent %d item(s) to %@", {icon, count, peerName});
        views_.transferStatusLabel.text =
            text("fileTransfer.transferConfirmationDelayedDetail",
                 "The Host did not send its final save confirmation. Check the selected destination folder.");
        alert.title = text("fileTransfer.complete.title.sent", "Transfer Sent");
        alert.message = text("fileTransfer.complete.confirmationDelayedMessage",
                             "The transfer bytes were sent, but the Host did not return a final save receipt. Verify "
                             "the selected folder before sending another copy.");
    } else {
        views_.transferSummaryLabel.text =
            format("fileTransfer.transferComplete", "%@ Copied %d item(s) to %@", {icon, count, peerName});
        views_.transferStatusLabel.text = format("fileTransfer.transferCompleteDetail",
                                                 "✅ %d %@ transferred — ready for another copy.", {count, itemWord});
        alert.title = send ? text("fileTransfer.complete.title.sent", "Transfer Complete")
                           : text("fileTransfer.complete.title.received", "Transfer Complete");
        alert.message = format("fileTransfer.complete.message", "%d %@ successfully transferred to %@.",
                               {count, itemWord, peerName});
    }
    changed();
    views_.visible = true;
    if (view_.bringWindowToFront) view_.bringWindowToFront();
    if (view_.beginSheet) view_.beginSheet(alert);
}

void FileTransferWindowController::transferDidFail(const UUID& batchID, const std::string& message,
                                                   const std::optional<std::string>& summary) {
    if (activeTransferBatchID_ != batchID) return;
    activeTransferBatchID_.reset();
    activeTransferDirection_.reset();
    activeTransferTargetPath_.reset();
    activeTransferTargetNode_.reset();
    cancelledTransferBatchIDs_.erase(batchID);
    views_.transferProgressIndicator.animating = false;
    views_.transferProgressRowHidden = true;
    views_.cancelTransferButton.hidden = true;
    updateExecuteButton();
    views_.transferSummaryLabel.text = summary.value_or(text("fileTransfer.transferFailed", "Transfer could not start"));
    views_.transferStatusLabel.text = message;
    changed();
}

bool FileTransferWindowController::foregroundWindow() {
    views_.visible = true;
    if (view_.bringWindowToFront) view_.bringWindowToFront();
    changed();
    return true;
}

}  // namespace qm
