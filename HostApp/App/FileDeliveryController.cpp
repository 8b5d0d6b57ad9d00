// File delivery in the application: the send-files messages, the "File Transfers" window and
// its rows, and the delivery of received batches and of Viewers' requests for Host files.
#include "HostApp/App/FileDeliveryController.h"

#include <mutex>

#include "HostApp/App/DeliveryTurns.h"
#include "HostApp/App/HostProbeDelegate.h"
#include "HostApp/App/HostServiceWiring.h"
#include "HostApp/App/TransferCenterRows.h"
#include "HostApp/Delivery/HostFileDelivery.h"
#include "HostApp/Delivery/SendFilesService.h"
#include "HostApp/Server/V230HostAudioAuxServer.h"
#include "QuillmereProfiles/UI/TransferProgressWindow.h"

namespace qm {

namespace {
// The delivery's lines, as the application's diagnostic log shows them.
void deliveryLog(const std::string& line) { logLine("[QuillmereHost] " + line); }

// The file manager as delivery uses it, with its folder openings paced: every delivered batch
// asks to show its items, and a Viewer decides how many batches come, so a burst must not start an
// opener (a process, and a window on the user's screen) per batch. A folder opened less than
// sameFolderQuiet ago is not opened again, and no opener starts within minOpenerInterval of the
// last one; what was skipped stays delivered, unshown.
class PacedFileManager final : public FileManagerDesktop {
public:
    static constexpr double sameFolderQuiet = 10.0;
    static constexpr double minOpenerInterval = 1.0;

    PacedFileManager(std::shared_ptr<FileManagerDesktop> inner, std::shared_ptr<const Clock> clock)
        : inner_(std::move(inner)), clock_(std::move(clock)) {}

    std::optional<std::filesystem::path> frontWindowFolder(std::string& error) override {
        return inner_->frontWindowFolder(error);
    }
    std::optional<std::filesystem::path> desktopFolder() override { return inner_->desktopFolder(); }
    void revealItems(const std::vector<std::filesystem::path>& items) override {
        if (items.empty()) return;
        if (!clock_) return inner_->revealItems(items);
        const auto folder = items.front().parent_path();
        const auto now = clock_->uptimeNs();
        {
            std::lock_guard lock(mutex_);
            auto since = [now](std::uint64_t then) { return static_cast<double>(now - then) / 1e9; };
            if (last_ && since(last_->second) < minOpenerInterval) return;
            if (last_ && last_->first == folder && since(last_->second) < sameFolderQuiet) return;
            last_ = {folder, now};
        }
        inner_->revealItems(items);
    }

private:
    std::shared_ptr<FileManagerDesktop> inner_;
    std::shared_ptr<const Clock> clock_;
    std::mutex mutex_;
    std::optional<std::pair<std::filesystem::path, std::uint64_t>> last_;  // mutex_: the last folder opened, when
};
}  // namespace

std::shared_ptr<FileDeliveryController> FileDeliveryController::create(HostProbeDelegate& app,
                                                                       const std::filesystem::path& home) {
    auto controller = std::shared_ptr<FileDeliveryController>(new FileDeliveryController(app));
    controller->makeFileDelivery(home);
    controller->configureSendFilesService();
    return controller;
}

FileDeliveryController::FileDeliveryController(HostProbeDelegate& app)
    : HostControllerOf(app), deliveryTurns_(DeliveryTurns::make(env().platform.mainQueue)) {}

void FileDeliveryController::makeFileDelivery(const std::filesystem::path& home) {
    auto weak = this->weak();
    HostFileDelivery::Environment delivery;
    delivery.mainQueue = env().platform.mainQueue;
    delivery.clock = env().platform.clock;
    delivery.service = app_.fileTransferService();
    delivery.shell = env().shell;
    delivery.fileManager = std::make_shared<PacedFileManager>(
        env().fileManager ? env().fileManager : std::make_shared<SimulatedFileManagerDesktop>(), env().platform.clock);
    delivery.defaults = env().defaults;
    delivery.home = home;
    delivery.log = deliveryLog;
    delivery.fallbackWindow = [weak]() -> std::shared_ptr<WindowModel> {
        auto self = weak.lock();
        return self ? self->app_.status().summaryWindow : nullptr;
    };
    delivery.visibleWindow = [weak]() -> std::shared_ptr<WindowModel> {
        auto self = weak.lock();
        return self ? self->app_.status().visibleWindow() : nullptr;
    };
    delivery.latestInboundFileBatchID = &latestInboundFileBatchID;
    delivery.desktop = !env().headless;
    fileDelivery = HostFileDelivery::create(std::move(delivery));
}

void FileDeliveryController::configureSendFilesService() {
    auto weakSelf = weak();
    auto activate = [weakSelf] {
        auto self = weakSelf.lock();
        if (self && self->env().shell) self->env().shell->activateIgnoringOtherApps();
    };
    fileTransferCenter = FileTransferCenter::make(env().platform.mainQueue);
    fileTransferCenter->activateApplication = activate;
    if (env().shell) env().shell->attachTransferCenter(fileTransferCenter);
    // Received and requested batches show their rows in the same window.
    if (fileDelivery) fileDelivery->rows = makeTransferCenterRows(fileTransferCenter);

    SendFilesService::Environment environment;
    environment.mainQueue = env().platform.mainQueue;
    environment.server = [weakSelf]() -> std::shared_ptr<V230HostAudioAuxServer> {
        auto self = weakSelf.lock();
        return self ? self->app_.audioServer() : nullptr;
    };
    environment.files = app_.fileTransferService();
    environment.defaults = env().defaults;
    environment.activateApplication = activate;
    environment.runHostModalAlert = [weakSelf](const AlertModel& alert, std::function<void(int)> completion) {
        if (auto self = weakSelf.lock()) self->app_.status().runHostModalAlert(alert, std::move(completion));
    };
    environment.presentPicker = [weakSelf](const std::shared_ptr<SendDestinationPicker::PickerController>& picker) {
        auto self = weakSelf.lock();
        if (self && self->env().shell) self->env().shell->presentSendDestinationPicker(picker);
    };
    // What it sends is a transfer like those delivery reports: on the terminal too.
    environment.log = [](const std::string& line) { logLine("[QuillmereHost] " + line); };
    environment.invalidateInboundFileClipboardClaim = [weakSelf](const std::string& reason) {
        if (auto self = weakSelf.lock()) self->invalidateInboundFileClipboardClaim(reason);
    };
    environment.viewerDisplayNameSummary = &StatusMenuController::viewerDisplayNameSummary;
    sendFilesService = SendFilesService::create(std::move(environment));
}

void FileDeliveryController::addDeliveryHooks(HostServiceHooks& hooks) {
    // The delivery is held weakly: the packet hook runs on the server queue, which must never
    // hold the application's objects. The service's batch events take their turn per Viewer.
    std::weak_ptr<HostFileDelivery> weak = fileDelivery;
    auto turns = deliveryTurns_;
    const std::optional<std::string> noViewer;
    hooks.incomingBatchSettled = [weak, turns](const FileTransferService::InboundBatchInfo& batch) {
        turns->post(batch.batchID, batch.peerToken, false, [weak, batch] {
            if (auto delivery = weak.lock()) delivery->incomingBatchSettled(batch);
        });
    };
    hooks.incomingBatchDropped = [weak, turns, noViewer](const UUID& id) {
        turns->post(id, noViewer, true, [weak, id] {
            if (auto delivery = weak.lock()) delivery->incomingBatchDropped(id);
        });
    };
    hooks.incomingBatchRefused = [weak, turns](const UUID& id, FileTransferIntent intent,
                                               const std::optional<std::string>& viewer) {
        turns->post(id, viewer, true, [weak, id, intent, viewer] {
            if (auto delivery = weak.lock()) delivery->incomingBatchRefused(id, intent, viewer);
        });
    };
    hooks.incomingBatchProgress = [weak, turns, noViewer](const UUID& id, std::uint64_t received, std::uint64_t total) {
        turns->post(id, noViewer, false, [weak, id, received, total] {
            if (auto delivery = weak.lock()) delivery->incomingBatchProgress(id, received, total);
        });
    };
    hooks.incomingBatchItemsDropped = [weak, turns, noViewer](const UUID& id, std::uint64_t count) {
        turns->post(id, noViewer, false, [weak, id, count] {
            if (auto delivery = weak.lock()) delivery->incomingBatchItemsDropped(id, count);
        });
    };
    hooks.incomingBatchCompleted = [weak, turns, noViewer](const UUID& id, const std::vector<std::filesystem::path>& urls,
                                                           FileTransferIntent intent) {
        turns->post(id, noViewer, true, [weak, id, urls, intent] {
            if (auto delivery = weak.lock()) delivery->incomingBatchCompleted(id, urls, intent);
        });
    };
    // Outgoing batches name no Viewer here: they share the Host's line, in order.
    hooks.outgoingBatchStarted = [weak, turns, noViewer](const UUID& id, std::int64_t count, std::uint64_t total,
                                                         FileTransferIntent intent, const std::vector<std::string>& names) {
        turns->post(id, noViewer, false, [weak, id, count, total, intent, names] {
            if (auto delivery = weak.lock()) delivery->outgoingBatchStarted(id, count, total, intent, names);
        });
    };
    hooks.outgoingBatchProgress = [weak, turns, noViewer](const UUID& id, std::uint64_t sent, std::uint64_t total) {
        turns->post(id, noViewer, false, [weak, id, sent, total] {
            if (auto delivery = weak.lock()) delivery->outgoingBatchProgress(id, sent, total);
        });
    };
    hooks.outgoingBatchStopped = [weak, turns, noViewer](const UUID& id, bool viewerGone) {
        turns->post(id, noViewer, false, [weak, id, viewerGone] {
            if (auto delivery = weak.lock()) delivery->outgoingBatchStopped(id, viewerGone);
        });
    };
    hooks.outgoingBatchCompleted = [weak, turns, noViewer](const UUID& id) {
        turns->post(id, noViewer, false, [weak, id] {
            if (auto delivery = weak.lock()) delivery->outgoingBatchCompleted(id);
        });
    };
    // Packets of both channels pass through delivery's handler before the service.
    hooks.fileTransferPacket = [weak](const FileTransferPacket& packet, const UUID& session) {
        auto delivery = weak.lock();
        return delivery && delivery->handleIncomingFileTransferPacket(packet, session);
    };
}

void FileDeliveryController::chargeViewerLinesTo(const std::shared_ptr<V230HostAudioAuxServer>& server) {
    if (!fileDelivery) return;
    std::weak_ptr<V230HostAudioAuxServer> weak = server;
    fileDelivery->viewerLog = [weak](const UUID& viewerSession, const std::string& line) {
        if (auto host = weak.lock()) host->publishForViewer(viewerSession, line, deliveryLog);
    };
    fileDelivery->viewerBatchLog = [weak](const UUID& viewerSession, const std::string& line) {
        logForViewer(weak.lock(), viewerSession, FileTransferService::StatusSource::Kind::doneForPeer, line,
                     deliveryLog);
    };
}

bool FileDeliveryController::handleIncomingFileTransferPacket(const FileTransferPacket& packet,
                                                              const UUID& viewerSession) {
    return fileDelivery->handleIncomingFileTransferPacket(packet, viewerSession);
}

void FileDeliveryController::applicationWillTerminate() {
    if (fileDelivery) fileDelivery->stop();
}

void FileDeliveryController::invalidateInboundFileClipboardClaim(const std::string& reason) {
    if (!latestInboundFileBatchID) return;
    latestInboundFileBatchID.reset();
    log("files: invalidated inbound clipboard claim (" + reason + ")");
}

bool FileDeliveryController::sendFilesToQuillmereViewer(const SendFilesPasteboard& pasteboard, std::string* error) {
    return sendFilesService->handleServicesMessage(pasteboard, error);
}

void FileDeliveryController::handleSendFilesRequest(const std::vector<std::filesystem::path>& files) {
    SendFilesPasteboard pasteboard;
    pasteboard.filenames.emplace();
    for (const auto& file : files) pasteboard.filenames->push_back(file.string());
    std::string error;
    if (!sendFilesToQuillmereViewer(pasteboard, &error)) log("files: send-files request refused: " + error);
}

}  // namespace qm
