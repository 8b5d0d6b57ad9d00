// The details and the display selection: the refresh cycle, the Screen Sharing probe, the
// display diagnostics and choice, and the detail window.
#include "HostApp/App/DisplayDetailsController.h"

#include "HostApp/App/HostProbeDelegate.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"
#include "HostApp/Server/V230HostAudioAuxServer.h"
#include "QuillmereProfiles/QuillmereL10n.h"

namespace qm {

using L10n = QuillmereL10n;

std::shared_ptr<DisplayDetailsController> DisplayDetailsController::create(HostProbeDelegate& app,
                                                                           DispatchQueuePtr backgroundQueue) {
    auto controller =
        std::shared_ptr<DisplayDetailsController>(new DisplayDetailsController(app, std::move(backgroundQueue)));
    std::weak_ptr<DisplayDetailsController> weak = controller;
    controller->virtualDisplayCheckbox->action = [weak](ButtonModel& sender) {
        if (auto self = weak.lock()) self->app_.virtualDisplayCheckboxChanged(sender);
    };
    controller->useDisplayButton->action = [weak](ButtonModel&) {
        if (auto self = weak.lock()) self->app_.useDisplayButtonPressed();
    };
    return controller;
}

DisplayDetailsController::DisplayDetailsController(HostProbeDelegate& app, DispatchQueuePtr backgroundQueue)
    : HostControllerOf(app), backgroundQueue_(std::move(backgroundQueue)) {
    statusLabel = std::make_shared<LabelModel>(L10n::text("host.checkingScreenSharing", "Checking Screen Sharing..."));
    addressLabel = std::make_shared<LabelModel>();
    detailLabel = std::make_shared<LabelModel>();
    displayPopup = std::make_shared<PopUpButtonModel>();
    virtualDisplayCheckbox = std::make_shared<ButtonModel>(ButtonModel::Kind::checkbox,
                                                           L10n::text("host.virtualDisplay", "Headless Virtual Display"));
    virtualDisplayCheckbox->setEnabled(false);
    useDisplayButton =
        std::make_shared<ButtonModel>(ButtonModel::Kind::push, L10n::text("host.usePhysicalButton", "Use Physical"));
    useDisplayButton->setEnabled(false);
}

void DisplayDetailsController::refresh(bool forceDisplayDiagnostics, bool probeScreenSharing) {
    app_.permissions().triggerScreenCaptureRelaunchIfNeeded("refresh");
    const std::int64_t generation = ++checkGeneration;
    log("refresh generation=" + std::to_string(generation));
    const auto& server = app_.audioServer();
    auto& status = app_.status();
    status.setLatestRouteRecords(env().routeRecords());
    if (server) server->refreshBonjourAdvertisement();
    addressLabel->setText(
        StatusMenuController::summaryAddressText(status.latestRouteRecords, status.connectedViewerAddresses()));
    if (probeScreenSharing) {
        statusLabel->setText(L10n::text("host.screenSharingPortChecking", "Screen Sharing port 5900: checking..."));
        checkLocalVNC(generation);
    } else if (server && server->hasConnectedViewer()) {
        statusLabel->setText(
            L10n::text("host.auxConnectedScreenOptional", "Corventis Aux: connected; Screen Sharing optional"));
    } else {
        statusLabel->setText(
            L10n::text("host.screenSharingOnDemand", "Screen Sharing: optional fallback (check manually)"));
    }
    detailLabel->setText(L10n::text("host.displayDiagnosticsLoading", "Display diagnostics loading..."));
    status.updateHostPresentation();
    refreshDisplayState(generation, forceDisplayDiagnostics);
}



void DisplayDetailsController::checkLocalVNC(std::int64_t generation) {
    if (activeVNCProbe) {
        activeVNCProbe->setStateHandler(nullptr);
        activeVNCProbe->cancel();
        activeVNCProbe.reset();
    }
    if (!env().portProber) return;
    auto probe = env().portProber->makeConnection("127.0.0.1", env().screenSharingPort);
    activeVNCProbe = probe;
    auto queue = env().platform.makeQueue("v230.hostprobe.check." + std::to_string(generation));
    // Touched only on the probe's queue: the state handler and the time-out both run there, so
    // exactly one final outcome is reported.
    auto finished = std::make_shared<bool>(false);
    const std::string port = std::to_string(env().screenSharingPort);
    std::weak_ptr<ProbeConnection> weakProbe = probe;
    // The probe's queue never holds the controller: its outcomes go to the main queue, which
    // looks the controller up there.
    const auto mainQueue = env().platform.mainQueue;
    auto finish = [weak = weak(), mainQueue, weakProbe, finished, generation](const std::string& text) {
        *finished = true;
        auto connection = weakProbe.lock();
        if (!connection) return;
        connection->setStateHandler(nullptr);
        connection->cancel();
        mainQueue->async([weak, connection, generation, text] {
            if (auto self = weak.lock()) self->reportScreenSharingProbe(connection, generation, text);
        });
    };
    probe->setStateHandler([weak = weak(), mainQueue, finished, finish, generation, port](ProbeConnection::State state,
                                                                              const std::string& error) {
        // finish removes this handler: it runs from a copy that outlives it.
        auto done = finish;
        switch (state) {
            case ProbeConnection::State::ready:
                if (!*finished) done("Screen Sharing port " + port + ": reachable on this Host");
                break;
            case ProbeConnection::State::failed:
                if (!*finished) done("Screen Sharing port " + port + ": not reachable (" + error + ")");
                break;
            case ProbeConnection::State::waiting:
                mainQueue->async([weak, generation, error] {
                    auto self = weak.lock();
                    if (!self || generation != self->checkGeneration) return;
                    log("Screen Sharing port 5900 waiting: " + error);
                    self->statusLabel->setText(L10n::format("host.screenSharingWaitingFormat",
                                                            "Screen Sharing port 5900: waiting (%@)", error));
                    self->app_.updateHostPresentation();
                });
                break;
            case ProbeConnection::State::setup:
            case ProbeConnection::State::preparing:
            case ProbeConnection::State::cancelled: break;
        }
    });
    probe->start(queue);
    // The time-out holds the attempt weakly: the queue keeps it until it fires, and the attempt
    // keeps the queue. A replaced attempt is released (and ends) at once.
    queue->asyncAfter(screenSharingProbeTimeout, [finished, finish, port] {
        if (!*finished) {
            finish("Screen Sharing port " + port + ": not reachable (timeout). Enable macOS Screen Sharing.");
        }
    });
}

void DisplayDetailsController::reportScreenSharingProbe(const std::shared_ptr<ProbeConnection>& probe, std::int64_t generation,
                                                 const std::string& text) {
    // A probe that was replaced reports nothing, whatever its generation.
    if (!activeVNCProbe || activeVNCProbe != probe) return;
    activeVNCProbe.reset();
    if (generation != checkGeneration) return;
    log(text);
    statusLabel->setText(text);
    app_.updateHostPresentation();
}

namespace {
// The diagnostics text of `hostDisplayDiagnostics`, from values: it runs off the main queue.
std::string displayDiagnosticsText(const std::string& version, const std::shared_ptr<V230HostAudioAuxServer>& server,
                                   const std::shared_ptr<DisplayService>& displays, const std::shared_ptr<const Clock>& clock) {
    std::string text = L10n::format("host.diagnosticsDefaultIntroFormat",
                                    "V%@ Host defaults to fixed virtual display templates for 1080p / HiDPI / HiDPI 1260. "
                                    "The physical display menu controls audio and real-display fallback.",
                                    version) +
                       "\n";
    if (server) return text + server->displayDiagnosticsSnapshot();
    if (displays) return text + HostDisplayModeSwitcher(displays, clock).displayDiagnostics();
    return text;
}
}  // namespace

std::string DisplayDetailsController::hostDisplayDiagnostics(const std::shared_ptr<V230HostAudioAuxServer>& server) const {
    return displayDiagnosticsText(hostAppVersionString(env().bundle), server, env().platform.displays, env().platform.clock);
}

void DisplayDetailsController::refreshDisplayState(std::int64_t generation, bool forceDisplayDiagnostics) {
    const std::uint64_t now = env().platform.clock->uptimeNs();
    const bool recompute =
        forceDisplayDiagnostics || !cachedDisplayDiagnosticsText || !lastDisplayDiagnosticsRefreshNs ||
        now - *lastDisplayDiagnosticsRefreshNs >= static_cast<std::uint64_t>(displayDiagnosticsMaxAge * 1e9);
    const auto cached = cachedDisplayDiagnosticsText.value_or("");
    // The server's snapshots wait for its queue: the reading happens on the background queue,
    // from values taken here; the controller is only touched back on the main queue.
    std::weak_ptr<V230HostAudioAuxServer> weakServer = app_.audioServer();
    backgroundQueue_->async([weak = weak(), weakServer, generation, recompute, cached,
                             version = hostAppVersionString(env().bundle), displays = env().platform.displays,
                             clock = env().platform.clock, mainQueue = env().platform.mainQueue] {
        bool headless = false;
        std::uint32_t selected = 0;
        auto server = weakServer.lock();
        if (server) {
            headless = server->headlessVirtualDisplayEnabledSnapshot();
            selected = headless ? server->physicalDisplayIDSnapshot() : server->selectedDisplayIDSnapshot();
        }
        std::string text = cached;
        if (recompute) text = displayDiagnosticsText(version, server, displays, clock);
        std::vector<DisplayOption> options;
        if (displays) {
            HostDisplayModeSwitcher switcher(displays, clock);
            for (const auto& option : switcher.displaySelectionOptions()) options.push_back({option.id, option.title});
        }
        server.reset();
        mainQueue->async([weak, generation, recompute, text, options, headless, selected] {
            auto self = weak.lock();
            if (!self || generation != self->checkGeneration) return;
            self->virtualDisplayCheckbox->setChecked(headless);
            self->virtualDisplayCheckbox->setEnabled(true);
            self->displayPopup->setEnabled(true);
            self->useDisplayButton->setEnabled(true);
            self->updateDisplayPopup(options, selected);
            self->detailLabel->setText(text);
            if (recompute) {
                self->cachedDisplayDiagnosticsText = text;
                self->lastDisplayDiagnosticsRefreshNs = self->env().platform.clock->uptimeNs();
            }
            log(std::string("display diagnostics updated headless=") + (headless ? "true" : "false") +
                " selected=" + std::to_string(selected));
        });
    });
}

void DisplayDetailsController::updateDisplayPopup(const std::vector<DisplayOption>& options, std::uint32_t selectedID) {
    displayPopup->removeAllItems();
    for (const auto& option : options) displayPopup->addItem(option.title, option.id);
    const auto& items = displayPopup->items();
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (items[i].representedObject == selectedID) {
            displayPopup->selectItem(i);
            break;
        }
    }
}

void DisplayDetailsController::useDisplayButtonPressed() {
    const auto* item = displayPopup->selectedItem();
    if (!item || !item->representedObject) return;
    const auto id = *item->representedObject;
    log("UI selected physical display " + std::to_string(id));
    if (const auto& server = app_.audioServer()) server->selectDisplayID(id);
    // What the user sees of it: the line names the display, and the button waits for the refresh
    // that shows the new selection (which enables it again).
    app_.status().audioStatusLabel->setText(L10n::format("host.displaySelectedFormat", "Selected display: %@", item->title));
    useDisplayButton->setEnabled(false);
    env().platform.mainQueue->asyncAfter(0.2, [weak = weak()] {
        if (auto self = weak.lock()) self->refresh(true, false);
    });
}

void DisplayDetailsController::virtualDisplayCheckboxChanged(ButtonModel& checkbox) {
    const bool enabled = checkbox.checked();
    log(std::string("UI headless virtual display ") + (enabled ? "enabled" : "disabled"));
    if (const auto& server = app_.audioServer()) server->setHeadlessVirtualDisplayEnabled(enabled);
    env().platform.mainQueue->asyncAfter(0.9, [weak = weak()] {
        if (auto self = weak.lock()) self->refresh(true, false);
    });
}

void DisplayDetailsController::showDetailWindowAction() {
    if (!detailWindow) {
        auto window = std::make_shared<DetailWindowModel>();
        window->titleLabel = std::make_shared<LabelModel>();
        window->subtitleLabel = std::make_shared<LabelModel>();
        window->refreshButton = std::make_shared<ButtonModel>(ButtonModel::Kind::push, "");
        window->refreshButton->action = [weak = weak()](ButtonModel&) {
            if (auto self = weak.lock()) self->app_.refreshButtonPressed();
        };
        window->copyLogsButton = std::make_shared<ButtonModel>(ButtonModel::Kind::push, "");
        window->copyLogsButton->action = [weak = weak()](ButtonModel&) {
            if (auto self = weak.lock()) self->app_.copyLogsButtonPressed();
        };
        launchAtLoginCheckbox = std::make_shared<ButtonModel>(ButtonModel::Kind::checkbox, "");
        launchAtLoginCheckbox->action = [weak = weak()](ButtonModel& sender) {
            if (auto self = weak.lock()) self->app_.launchAtLoginCheckboxChanged(sender);
        };
        window->launchAtLoginCheckbox = launchAtLoginCheckbox;
        window->physicalDisplayLabel = std::make_shared<LabelModel>();
        window->statusLabel = statusLabel;
        window->audioStatusLabel = app_.status().audioStatusLabel;
        window->addressLabel = addressLabel;
        window->detailLabel = detailLabel;
        window->displayPopup = displayPopup;
        window->useDisplayButton = useDisplayButton;
        window->virtualDisplayCheckbox = virtualDisplayCheckbox;
        detailWindow = window;
        retextDetailWindow();
        if (env().shell) env().shell->attachWindow(window);
    }
    refresh(true, false);
    app_.updateHostPresentation();
    detailWindow->deminiaturize();
    detailWindow->makeKeyAndOrderFront();
    if (env().shell) env().shell->activateIgnoringOtherApps();
}

void DisplayDetailsController::retextDetailWindow() {
    const auto titleText = L10n::format("host.detailWindowTitleFormat", "Corventis Host V%@", hostAppVersionString(env().bundle));
    if (detailWindow) {
        auto& window = *detailWindow;
        window.setTitle(titleText);
        window.titleLabel->setText(titleText);
        window.subtitleLabel->setText(L10n::text(
            "host.detailSubtitle", "Host service for 1080p / HiDPI / HiDPI 1260, low-latency adaptive streaming"));
        window.refreshButton->setTitle(L10n::text("host.refreshButton", "Refresh"));
        window.copyLogsButton->setTitle(L10n::text("host.copyLogsButton", "Copy Logs"));
        window.copyLogsButton->setHidden(true);
        window.physicalDisplayLabel->setText(L10n::text("host.physicalDisplay", "Physical display"));
    }
    if (launchAtLoginCheckbox) {
        launchAtLoginCheckbox->setTitle(L10n::text("host.startAtLoginCheckbox", "Start Corventis Host at login"));
    }
    virtualDisplayCheckbox->setTitle(L10n::text("host.virtualDisplay", "Headless Virtual Display"));
    useDisplayButton->setTitle(L10n::text("host.usePhysicalButton", "Use Physical"));
}

void DisplayDetailsController::sendWindowsBack() {
    for (WindowModel* window : {static_cast<WindowModel*>(app_.status().summaryWindow.get()),
                                static_cast<WindowModel*>(detailWindow.get())}) {
        if (!window) continue;
        window->setLevel(WindowModel::normalLevel);
        window->orderBack();
    }
}

}  // namespace qm
