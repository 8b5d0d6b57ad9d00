#include "HostApp/App/HostProbeDelegate.h"

#include <fstream>
#include <sstream>

#include "HostApp/App/HostServiceWiring.h"
#include "HostApp/Delivery/HostFileDelivery.h"
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
    delegate->logSubscription_ = DiagnosticLogBuffer::attach(LogSink::shared(), delegate->diagnosticLog);
    std::weak_ptr<HostProbeDelegate> weak = delegate;
    delegate->makeFileDelivery();
    delegate->virtualDisplayCheckbox->action = [weak](ButtonModel& sender) {
        if (auto self = weak.lock()) self->virtualDisplayCheckboxChanged(sender);
    };
    delegate->useDisplayButton->action = [weak](ButtonModel&) {
        if (auto self = weak.lock()) self->useDisplayButtonPressed();
    };
    delegate->configureSendFilesService();
    return delegate;
}

void HostProbeDelegate::makeFileDelivery() {
    auto weak = this->weak();
    HostFileDelivery::Environment delivery;
    delivery.mainQueue = env_.platform.mainQueue;
    delivery.clock = env_.platform.clock;
    delivery.service = fileTransferService;
    delivery.shell = env_.shell;
    delivery.fileManager = env_.fileManager ? env_.fileManager : std::make_shared<SimulatedFileManagerDesktop>();
    delivery.defaults = env_.defaults;
    delivery.home = homeDirectory_;
    delivery.log = [](const std::string& line) { logLine("[QuillmereHost] " + line); };
    delivery.fallbackWindow = [weak]() -> std::shared_ptr<WindowModel> {
        auto self = weak.lock();
        return self ? self->summaryWindow : nullptr;
    };
    delivery.visibleWindow = [weak]() -> std::shared_ptr<WindowModel> {
        auto self = weak.lock();
        if (!self) return nullptr;
        for (std::shared_ptr<WindowModel> window : {std::static_pointer_cast<WindowModel>(self->summaryWindow),
                                                    std::static_pointer_cast<WindowModel>(self->detailWindow)}) {
            if (window && window->visible()) return window;
        }
        return nullptr;
    };
    delivery.latestInboundFileBatchID = &latestInboundFileBatchID;
    fileDelivery = HostFileDelivery::create(std::move(delivery));
}

HostProbeDelegate::HostProbeDelegate(Environment environment)
    : env_(std::move(environment)), launchAtLogin_(env_.defaults, env_.loginItems) {
    if (!env_.defaults) env_.defaults = std::make_shared<InMemoryUserDefaults>();
    if (!env_.pasteboard) env_.pasteboard = std::make_shared<InMemoryPasteboard>();
    if (!env_.routeRecords) env_.routeRecords = [] { return QuillmereDiscovery::localRouteRecords(); };
    launchAtLogin_ = HostLaunchAtLogin(env_.defaults, env_.loginItems);
    statusLabel = std::make_shared<LabelModel>(L10n::text("host.checkingScreenSharing", "Checking Screen Sharing..."));
    audioStatusLabel = std::make_shared<LabelModel>(L10n::text("host.auxStarting", "Aux: starting..."));
    addressLabel = std::make_shared<LabelModel>();
    detailLabel = std::make_shared<LabelModel>();
    summaryStatusLabel = std::make_shared<LabelModel>(L10n::text("host.starting", "Corventis Host is starting..."));
    summaryAddressLabel = std::make_shared<LabelModel>(L10n::text("host.ipsChecking", "Host IPs: checking..."));
    summaryViewerLabel = std::make_shared<LabelModel>(L10n::text("host.viewerNone", "Viewer: none connected"));
    displayPopup = std::make_shared<PopUpButtonModel>();
    virtualDisplayCheckbox = std::make_shared<ButtonModel>(ButtonModel::Kind::checkbox,
                                                           L10n::text("host.virtualDisplay", "Headless Virtual Display"));
    virtualDisplayCheckbox->setEnabled(false);
    useDisplayButton =
        std::make_shared<ButtonModel>(ButtonModel::Kind::push, L10n::text("host.usePhysicalButton", "Use Physical"));
    useDisplayButton->setEnabled(false);
    diagnosticLog = std::make_shared<DiagnosticLogBuffer>(env_.platform.clock, DiagnosticLogBuffer::defaultLimit);
    clipboardBridge = std::make_shared<ClipboardSyncBridge>(env_.platform, "Viewer", env_.pasteboard,
                                                            clipboardMaxFileBytes, clipboardMaxTotalFileBytes,
                                                            env_.cachesDirectory);
    FileTransferService::Folders folders = FileTransferService::Folders::current();
    if (!env_.cachesDirectory.empty()) folders.caches = env_.cachesDirectory;
    if (!env_.homeDirectory.empty()) folders.home = env_.homeDirectory;
    homeDirectory_ = folders.home;
    fileTransferService = std::make_shared<FileTransferService>(env_.platform, "Viewer", fileChunkSize, folders);
    backgroundQueue_ = env_.platform.makeQueue("v230.hostprobe.background");
    updateFeedQueue_ = env_.platform.makeQueue("v230.hostprobe.update-feed");
    privacyPaneQueue_ = env_.platform.makeQueue("v230.hostprobe.privacy-pane");
}

HostProbeDelegate::~HostProbeDelegate() {
    if (timer) timer->cancel();
    if (hourlyUpdateTimer) hourlyUpdateTimer->cancel();
    if (summaryAutoCloseWorkItem) summaryAutoCloseWorkItem->cancel();
}

void HostProbeDelegate::log(const std::string& message) { logLine("[QuillmereHost] " + message); }

void HostProbeDelegate::onMain(std::function<void(HostProbeDelegate&)> block) {
    env_.platform.mainQueue->async([weak = weak(), block = std::move(block)] {
        if (auto self = weak.lock()) block(*self);
    });
}

// ---- Start-up -------------------------------------------------------------------------------

void HostProbeDelegate::applicationDidFinishLaunching() {
    // 1. Build marker: the diagnostic log and standard error, then the verifier lines.
    log("build marker: " + hostBuildMarkerString(env_.bundle));
    logLine("[QuillmereHost] verifier: QuillMere-HostRoute-ThunderboltIPv6First");
    logLine("[QuillmereHost] verifier: QuillMere-HostRoute-TypedAddressAdvertisement");
    logLine("[QuillmereHost] verifier: QuillMere-HostRoute-ThunderboltMemberPorts");
    // 2-4.
    log("launch-at-login: " + launchAtLogin_.configureDefaultIfNeeded());
    configureMainMenu();
    configureStatusItem();
    // 5. The language other applications of the product chose.
    if (env_.notifications) {
        languageObserver = env_.notifications->observe(
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
    // 6-8.
    registerWorkspacePowerObservers();
    startAudioAuxServer();
    configureClipboardBridgeIfNeeded();
    // 9. URL events belong to the permission flow, which has nothing to register on this desktop.
    // 10-12.
    const bool pending = hasPendingInitialInstallOnboarding();
    if (env_.flags.initialInstall && !pending) log("permissions: ignored initial-install launch without matching marker");
    if (env_.flags.unattendedUpgrade) {
        log("upgrade: unattended installer relaunch");
    } else {
        // 13-15.
        if (!summaryWindow) summaryWindow = makeSummaryWindow();
        updateHostPresentation();
        raiseSummaryWindow(false);
        scheduleSummaryWindowAutoClose(summaryAutoCloseDelay);
        if (pending) {
            env_.defaults->set("host.upgradeNotice.lastPresentedBuild", hostBundleVersionString(env_.bundle));
        } else {
            onMain([](HostProbeDelegate& self) { self.presentUpgradeNoticeIfNeeded(); });
            checkForHostUpdateOnLaunch();
        }
    }
    // 16.
    updateHostPresentation();
    refresh(true, false);
    // 17.
    if (env_.flags.unattendedUpgrade) {
        log("permissions: deferred interactive prompts for unattended upgrade launch");
    } else {
        env_.platform.mainQueue->asyncAfter(firstRunPromptDelay, [weak = weak()] {
            if (auto self = weak.lock()) self->requestFirstRunPermissionsIfNeeded();
        });
    }
    // 18-20.
    timer = RepeatingTimer::schedule(env_.platform.mainQueue, statusRefreshInterval, [weak = weak()] {
        if (auto self = weak.lock()) self->refresh(false, false);
    });
    startHourlyUpdateCheck();
    if (env_.shell) env_.shell->registerServicesProvider();
}

void HostProbeDelegate::raiseSummaryWindow(bool deminiaturizeFirst) {
    if (!summaryWindow) return;
    summaryWindow->floatAboveOthers();
    if (deminiaturizeFirst) summaryWindow->deminiaturize();
    if (summaryWindow->miniaturized()) return;
    summaryWindow->makeKeyAndOrderFront();
    if (env_.shell) env_.shell->activateIgnoringOtherApps();
    summaryWindow->makeKeyAndOrderFront();
}

void HostProbeDelegate::applicationDidBecomeActive() {
    // Foreground sheets come back in front of their windows (each raise is scheduled).
    for (const auto& [id, raise] : foregroundSheetActivationRaises_) raise();
    if (env_.flags.unattendedUpgrade) return;
    if (!hasPendingInitialInstallOnboarding()) return;
    initialInstallOnboardingAwaitingReturn = false;
    onMain([](HostProbeDelegate& self) {
        if (!self.summaryWindow) self.summaryWindow = self.makeSummaryWindow();
        self.updateHostPresentation();
        self.raiseSummaryWindow(true);
        if (self.hasPendingInitialInstallOnboarding() &&
            self.initialInstallOnboardingStep != InitialInstallOnboardingStep::completionCountdown &&
            self.initialInstallOnboardingStep != InitialInstallOnboardingStep::completed) {
            self.observeInitialInstallPermissionCompletion();
            self.advanceInitialInstallOnboarding();
        }
    });
}

void HostProbeDelegate::registerWorkspacePowerObservers() {
    if (!workspacePowerObservers.empty() || !env_.observeWorkspacePower) return;
    for (auto event : {WorkspacePowerEvent::willSleep, WorkspacePowerEvent::screensDidSleep,
                       WorkspacePowerEvent::didWake, WorkspacePowerEvent::screensDidWake}) {
        workspacePowerObservers.push_back(env_.observeWorkspacePower(event, [weak = weak(), event](std::function<void()> handled) {
            if (auto self = weak.lock()) {
                self->handleWorkspacePowerEvent(event, std::move(handled));
            } else if (handled) {
                handled();
            }
        }));
    }
}

void HostProbeDelegate::scheduleSummaryWindowAutoClose(double seconds) {
    if (summaryAutoCloseWorkItem) summaryAutoCloseWorkItem->cancel();
    summaryAutoCloseWorkItem = env_.platform.mainQueue->asyncAfter(seconds, [weak = weak()] {
        auto self = weak.lock();
        if (!self || !self->summaryWindow) return;
        // A window showing a sheet (an onboarding or quit question) stays open; so does the window
        // of a desktop without a status area, where nothing else could bring it back.
        if (self->env_.shell && !self->env_.shell->hasStatusArea()) return;
        if (self->summaryWindow->visible() && !self->summaryWindow->attachedSheet()) self->summaryWindow->close();
    });
}

void HostProbeDelegate::startHourlyUpdateCheck() {
    if (hourlyUpdateTimer) hourlyUpdateTimer->cancel();
    hourlyUpdateTimer = RepeatingTimer::schedule(env_.platform.mainQueue, hourlyUpdateInterval, [weak = weak()] {
        if (auto self = weak.lock()) self->performHourlyUpdateCheck();
    });
}

// ---- Server, clipboard and files ------------------------------------------------------------

void HostProbeDelegate::setAudioStatus(const std::string& labelText) {
    audioStatusLabel->setText(labelText);
    updateHostPresentation();
}

void HostProbeDelegate::startAudioAuxServer() {
    if (!env_.makeServer) return;
    auto server = env_.makeServer();
    if (!server) return;
    connectServerCallbacks(server, clipboardBridge, fileTransferService, env_.platform.mainQueue, hostServiceHooks());
    audioServer = server;
    audioServer->start();
}

void HostProbeDelegate::configureClipboardBridgeIfNeeded() {
    connectServiceCallbacks(audioServer, clipboardBridge, fileTransferService, hostServiceHooks());
    clipboardBridge->start();
}

HostServiceHooks HostProbeDelegate::hostServiceHooks() {
    HostServiceHooks hooks;
    hooks.serverStatus = [weak = weak()](const std::string& text) {
        auto self = weak.lock();
        if (!self) return;
        // The server wrote the line through the log sink a moment ago, on this thread: that copy
        // becomes the "aux: " line, so the log holds it once.
        self->diagnosticLog->relabelLatest(text, "aux: " + text);
        self->onMain([text](HostProbeDelegate& delegate) {
            delegate.setAudioStatus(L10n::format("host.auxStatusFormat", "Aux: %@", text));
        });
    };
    hooks.clipboardStatus = [weak = weak()](const std::string& text) {
        if (auto self = weak.lock()) {
            self->onMain([text](HostProbeDelegate& delegate) {
                delegate.log(text);
                delegate.setAudioStatus(L10n::format("host.auxStatusFormat", "Aux: %@", text));
            });
        }
    };
    hooks.filesStatus = [weak = weak()](const std::string& text) {
        if (auto self = weak.lock()) {
            self->onMain([text](HostProbeDelegate& delegate) {
                delegate.log("files: " + text);
                delegate.setAudioStatus(L10n::format("host.filesStatusFormat", "Files: %@", text));
            });
        }
    };
    hooks.log = [weak = weak()](const std::string& line) {
        if (auto self = weak.lock()) self->log(line);
    };
    hooks.hostClipboardChanged = [weak = weak()](const std::string& reason) {
        if (auto self = weak.lock()) self->invalidateInboundFileClipboardClaim(reason);
    };
    hooks.incomingBatchSettled = [weak = weak()](const FileTransferService::InboundBatchInfo& batch) {
        if (auto self = weak.lock()) self->fileDelivery->incomingBatchSettled(batch);
    };
    hooks.incomingBatchDropped = [weak = weak()](const UUID& id) {
        if (auto self = weak.lock()) self->fileDelivery->incomingBatchDropped(id);
    };
    hooks.incomingBatchProgress = [weak = weak()](const UUID& id, std::uint64_t received, std::uint64_t total) {
        if (auto self = weak.lock()) self->fileDelivery->incomingBatchProgress(id, received, total);
    };
    hooks.incomingBatchCompleted = [weak = weak()](const UUID& id, const std::vector<std::filesystem::path>& urls,
                                                   FileTransferIntent intent) {
        if (auto self = weak.lock()) self->fileDelivery->incomingBatchCompleted(id, urls, intent);
    };
    hooks.outgoingBatchStarted = [weak = weak()](const UUID& id, std::int64_t count, std::uint64_t total,
                                                 FileTransferIntent intent, const std::vector<std::string>& names) {
        if (auto self = weak.lock()) self->fileDelivery->outgoingBatchStarted(id, count, total, intent, names);
    };
    hooks.outgoingBatchProgress = [weak = weak()](const UUID& id, std::uint64_t sent, std::uint64_t total) {
        if (auto self = weak.lock()) self->fileDelivery->outgoingBatchProgress(id, sent, total);
    };
    hooks.outgoingBatchCompleted = [weak = weak()](const UUID& id) {
        if (auto self = weak.lock()) self->fileDelivery->outgoingBatchCompleted(id);
    };
    // Packets of both channels pass through the delegate's handler before the service.
    hooks.fileTransferPacket = [weak = weak()](const FileTransferPacket& packet, const UUID& session) {
        auto self = weak.lock();
        return self && self->handleIncomingFileTransferPacket(packet, session);
    };
    return hooks;
}

bool HostProbeDelegate::handleIncomingFileTransferPacket(const FileTransferPacket& packet, const UUID& viewerSession) {
    return fileDelivery->handleIncomingFileTransferPacket(packet, viewerSession);
}

void HostProbeDelegate::invalidateInboundFileClipboardClaim(const std::string& reason) {
    if (!latestInboundFileBatchID) return;
    latestInboundFileBatchID.reset();
    log("files: invalidated inbound clipboard claim (" + reason + ")");
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
        case HostAction::openPrivacyPolicy: openMainWebsite("legal/privacy"); break;
        case HostAction::openTermsOfService: openMainWebsite("legal/terms"); break;
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

void HostProbeDelegate::showSummaryWindowAction(Sender sender) {
    if (summaryAutoCloseWorkItem) {
        summaryAutoCloseWorkItem->cancel();
        summaryAutoCloseWorkItem.reset();
    }
    log(std::string("ui: show Host status requested source=") + (sender == Sender::menuItem ? "menu" : "unknown"));
    if (!summaryWindow) summaryWindow = makeSummaryWindow();
    updateHostPresentation();
    summaryWindow->floatAboveOthers();
    summaryWindow->deminiaturize();
    summaryWindow->orderFront();
}

void HostProbeDelegate::showAboutPanelAction() {
    if (env_.shell) env_.shell->activateIgnoringOtherApps();
    if (!aboutPanel) {
        aboutPanel = std::make_shared<AboutPanelModel>();
        aboutPanel->applicationName = env_.processName;
        if (env_.shell) env_.shell->attachWindow(aboutPanel);
    }
    aboutPanel->setTitle(L10n::format("menu.aboutFormat", "About %@", env_.processName));
    aboutPanel->versionText = L10n::format("host.aboutVersionFormat", "Version %@ (%@)", hostAppVersionString(env_.bundle),
                                           hostBundleVersionString(env_.bundle));
    aboutPanel->makeKeyAndOrderFront();
    // Then, once it is up, the panel floats above other applications' windows; the summary and
    // detail windows keep their own level.
    onMain([](HostProbeDelegate& self) {
        if (!self.aboutPanel || !self.aboutPanel->visible()) return;
        self.aboutPanel->floatAboveOthers(WindowModel::modalPanelLevel);
        self.aboutPanel->makeKeyAndOrderFront();
    });
}

void HostProbeDelegate::handleSecondLaunch() {
    log("app: a second start of the Host asked to show it");
    // Whatever else is on screen, the user who starts the Host again wants its summary window in
    // front, and it stays: reopened as with no window visible.
    applicationShouldHandleReopen(false);
}

void HostProbeDelegate::refreshButtonPressed() {
    log("UI refresh requested");
    refresh(true, true);
}

void HostProbeDelegate::refreshOnlineUpdateButtonPresentation() {
    if (!summaryWindow || !summaryWindow->updateButton) return;
    auto& button = *summaryWindow->updateButton;
    button.setTitle(onlineUpdateRequestInProgress ? L10n::text("host.checkingUpdateButton", "Checking for Update…")
                                                  : L10n::text("host.updateVersionButton", "Update Version"));
    button.setEnabled(!onlineUpdateRequestInProgress);
}

std::shared_ptr<SummaryWindowModel> HostProbeDelegate::makeSummaryWindow() {
    auto window = std::make_shared<SummaryWindowModel>();
    window->setTitle(L10n::text("host.windowTitle", "Corventis Host"));
    window->titleLabel = std::make_shared<LabelModel>(runningText());
    window->subtitleLabel = std::make_shared<LabelModel>(
        L10n::text("host.summarySubtitle", "Viewers can connect while this Host stays open."));
    window->statusLabel = summaryStatusLabel;
    window->addressLabel = summaryAddressLabel;
    window->viewerLabel = summaryViewerLabel;
    auto checkbox = std::make_shared<ButtonModel>(ButtonModel::Kind::checkbox,
                                                  L10n::text("host.startAtLoginCheckbox", "Start Corventis Host at login"));
    checkbox->setChecked(launchAtLogin_.desired());
    checkbox->setToolTip(launchAtLogin_.statusText());
    checkbox->action = [weak = weak()](ButtonModel& sender) {
        if (auto self = weak.lock()) self->launchAtLoginCheckboxChanged(sender);
    };
    window->launchAtLoginCheckbox = checkbox;
    auto details = std::make_shared<ButtonModel>(ButtonModel::Kind::push, L10n::text("host.detailsButton", "Details"));
    details->setHidden(true);
    details->setKeyEquivalent("\r");
    details->action = [weak = weak()](ButtonModel&) {
        if (auto self = weak.lock()) self->showDetailWindowAction();
    };
    window->detailsButton = details;
    auto refreshButton = std::make_shared<ButtonModel>(ButtonModel::Kind::push, L10n::text("host.refreshButton", "Refresh"));
    refreshButton->action = [weak = weak()](ButtonModel&) {
        if (auto self = weak.lock()) self->refreshButtonPressed();
    };
    window->refreshButton = refreshButton;
    auto update = std::make_shared<ButtonModel>(ButtonModel::Kind::push,
                                                L10n::text("host.updateVersionButton", "Update Version"));
    update->action = [weak = weak()](ButtonModel&) {
        if (auto self = weak.lock()) self->requestOnlineUpdateAction();
    };
    window->updateButton = update;
    window->versionLabel = std::make_shared<LabelModel>("V" + hostAppVersionString(env_.bundle));
    if (env_.shell) window->menuBar = env_.shell->mainMenu().menu;
    update->setTitle(onlineUpdateRequestInProgress ? L10n::text("host.checkingUpdateButton", "Checking for Update…")
                                                   : L10n::text("host.updateVersionButton", "Update Version"));
    update->setEnabled(!onlineUpdateRequestInProgress);
    if (env_.shell) env_.shell->attachWindow(window);
    return window;
}

}  // namespace qm
