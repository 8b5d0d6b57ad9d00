#include "HostApp/App/HostProbeDelegate.h"

#include <mutex>
#include <optional>

#include "HostApp/App/HostServiceWiring.h"
#include "HostApp/Server/V230HostAudioAuxServer.h"
#include "Platform/DistributedNotifications.h"
#include "Platform/Core/LogSink.h"
#include "Platform/Pasteboard.h"
#include "Platform/UserDefaults.h"
#include "QuillmereProfiles/ClipboardSyncBridge.h"
#include "QuillmereProfiles/FileTransferService.h"
#include "QuillmereProfiles/QuillmereL10n.h"

namespace qm {

using L10n = QuillmereL10n;

std::shared_ptr<HostProbeDelegate> HostProbeDelegate::create(Environment environment) {
    auto delegate = std::shared_ptr<HostProbeDelegate>(new HostProbeDelegate(std::move(environment)));
    delegate->logSubscription_ = DiagnosticLogBuffer::attach(LogSink::shared(), delegate->diagnosticLog_);
    return delegate;
}

HostProbeDelegate::HostProbeDelegate(Environment environment) : env_(std::move(environment)) {
    if (!env_.defaults) env_.defaults = std::make_shared<InMemoryUserDefaults>();
    if (!env_.pasteboard) env_.pasteboard = std::make_shared<InMemoryPasteboard>();
    if (!env_.routeRecords) env_.routeRecords = [] { return QuillmereDiscovery::localRouteRecords(); };
    diagnosticLog_ = std::make_shared<DiagnosticLogBuffer>(env_.platform.clock, DiagnosticLogBuffer::defaultLimit);
    clipboardBridge_ = std::make_shared<ClipboardSyncBridge>(env_.platform, "Viewer", env_.pasteboard,
                                                             clipboardMaxFileBytes, clipboardMaxTotalFileBytes,
                                                             env_.cachesDirectory);
    FileTransferService::Folders folders = FileTransferService::Folders::current();
    if (!env_.cachesDirectory.empty()) folders.caches = env_.cachesDirectory;
    if (!env_.homeDirectory.empty()) folders.home = env_.homeDirectory;
    fileTransferService_ = std::make_shared<FileTransferService>(env_.platform, "Viewer", fileChunkSize, folders);
    backgroundQueue_ = env_.platform.makeQueue("v230.hostprobe.background");
    // The surfaces' controllers; each reaches the others through the delegate.
    status_ = StatusMenuController::create(*this);
    details_ = DisplayDetailsController::create(*this, backgroundQueue_);
    updates_ = UpdateController::create(*this);
    permissions_ = PermissionsController::create(*this);
    files_ = FileDeliveryController::create(*this, folders.home);
}

HostProbeDelegate::~HostProbeDelegate() {
    if (timer_) timer_->cancel();
}

void HostProbeDelegate::log(const std::string& message) {
    logLine("[QuillmereHost] " + message, LogLevel::diagnostic);
}

void HostProbeDelegate::onMain(std::function<void(HostProbeDelegate&)> block) {
    env_.platform.mainQueue->async([weak = weak(), block = std::move(block)] {
        if (auto self = weak.lock()) block(*self);
    });
}

// ---- Start-up -------------------------------------------------------------------------------

void HostProbeDelegate::applicationDidFinishLaunching() {
    // 1. Build marker: the diagnostic log and standard error, then the verifier lines.
    logLine("[QuillmereHost] build marker: " + hostBuildMarkerString(env_.bundle));
    logLine("[QuillmereHost] verifier: QuillMere-HostRoute-ThunderboltIPv6First");
    logLine("[QuillmereHost] verifier: QuillMere-HostRoute-TypedAddressAdvertisement");
    logLine("[QuillmereHost] verifier: QuillMere-HostRoute-ThunderboltMemberPorts");
    // 2-4.
    log("launch-at-login: " + status_->launchAtLogin().configureDefaultIfNeeded());
    status_->configureMainMenu();
    status_->configureStatusItem();
    // 5. The language other applications of the product chose.
    if (env_.notifications) {
        languageObserver_ = env_.notifications->observe(
            L10n::languageChangedDistributedNotification, env_.platform.mainQueue,
            [weak = weak()](const DistributedNotificationCenter::UserInfo& info) {
                auto self = weak.lock();
                if (!self) return;
                auto found = info.find(L10n::languageChangedDistributedIdentifierKey);
                if (found != info.end()) {
                    if (auto* identifier = std::get_if<std::string>(&found->second)) {
                        L10n::applyReceivedLanguageOverride(*identifier);
                    }
                }
                self->refreshHostLocalization();
            });
    }
    // 6-8. What an earlier run left staged goes before any Viewer can send.
    registerWorkspacePowerObservers();
    fileTransferService_->start();
    startAudioAuxServer();
    configureClipboardBridgeIfNeeded();
    // 9. URL events belong to the permission flow, which has nothing to register on this desktop.
    // 10-12.
    const bool pending = permissions_->hasPendingInitialInstallOnboarding();
    if (env_.flags.initialInstall && !pending) log("permissions: ignored initial-install launch without matching marker");
    if (env_.flags.unattendedUpgrade) {
        log("upgrade: unattended installer relaunch");
    } else {
        // 13-15.
        status_->ensureSummaryWindow();
        updateHostPresentation();
        status_->raiseSummaryWindow(false);
        status_->scheduleSummaryWindowAutoClose(StatusMenuController::summaryAutoCloseDelay);
        if (pending) {
            env_.defaults->set("host.upgradeNotice.lastPresentedBuild", hostBundleVersionString(env_.bundle));
        } else {
            onMain([](HostProbeDelegate& self) { self.permissions_->presentUpgradeNoticeIfNeeded(); });
            checkForHostUpdateOnLaunch();
        }
    }
    // 16.
    updateHostPresentation();
    details_->refresh(true, false);
    // 17.
    if (env_.flags.unattendedUpgrade) {
        log("permissions: deferred interactive prompts for unattended upgrade launch");
    } else {
        env_.platform.mainQueue->asyncAfter(firstRunPromptDelay, [weak = weak()] {
            if (auto self = weak.lock()) self->permissions_->requestFirstRunPermissionsIfNeeded();
        });
    }
    // 18-20.
    timer_ = RepeatingTimer::schedule(env_.platform.mainQueue, statusRefreshInterval, [weak = weak()] {
        if (auto self = weak.lock()) self->details_->refresh(false, false);
    });
    startHourlyUpdateCheck();
    if (env_.shell) env_.shell->registerServicesProvider();
}

void HostProbeDelegate::applicationDidBecomeActive() {
    // Foreground sheets come back in front of their windows (each raise is scheduled).
    status_->raiseForegroundSheets();
    if (env_.flags.unattendedUpgrade) return;
    if (!permissions_->hasPendingInitialInstallOnboarding()) return;
    permissions_->initialInstallOnboardingAwaitingReturn = false;
    onMain([](HostProbeDelegate& self) {
        self.status_->ensureSummaryWindow();
        self.updateHostPresentation();
        self.status_->raiseSummaryWindow(true);
        self.permissions_->resumeInitialInstallOnboarding();
    });
}

void HostProbeDelegate::registerWorkspacePowerObservers() {
    if (!workspacePowerObservers_.empty() || !env_.observeWorkspacePower) return;
    for (auto event : {WorkspacePowerEvent::willSleep, WorkspacePowerEvent::screensDidSleep,
                       WorkspacePowerEvent::didWake, WorkspacePowerEvent::screensDidWake}) {
        workspacePowerObservers_.push_back(env_.observeWorkspacePower(event, [weak = weak(), event](std::function<void()> handled) {
            if (auto self = weak.lock()) {
                self->handleWorkspacePowerEvent(event, std::move(handled));
            } else if (handled) {
                handled();
            }
        }));
    }
}

// ---- Server, clipboard and files ------------------------------------------------------------

void HostProbeDelegate::startAudioAuxServer() {
    if (!env_.makeServer) return;
    auto server = env_.makeServer();
    if (!server) return;
    connectServerCallbacks(server, clipboardBridge_, fileTransferService_, env_.platform.mainQueue, hostServiceHooks());
    files_->chargeViewerLinesTo(server);
    audioServer_ = server;
    audioServer_->start();
}

void HostProbeDelegate::configureClipboardBridgeIfNeeded() {
    connectServiceCallbacks(audioServer_, clipboardBridge_, fileTransferService_, hostServiceHooks());
    clipboardBridge_->start();
}

namespace {
// The clipboard's and the file service's status lines and the wiring's reports (a drag pull
// served, a clipboard sent) are what changed: without the application the server writes them
// to the terminal, and with it they stay there too, as well as in the diagnostic log. The file
// service's lines reach the log through the wiring, which holds those a Viewer caused to that
// Viewer's log budget.
void relayStatus(const std::string& line) { logLine("[QuillmereHost] " + line); }

// The status line the menus show next, from any thread. Only the latest counts, so a burst of
// lines (a Viewer's packets cause one each) costs the main queue one update of the menus and
// windows, not one each.
struct LatestStatusLine {
    struct Line {
        const char* key;
        const char* format;
        std::string text;
    };
    std::mutex mutex;
    std::optional<Line> waiting;
};
}  // namespace

HostServiceHooks HostProbeDelegate::hostServiceHooks() {
    HostServiceHooks hooks;
    auto latest = std::make_shared<LatestStatusLine>();
    auto show = [weak = weak(), latest](LatestStatusLine::Line line) {
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard lock(latest->mutex);
            const bool asked = latest->waiting.has_value();
            latest->waiting = std::move(line);
            if (asked) return;
        }
        self->onMain([latest](HostProbeDelegate& delegate) {
            std::optional<LatestStatusLine::Line> line;
            {
                std::lock_guard lock(latest->mutex);
                line.swap(latest->waiting);
            }
            if (line) delegate.status_->setAudioStatus(L10n::format(line->key, line->format, line->text));
        });
    };
    hooks.serverStatus = [weak = weak(), show](const std::string& text) {
        auto self = weak.lock();
        if (!self) return;
        // The server wrote the line through the log sink a moment ago, on this thread: that copy
        // becomes the "aux: " line, so the log holds it once.
        self->diagnosticLog_->relabelLatest(text, "aux: " + text);
        show({"host.auxStatusFormat", "Aux: %@", text});
    };
    hooks.clipboardStatus = [weak = weak(), show](const std::string& text) {
        if (auto self = weak.lock()) {
            self->onMain([text](HostProbeDelegate&) { relayStatus(text); });
            show({"host.auxStatusFormat", "Aux: %@", text});
        }
    };
    hooks.filesStatus = [show](const std::string& text) {
        show({"host.filesStatusFormat", "Files: %@", text});
    };
    hooks.log = [weak = weak()](const std::string& line) {
        if (weak.lock()) relayStatus(line);
    };
    hooks.hostClipboardChanged = [weak = weak()](const std::string& reason) {
        if (auto self = weak.lock()) self->invalidateInboundFileClipboardClaim(reason);
    };
    files_->addDeliveryHooks(hooks);
    return hooks;
}

bool HostProbeDelegate::handleIncomingFileTransferPacket(const FileTransferPacket& packet, const UUID& viewerSession) {
    return files_->handleIncomingFileTransferPacket(packet, viewerSession);
}

void HostProbeDelegate::invalidateInboundFileClipboardClaim(const std::string& reason) {
    files_->invalidateInboundFileClipboardClaim(reason);
}

// ---- Actions --------------------------------------------------------------------------------

void HostProbeDelegate::perform(HostAction action, Sender sender, MenuItemModel* item) {
    switch (action) {
        case HostAction::showAboutPanel: showAboutPanelAction(); break;
        case HostAction::toggleLaunchAtLogin:
            if (item) toggleLaunchAtLoginMenuAction(*item);
            break;
        case HostAction::requestQuit: requestQuitMenuAction(); break;
        case HostAction::showSummaryWindow: showSummaryWindowAction(sender); break;
        case HostAction::refreshButtonPressed: refreshButtonPressed(); break;
        case HostAction::requestOnlineUpdate: requestOnlineUpdateAction(); break;
        case HostAction::toggleAutoUpdate:
            if (item) toggleAutoUpdateMenuAction(*item);
            break;
        case HostAction::useDisplayButtonPressed:
            // From the menu the choice is made in the detail window: it comes forward, so the
            // selection and its result can be seen.
            if (sender == Sender::menuItem) showDetailWindowAction();
            useDisplayButtonPressed();
            break;
        case HostAction::openUserGuide: openHostWebsite("", std::string("install-guide")); break;
        case HostAction::openWebsite: openHostWebsite("", std::nullopt); break;
        case HostAction::openPrivacyPolicy: updates_->openMainWebsite("legal/privacy"); break;
        case HostAction::openTermsOfService: updates_->openMainWebsite("legal/terms"); break;
        case HostAction::openReleaseNotes: openHostWebsite("download", std::string("release-notes")); break;
        case HostAction::hide:
        case HostAction::hideOtherApplications:
        case HostAction::unhideAllApplications:
        case HostAction::performMiniaturize:
        case HostAction::performZoom:
        case HostAction::arrangeInFront:
            if (env_.shell) env_.shell->performStandardAction(action);
            break;
        case HostAction::none: break;
    }
}

void HostProbeDelegate::showSummaryWindowAction(Sender sender) { status_->showSummaryWindowAction(sender); }

void HostProbeDelegate::showAboutPanelAction() { status_->showAboutPanelAction(); }

void HostProbeDelegate::showDetailWindowAction() { details_->showDetailWindowAction(); }

void HostProbeDelegate::refreshButtonPressed() {
    log("UI refresh requested");
    details_->refresh(true, true);
}

void HostProbeDelegate::launchAtLoginCheckboxChanged(ButtonModel& checkbox) {
    status_->launchAtLoginCheckboxChanged(checkbox);
}

void HostProbeDelegate::toggleLaunchAtLoginMenuAction(MenuItemModel& item) { status_->toggleLaunchAtLoginMenuAction(item); }

void HostProbeDelegate::toggleAutoUpdateMenuAction(MenuItemModel& item) { updates_->toggleAutoUpdateMenuAction(item); }

void HostProbeDelegate::requestOnlineUpdateAction() { updates_->requestOnlineUpdateAction(); }

void HostProbeDelegate::useDisplayButtonPressed() { details_->useDisplayButtonPressed(); }

void HostProbeDelegate::virtualDisplayCheckboxChanged(ButtonModel& checkbox) {
    details_->virtualDisplayCheckboxChanged(checkbox);
}

void HostProbeDelegate::handlePermissionURLEvent(const std::string& url) { permissions_->handlePermissionURLEvent(url); }

bool HostProbeDelegate::sendFilesToQuillmereViewer(const SendFilesPasteboard& pasteboard, const std::string&,
                                                   std::string* error) {
    return files_->sendFilesToQuillmereViewer(pasteboard, error);
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
    files_->handleSendFilesRequest(files);
}

// ---- What the neighbouring subsystems use ------------------------------------------------------

void HostProbeDelegate::updateHostPresentation() { status_->updateHostPresentation(); }

std::shared_ptr<SummaryWindowModel> HostProbeDelegate::makeSummaryWindow() { return status_->makeSummaryWindow(); }

std::string HostProbeDelegate::viewerDisplayNameSummary(const std::vector<std::string>& names) {
    return StatusMenuController::viewerDisplayNameSummary(names);
}

void HostProbeDelegate::checkForHostUpdateOnLaunch() { updates_->checkForHostUpdateOnLaunch(); }

void HostProbeDelegate::startHourlyUpdateCheck() { updates_->startHourlyUpdateCheck(); }

void HostProbeDelegate::refreshOnlineUpdateButtonPresentation() { updates_->refreshOnlineUpdateButtonPresentation(); }

std::shared_ptr<AlertSheetModel> HostProbeDelegate::beginHostForegroundSheet(const AlertModel& alert,
                                                                             const std::shared_ptr<WindowModel>& window,
                                                                             std::function<void(int)> completion) {
    return status_->beginHostForegroundSheet(alert, window, std::move(completion));
}

void HostProbeDelegate::openHostWebsite(const std::string& path, const std::optional<std::string>& fragment) {
    updates_->openHostWebsite(path, fragment);
}

void HostProbeDelegate::refreshHostLocalization() {
    status_->refreshSummaryLocalization();
    updates_->refreshOnlineUpdateButtonPresentation();
    details_->retextDetailWindow();
    status_->updateLaunchAtLoginCheckbox();
}

void HostProbeDelegate::handleSecondLaunch() {
    log("app: a second start of the Host asked to show it");
    // Whatever else is on screen, the user who starts the Host again wants its summary window in
    // front, and it stays: reopened as with no window visible.
    applicationShouldHandleReopen(false);
}

// ---- Power, reopening and quitting ---------------------------------------------------------------

void HostProbeDelegate::handleWorkspacePowerEvent(WorkspacePowerEvent event, std::function<void()> handled) {
    struct PowerNotice {
        const char* reason;
        bool screensSleeping;
        bool preflight;
    };
    PowerNotice notice{};
    switch (event) {
        case WorkspacePowerEvent::willSleep: notice = {"system will sleep", true, true}; break;
        case WorkspacePowerEvent::screensDidSleep: notice = {"screens did sleep", true, false}; break;
        case WorkspacePowerEvent::didWake: notice = {"system did wake", false, false}; break;
        case WorkspacePowerEvent::screensDidWake: notice = {"screens did wake", false, false}; break;
    }
    const bool sleeping = notice.screensSleeping;
    log(sleeping ? std::string("power: ") + notice.reason + "; keeping Host Aux viewer sessions connected"
                 : std::string("power: ") + notice.reason);
    if (audioServer_) {
        // Going to sleep waits until capture has moved, and the server's queue may be waiting on
        // the main queue: the notices go through the background queue, in order (and before
        // the display state a later refresh reads there).
        std::weak_ptr<V230HostAudioAuxServer> server = audioServer_;
        backgroundQueue_->async([server, notice, handled = std::move(handled)] {
            if (auto host = server.lock()) host->noteHostPowerState(notice.reason, notice.screensSleeping, notice.preflight);
            if (handled) handled();
        });
    } else if (handled) {
        handled();
    }
    if (sleeping) {
        updateHostPresentation();
    } else {
        details_->refresh(true, false);
    }
}

void HostProbeDelegate::requestQuitMenuAction() { requestTermination("quit menu"); }

void HostProbeDelegate::requestTermination(const std::string& reason) {
    if (terminating_) return;
    // Later requests while the question is up are answered with it; the first one names the quit.
    if (!pendingTerminateReason_) pendingTerminateReason_ = reason;
    if (applicationShouldTerminate() == TerminateReply::now) {
        pendingTerminateReason_.reset();
        terminateApplication(reason);
    }
}

HostProbeDelegate::TerminateReply HostProbeDelegate::applicationShouldTerminate() {
    if (terminationConfirmed_) return TerminateReply::now;
    if (!terminationConfirmationInProgress_) {
        terminationConfirmationInProgress_ = true;
        presentQuitHostConfirmation();
    }
    return TerminateReply::later;
}

void HostProbeDelegate::presentQuitHostConfirmation() {
    if (env_.shell) env_.shell->activateIgnoringOtherApps();
    AlertModel alert;
    alert.style = AlertModel::Style::warning;
    alert.messageText = L10n::text("host.quitTitle", "Quit Corventis Host?");
    alert.informativeText = L10n::text("host.quitMessage",
                                       "After quitting, Viewer will not be able to connect to this Host device until "
                                       "Corventis Host is opened again.");
    alert.buttons = {L10n::text("host.quitButton", "Quit Host"),
                     L10n::text("host.keepRunningButton", "Keep Running")};
    const auto window = status_->ensureSummaryWindow();
    auto completion = [weak = weak()](int response) {
        auto self = weak.lock();
        if (!self) return;
        self->terminationConfirmationInProgress_ = false;
        const bool quit = response == 1000;
        if (quit) {
            self->terminationConfirmed_ = true;
            self->quitConfirmedByUser_ = true;
        }
        auto reason = self->pendingTerminateReason_.value_or("quit confirmed");
        self->pendingTerminateReason_.reset();
        if (quit) {
            self->terminateApplication(reason);
        } else {
            self->log("quit cancelled: Host keeps running");
        }
    };
    if (!env_.shell) {
        // No desktop to ask: the request stays unanswered rather than quitting unasked.
        return;
    }
    status_->beginHostForegroundSheet(alert, window, std::move(completion));
}

void HostProbeDelegate::terminateApplication(const std::string& reason) {
    if (terminating_) return;
    terminating_ = true;
    terminationConfirmed_ = true;
    log("terminating: " + reason);
    applicationWillTerminate([weak = weak()] {
        if (auto self = weak.lock()) {
            if (self->env_.shell) self->env_.shell->terminate();
        }
    });
}

void HostProbeDelegate::unregisterWorkspacePowerObservers() {
    // Dropping a token removes its observer; the empty list lets registering happen again.
    workspacePowerObservers_.clear();
}

bool HostProbeDelegate::applicationShouldHandleReopen(bool hasVisibleWindows) {
    if (hasVisibleWindows) return true;
    status_->reopenSummaryWindow();
    return true;
}

void HostProbeDelegate::applicationWillTerminate(std::function<void()> done) {
    permissions_->triggerScreenCaptureRelaunchIfNeeded("application termination");
    updates_->applicationWillTerminate();
    if (timer_) timer_->cancel();
    timer_.reset();
    permissions_->applicationWillTerminate();
    languageObserver_.reset();
    unregisterWorkspacePowerObservers();
    clipboardBridge_->stop();
    // Batches waiting for the Host's user are cancelled to their Viewers first: those cancels
    // reach the server's queue ahead of its stop, so each Viewer hears what became of its batch
    // before "host service exiting" (after which a Viewer may close), and both are on their way
    // before the server's grace ends and the connections close.
    files_->applicationWillTerminate();
    // Then every inbound batch goes with its staging folder before the process ends, while the
    // server still answers the service's questions about its Viewers' queues.
    if (fileTransferService_) fileTransferService_->stop();
    // A Host out of descriptors (a flood of connections) cannot empty a batch folder with folders
    // in it: what stays goes once the connections are closed and their descriptors free.
    auto last = [service = fileTransferService_, done = std::move(done)] {
        if (service) service->removeLeftStaging(stagingCleanupPatience);
        if (done) done();
    };
    if (!audioServer_) return last();
    // The server's ordered stop waits 120 ms for the goodbyes; the main queue goes on meanwhile.
    // The end then comes before whatever waits on the main queue (a Viewer may have queued
    // thousands of blocks there), which never runs.
    audioServer_->beginTermination([weak = weak(), last = std::move(last)] {
        if (auto self = weak.lock()) {
            self->env_.platform.mainQueue->asyncAhead(last);
        }
    });
}

}  // namespace qm
