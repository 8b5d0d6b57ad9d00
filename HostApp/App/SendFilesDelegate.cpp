// The delegate's side of sending files to Viewers: the send-files messages, the progress window
// it owns and the alert the send-files flow shows.
#include "HostApp/App/HostProbeDelegate.h"
#include "HostApp/App/TransferCenterRows.h"
#include "HostApp/Delivery/HostFileDelivery.h"
#include "HostApp/Delivery/SendFilesService.h"
#include "QuillmereProfiles/UI/TransferProgressWindow.h"

namespace qm {

void HostProbeDelegate::configureSendFilesService() {
    std::weak_ptr<HostProbeDelegate> weakSelf = weak_from_this();
    auto activate = [weakSelf] {
        auto self = weakSelf.lock();
        if (self && self->env_.shell) self->env_.shell->activateIgnoringOtherApps();
    };
    fileTransferCenter = FileTransferCenter::make(env_.platform.mainQueue);
    fileTransferCenter->activateApplication = activate;
    if (env_.shell) env_.shell->attachTransferCenter(fileTransferCenter);
    // Received and requested batches show their rows in the same window.
    if (fileDelivery) fileDelivery->rows = makeTransferCenterRows(fileTransferCenter);

    SendFilesService::Environment environment;
    environment.mainQueue = env_.platform.mainQueue;
    environment.server = [weakSelf]() -> std::shared_ptr<V230HostAudioAuxServer> {
        auto self = weakSelf.lock();
        return self ? self->audioServer : nullptr;
    };
    environment.files = fileTransferService;
    environment.defaults = env_.defaults;
    environment.activateApplication = activate;
    environment.runHostModalAlert = [weakSelf](const AlertModel& alert, std::function<void(int)> completion) {
        if (auto self = weakSelf.lock()) self->runHostModalAlert(alert, std::move(completion));
    };
    environment.presentPicker = [weakSelf](const std::shared_ptr<SendDestinationPicker::PickerController>& picker) {
        auto self = weakSelf.lock();
        if (self && self->env_.shell) self->env_.shell->presentSendDestinationPicker(picker);
    };
    environment.log = [weakSelf](const std::string& line) {
        if (auto self = weakSelf.lock()) self->log(line);
    };
    environment.invalidateInboundFileClipboardClaim = [weakSelf](const std::string& reason) {
        if (auto self = weakSelf.lock()) self->invalidateInboundFileClipboardClaim(reason);
    };
    environment.viewerDisplayNameSummary = &HostProbeDelegate::viewerDisplayNameSummary;
    sendFilesService = SendFilesService::create(std::move(environment));
}

bool HostProbeDelegate::sendFilesToQuillmereViewer(const SendFilesPasteboard& pasteboard, const std::string&,
                                                   std::string* error) {
    return sendFilesService->handleServicesMessage(pasteboard, error);
}

bool HostProbeDelegate::sendFilesToViewer(const SendFilesPasteboard& pasteboard, const std::string& userData,
                                          std::string* error) {
    return sendFilesToQuillmereViewer(pasteboard, userData, error);
}

bool HostProbeDelegate::sendFilesViaQuillmere(const SendFilesPasteboard& pasteboard, const std::string& userData,
                                              std::string* error) {
    return sendFilesToQuillmereViewer(pasteboard, userData, error);
}

bool HostProbeDelegate::sendToViewer(const SendFilesPasteboard& pasteboard, const std::string& userData,
                                     std::string* error) {
    return sendFilesToQuillmereViewer(pasteboard, userData, error);
}

bool HostProbeDelegate::sendToHost(const SendFilesPasteboard& pasteboard, const std::string& userData,
                                   std::string* error) {
    return sendFilesToQuillmereViewer(pasteboard, userData, error);
}

void HostProbeDelegate::handleSendFilesRequest(const std::vector<std::filesystem::path>& files) {
    SendFilesPasteboard pasteboard;
    pasteboard.filenames.emplace();
    for (const auto& file : files) pasteboard.filenames->push_back(file.string());
    std::string error;
    if (!sendFilesToQuillmereViewer(pasteboard, {}, &error)) log("files: send-files request refused: " + error);
}

void HostProbeDelegate::runHostModalAlert(const AlertModel& alert, std::function<void(int)> completion) {
    beginUpdateSheet(alert, std::move(completion));
}

}  // namespace qm
