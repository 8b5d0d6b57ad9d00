// What the Host shows of its state: the summary window, the status menu lines and tooltip, the
// refresh cycle, the address and Viewer texts, and the neighbours' operations as far as they go.
#include <cctype>
#include <fstream>
#include <set>
#include <sstream>

#include "HostApp/App/HostProbeDelegate.h"

#include "HostApp/Display/HostDisplayModeSwitcher.h"
#include "HostApp/Server/V230HostAudioAuxServer.h"
#include "QuillmereProfiles/FileTransferService.h"
#include "Platform/Accessibility.h"
#include "Platform/AudioCapture.h"
#include "Platform/UserDefaults.h"
#include "QuillmereProfiles/ClipboardSyncBridge.h"
#include "QuillmereProfiles/QuillmereL10n.h"

namespace qm {

using L10n = QuillmereL10n;

namespace {
std::string trimmedOf(const std::string& text, const std::string& characters) {
    const auto first = text.find_first_not_of(characters);
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(characters);
    return text.substr(first, last - first + 1);
}

std::string joinFirstTwo(const std::vector<std::string>& items) {
    std::string joined;
    for (std::size_t i = 0; i < items.size() && i < 2; ++i) {
        if (i > 0) joined += ", ";
        joined += items[i];
    }
    return joined;
}
}  // namespace

std::vector<std::string> HostProbeDelegate::listenerFailures() const {
    if (!audioServer) return {};
    return audioServer->snapshot()->listenerFailures;
}

// A Host whose listeners could not open (another Host holds the ports) must not claim to run.
std::string HostProbeDelegate::runningText() const {
    if (!listenerFailures().empty()) return L10n::text("host.notListening", "Corventis Host cannot accept Viewers");
    return L10n::text("host.running", "Corventis Host is running");
}

// ---- Address and Viewer texts ---------------------------------------------------------------

std::optional<std::vector<int>> HostProbeDelegate::ipv4Octets(const std::string& text) {
    const std::string inner = trimmedOf(text, "[] ");
    std::vector<std::string> pieces;
    std::stringstream stream(inner);
    std::string piece;
    while (std::getline(stream, piece, '.')) {
        if (!piece.empty()) pieces.push_back(piece);
    }
    if (pieces.size() != 4) return std::nullopt;
    std::vector<int> octets;
    for (const auto& part : pieces) {
        if (part.size() > 9) continue;
        bool digits = true;
        for (char c : part) digits = digits && std::isdigit(static_cast<unsigned char>(c));
        if (!digits) continue;
        octets.push_back(std::stoi(part));
    }
    if (octets.size() < 4) return std::nullopt;
    for (int value : octets) {
        if (value < 0 || value > 255) return std::nullopt;
    }
    return octets;
}

bool HostProbeDelegate::viewerAddressLikelyUsesRoute(const std::string& viewerAddress, const std::string& hostAddress) {
    auto viewer = ipv4Octets(viewerAddress);
    auto host = ipv4Octets(hostAddress);
    if (!viewer || !host) return false;
    return (*viewer)[0] == (*host)[0] && (*viewer)[1] == (*host)[1] && (*viewer)[2] == (*host)[2];
}

std::string HostProbeDelegate::routeAddressText(const QuillmereRouteRecord& route,
                                                const std::vector<std::string>& currentViewerAddresses) {
    std::string marker;
    for (const auto& address : currentViewerAddresses) {
        if (viewerAddressLikelyUsesRoute(address, route.address)) {
            marker = L10n::text("host.currentRouteMarker", " (current)");
            break;
        }
    }
    return route.displayLabel() + ": " + route.address + marker;
}

std::string HostProbeDelegate::summaryAddressText(const std::vector<QuillmereRouteRecord>& routes,
                                                  const std::vector<std::string>& currentViewerAddresses) {
    if (routes.empty()) return L10n::text("host.ipsNone", "Host IPs: none found");
    std::string text = L10n::text("host.ipsHeader", "Host IPs:");
    for (const auto& route : routes) text += "\n  " + routeAddressText(route, currentViewerAddresses);
    return text;
}

std::string HostProbeDelegate::menuAddressText(const std::vector<QuillmereRouteRecord>& routes,
                                               const std::vector<std::string>& currentViewerAddresses) {
    if (routes.empty()) return L10n::text("host.ipsNone", "Host IPs: none found");
    std::vector<std::string> lines;
    for (const auto& route : routes) lines.push_back(routeAddressText(route, currentViewerAddresses));
    const auto joined = joinFirstTwo(lines);
    if (routes.size() <= 2) return L10n::format("host.ipsInlineFormat", "Host IPs: %@", joined);
    return L10n::format("host.ipsInlineMoreFormat", "Host IPs: %@ + %d more", joined,
                        static_cast<std::int64_t>(routes.size() - 2));
}

std::string HostProbeDelegate::viewerDisplayNameSummary(const std::vector<std::string>& names) {
    std::vector<std::string> kept;
    std::set<std::string> seen;
    for (const auto& name : names) {
        auto clean = trimmedOf(name, " \t\r\n\v\f");
        if (clean.empty()) continue;
        auto lower = clean;
        for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (!seen.insert(lower).second) continue;
        kept.push_back(clean);
    }
    if (kept.empty()) return "Corventis Viewer";
    if (kept.size() == 1) return kept[0];
    if (kept.size() == 2) return kept[0] + ", " + kept[1];
    return kept[0] + " + " + std::to_string(kept.size() - 1) + " Viewers";
}

std::string HostProbeDelegate::viewerTextFor(const std::vector<std::pair<std::string, std::string>>& summaries) {
    if (summaries.empty()) return L10n::text("host.viewerNone", "Viewer: none connected");
    std::vector<std::string> names;
    std::vector<std::string> addresses;
    for (const auto& [name, address] : summaries) {
        names.push_back(name);
        if (!address.empty()) addresses.push_back(address);
    }
    const auto nameText = viewerDisplayNameSummary(names);
    std::string suffix;
    if (!addresses.empty()) {
        auto joined = joinFirstTwo(addresses);
        if (addresses.size() >= 3) {
            joined += L10n::format("host.moreSuffixFormat", " + %d more", static_cast<std::int64_t>(addresses.size() - 2));
        }
        suffix = L10n::format("host.viewerAddressSuffixFormat", " from %@", joined);
    }
    if (summaries.size() == 1) return L10n::format("host.viewerConnectedFormat", "Viewer: %@ connected%@", nameText, suffix);
    return L10n::format("host.viewersConnectedFormat", "Viewers: %@ connected%@", nameText, suffix);
}

std::vector<std::string> HostProbeDelegate::connectedViewerAddresses() {
    std::vector<std::string> addresses;
    if (!audioServer) return addresses;
    for (const auto& [name, address] : audioServer->connectedViewerConnectionSummaries()) {
        if (!address.empty()) addresses.push_back(address);
    }
    return addresses;
}

std::string HostProbeDelegate::connectedViewerText() {
    if (!audioServer) return viewerTextFor({});
    return viewerTextFor(audioServer->connectedViewerConnectionSummaries());
}

// ---- Presentation ---------------------------------------------------------------------------

void HostProbeDelegate::updateHostPresentation() {
    if (!env_.platform.mainQueue->isCurrent()) {
        onMain([](HostProbeDelegate& self) { self.updateHostPresentation(); });
        return;
    }
    const auto running = runningText();
    const auto viewerAddresses = connectedViewerAddresses();
    const auto summaryAddress = summaryAddressText(latestRouteRecords, viewerAddresses);
    const auto menuAddress = menuAddressText(latestRouteRecords, viewerAddresses);
    const auto viewerText = connectedViewerText();
    const bool desired = env_.defaults->boolean(HostLaunchAtLogin::desiredKey);
    const auto loginText = desired ? L10n::text("host.startAtLoginOn", "Start at login: on")
                                   : L10n::text("host.startAtLoginOff", "Start at login: off");
    const auto failures = listenerFailures();
    if (failures.empty()) {
        summaryStatusLabel->setText(running + " \u00B7 " + loginText);
    } else {
        std::string joined;
        for (const auto& failure : failures) joined += (joined.empty() ? "" : "\n") + failure;
        summaryStatusLabel->setText(L10n::format("host.notListeningFormat", "Not listening: %@", joined));
    }
    if (summaryWindow && summaryWindow->titleLabel) summaryWindow->titleLabel->setText(running);
    summaryAddressLabel->setText(summaryAddress);
    addressLabel->setText(summaryAddress);
    summaryViewerLabel->setText(viewerText);
    for (const auto& checkbox : {launchAtLoginCheckbox,
                                 summaryWindow ? summaryWindow->launchAtLoginCheckbox : std::shared_ptr<ButtonModel>()}) {
        if (!checkbox) continue;
        checkbox->setChecked(desired);
        checkbox->setToolTip(launchAtLogin_.statusText());
    }
    for (const auto& weakItem : {launchAtLoginMenuItem, statusLaunchAtLoginMenuItem}) {
        if (auto item = weakItem.lock()) {
            item->setChecked(desired);
            item->setToolTip(launchAtLogin_.statusText());
        }
    }
    if (auto line = statusMenuStatusItem.lock()) line->setTitle(running);
    if (auto line = statusMenuAddressItem.lock()) line->setTitle(menuAddress);
    if (auto line = statusMenuViewerItem.lock()) line->setTitle(viewerText);
    if (statusItem) {
        updateStatusItemButtonTitle();
        statusItem->setToolTip(running + "\n" + loginText + "\n" + menuAddress + "\n" + viewerText);
    }
}

void HostProbeDelegate::refresh(bool forceDisplayDiagnostics, bool probeScreenSharing) {
    triggerScreenCaptureRelaunchIfNeeded("refresh");
    const std::int64_t generation = ++checkGeneration;
    log("refresh generation=" + std::to_string(generation));
    latestRouteRecords = env_.routeRecords();
    if (audioServer) audioServer->refreshBonjourAdvertisement();
    addressLabel->setText(summaryAddressText(latestRouteRecords, connectedViewerAddresses()));
    if (probeScreenSharing) {
        statusLabel->setText(L10n::text("host.screenSharingPortChecking", "Screen Sharing port 5900: checking..."));
        checkLocalVNC(generation);
    } else if (audioServer && audioServer->hasConnectedViewer()) {
        statusLabel->setText(
            L10n::text("host.auxConnectedScreenOptional", "Corventis Aux: connected; Screen Sharing optional"));
    } else {
        statusLabel->setText(
            L10n::text("host.screenSharingOnDemand", "Screen Sharing: optional fallback (check manually)"));
    }
    detailLabel->setText(L10n::text("host.displayDiagnosticsLoading", "Display diagnostics loading..."));
    updateHostPresentation();
    refreshDisplayState(generation, forceDisplayDiagnostics);
}

void HostProbeDelegate::refreshHostLocalization() {
    refreshHostMainMenuLocalization();
    refreshHostStatusMenuLocalization();
    if (summaryWindow) {
        auto& window = *summaryWindow;
        window.setTitle(L10n::text("host.windowTitle", "Corventis Host"));
        if (window.titleLabel) window.titleLabel->setText(runningText());
        if (window.subtitleLabel) {
            window.subtitleLabel->setText(
                L10n::text("host.summarySubtitle", "Viewers can connect while this Host stays open."));
        }
        if (window.detailsButton) {
            window.detailsButton->setTitle(L10n::text("host.detailsButton", "Details"));
            window.detailsButton->setHidden(true);
        }
        if (window.refreshButton) window.refreshButton->setTitle(L10n::text("host.refreshButton", "Refresh"));
    }
    refreshOnlineUpdateButtonPresentation();
    retextDetailWindow();
    if (summaryWindow && summaryWindow->launchAtLoginCheckbox) {
        summaryWindow->launchAtLoginCheckbox->setTitle(
            L10n::text("host.startAtLoginCheckbox", "Start Corventis Host at login"));
    }
    updateLaunchAtLoginCheckbox();
}

// ---- Start at login -------------------------------------------------------------------------

void HostProbeDelegate::launchAtLoginCheckboxChanged(ButtonModel& checkbox) {
    const auto result = launchAtLogin_.setEnabled(checkbox.checked());
    log("launch-at-login: " + result);
    audioStatusLabel->setText(L10n::format("host.auxStatusFormat", "Aux: %@", result));
    updateLaunchAtLoginCheckbox();
}

void HostProbeDelegate::toggleLaunchAtLoginMenuAction(MenuItemModel& item) {
    const auto result = launchAtLogin_.setEnabled(!item.checked());
    log("launch-at-login: " + result);
    audioStatusLabel->setText(L10n::format("host.auxStatusFormat", "Aux: %@", result));
    item.setChecked(launchAtLogin_.desired());
    updateLaunchAtLoginCheckbox();
}

void HostProbeDelegate::updateLaunchAtLoginCheckbox() {
    // updateHostPresentation pushes the stored wish into all four controls.
    updateHostPresentation();
}

// ---- Neighbours -----------------------------------------------------------------------------

void HostProbeDelegate::presentUpgradeNoticeIfNeeded() {
    const auto build = hostBundleVersionString(env_.bundle);
    if (env_.defaults->string("host.upgradeNotice.lastPresentedBuild") == build) return;
    env_.defaults->set("host.upgradeNotice.lastPresentedBuild", build);
    log("host updated to build " + build);
    updateHostPresentation();
}

void HostProbeDelegate::requestFirstRunPermissionsIfNeeded() {
    if (hasPendingInitialInstallOnboarding()) {
        if (hasPendingInitialInstallOnboarding() &&
            initialInstallOnboardingStep != InitialInstallOnboardingStep::completionCountdown &&
            initialInstallOnboardingStep != InitialInstallOnboardingStep::completed) {
            observeInitialInstallPermissionCompletion();
            advanceInitialInstallOnboarding();
        }
        return;
    }
    // At most one prompt per launch: Screen Recording first (once per build), else Accessibility
    // (once). The marks are stored before the prompt, so a dismissed prompt is not repeated.
    const auto build = hostBundleVersionString(env_.bundle);
    const auto& access = env_.platform.screenCaptureAccess;
    bool prompted = false;
    if (!access || access->preflight()) {
        pendingScreenCaptureRelaunch = env_.defaults->boolean("host.pendingScreenCaptureRelaunch");
    } else if (!env_.defaults->boolean("host.firstRun.screenCapturePrompted." + build)) {
        env_.defaults->set("host.firstRun.screenCapturePrompted." + build, true);
        log("permissions: requesting Screen Recording on first launch");
        pendingScreenCaptureRelaunch = true;
        env_.defaults->set("host.pendingScreenCaptureRelaunch", true);
        requestScreenRecordingPermission();
        prompted = true;
    }
    if (!prompted) {
        const auto& accessibility = env_.platform.accessibility;
        const bool trusted = !accessibility || accessibility->isProcessTrusted();
        if (!trusted && !env_.defaults->boolean("host.firstRun.accessibilityPrompted")) {
            env_.defaults->set("host.firstRun.accessibilityPrompted", true);
            log("permissions: requesting Accessibility on first launch");
            requestAccessibilityPermission();
        }
    }
    triggerScreenCaptureRelaunchIfNeeded("first-run permission check");
}


void HostProbeDelegate::checkLocalVNC(std::int64_t generation) {
    if (activeVNCProbe) {
        activeVNCProbe->setStateHandler(nullptr);
        activeVNCProbe->cancel();
        activeVNCProbe.reset();
    }
    if (!env_.portProber) return;
    auto probe = env_.portProber->makeConnection("127.0.0.1", env_.screenSharingPort);
    activeVNCProbe = probe;
    auto queue = env_.platform.makeQueue("v230.hostprobe.check." + std::to_string(generation));
    // Touched only on the probe's queue: the state handler and the time-out both run there, so
    // exactly one final outcome is reported.
    auto finished = std::make_shared<bool>(false);
    const std::string port = std::to_string(env_.screenSharingPort);
    std::weak_ptr<ProbeConnection> weakProbe = probe;
    auto finish = [weak = weak(), weakProbe, finished, generation](const std::string& text) {
        *finished = true;
        auto connection = weakProbe.lock();
        if (!connection) return;
        connection->setStateHandler(nullptr);
        connection->cancel();
        if (auto self = weak.lock()) {
            self->onMain([connection, generation, text](HostProbeDelegate& delegate) {
                delegate.reportScreenSharingProbe(connection, generation, text);
            });
        }
    };
    probe->setStateHandler([weak = weak(), finished, finish, generation, port](ProbeConnection::State state,
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
                if (auto self = weak.lock()) {
                    self->onMain([generation, error](HostProbeDelegate& delegate) {
                        if (generation != delegate.checkGeneration) return;
                        delegate.log("Screen Sharing port 5900 waiting: " + error);
                        delegate.statusLabel->setText(L10n::format(
                            "host.screenSharingWaitingFormat", "Screen Sharing port 5900: waiting (%@)", error));
                        delegate.updateHostPresentation();
                    });
                }
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

void HostProbeDelegate::reportScreenSharingProbe(const std::shared_ptr<ProbeConnection>& probe, std::int64_t generation,
                                                 const std::string& text) {
    // A probe that was replaced reports nothing, whatever its generation.
    if (!activeVNCProbe || activeVNCProbe != probe) return;
    activeVNCProbe.reset();
    if (generation != checkGeneration) return;
    log(text);
    statusLabel->setText(text);
    updateHostPresentation();
}

std::string HostProbeDelegate::hostDisplayDiagnostics(const std::shared_ptr<V230HostAudioAuxServer>& server) const {
    std::string text = L10n::format("host.diagnosticsDefaultIntroFormat",
                                    "V%@ Host defaults to fixed virtual display templates for 1080p / HiDPI / HiDPI 1260. "
                                    "The physical display menu controls audio and real-display fallback.",
                                    hostAppVersionString(env_.bundle)) +
                       "\n";
    if (server) return text + server->displayDiagnosticsSnapshot();
    if (env_.platform.displays) return text + HostDisplayModeSwitcher(env_.platform.displays, env_.platform.clock).displayDiagnostics();
    return text;
}

void HostProbeDelegate::refreshDisplayState(std::int64_t generation, bool forceDisplayDiagnostics) {
    const std::uint64_t now = env_.platform.clock->uptimeNs();
    const bool recompute =
        forceDisplayDiagnostics || !cachedDisplayDiagnosticsText || !lastDisplayDiagnosticsRefreshNs ||
        now - *lastDisplayDiagnosticsRefreshNs >= static_cast<std::uint64_t>(displayDiagnosticsMaxAge * 1e9);
    const auto cached = cachedDisplayDiagnosticsText.value_or("");
    // The server's snapshots wait for its queue: the reading happens on the background queue.
    std::weak_ptr<V230HostAudioAuxServer> weakServer = audioServer;
    backgroundQueue_->async([weak = weak(), weakServer, generation, recompute, cached] {
        bool headless = false;
        std::uint32_t selected = 0;
        auto server = weakServer.lock();
        if (server) {
            headless = server->headlessVirtualDisplayEnabledSnapshot();
            selected = headless ? server->physicalDisplayIDSnapshot() : server->selectedDisplayIDSnapshot();
        }
        std::string text = cached;
        std::vector<DisplayOption> options;
        {
            auto self = weak.lock();
            if (recompute) text = self ? self->hostDisplayDiagnostics(server) : "Display diagnostics unavailable";
            if (self && self->env_.platform.displays) {
                HostDisplayModeSwitcher switcher(self->env_.platform.displays, self->env_.platform.clock);
                for (const auto& option : switcher.displaySelectionOptions()) options.push_back({option.id, option.title});
            }
            if (!self) return;
            // The delegate is released on the main queue, never here.
            self->onMain([generation, recompute, text, options, headless, selected](HostProbeDelegate& delegate) {
                if (generation != delegate.checkGeneration) return;
                delegate.virtualDisplayCheckbox->setChecked(headless);
                delegate.virtualDisplayCheckbox->setEnabled(true);
                delegate.displayPopup->setEnabled(true);
                delegate.useDisplayButton->setEnabled(true);
                delegate.updateDisplayPopup(options, selected);
                delegate.detailLabel->setText(text);
                if (recompute) {
                    delegate.cachedDisplayDiagnosticsText = text;
                    delegate.lastDisplayDiagnosticsRefreshNs = delegate.env_.platform.clock->uptimeNs();
                }
                delegate.log(std::string("display diagnostics updated headless=") + (headless ? "true" : "false") +
                             " selected=" + std::to_string(selected));
            });
        }
    });
}

void HostProbeDelegate::updateDisplayPopup(const std::vector<DisplayOption>& options, std::uint32_t selectedID) {
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

void HostProbeDelegate::useDisplayButtonPressed() {
    const auto* item = displayPopup->selectedItem();
    if (!item || !item->representedObject) return;
    const auto id = *item->representedObject;
    log("UI selected physical display " + std::to_string(id));
    if (audioServer) audioServer->selectDisplayID(id);
    // What the user sees of it: the line names the display, and the button waits for the refresh
    // that shows the new selection (which enables it again).
    audioStatusLabel->setText(L10n::format("host.displaySelectedFormat", "Selected display: %@", item->title));
    useDisplayButton->setEnabled(false);
    env_.platform.mainQueue->asyncAfter(0.2, [weak = weak()] {
        if (auto self = weak.lock()) self->refresh(true, false);
    });
}

void HostProbeDelegate::virtualDisplayCheckboxChanged(ButtonModel& checkbox) {
    const bool enabled = checkbox.checked();
    log(std::string("UI headless virtual display ") + (enabled ? "enabled" : "disabled"));
    if (audioServer) audioServer->setHeadlessVirtualDisplayEnabled(enabled);
    env_.platform.mainQueue->asyncAfter(0.9, [weak = weak()] {
        if (auto self = weak.lock()) self->refresh(true, false);
    });
}

void HostProbeDelegate::showDetailWindowAction() {
    if (!detailWindow) {
        auto window = std::make_shared<DetailWindowModel>();
        window->titleLabel = std::make_shared<LabelModel>();
        window->subtitleLabel = std::make_shared<LabelModel>();
        window->refreshButton = std::make_shared<ButtonModel>(ButtonModel::Kind::push, "");
        window->refreshButton->action = [weak = weak()](ButtonModel&) {
            if (auto self = weak.lock()) self->refreshButtonPressed();
        };
        window->copyLogsButton = std::make_shared<ButtonModel>(ButtonModel::Kind::push, "");
        window->copyLogsButton->action = [weak = weak()](ButtonModel&) {
            if (auto self = weak.lock()) self->copyLogsButtonPressed();
        };
        launchAtLoginCheckbox = std::make_shared<ButtonModel>(ButtonModel::Kind::checkbox, "");
        launchAtLoginCheckbox->action = [weak = weak()](ButtonModel& sender) {
            if (auto self = weak.lock()) self->launchAtLoginCheckboxChanged(sender);
        };
        window->launchAtLoginCheckbox = launchAtLoginCheckbox;
        window->physicalDisplayLabel = std::make_shared<LabelModel>();
        window->statusLabel = statusLabel;
        window->audioStatusLabel = audioStatusLabel;
        window->addressLabel = addressLabel;
        window->detailLabel = detailLabel;
        window->displayPopup = displayPopup;
        window->useDisplayButton = useDisplayButton;
        window->virtualDisplayCheckbox = virtualDisplayCheckbox;
        detailWindow = window;
        retextDetailWindow();
        if (env_.shell) env_.shell->attachWindow(window);
    }
    refresh(true, false);
    updateHostPresentation();
    detailWindow->deminiaturize();
    detailWindow->makeKeyAndOrderFront();
    if (env_.shell) env_.shell->activateIgnoringOtherApps();
}

void HostProbeDelegate::retextDetailWindow() {
    const auto titleText = L10n::format("host.detailWindowTitleFormat", "Corventis Host V%@", hostAppVersionString(env_.bundle));
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
    if (audioServer) {
        // Going to sleep waits until capture has moved, and the server's queue may be waiting on
        // the main queue: the notices go through the background queue, in order.
        std::weak_ptr<V230HostAudioAuxServer> server = audioServer;
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
        refresh(true, false);
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
    if (terminationConfirmed) return TerminateReply::now;
    if (!terminationConfirmationInProgress) {
        terminationConfirmationInProgress = true;
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
    if (!summaryWindow) summaryWindow = makeSummaryWindow();
    auto completion = [weak = weak()](int response) {
        auto self = weak.lock();
        if (!self) return;
        self->terminationConfirmationInProgress = false;
        const bool quit = response == 1000;
        if (quit) self->terminationConfirmed = true;
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
    beginHostForegroundSheet(alert, summaryWindow, std::move(completion));
}

void HostProbeDelegate::terminateApplication(const std::string& reason) {
    if (terminating_) return;
    terminating_ = true;
    terminationConfirmed = true;
    log("terminating: " + reason);
    applicationWillTerminate([weak = weak()] {
        if (auto self = weak.lock()) {
            if (self->env_.shell) self->env_.shell->terminate();
        }
    });
}

void HostProbeDelegate::unregisterWorkspacePowerObservers() {
    // Dropping a token removes its observer; the empty list lets registering happen again.
    workspacePowerObservers.clear();
}

bool HostProbeDelegate::applicationShouldHandleReopen(bool hasVisibleWindows) {
    if (hasVisibleWindows) return true;
    if (summaryAutoCloseWorkItem) {
        summaryAutoCloseWorkItem->cancel();
        summaryAutoCloseWorkItem.reset();
    }
    if (!summaryWindow) summaryWindow = makeSummaryWindow();
    updateHostPresentation();
    raiseSummaryWindow(true);
    return true;
}

void HostProbeDelegate::applicationWillTerminate(std::function<void()> done) {
    triggerScreenCaptureRelaunchIfNeeded("application termination");
    // Quitting closes the update window without cancelling its request.
    if (onlineUpdateProgressWindow) onlineUpdateProgressWindow->applicationWillTerminate();
    if (timer) timer->cancel();
    timer.reset();
    if (initialInstallOnboardingTimer) initialInstallOnboardingTimer->cancel();
    initialInstallOnboardingTimer.reset();
    languageObserver.reset();
    unregisterWorkspacePowerObservers();
    clipboardBridge->stop();
    // Unfinished inbound batches go with their partial files before the process ends; first,
    // while the server still answers the service's questions about its Viewers' queues.
    if (fileTransferService) fileTransferService->stop();
    if (!audioServer) {
        if (done) done();
        return;
    }
    // The server's ordered stop waits 120 ms for the goodbyes; the main queue goes on meanwhile.
    audioServer->beginTermination([weak = weak(), done = std::move(done)] {
        if (auto self = weak.lock()) {
            self->env_.platform.mainQueue->async(done);
        }
    });
}

}  // namespace qm
