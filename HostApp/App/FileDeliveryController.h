#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HostApp/App/HostController.h"
#include "Platform/Core/UUID.h"

namespace qm {

class DeliveryTurns;
class FileTransferCenter;
class SendFilesService;
struct SendFilesPasteboard;
class HostFileDelivery;
class V230HostAudioAuxServer;
struct FileTransferPacket;
struct HostServiceHooks;

// File delivery: sending files to Viewers (the Services message and `--send-files`), the
// "File Transfers" window with its rows, where received batches go and how Viewers' requests
// for Host files are answered, and the inbound clipboard claim. Owns the transfer window, the
// send-files service and the delivery.
class FileDeliveryController : public HostControllerOf<FileDeliveryController> {
public:
    // Received files are confined to `home`.
    static std::shared_ptr<FileDeliveryController> create(HostProbeDelegate& app, const std::filesystem::path& home);

    // The send-files message: false with `error` set when no file came; otherwise the
    // destination picker follows on the main queue.
    bool sendFilesToQuillmereViewer(const SendFilesPasteboard& pasteboard, std::string* error);
    void handleSendFilesRequest(const std::vector<std::filesystem::path>& files);
    // On the server queue: true when delivery took the packet (peer send requests).
    bool handleIncomingFileTransferPacket(const FileTransferPacket& packet, const UUID& viewerSession);
    void invalidateInboundFileClipboardClaim(const std::string& reason);
    // The Host stops: batches still waiting for the Host's user are cancelled to their Viewers.
    // Before the file service and the server stop.
    void applicationWillTerminate();
    // The file service's batch callbacks go to the delivery.
    void addDeliveryHooks(HostServiceHooks& hooks);
    // The lines Viewers' requests cause are charged to their log budgets on this server. Before
    // the server starts.
    void chargeViewerLinesTo(const std::shared_ptr<V230HostAudioAuxServer>& server);

    // ---- The models (read by the views and tests) -------------------------------------------
    // The "File Transfers" window, one for the application's life.
    std::shared_ptr<FileTransferCenter> fileTransferCenter;
    std::shared_ptr<SendFilesService> sendFilesService;
    // Where received batches go and how Viewers' requests for Host files are answered.
    std::shared_ptr<HostFileDelivery> fileDelivery;
    std::optional<UUID> latestInboundFileBatchID;
    // The service's batch events waiting for their Viewer's turn.
    const std::shared_ptr<DeliveryTurns>& deliveryTurns() const { return deliveryTurns_; }

private:
    explicit FileDeliveryController(HostProbeDelegate& app);
    void makeFileDelivery(const std::filesystem::path& home);
    void configureSendFilesService();

    std::shared_ptr<DeliveryTurns> deliveryTurns_;
};

}  // namespace qm
