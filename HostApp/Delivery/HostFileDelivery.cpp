#include "HostApp/Delivery/HostFileDelivery.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "HostApp/Delivery/DeliveredItems.h"
#include "HostApp/Server/Admission.h"
#include "Platform/Core/LogSink.h"
#include "Platform/Core/LogText.h"
#include "QuillmereProfiles/FileTransferDocuments.h"
#include "QuillmereProfiles/QuillmereL10n.h"

namespace qm {

namespace fs = std::filesystem;
using L10n = QuillmereL10n;

// A Viewer's session counts the destination folders its conflict questions keep open.
static_assert(SessionBound::conflictFoldersPerViewer == HostFileDelivery::maxBatchesAskingForFolderPerViewer);

const std::string HostFileDelivery::frontFinderWindowScript =
    "tell application \"Finder\"\n"
    "    if (count of windows) > 0 then\n"
    "        try\n"
    "            set theTarget to target of front window\n"
    "            return POSIX path of (theTarget as alias)\n"
    "        end try\n"
    "    end if\n"
    "    return \"\"\n"
    "end tell";

namespace {

std::string savingToText(const fs::path& folder) {
    return L10n::format("fileTransfer.center.savingTo", "Saving to %@…", folder.filename().string());
}

// What a Viewer and the progress row are told of a batch the Host was too short of its own
// resources to take: the Viewer did nothing wrong, and the same batch may go through later.
std::string hostBusyText() {
    return L10n::text("fileTransfer.center.hostBusy", "The Host could not take these files now. Try again later.");
}

// "~" and "~/x" below home, a relative path from home; "~other" names nobody here.
std::optional<fs::path> homeBased(const std::string& text, const fs::path& home) {
    if (text == "~") return home;
    if (text.rfind("~/", 0) == 0) return home / text.substr(2);
    if (!text.empty() && text.front() == '~') return std::nullopt;
    fs::path path(text);
    return path.is_absolute() ? path : home / path;
}

// A path's components, without the empty ones "//" and a trailing "/" leave.
std::vector<std::string> pathComponents(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start < text.size()) {
        auto slash = text.find('/', start);
        if (slash == std::string::npos) slash = text.size();
        if (slash > start) parts.push_back(text.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

// A hint's components below home, nothing resolved yet: "~" and "~/x" are home and below it, a
// relative path is taken from home, and an absolute one must begin with home's path, as given or
// canonical; "~other" names nobody here.
std::optional<std::vector<std::string>> hintBelowHome(const std::string& text, const fs::path& home,
                                                      const fs::path& root) {
    if (text == "~") return std::vector<std::string>{};
    if (text.rfind("~/", 0) == 0) return pathComponents(text.substr(2));
    if (text.front() == '~') return std::nullopt;
    auto parts = pathComponents(text);
    if (text.front() != '/') return parts;
    for (const auto& base : {pathComponents(root.string()), pathComponents(home.string())}) {
        if (parts.size() >= base.size() && std::equal(base.begin(), base.end(), parts.begin()))
            return std::vector<std::string>(parts.begin() + static_cast<std::ptrdiff_t>(base.size()), parts.end());
    }
    return std::nullopt;
}

// The open folder as a path that reaches it through its descriptor, so what is moved there lands
// in the folder that was checked even if a name on the way to it changes meanwhile; the folder's
// own path where the process cannot see its descriptors.
fs::path throughDescriptor(const ConfinedFolder& folder) {
    fs::path through = "/proc/self/fd/" + std::to_string(folder.fd.get());
    struct stat viaPath {}, viaHandle {};
    if (::stat(through.c_str(), &viaPath) != 0 || ::fstat(folder.fd.get(), &viaHandle) != 0 ||
        viaPath.st_dev != viaHandle.st_dev || viaPath.st_ino != viaHandle.st_ino)
        return folder.path;
    return through;
}

bool isInside(const fs::path& path, const fs::path& root) {
    const auto p = path.string();
    const auto r = root.string();
    return p == r || (p.size() > r.size() && p.compare(0, r.size(), r) == 0 && (r.back() == '/' || p[r.size()] == '/'));
}

}  // namespace

std::shared_ptr<HostFileDelivery> HostFileDelivery::create(Environment environment) {
    return std::shared_ptr<HostFileDelivery>(new HostFileDelivery(std::move(environment)));
}

void HostFileDelivery::onMain(std::function<void(HostFileDelivery&)> block) {
    env_.mainQueue->async([weak = weak_from_this(), block = std::move(block)] {
        if (auto self = weak.lock()) block(*self);
    });
}

void HostFileDelivery::log(const std::string& line) const {
    if (env_.log) env_.log(line);
}

void HostFileDelivery::logForBatch(const UUID& batchID, const std::string& line) const {
    // A Viewer may send batch after batch: their lines share that Viewer's log budget.
    auto batch = activeInboundBatches.find(batchID);
    logForViewer(batch != activeInboundBatches.end() ? batch->second : std::nullopt, line);
}

void HostFileDelivery::logForViewer(const std::optional<std::string>& peerToken, const std::string& line) const {
    auto viewer = peerToken ? UUID::parse(*peerToken) : std::nullopt;
    if (viewer && viewerBatchLog) return viewerBatchLog(*viewer, line);
    log(line);
}

std::size_t HostFileDelivery::entryCount() const {
    return pendingFileDestinations.size() + pendingFileURLs.size() + pendingFileDeliveryOptions.size() +
           inboundFileTransferRoutingTokens.size() + managedCopyInboundBatchIDs.size() + activeInboundBatches.size() +
           droppedInboundItemCounts.size() + deliveryRuns_.size() + stoppedOutgoingBatches_.size() +
           waitingForFolder_.size() + (folderQuestion_ ? 1 : 0) + viewerNamedDestinations_.size();
}

std::optional<UUID> HostFileDelivery::batchAskedForFolder() const {
    if (!folderQuestion_) return std::nullopt;
    return folderQuestion_->batchID;
}

// ---- Packets from Viewers (server queue) ---------------------------------------------------------

bool HostFileDelivery::handleIncomingFileTransferPacket(const FileTransferPacket& packet, const UUID& viewerSession) {
    // Everything else is the service's. A batch's receipt goes to the Viewer whose connection
    // carried the batch, which the service names when the batch settles: a destination or cancel
    // packet that names another Viewer's batch id redirects nothing here.
    if (packet.op != FileTransferOp::peerSendRequest) return false;
    answerPeerSendRequest(packet, viewerSession);
    return true;
}

std::optional<fs::path> HostFileDelivery::confinedSourcePath(const std::string& path, const fs::path& home) {
    std::error_code error;
    const auto root = fs::canonical(home, error);
    if (error) return std::nullopt;
    auto based = homeBased(path, root);
    if (!based) return std::nullopt;
    auto resolved = fs::canonical(*based, error);
    if (error || !isInside(resolved, root)) return std::nullopt;
    if (::access(resolved.c_str(), R_OK) != 0) return std::nullopt;
    return resolved;
}

void HostFileDelivery::answerPeerSendRequest(const FileTransferPacket& packet, const UUID& viewerSession) {
    const std::string token = viewerSession.uuidString();
    auto answer = [&](bool accepted, const std::optional<std::string>& message) {
        env_.service->sendPeerSendResponse(packet.batchID, accepted, message, token);
    };
    // Every line here is the Viewer's doing: it counts against that Viewer's share of the log, so
    // a stream of requests cannot fill it.
    auto note = [&](const std::string& line) {
        if (viewerLog) {
            viewerLog(viewerSession, line);
        } else {
            log(line);
        }
    };
    // Each request queues a batch: a Viewer gets a few on their way at once, not an unbounded queue.
    const auto budget = peerSendBudget_.admit(token, env_.service->outgoingBatchCount(token));
    if (budget.line) note(*budget.line);
    if (!budget.admitted) return answer(false, "The Host could not prepare the requested transfer.");
    auto request = FileTransferService::peerSendRequest(packet);
    if (!request) {
        note("files: rejected malformed peer send request");
        return answer(false, "The Host could not read the requested transfer.");
    }
    std::vector<fs::path> urls;
    for (const auto& path : request->sourcePaths) {
        auto url = confinedSourcePath(path, env_.home);
        if (url && std::find(urls.begin(), urls.end(), *url) == urls.end()) urls.push_back(*url);
    }
    if (urls.empty()) {
        note("files: rejected peer send request with no readable Home paths");
        return answer(false, "The requested files are no longer available on the Host.");
    }
    note("files: requested send of " + std::to_string(urls.size()) + " item(s) to Viewer session " + token.substr(0, 8));
    // The folders among them are walked confined to home as well: a link inside one that leads
    // out of home is left out.
    auto batch = env_.service->sendURLs(urls, FileTransferIntent::managedCopy, request->destination,
                                        FileTransferDeliveryOptions(request->deliveryOptionsRawValue), token,
                                        packet.batchID, env_.home, token);
    if (!batch) {
        note("files: could not queue peer send request");
        return answer(false, "The Host could not prepare the requested transfer.");
    }
    answer(true, std::nullopt);
}

void HostFileDelivery::incomingBatchRefused(const UUID& batchID, FileTransferIntent intent,
                                            const std::optional<std::string>& peerToken) {
    // The service logged why and told the Viewer in a host status line; a managedCopy waits for
    // its receipt, which is the delivery's to give. Nothing else of the batch is here.
    if (intent != FileTransferIntent::managedCopy || !peerToken) return;
    env_.service->sendPeerSendResponse(batchID, false, hostBusyText(), *peerToken);
}

void HostFileDelivery::incomingBatchDropped(const UUID& batchID) {
    if (!activeInboundBatches.contains(batchID)) return;  // ended here already
    if (rows) rows->completeTask(batchID, L10n::text("fileTransfer.cancelled", "Cancelled"), 1.0);
    clearLatestInboundBatch(batchID);
    forgetBatch(batchID);
}

// ---- Incoming batches (main queue) ----------------------------------------------------------------

void HostFileDelivery::incomingBatchSettled(const FileTransferService::InboundBatchInfo& batch) {
    if (stopped_) return;  // the service dropped it with everything else
    const auto& id = batch.batchID;
    const auto intent = batch.intent;
    if (batch.endedEmpty && (intent == FileTransferIntent::copy || intent == FileTransferIntent::pullForPromise) &&
        !(batch.destinationHint && resolveDestinationHint(*batch.destinationHint, env_.home))) {
        // Nothing to save and nowhere named to save it: nobody is asked and no row is shown. Its
        // completion, which follows, finds nothing waiting for it and releases it.
        return;
    }
    if (env_.latestInboundFileBatchID) *env_.latestInboundFileBatchID = id;
    activeInboundBatches[id] = batch.peerToken;
    if (rows) {
        rows->addTask(id, FileTransferDirection::incoming, peerLabel, batch.fileCount, batch.totalBytes,
                      batch.itemNames, [weak = weak_from_this(), id] {
                          if (auto self = weak.lock()) self->rowCancelled(id);
                      });
    }
    if (intent == FileTransferIntent::dropToFinder) {
        if (rows) rows->setSubtitle(id, L10n::text("fileTransfer.center.droppingToFinder", "Dropping into Finder…"));
        return;
    }
    if (intent == FileTransferIntent::managedCopy) {
        pendingFileDeliveryOptions[id] = batch.deliveryOptions;
        managedCopyInboundBatchIDs.insert(id);
        // The receipt goes to the Viewer that sent the batch, whether or not it named a destination.
        if (batch.peerToken) inboundFileTransferRoutingTokens.insert_or_assign(id, *batch.peerToken);
    }
    int failure = 0;
    if (auto folder = batch.destinationHint ? resolveDestinationHint(*batch.destinationHint, env_.home, &failure)
                                            : std::nullopt) {
        pendingFileDestinations[id] = *folder;
        viewerNamedDestinations_.insert(id);
        if (rows) rows->setSubtitle(id, savingToText(*folder));
        tryDeliverFileBatch(id);
        return;
    }
    // The folder it named may be fine: the Host could not open it for want of its own resources.
    if (isResourceShortage(failure)) return refuseForShortage(id, failure);
    if (intent != FileTransferIntent::managedCopy) return askForFolder(id);
    refuseWithoutDestination(id, "no usable destination folder named");
}

void HostFileDelivery::refuseWithoutDestination(const UUID& id, const std::string& reason) {
    refuse(id, reason,
           L10n::text("fileTransfer.center.destUnavailable", "The destination folder is not available on this device."));
}

void HostFileDelivery::refuseForShortage(const UUID& id, int error) {
    refuse(id, "the Host is short of its own resources: its destination folder could not be opened: " +
                   std::string(std::strerror(error)),
           hostBusyText());
}

void HostFileDelivery::refuse(const UUID& id, const std::string& reason, const std::string& message) {
    // The terminal announced the batch as it came: it tells its end too.
    logForBatch(id, "files: refused batch " + shortBatchID(id) + ": " + reason);
    sendManagedCopyDeliveryResponse(id, false, message);
    env_.service->cancelBatch(id);
    env_.service->notifyPeerCancel(id);
    if (rows) rows->failTask(id, message);
    forgetBatch(id);
}

// ---- The folder panel: one question at a time ----------------------------------------------------

void HostFileDelivery::askForFolder(const UUID& id) {
    // Without a desktop nobody would ever answer: the batch would wait, staged, for good.
    if (!env_.desktop) return refuseWithoutDestination(id, "no folder can be chosen on a Host without a desktop");
    // A Viewer's batches wait for the Host's user, who answers one panel at a time: their number
    // is bounded, or a Viewer could stack up panels, rows and staged files without end.
    const auto viewer = activeInboundBatches.at(id);
    auto fromViewer = [&](const UUID& other) { return activeInboundBatches.at(other) == viewer; };
    const auto asking = waitingForFolder_.size() + (folderQuestion_ ? 1 : 0);
    const auto askingFromViewer =
        static_cast<std::size_t>(std::count_if(waitingForFolder_.begin(), waitingForFolder_.end(), fromViewer)) +
        (folderQuestion_ && fromViewer(folderQuestion_->batchID) ? 1 : 0);
    if (asking >= maxBatchesAskingForFolder || askingFromViewer >= maxBatchesAskingForFolderPerViewer)
        return refuseWithoutDestination(id, "too many batches wait for a folder to be chosen");
    waitingForFolder_.push_back(id);
    askNextForFolder();
}

void HostFileDelivery::askNextForFolder() {
    if (stopped_ || folderQuestion_ || waitingForFolder_.empty()) return;
    const auto id = waitingForFolder_.front();
    waitingForFolder_.pop_front();
    const auto serial = ++folderQuestions_;
    folderQuestion_ = FolderQuestion{id, serial, {}};
    if (rows) rows->orderFront();
    std::weak_ptr<HostFileDelivery> weak = weak_from_this();
    auto close = pickSaveLocation(
        id, std::nullopt,
        [weak, serial](fs::path folder) {
            if (auto self = weak.lock()) self->folderAnswered(serial, folder);
        },
        [weak, serial] {
            if (auto self = weak.lock()) self->folderAnswered(serial, std::nullopt);
        });
    // An answer given at once has moved on already.
    if (folderQuestion_ && folderQuestion_->serial == serial) folderQuestion_->close = std::move(close);
}

void HostFileDelivery::folderAnswered(std::uint64_t question, const std::optional<fs::path>& folder) {
    if (!folderQuestion_ || folderQuestion_->serial != question) return;  // its batch went meanwhile
    const auto id = folderQuestion_->batchID;
    folderQuestion_.reset();
    // The next batch is asked about after this turn, once this panel is on its way out.
    onMain([](HostFileDelivery& self) { self.askNextForFolder(); });
    if (!activeInboundBatches.contains(id)) return;
    if (folder) {
        pendingFileDestinations[id] = *folder;
        if (rows) rows->setSubtitle(id, savingToText(*folder));
        tryDeliverFileBatch(id);
        return;
    }
    logForBatch(id, "files: cancelled batch " + shortBatchID(id) + ": no save location chosen");
    env_.service->cancelBatch(id);
    env_.service->notifyPeerCancel(id);
    clearLatestInboundBatch(id);
    if (rows)
        rows->completeTask(id, L10n::text("fileTransfer.center.cancelledNoDest", "Cancelled — no save location chosen"),
                           1.0);
    forgetBatch(id);
}

void HostFileDelivery::stop() {
    if (std::exchange(stopped_, true)) return;
    // No batch settles after this, so every batch its Viewer heard received is answered below.
    env_.service->stopReceiving();
    std::vector<UUID> held;
    for (const auto& [id, viewer] : activeInboundBatches) held.push_back(id);
    const auto cancelled = L10n::text("fileTransfer.cancelled", "Cancelled");
    const auto stopping = [](const UUID& id) {
        return "files: cancelled batch " + shortBatchID(id) + ": the Host is stopping";
    };
    for (const auto& id : held) {
        // The Viewer hears it as when the Host's user cancels the batch: its cancelBatch (and a
        // managedCopy's receipt) is queued for the server ahead of the notice that it is exiting.
        logForBatch(id, stopping(id));
        sendManagedCopyDeliveryResponse(id, false, cancelled);
        if (auto run = deliveryRuns_.extract(id)) run.mapped()->cancel();
        env_.service->cancelBatch(id);
        env_.service->notifyPeerCancel(id);
        if (rows) rows->completeTask(id, cancelled, 1.0);
        clearLatestInboundBatch(id);
        forgetBatch(id);
    }
    // The service settled more batches than have reached this side: their events still wait in
    // their Viewer's turn or on the main queue, which runs no more of them once the Host exits.
    // Their Viewers were told they were received, so they are answered here the same way. The
    // receive queue is serial: the cancels and releases queued above and before run ahead of
    // this lookup, so it names none of the batches this side has ended.
    const std::set<UUID> answered(held.begin(), held.end());
    for (const auto& batch : env_.service->settledInboundBatches()) {
        const auto& id = batch.batchID;
        if (answered.contains(id)) continue;
        logForViewer(batch.peerToken, stopping(id));
        if (batch.intent == FileTransferIntent::managedCopy && batch.peerToken)
            env_.service->sendPeerSendResponse(id, false, cancelled, *batch.peerToken);
        env_.service->cancelBatch(id);
        env_.service->notifyPeerCancel(id);
        clearLatestInboundBatch(id);
    }
}

void HostFileDelivery::rowCancelled(const UUID& batchID) {
    if (!activeInboundBatches.contains(batchID)) return;
    logForBatch(batchID, "files: cancelled batch " + shortBatchID(batchID) + " by the Host's user");
    sendManagedCopyDeliveryResponse(batchID, false, L10n::text("fileTransfer.cancelled", "Cancelled"));
    // A delivery waiting on a conflict question stops here, before the staging it reads goes:
    // the Viewer was told "Cancelled", so a later answer must neither deliver nor replace.
    if (auto run = deliveryRuns_.extract(batchID)) run.mapped()->cancel();
    env_.service->cancelBatch(batchID);
    env_.service->notifyPeerCancel(batchID);
    clearLatestInboundBatch(batchID);
    forgetBatch(batchID);
}

void HostFileDelivery::incomingBatchProgress(const UUID& batchID, std::uint64_t received, std::uint64_t total) {
    if (rows) rows->updateProgress(batchID, received, total);
}

void HostFileDelivery::incomingBatchItemsDropped(const UUID& batchID, std::uint64_t count) {
    if (!activeInboundBatches.contains(batchID)) return;
    droppedInboundItemCounts[batchID] = static_cast<std::int64_t>(std::min<std::uint64_t>(count, INT64_MAX));
}

void HostFileDelivery::incomingBatchCompleted(const UUID& batchID, const std::vector<fs::path>& urls,
                                              FileTransferIntent intent) {
    if (!activeInboundBatches.contains(batchID)) {
        // Cancelled or refused here while its last packets were on the way: nothing takes it.
        env_.service->releaseCompletedBatch(batchID);
        return;
    }
    if (intent != FileTransferIntent::dropToFinder) {
        pendingFileURLs[batchID] = urls;
        tryDeliverFileBatch(batchID);
        return;
    }
    const auto delivered = moveFilesToFrontFinderWindow(batchID, urls);
    logForBatch(batchID, "files: dropped " + std::to_string(delivered.size()) + "/" + std::to_string(urls.size()) +
                             " item(s) into Finder");
    if (rows)
        rows->completeTask(batchID,
                           L10n::format("fileTransfer.center.droppedToFinder", "Dropped %d item(s) into Finder",
                                        static_cast<std::int64_t>(delivered.size())),
                           1.5);
    clearLatestInboundBatch(batchID);
    forgetBatch(batchID);
}

void HostFileDelivery::forgetBatch(const UUID& batchID) {
    // Whoever was to be answered has been by now.
    inboundFileTransferRoutingTokens.erase(batchID);
    managedCopyInboundBatchIDs.erase(batchID);
    pendingFileDestinations.erase(batchID);
    pendingFileURLs.erase(batchID);
    pendingFileDeliveryOptions.erase(batchID);
    droppedInboundItemCounts.erase(batchID);
    if (auto run = deliveryRuns_.extract(batchID)) run.mapped()->cancel();
    std::erase(waitingForFolder_, batchID);
    if (folderQuestion_ && folderQuestion_->batchID == batchID) {
        // Nobody waits for that answer any more: the panel goes and the next batch is asked about.
        auto close = std::move(folderQuestion_->close);
        folderQuestion_.reset();
        if (close) close();
        onMain([](HostFileDelivery& self) { self.askNextForFolder(); });
    }
    viewerNamedDestinations_.erase(batchID);
    if (activeInboundBatches.erase(batchID) > 0) env_.service->releaseCompletedBatch(batchID);
}

void HostFileDelivery::clearLatestInboundBatch(const UUID& batchID) {
    if (env_.latestInboundFileBatchID && *env_.latestInboundFileBatchID == batchID) env_.latestInboundFileBatchID->reset();
}

// ---- Destinations -----------------------------------------------------------------------------------

std::optional<fs::path> HostFileDelivery::resolveDestinationHint(const std::string& hint, const fs::path& home,
                                                                 int* failure) {
    if (failure) *failure = 0;
    const auto text = FileTransferDocuments::trimmed(hint);
    if (text.empty()) return std::nullopt;
    std::error_code error;
    const auto root = fs::canonical(home, error);
    if (error) {
        if (failure) *failure = error.value();
        return std::nullopt;
    }
    auto components = hintBelowHome(text, home, root);
    if (!components) return std::nullopt;
    // Resolved and made one folder at a time from the opened home folder: neither a link nor a
    // ".." after a missing folder can take a step out of home, and nothing is made for a hint
    // that is refused.
    auto folder = resolveFolderBelow(root, *components, true, failure);
    if (!folder) return std::nullopt;
    return folder->path;
}

std::optional<ConfinedFolder> HostFileDelivery::reopenInsideHome(const fs::path& folder, int* failure) const {
    if (failure) *failure = 0;
    std::error_code error;
    const auto root = fs::canonical(env_.home, error);
    if (error && failure) *failure = error.value();
    const auto relative = folder.lexically_relative(root);
    if (error || relative.empty()) return std::nullopt;
    std::vector<std::string> components;
    for (const auto& part : relative) components.push_back(part.string());
    return resolveFolderBelow(root, components, true, failure);
}

std::optional<fs::path> HostFileDelivery::frontFinderWindowPath(const UUID& batchID) {
    if (!env_.fileManager) return std::nullopt;
    std::string error;
    auto folder = env_.fileManager->frontWindowFolder(error);
    if (!error.empty()) {
        logForBatch(batchID, "files: file manager front window failed: " + escapedForLog(error));
        return std::nullopt;
    }
    if (folder && folder->empty()) return std::nullopt;
    return folder;
}

fs::path HostFileDelivery::defaultDropDestination() {
    if (env_.defaults) {
        if (auto configured = env_.defaults->string(dropFolderKey); configured && !configured->empty()) {
            if (auto folder = resolveDestinationHint(*configured, env_.home)) return *folder;
        }
    }
    if (env_.fileManager) {
        if (auto desktop = env_.fileManager->desktopFolder()) return *desktop;
    }
    return env_.home / "Desktop";
}

std::optional<fs::path> HostFileDelivery::deliverNumbered(const UUID& batchID, const fs::path& url, const fs::path& folder,
                                                         const fs::path& via) {
    fs::path candidate;
    std::error_code error;
    // A name taken between the look and the move is passed by, never replaced.
    for (int attempt = 0; attempt < 16; ++attempt) {
        candidate = numberedDestination(via, url.filename());
        error = moveItem(url, candidate);
        if (error.value() != EEXIST) break;
    }
    const auto placed = folder / candidate.filename();
    if (!error) return placed;
    // The names came from a Viewer.
    logForBatch(batchID, "files: failed to deliver " + escapedForLog(url.filename().string()) + " -> " +
                             escapedForLog(placed.string()) + ": " + error.message());
    return std::nullopt;
}

std::vector<fs::path> HostFileDelivery::moveStagedFiles(const UUID& batchID, const std::vector<fs::path>& urls,
                                                        const fs::path& folder) {
    std::error_code ignored;
    fs::create_directories(folder, ignored);
    return moveStagedFiles(batchID, urls, folder, folder);
}

std::vector<fs::path> HostFileDelivery::moveStagedFiles(const UUID& batchID, const std::vector<fs::path>& urls,
                                                        const fs::path& folder, const fs::path& via) {
    std::vector<fs::path> delivered;
    for (const auto& url : urls) {
        if (auto placed = deliverNumbered(batchID, url, folder, via)) delivered.push_back(*placed);
    }
    return delivered;
}

std::vector<fs::path> HostFileDelivery::moveFilesToFrontFinderWindow(const UUID& batchID,
                                                                     const std::vector<fs::path>& urls) {
    auto folder = frontFinderWindowPath(batchID);
    const auto delivered = moveStagedFiles(batchID, urls, folder ? *folder : defaultDropDestination());
    if (!delivered.empty() && env_.fileManager) env_.fileManager->revealItems(delivered);
    return delivered;
}

std::function<void()> HostFileDelivery::pickSaveLocation(const UUID&, const std::optional<std::string>& suggestedName,
                                                         std::function<void(fs::path)> onPick,
                                                         std::function<void()> onCancel) {
    if (!env_.shell) {
        onCancel();
        return {};
    }
    FolderPanelModel panel;
    panel.title = L10n::text("fileTransfer.chooseSaveLocation", "Choose Save Location");
    panel.prompt = L10n::text("fileTransfer.chooseFolderPrompt", "Save Here");
    if (suggestedName && !suggestedName->empty())
        panel.message = L10n::format("fileTransfer.chooseSaveMessage", "Choose where to save \"%@\"", *suggestedName);
    // It opens at the folder the user last chose while the Host runs, else at home: never at the
    // process's working folder, which may be one the user cannot write to.
    std::error_code error;
    panel.directory = lastChosenFolder_ && fs::is_directory(*lastChosenFolder_, error) ? *lastChosenFolder_ : env_.home;
    auto window = rows ? rows->foregroundPresentationWindow() : nullptr;
    return env_.shell->beginFolderPanel(window, panel,
                                        [weak = weak_from_this(), onPick = std::move(onPick),
                                         onCancel = std::move(onCancel)](std::optional<fs::path> folder) {
                                            if (folder) {
                                                if (auto self = weak.lock()) self->lastChosenFolder_ = *folder;
                                                onPick(*folder);
                                            } else {
                                                onCancel();
                                            }
                                        });
}

// ---- Delivering ---------------------------------------------------------------------------------------

void HostFileDelivery::tryDeliverFileBatch(const UUID& batchID) {
    auto folderEntry = pendingFileDestinations.find(batchID);
    auto urlsEntry = pendingFileURLs.find(batchID);
    if (folderEntry == pendingFileDestinations.end() || urlsEntry == pendingFileURLs.end()) return;
    auto folder = folderEntry->second;
    const auto urls = urlsEntry->second;
    pendingFileDestinations.erase(folderEntry);
    pendingFileURLs.erase(urlsEntry);
    FileTransferDeliveryOptions options;
    if (auto found = pendingFileDeliveryOptions.find(batchID); found != pendingFileDeliveryOptions.end()) {
        options = found->second;
        pendingFileDeliveryOptions.erase(found);
    }
    clearLatestInboundBatch(batchID);
    // A folder a Viewer named may have changed since it was checked (a name on its way replaced
    // by a link, the folder removed): it is checked again and made again when it went, and a
    // plain move or a run that asks about conflicts goes through the folder it opened, so the
    // items land inside home or nowhere.
    std::optional<ConfinedFolder> checked;
    if (viewerNamedDestinations_.erase(batchID) > 0) {
        int failure = 0;
        checked = reopenInsideHome(folder, &failure);
        if (!checked && isResourceShortage(failure)) return refuseForShortage(batchID, failure);
        if (!checked) {
            finishFileDelivery(batchID, urls.size(), folder,
                               FileTransferDeliveryResult{{}, false, static_cast<std::int64_t>(urls.size())});
            return;
        }
        folder = checked->path;
    }
    if (!options.contains(FileTransferDeliveryOptions::promptForConflicts)) {
        const auto delivered = checked ? moveStagedFiles(batchID, urls, folder, throughDescriptor(*checked))
                                       : moveStagedFiles(batchID, urls, folder);
        const auto failed = urls.size() > delivered.size() ? urls.size() - delivered.size() : 0;
        finishFileDelivery(batchID, urls.size(), folder,
                           FileTransferDeliveryResult{delivered, false, static_cast<std::int64_t>(failed)});
        return;
    }
    // The user is asked about a bounded number of runs at a time, as about folders, and only
    // where a desktop shows the question; beyond that, as when no window can show it, both items
    // are kept without asking, so no Viewer can stack up questions, staged batches and open
    // folders, nor leave a batch waiting for an answer nobody can give.
    const auto viewer = activeInboundBatches.contains(batchID) ? activeInboundBatches.at(batchID) : std::nullopt;
    const auto runsOfViewer = std::count_if(deliveryRuns_.begin(), deliveryRuns_.end(), [&](const auto& entry) {
        const auto found = activeInboundBatches.find(entry.first);
        return found != activeInboundBatches.end() && found->second == viewer;
    });
    const bool ask = env_.desktop && deliveryRuns_.size() < maxBatchesAskingForFolder &&
                     static_cast<std::size_t>(runsOfViewer) < maxBatchesAskingForFolderPerViewer;
    std::shared_ptr<WindowModel> parent = rows ? rows->foregroundPresentationWindow() : nullptr;
    if (!parent && env_.fallbackWindow) parent = env_.fallbackWindow();
    FileTransferConflictResolver::Context context{env_.mainQueue, env_.shell, env_.home,
                                                  env_.clock ? env_.clock->wallTime() : 0.0, env_.visibleWindow};
    const bool backup = options.contains(FileTransferDeliveryOptions::backupBeforeOverwrite);
    auto completion = [weak = weak_from_this(), batchID, count = urls.size(),
                       folder](const FileTransferDeliveryResult& result) {
        auto self = weak.lock();
        if (!self) return;
        self->deliveryRuns_.erase(batchID);
        self->finishFileDelivery(batchID, count, folder, result);
    };
    // The checked folder goes to the run as it was opened: whatever the question's time, the
    // run acts there or nowhere.
    auto run = checked ? FileTransferConflictResolver::deliver(context, urls, std::move(*checked), parent, ask, backup,
                                                               std::move(completion))
                       : FileTransferConflictResolver::deliver(context, urls, folder, parent, ask, backup,
                                                               std::move(completion));
    // A run that finished at once has forgotten the batch already.
    if (activeInboundBatches.contains(batchID)) deliveryRuns_[batchID] = std::move(run);
}

void HostFileDelivery::finishFileDelivery(const UUID& batchID, std::size_t requestedCount, const fs::path& destination,
                                          const FileTransferDeliveryResult& delivery) {
    // What the Viewer sent and the batch never staged could not be saved either.
    auto result = delivery;
    if (auto dropped = droppedInboundItemCounts.find(batchID); dropped != droppedInboundItemCounts.end())
        result.failedItemCount += dropped->second;
    const auto delivered = static_cast<std::int64_t>(result.deliveredURLs.size());
    logForBatch(batchID, "files: saved " + std::to_string(delivered) + "/" + std::to_string(requestedCount) +
                             " item(s) to " + escapedForLog(destination.string()));
    if (rows) {
        if (result.stoppedByUser) {
            rows->failTask(batchID,
                           L10n::format("fileTransfer.center.stopped", "Stopped after saving %d item(s)", delivered));
        } else if (result.failedItemCount > 0) {
            rows->failTask(batchID, L10n::format("fileTransfer.center.partialSave",
                                                 "Saved %d item(s); %d could not be saved", delivered,
                                                 result.failedItemCount));
        } else {
            rows->completeTask(batchID,
                               L10n::format("fileTransfer.center.savedTo", "Saved %d item(s) to %@", delivered,
                                            destination.filename().string()),
                               1.5);
        }
    }
    if (managedCopyInboundBatchIDs.contains(batchID)) {
        if (result.stoppedByUser) {
            sendManagedCopyDeliveryResponse(
                batchID, false,
                L10n::format("fileTransfer.stoppedDetail", "Stopped after saving %d item(s).", delivered));
        } else if (result.failedItemCount > 0) {
            sendManagedCopyDeliveryResponse(batchID, false,
                                            L10n::format("fileTransfer.partialSaveDetail",
                                                         "Saved %d item(s); %d could not be saved.", delivered,
                                                         result.failedItemCount));
        } else {
            sendManagedCopyDeliveryResponse(batchID, true, std::nullopt);
        }
    }
    if (!result.deliveredURLs.empty() && env_.fileManager) env_.fileManager->revealItems(result.deliveredURLs);
    forgetBatch(batchID);
}

void HostFileDelivery::sendManagedCopyDeliveryResponse(const UUID& batchID, bool accepted,
                                                       const std::optional<std::string>& message) {
    if (managedCopyInboundBatchIDs.erase(batchID) == 0) {
        inboundFileTransferRoutingTokens.erase(batchID);
        return;
    }
    auto token = inboundFileTransferRoutingTokens.find(batchID);
    if (token == inboundFileTransferRoutingTokens.end()) return;
    const auto routingToken = token->second;
    inboundFileTransferRoutingTokens.erase(token);
    env_.service->sendPeerSendResponse(batchID, accepted, message, routingToken);
}

// ---- Outgoing batches (main queue) ------------------------------------------------------------------

void HostFileDelivery::outgoingBatchStarted(const UUID& batchID, std::int64_t fileCount, std::uint64_t totalBytes,
                                            FileTransferIntent intent, const std::vector<std::string>& itemNames) {
    // Plain copies (the send-files service) get no row. The row is made at once: the batch's
    // progress and end are queued behind this start and must find it.
    if (intent == FileTransferIntent::copy || !rows) return;
    rows->addTask(batchID, FileTransferDirection::outgoing, peerLabel, fileCount, totalBytes, itemNames,
                  [weak = weak_from_this(), batchID] {
                      auto delivery = weak.lock();
                      if (!delivery) return;
                      delivery->env_.service->cancelOutgoingBatch(batchID);
                      delivery->env_.service->notifyPeerCancel(batchID);
                  });
}

void HostFileDelivery::outgoingBatchProgress(const UUID& batchID, std::uint64_t sent, std::uint64_t total) {
    if (rows) rows->updateProgress(batchID, sent, total);
}

void HostFileDelivery::outgoingBatchStopped(const UUID& batchID, bool viewerGone) {
    stoppedOutgoingBatches_.insert(batchID);
    if (!rows) return;
    if (viewerGone) {
        rows->failTask(batchID, L10n::text("fileTransfer.center.sendFailed", "Not sent — the Viewer left"));
    } else {
        rows->completeTask(batchID, L10n::text("fileTransfer.cancelled", "Cancelled"), 1.0);
    }
}

void HostFileDelivery::outgoingBatchCompleted(const UUID& batchID) {
    if (stoppedOutgoingBatches_.erase(batchID) > 0) return;
    if (rows) rows->completeTask(batchID, L10n::text("fileTransfer.center.sent", "Sent"), 1.5);
}

}  // namespace qm
