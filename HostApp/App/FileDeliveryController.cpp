// File delivery in the application: the send-files messages, the "File Transfers" window and
// its rows, and the delivery of received batches and of Viewers' requests for Host files.
#include "HostApp/App/FileDeliveryController.h"

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
}  // namespace

std::shared_ptr<FileDeliveryController> FileDeliveryController::create(HostProbeDelegate& app,
                                                                       const std::filesystem::path& home) {
    auto controller = std::shared_ptr<FileDeliveryController>(new FileDeliveryController(app));
    controller->makeFileDelivery(home);
    controller->configureSendFilesService();
    return controller;
}

FileDeliveryController::FileDeliveryController(HostProbeDelegate& app) : HostControllerOf(app) {}

void FileDeliveryController::makeFileDelivery(const std::filesystem::path& home) {
    auto weak = this->weak();
    HostFileDelivery::Environment delivery;
    delivery.mainQueue = env().platform.mainQueue;
    delivery.clock = env().platform.clock;
    delivery.service = app_.fileTransferService();
    delivery.shell = env().shell;
    delivery.fileManager = env().fileManager ? env().fileManager : std::make_shared<SimulatedFileManagerDesktop>();
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
    // hold the application's objects.
    std::weak_ptr<HostFileDelivery> weak = fileDelivery;
    hooks.incomingBatchSettled = [weak](const FileTransferService::InboundBatchInfo& batch) {
        if (auto delivery = weak.lock()) delivery->incomingBatchSettled(batch);
    };
    hooks.incomingBatchDropped = [weak](const UUID& id) {
        if (auto delivery = weak.lock()) delivery->incomingBatchDropped(id);
    };
    hooks.incomingBatchProgress = [weak](const UUID& id, std::uint64_t received, std::uint64_t total) {
        if (auto delivery = weak.lock()) delivery->incomingBatchProgress(id, received, total);
    };
    hooks.incomingBatchItemsDropped = [weak](const UUID& id, std::uint64_t count) {
        if (auto delivery = weak.lock()) delivery->incomingBatchItemsDropped(id, count);
    };
    hooks.incomingBatchCompleted = [weak](const UUID& id, const std::vector<std::filesystem::path>& urls,
                                          FileTransferIntent intent) {
        if (auto delivery = weak.lock()) delivery->incomingBatchCompleted(id, urls, intent);
    };
    hooks.outgoingBatchStarted = [weak](const UUID& id, std::int64_t count, std::uint64_t total,
                                        FileTransferIntent intent, const std::vector<std::string>& names) {
        if (auto delivery = weak.lock()) delivery->outgoingBatchStarted(id, count, total, intent, names);
    };
    hooks.outgoingBatchProgress = [weak](const UUID& id, std::uint64_t sent, std::uint64_t total) {
        if (auto delivery = weak.lock()) delivery->outgoingBatchProgress(id, sent, total);
    };
    hooks.outgoingBatchStopped = [weak](const UUID& id, bool viewerGone) {
        if (auto delivery = weak.lock()) delivery->outgoingBatchStopped(id, viewerGone);
    };
    hooks.outgoingBatchCompleted = [weak](const UUID& id) {
        if (auto delivery = weak.lock()) delivery->outgoingBatchCompleted(id);
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
