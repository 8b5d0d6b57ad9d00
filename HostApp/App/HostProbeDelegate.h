#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HostApp/App/AlertSheetModel.h"
#include "HostApp/App/DisplayControlsModel.h"
#include "HostApp/App/HostBuild.h"
#include "HostApp/App/HostLaunchAtLogin.h"
#include "HostApp/App/HostOnlineUpdateRequest.h"
#include "HostApp/App/HostShell.h"
#include "HostApp/App/HostUpdateWindows.h"
#include "HostApp/App/ViewModels.h"
#include "Platform/Core/DispatchQueue.h"
#include "Platform/HostPlatform.h"
#include "Platform/PortProbe.h"
#include "Platform/ProcessLauncher.h"
#include "Platform/Core/UUID.h"
#include "Platform/FileManagerDesktop.h"
#include "QuillmereProfiles/QuillmereDiscovery.h"
#include "QuillmereProfiles/QuillmereReleaseFeed.h"

namespace qm {

class V230HostAudioAuxServer;
class ClipboardSyncBridge;
class FileTransferService;
class FileTransferCenter;
class SendFilesService;
struct SendFilesPasteboard;
class HostFileDelivery;
class Pasteboard;
class UserDefaults;
class DistributedNotificationCenter;
struct FileTransferPacket;
struct HostServiceHooks;

// The Host application's one delegate: it owns the server, the clipboard bridge, the file-transfer
// service, the status item, the menus and the summary window (as models), the timers and the
// observers. Everything runs on the main queue unless a method says otherwise; closures it hands
// out hold it weakly.
class HostProbeDelegate : public std::enable_shared_from_this<HostProbeDelegate> {
public:
    enum class PermissionRequestKind { screenCapture, accessibility };
    enum class InitialInstallOnboardingStep { idle, accessibility, screenCapture, confirmation, completionCountdown, completed };
    enum class WorkspacePowerEvent { willSleep, screensDidSleep, didWake, screensDidWake };
    // The sender of an action: menu items log as "menu".
    enum class Sender { none, menuItem, button };

    // Written by the install step (scripts/install): the build whose permission walk-through is due.
    static inline const std::filesystem::path initialInstallOnboardingMarkerURL =
        "/var/lib/quillmere-host/initial-install-onboarding-build";
    static inline const std::string initialInstallOnboardingCompletedBuildKey =
        "host.initialInstallOnboarding.completedBuild";
    static constexpr double initialInstallOnboardingPollInterval = 1.0;
    static constexpr int initialInstallCompletionSeconds = 5;
    static constexpr double foregroundSheetSecondRaiseDelay = 0.15;
    static inline const std::string mainMenuIdentifier = "com.dravon.quillmere.host.main-menu";
    static constexpr double statusRefreshInterval = 2.0;
    static constexpr double hourlyUpdateInterval = 3600.0;
    static constexpr double summaryAutoCloseDelay = 5.0;
    static constexpr double firstRunPromptDelay = 0.35;
    static constexpr double displayDiagnosticsMaxAge = 15.0;
    static constexpr double screenSharingProbeTimeout = 1.5;
    static constexpr std::int64_t clipboardMaxFileBytes = 33'554'432;
    static constexpr std::int64_t clipboardMaxTotalFileBytes = 50'331'648;
    static constexpr std::int64_t fileChunkSize = 262'144;

    struct Environment {
        HostPlatform platform;  // clock, queues (mainQueue is the application's main queue)
        std::shared_ptr<HostShell> shell;
        std::shared_ptr<UserDefaults> defaults;  // the standard domain
        std::shared_ptr<Pasteboard> pasteboard;  // the general pasteboard
        std::shared_ptr<LoginItemService> loginItems;
        std::shared_ptr<DistributedNotificationCenter> notifications;  // may be empty
        std::function<std::shared_ptr<V230HostAudioAuxServer>()> makeServer;
        std::function<std::vector<QuillmereRouteRecord>()> routeRecords;  // default: the machine's
        std::function<std::string()> hostName;                            // the machine's name
        // Connection attempts for the local Screen Sharing probe; none: no probe.
        std::shared_ptr<PortProber> portProber;
        // The relaunch script and the privacy panes; none: neither can be started.
        std::shared_ptr<ProcessLauncher> launcher;
        std::uint16_t screenSharingPort = 5900;
        // Subscribes to one of the desktop's power notifications; the handler runs on the main queue.
        // It gets a function to call once the Host has handled the event (any thread): the system
        // may hold its sleep until then.
        using PowerHandler = std::function<void(std::function<void()> handled)>;
        std::function<std::shared_ptr<void>(WorkspacePowerEvent, PowerHandler)> observeWorkspacePower;
        // The product website's page for a path and fragment; none when no address can be formed.
        std::function<std::optional<std::string>(const std::string& path, const std::optional<std::string>& fragment)>
            websiteURL;
        // The maker's main website's page for a path; none when no address can be formed.
        std::function<std::optional<std::string>(const std::string& path)> mainWebsiteURL;
        // Fetches the release feed off the main queue and answers on the main queue; empty: the
        // real feed over HTTPS.
        std::function<void(std::function<void(std::optional<QuillmereReleaseFeed>)>)> fetchLatestFeed;
        // Where the system updater's files live.
        HostOnlineUpdateRequest::Locations updaterLocations = HostOnlineUpdateRequest::Locations::system();
        // Whether the desktop has the display symbol the status item shows.
        std::function<bool()> displaySymbolAvailable;
        HostBundleInfo bundle;
        HostLaunchFlags flags;
        std::string processName = "QuillmereHost";
        std::filesystem::path cachesDirectory;
        // The user's home folder (received files are confined to it); empty: the process's.
        std::filesystem::path homeDirectory;
        // The file manager's front window, the Desktop and revealing delivered items; none: a
        // simulation with no front window.
        std::shared_ptr<FileManagerDesktop> fileManager;
        std::filesystem::path installerMarker = initialInstallOnboardingMarkerURL;
    };

    static std::shared_ptr<HostProbeDelegate> create(Environment environment);
    ~HostProbeDelegate();

    // ---- Start-up and activation -----------------------------------------------------------
    void applicationDidFinishLaunching();
    void applicationDidBecomeActive();
    void registerWorkspacePowerObservers();
    void scheduleSummaryWindowAutoClose(double seconds);
    void startHourlyUpdateCheck();

    // ---- Server, clipboard and files -----------------------------------------------------
    void startAudioAuxServer();
    void configureClipboardBridgeIfNeeded();
    // On the server queue, for every packet a Viewer sends but file chunks, before the service
    // sees it: true when the delegate took the packet (peer send requests), false to pass it on.
    bool handleIncomingFileTransferPacket(const FileTransferPacket& packet, const UUID& viewerSession);
    void invalidateInboundFileClipboardClaim(const std::string& reason);

    // ---- Sending files to Viewers ------------------------------------------------------------
    // The five send-files messages, one action (the user data is not used): false with `error`
    // set when no file came; otherwise the destination picker follows on the main queue.
    bool sendFilesToQuillmereViewer(const SendFilesPasteboard& pasteboard, const std::string& userData, std::string* error);
    bool sendFilesToViewer(const SendFilesPasteboard& pasteboard, const std::string& userData, std::string* error);
    bool sendFilesViaQuillmere(const SendFilesPasteboard& pasteboard, const std::string& userData, std::string* error);
    bool sendToViewer(const SendFilesPasteboard& pasteboard, const std::string& userData, std::string* error);
    bool sendToHost(const SendFilesPasteboard& pasteboard, const std::string& userData, std::string* error);
    // `QuillmereHost --send-files FILE...`: the files as a file manager's service would hand them.
    void handleSendFilesRequest(const std::vector<std::filesystem::path>& files);
    // Runs an alert as a sheet of the summary window (made when needed).
    void runHostModalAlert(const AlertModel& alert, std::function<void(int)> completion);

    // ---- Menus and status item -------------------------------------------------------------
    void configureMainMenu();
    void configureStatusItem();
    void refreshHostMainMenuLocalization();
    void refreshHostStatusMenuLocalization();
    void updateStatusItemButtonTitle();
    std::string hostStatusItemHostName() const;
    static void setMenuItemTitle(MenuModel* menu, HostAction action, const std::string& title);
    static void localizeTopMenu(MenuModel& mainMenu, std::size_t index, const std::string& title);
    // Whether the desktop offers the display symbol; computed once (a failed lookup included).
    bool statusItemDisplaySymbol();

    // ---- Presentation and refresh -----------------------------------------------------------
    // Any thread: off the main queue it schedules itself there and returns.
    void updateHostPresentation();
    void refresh(bool forceDisplayDiagnostics, bool probeScreenSharing);
    void refreshHostLocalization();

    // ---- Summary window and actions ---------------------------------------------------------
    std::shared_ptr<SummaryWindowModel> makeSummaryWindow();
    void showSummaryWindowAction(Sender sender);
    void showAboutPanelAction();
    // A second start of the Host (it hands "reopen" over the local socket and exits): shows the
    // summary window as reopening the application does.
    void handleSecondLaunch();
    static inline const std::string reopenMessage = "reopen";
    // The detail window with the display controls.
    void showDetailWindowAction();
    void copyLogsButtonPressed() {}
    void refreshButtonPressed();
    void refreshOnlineUpdateButtonPresentation();
    // Every menu item and button of the Host ends here.
    void perform(HostAction action, Sender sender, MenuItemModel* item = nullptr);

    // ---- Start at login --------------------------------------------------------------------
    void launchAtLoginCheckboxChanged(ButtonModel& checkbox);
    void toggleLaunchAtLoginMenuAction(MenuItemModel& item);
    void updateLaunchAtLoginCheckbox();

    // ---- Address and Viewer texts ----------------------------------------------------------
    static std::optional<std::vector<int>> ipv4Octets(const std::string& text);
    static bool viewerAddressLikelyUsesRoute(const std::string& viewerAddress, const std::string& hostAddress);
    static std::string routeAddressText(const QuillmereRouteRecord& route,
                                        const std::vector<std::string>& currentViewerAddresses);
    static std::string summaryAddressText(const std::vector<QuillmereRouteRecord>& routes,
                                          const std::vector<std::string>& currentViewerAddresses);
    static std::string menuAddressText(const std::vector<QuillmereRouteRecord>& routes,
                                       const std::vector<std::string>& currentViewerAddresses);
    static std::string viewerDisplayNameSummary(const std::vector<std::string>& names);
    // The Viewer line for (name, address) summaries.
    static std::string viewerTextFor(const std::vector<std::pair<std::string, std::string>>& summaries);
    std::vector<std::string> connectedViewerAddresses();
    std::string connectedViewerText();

    // ---- Initial-install permission onboarding -------------------------------------------------
    bool hasPendingInitialInstallOnboarding() const;
    void observeInitialInstallPermissionCompletion();
    void advanceInitialInstallOnboarding();
    void presentInitialInstallOnboardingStep();
    void handleInitialInstallOnboardingResponse(int response, InitialInstallOnboardingStep step);
    void requestInitialInstallPermission(PermissionRequestKind kind);
    void confirmInitialInstallOnboarding();
    bool completeInitialInstallOnboardingAfterConfirmation();
    void presentInitialInstallCompletionCountdown();
    void advanceInitialInstallCompletionCountdown();
    void finishInitialInstallCompletionCountdown();
    // The step's name in log lines.
    static std::string stepName(InitialInstallOnboardingStep step);
    // Runs `alert` as a sheet on `window`, both kept in front of other applications; the returned
    // model lets the caller change its texts or end it. None without a desktop to show it on.
    std::shared_ptr<AlertSheetModel> beginHostForegroundSheet(const AlertModel& alert,
                                                              const std::shared_ptr<WindowModel>& window,
                                                              std::function<void(int response)> completion);

    // ---- Neighbours' operations: what can be done today --------------------------------------
    void presentUpgradeNoticeIfNeeded();
    void checkForHostUpdateOnLaunch();
    void requestFirstRunPermissionsIfNeeded();
    void performHourlyUpdateCheck();
    void requestOnlineUpdateAction();
    void toggleAutoUpdateMenuAction(MenuItemModel& item);
    void triggerScreenCaptureRelaunchIfNeeded(const std::string& reason);
    // ---- Permissions and the installer's links ------------------------------------------------
    void prepareForSystemPermissionPrompt();
    void requestScreenRecordingPermission();
    void requestAccessibilityPermission();
    void openSystemSettingsPrivacyPane(const std::string& anchor);
    void enqueueInstallerPermissionRequest(PermissionRequestKind kind);
    // An address the Host was opened with ("quillmerehost:..."); anything else is ignored.
    void handlePermissionURLEvent(const std::string& url);
    // The lower-cased host and path of a "quillmerehost" address; none for any other text.
    static std::optional<std::string> permissionURLTarget(const std::string& url);
    // The shell command that waits for `pid` to end, then starts `executable`.
    static std::string relaunchScript(int pid, const std::string& executable);
    void checkLocalVNC(std::int64_t generation);
    void refreshDisplayState(std::int64_t generation, bool forceDisplayDiagnostics);
    void useDisplayButtonPressed();
    void virtualDisplayCheckboxChanged(ButtonModel& checkbox);
    struct DisplayOption {
        std::uint32_t id = 0;
        std::string title;
    };
    void updateDisplayPopup(const std::vector<DisplayOption>& options, std::uint32_t selectedID);
    // The diagnostics text: the intro, then the server's display diagnostics (waits for the
    // server's queue: never call it there or on the main queue), or without a server the
    // displays' own description.
    std::string hostDisplayDiagnostics(const std::shared_ptr<V230HostAudioAuxServer>& server) const;
    void openHostWebsite(const std::string& path, const std::optional<std::string>& fragment);
    void openMainWebsite(const std::string& path);

    // ---- Updates ---------------------------------------------------------------------------
    void setHostAutoUpdateEnabled(bool enabled);
    void presentAutoUpdateCountdownWindow(const QuillmereReleaseFeed::Product& latest);
    void presentUpdateCheckFailedAlert();
    void presentHostUpToDateAlert();
    void presentAutomaticUpdaterUnavailableAlert();
    static constexpr int autoUpdateCountdownSeconds = 5;
    // `handled` (may be empty) runs once the server has taken the notice: for going to sleep, once
    // capture has moved; any thread.
    void handleWorkspacePowerEvent(WorkspacePowerEvent event, std::function<void()> handled = {});
    // ---- Quitting, reopening and power ----------------------------------------------------------
    // How a request to terminate is answered: at once, or after the quit question.
    enum class TerminateReply { now, later };
    // The Quit items: the request goes through applicationShouldTerminate like any other.
    void requestQuitMenuAction();
    // Asks to terminate; without a confirmed quit the question comes first.
    void requestTermination(const std::string& reason);
    TerminateReply applicationShouldTerminate();
    void presentQuitHostConfirmation();
    // Terminates without asking (SIGINT/SIGTERM, a confirmed quit): the teardown, then the event
    // loop ends.
    void terminateApplication(const std::string& reason);
    // Stops timers, observers, the clipboard bridge and the server; `done` runs on the main queue.
    void applicationWillTerminate(std::function<void()> done);
    void unregisterWorkspacePowerObservers();
    // The Host keeps running in the status area when its last window closes.
    bool applicationShouldTerminateAfterLastWindowClosed() const { return false; }
    // Shows the summary window when none is visible; always true.
    bool applicationShouldHandleReopen(bool hasVisibleWindows);

    // Appends one line to the diagnostic log and standard error.
    void log(const std::string& message);

    // ---- State (read by the views and tests) -------------------------------------------------
    std::shared_ptr<SummaryWindowModel> summaryWindow;
    std::shared_ptr<LabelModel> statusLabel;
    std::shared_ptr<LabelModel> audioStatusLabel;
    std::shared_ptr<LabelModel> addressLabel;
    std::shared_ptr<LabelModel> detailLabel;
    std::shared_ptr<LabelModel> summaryStatusLabel;
    std::shared_ptr<LabelModel> summaryAddressLabel;
    std::shared_ptr<LabelModel> summaryViewerLabel;
    std::shared_ptr<PopUpButtonModel> displayPopup;
    std::shared_ptr<ButtonModel> virtualDisplayCheckbox;
    std::shared_ptr<ButtonModel> useDisplayButton;
    std::shared_ptr<ButtonModel> launchAtLoginCheckbox;  // the detail window's, made with it
    std::shared_ptr<DetailWindowModel> detailWindow;
    std::shared_ptr<AboutPanelModel> aboutPanel;
    std::weak_ptr<MenuItemModel> launchAtLoginMenuItem;
    std::weak_ptr<MenuItemModel> statusLaunchAtLoginMenuItem;
    std::weak_ptr<MenuItemModel> statusMenuStatusItem;
    std::weak_ptr<MenuItemModel> statusMenuAddressItem;
    std::weak_ptr<MenuItemModel> statusMenuViewerItem;
    std::shared_ptr<StatusItemModel> statusItem;
    std::shared_ptr<MenuModel> statusMenu;
    std::shared_ptr<RepeatingTimer> timer;
    std::vector<std::shared_ptr<void>> workspacePowerObservers;
    std::shared_ptr<void> languageObserver;
    std::int64_t checkGeneration = 0;
    // The Screen Sharing probe in flight; at most one.
    std::shared_ptr<ProbeConnection> activeVNCProbe;
    std::vector<QuillmereRouteRecord> latestRouteRecords;
    bool terminationConfirmed = false;
    bool terminationConfirmationInProgress = false;
    std::optional<std::string> cachedDisplayDiagnosticsText;
    std::optional<std::uint64_t> lastDisplayDiagnosticsRefreshNs;  // none: the distant past
    std::shared_ptr<V230HostAudioAuxServer> audioServer;
    std::shared_ptr<DiagnosticLogBuffer> diagnosticLog;
    std::shared_ptr<ClipboardSyncBridge> clipboardBridge;
    std::shared_ptr<FileTransferService> fileTransferService;
    // The "File Transfers" window, one for the application's life.
    std::shared_ptr<FileTransferCenter> fileTransferCenter;
    std::shared_ptr<SendFilesService> sendFilesService;
    // Where received batches go and how Viewers' requests for Host files are answered.
    std::shared_ptr<HostFileDelivery> fileDelivery;
    std::optional<UUID> latestInboundFileBatchID;
    bool pendingScreenCaptureRelaunch = false;
    bool permissionRequestInProgress = false;
    std::optional<PermissionRequestKind> queuedPermissionRequest;
    bool onlineUpdateRequestInProgress = false;
    std::shared_ptr<RepeatingTimer> hourlyUpdateTimer;
    std::shared_ptr<HostAutoUpdateCountdownWindow> autoUpdateCountdownWindow;
    std::shared_ptr<HostUpdateProgressWindow> onlineUpdateProgressWindow;
    InitialInstallOnboardingStep initialInstallOnboardingStep = InitialInstallOnboardingStep::idle;
    bool initialInstallOnboardingSheetVisible = false;
    bool initialInstallOnboardingAwaitingReturn = false;
    std::optional<std::string> initialInstallOnboardingFeedbackMessage;
    bool initialInstallRequestedScreenCapture = false;
    bool initialInstallRequestedAccessibility = false;
    std::shared_ptr<RepeatingTimer> initialInstallOnboardingTimer;
    std::shared_ptr<AlertSheetModel> initialInstallCompletionAlert;
    std::int64_t initialInstallCompletionSecondsRemaining = 0;
    DispatchWorkItemPtr summaryAutoCloseWorkItem;

    const Environment& environment() const { return env_; }
    HostLaunchAtLogin& launchAtLogin() { return launchAtLogin_; }

private:
    explicit HostProbeDelegate(Environment environment);
    std::weak_ptr<HostProbeDelegate> weak() { return weak_from_this(); }
    // Runs `block` on the main queue with the delegate, if it still exists.
    void onMain(std::function<void(HostProbeDelegate&)> block);
    void raiseSummaryWindow(bool deminiaturizeFirst);
    void wireMenuItem(const std::shared_ptr<MenuItemModel>& item);
    void setAudioStatus(const std::string& labelText);
    // The delegate's part of the one wiring of server, clipboard bridge and file service.
    HostServiceHooks hostServiceHooks();
    void configureSendFilesService();
    void makeFileDelivery();
    enum class UpdateCheckKind { launch, hourly, manual };
    // Fetches the feed and hands it to the kind's result handling, if the delegate still exists.
    void startUpdateCheckTask(UpdateCheckKind kind);
    void handleUpdateCheckResult(UpdateCheckKind kind, const std::optional<QuillmereReleaseFeed>& feed);
    // The manual update from the moment it is allowed to start (the flag set, the button shown).
    void beginOnlineUpdateCheck();
    void bringUpdateWindowForward(WindowModel& window);
    void beginUpdateSheet(const AlertModel& alert, std::function<void(int response)> completion);
    void storeLastUpdateCheckTime();
    void reportScreenSharingProbe(const std::shared_ptr<ProbeConnection>& probe, std::int64_t generation,
                                  const std::string& text);
    std::string runningText() const;
    // The two permissions as the desktop answers them; a platform without the check grants it.
    bool accessibilityTrusted() const;
    bool screenCaptureGranted() const;
    std::string initialInstallCompletionMessage() const;
    // The detail window's texts and those of the display controls, in the current language.
    void retextDetailWindow();
    // What the server could not open; empty without a server.
    std::vector<std::string> listenerFailures() const;

    Environment env_;
    std::filesystem::path homeDirectory_;
    HostLaunchAtLogin launchAtLogin_;
    std::optional<bool> displaySymbolAvailable_;
    LogSink::Subscription logSubscription_;
    DispatchQueuePtr backgroundQueue_;
    DispatchQueuePtr updateFeedQueue_;  // the feed's blocking fetch
    bool terminating_ = false;
    // The reason of the terminate request waiting for the quit question's answer.
    std::optional<std::string> pendingTerminateReason_;
    // A granted Screen Recording request asked to quit once this run; the relaunch itself
    // starts only when a quit is confirmed.
    std::optional<std::string> relaunchQuitReason_;
    // The raise actions of the foreground sheets that are up, run when the application becomes
    // active; each sheet removes its own when it ends.
    std::map<std::uint64_t, std::function<void()>> foregroundSheetActivationRaises_;
    std::uint64_t nextForegroundSheetID_ = 0;
    DispatchQueuePtr privacyPaneQueue_;  // opens the desktop's settings (may take seconds)
};

}  // namespace qm
