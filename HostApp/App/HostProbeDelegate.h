#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HostApp/App/DisplayDetailsController.h"
#include "HostApp/App/FileDeliveryController.h"
#include "HostApp/App/HostAppEnvironment.h"
#include "HostApp/App/PermissionsController.h"
#include "HostApp/App/StatusMenuController.h"
#include "HostApp/App/UpdateController.h"
#include "Platform/Core/LogSink.h"

namespace qm {

class V230HostAudioAuxServer;
class ClipboardSyncBridge;
class FileTransferService;
struct SendFilesPasteboard;
struct FileTransferPacket;
struct HostServiceHooks;

// The Host application's delegate: it owns the server, the clipboard bridge, the file-transfer
// service and the diagnostic log, makes the controllers that own the application's surfaces
// (status menu and summary, details and display selection, updates, permissions and
// onboarding, file delivery), wires them, and answers the desktop's messages: start-up,
// activation, reopening, quitting, power notices, the Services messages and the menu and button
// actions, each handed to the controller of its surface. Everything runs on the main queue
// unless a method says otherwise; closures it hands out hold it weakly.
class HostProbeDelegate : public std::enable_shared_from_this<HostProbeDelegate> {
public:
    using Environment = HostAppEnvironment;
    using WorkspacePowerEvent = qm::WorkspacePowerEvent;
    using PermissionRequestKind = PermissionsController::PermissionRequestKind;
    using InitialInstallOnboardingStep = PermissionsController::InitialInstallOnboardingStep;
    using Sender = ActionSender;

    static inline const std::filesystem::path initialInstallOnboardingMarkerURL = hostInitialInstallOnboardingMarkerURL;
    static constexpr std::int64_t clipboardMaxFileBytes = 33'554'432;
    static constexpr std::int64_t clipboardMaxTotalFileBytes = 50'331'648;
    static constexpr std::int64_t fileChunkSize = 262'144;
    static constexpr double statusRefreshInterval = 2.0;
    static constexpr double firstRunPromptDelay = 0.35;
    // How long a stop waits at most, once the connections are closed, for the descriptors it needs
    // to remove the batch folders a shortage of them left staged.
    static constexpr double stagingCleanupPatience = 3.0;

    static std::shared_ptr<HostProbeDelegate> create(Environment environment);
    ~HostProbeDelegate();

    // ---- The controllers, one per surface ------------------------------------------------------
    StatusMenuController& status() { return *status_; }
    DisplayDetailsController& details() { return *details_; }
    UpdateController& updates() { return *updates_; }
    PermissionsController& permissions() { return *permissions_; }
    FileDeliveryController& files() { return *files_; }

    // ---- What the delegate owns ------------------------------------------------------------------
    const std::shared_ptr<V230HostAudioAuxServer>& audioServer() const { return audioServer_; }
    const std::shared_ptr<DiagnosticLogBuffer>& diagnosticLog() const { return diagnosticLog_; }
    const std::shared_ptr<ClipboardSyncBridge>& clipboardBridge() const { return clipboardBridge_; }
    const std::shared_ptr<FileTransferService>& fileTransferService() const { return fileTransferService_; }
    // The 2 s refresh timer; none before launch and after termination.
    const std::shared_ptr<RepeatingTimer>& timer() const { return timer_; }
    const Environment& environment() const { return env_; }

    // ---- Start-up and activation -----------------------------------------------------------
    void applicationDidFinishLaunching();
    void applicationDidBecomeActive();
    void registerWorkspacePowerObservers();
    void unregisterWorkspacePowerObservers();
    // `handled` (may be empty) runs once the server has taken the notice: for going to sleep, once
    // capture has moved; any thread.
    void handleWorkspacePowerEvent(WorkspacePowerEvent event, std::function<void()> handled = {});
    bool hasWorkspacePowerObservers() const { return !workspacePowerObservers_.empty(); }

    // ---- Server, clipboard and files -----------------------------------------------------
    void startAudioAuxServer();
    void configureClipboardBridgeIfNeeded();
    // On the server queue, for every packet a Viewer sends but file chunks, before the service
    // sees it: true when the delegate took the packet (peer send requests), false to pass it on.
    bool handleIncomingFileTransferPacket(const FileTransferPacket& packet, const UUID& viewerSession);
    void invalidateInboundFileClipboardClaim(const std::string& reason);

    // ---- The Services messages -----------------------------------------------------------------
    // The five send-files messages, one action (the user data is not used): false with `error`
    // set when no file came; otherwise the destination picker follows on the main queue.
    bool sendFilesToQuillmereViewer(const SendFilesPasteboard& pasteboard, const std::string& userData, std::string* error);
    bool sendFilesToViewer(const SendFilesPasteboard& pasteboard, const std::string& userData, std::string* error);
    bool sendFilesViaQuillmere(const SendFilesPasteboard& pasteboard, const std::string& userData, std::string* error);
    bool sendToViewer(const SendFilesPasteboard& pasteboard, const std::string& userData, std::string* error);
    bool sendToHost(const SendFilesPasteboard& pasteboard, const std::string& userData, std::string* error);
    // `QuillmereHost --send-files FILE...`: the files as a file manager's service would hand them.
    void handleSendFilesRequest(const std::vector<std::filesystem::path>& files);

    // ---- Menu and button actions ---------------------------------------------------------------
    // Every menu item and button of the Host ends here.
    void perform(HostAction action, Sender sender, MenuItemModel* item = nullptr);
    void showSummaryWindowAction(Sender sender);
    void showAboutPanelAction();
    void showDetailWindowAction();
    void requestQuitMenuAction();
    void refreshButtonPressed();
    void copyLogsButtonPressed() {}
    void launchAtLoginCheckboxChanged(ButtonModel& checkbox);
    void toggleLaunchAtLoginMenuAction(MenuItemModel& item);
    void toggleAutoUpdateMenuAction(MenuItemModel& item);
    void requestOnlineUpdateAction();
    void useDisplayButtonPressed();
    void virtualDisplayCheckboxChanged(ButtonModel& checkbox);
    // An address the Host was opened with ("quillmerehost:..."); anything else is ignored.
    void handlePermissionURLEvent(const std::string& url);

    // ---- What the neighbouring subsystems use -------------------------------------------------
    // Any thread: off the main queue it schedules itself there and returns.
    void updateHostPresentation();
    std::shared_ptr<SummaryWindowModel> makeSummaryWindow();
    static std::string viewerDisplayNameSummary(const std::vector<std::string>& names);
    void checkForHostUpdateOnLaunch();
    void startHourlyUpdateCheck();
    void refreshOnlineUpdateButtonPresentation();
    // Runs `alert` as a sheet on `window`, both kept in front of other applications; the returned
    // model lets the caller change its texts or end it. None without a desktop to show it on.
    std::shared_ptr<AlertSheetModel> beginHostForegroundSheet(const AlertModel& alert,
                                                              const std::shared_ptr<WindowModel>& window,
                                                              std::function<void(int response)> completion);
    void openHostWebsite(const std::string& path, const std::optional<std::string>& fragment);
    // Every text of every surface again, in the current language.
    void refreshHostLocalization();

    // ---- Reopening and quitting ----------------------------------------------------------------
    // A second start of the Host (it hands "reopen" over the local socket and exits): shows the
    // summary window as reopening the application does.
    void handleSecondLaunch();
    static inline const std::string reopenMessage = "reopen";
    // How a request to terminate is answered: at once, or after the quit question.
    enum class TerminateReply { now, later };
    // Asks to terminate; without a confirmed quit the question comes first.
    void requestTermination(const std::string& reason);
    TerminateReply applicationShouldTerminate();
    // Terminates without asking (SIGINT/SIGTERM, a confirmed quit, the installer's restart): the
    // teardown, then the event loop ends.
    void terminateApplication(const std::string& reason);
    // Stops timers, observers, the clipboard bridge and the server; `done` runs on the main queue.
    void applicationWillTerminate(std::function<void()> done);
    // The Host keeps running in the status area when its last window closes.
    bool applicationShouldTerminateAfterLastWindowClosed() const { return false; }
    // Shows the summary window when none is visible; always true.
    bool applicationShouldHandleReopen(bool hasVisibleWindows);
    bool terminationConfirmed() const { return terminationConfirmed_; }
    bool terminationConfirmationInProgress() const { return terminationConfirmationInProgress_; }
    // A quit that needs no question any more (the installer's restart).
    void confirmTermination() { terminationConfirmed_ = true; }
    bool terminating() const { return terminating_; }
    // The Host's user answered the quit question with "Quit Host" (not a signal, not the
    // installer's restart link).
    bool quitConfirmedByUser() const { return quitConfirmedByUser_; }

    // Appends one line to the diagnostic log, which stays in memory; the terminal shows it only
    // with QM_LOG_DETAIL=1 (a status refresh every 2 s would bury what changed).
    void log(const std::string& message);

private:
    explicit HostProbeDelegate(Environment environment);
    std::weak_ptr<HostProbeDelegate> weak() { return weak_from_this(); }
    // Runs `block` on the main queue with the delegate, if it still exists.
    void onMain(std::function<void(HostProbeDelegate&)> block);
    void presentQuitHostConfirmation();
    // The delegate's part of the one wiring of server, clipboard bridge and file service.
    HostServiceHooks hostServiceHooks();

    Environment env_;
    LogSink::Subscription logSubscription_;
    std::shared_ptr<V230HostAudioAuxServer> audioServer_;
    std::shared_ptr<DiagnosticLogBuffer> diagnosticLog_;
    std::shared_ptr<ClipboardSyncBridge> clipboardBridge_;
    std::shared_ptr<FileTransferService> fileTransferService_;
    std::shared_ptr<StatusMenuController> status_;
    std::shared_ptr<DisplayDetailsController> details_;
    std::shared_ptr<UpdateController> updates_;
    std::shared_ptr<PermissionsController> permissions_;
    std::shared_ptr<FileDeliveryController> files_;
    std::shared_ptr<RepeatingTimer> timer_;
    std::vector<std::shared_ptr<void>> workspacePowerObservers_;
    std::shared_ptr<void> languageObserver_;
    // The power notices and the display state's reads, in order, off the main queue.
    DispatchQueuePtr backgroundQueue_;
    bool terminationConfirmed_ = false;
    bool terminationConfirmationInProgress_ = false;
    bool terminating_ = false;
    bool quitConfirmedByUser_ = false;
    // The reason of the terminate request waiting for the quit question's answer.
    std::optional<std::string> pendingTerminateReason_;
};

}  // namespace qm
