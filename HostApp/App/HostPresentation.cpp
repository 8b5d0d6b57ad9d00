// What the Host shows of its state: the summary window, the status menu lines and tooltip, the
// refresh cycle, the address and Viewer texts, and the neighbours' operations as far as they go.
#include <cctype>
#include <fstream>
#include <set>
#include <sstream>

#include "HostApp/App/HostProbeDelegate.h"
#include "HostApp/Server/V230HostAudioAuxServer.h"
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

std::string HostProbeDelegate::runningText() const { return L10n::text("host.running", "Corventis Host is running"); }

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
    summaryStatusLabel->setText(running + " \u00B7 " + loginText);
    summaryAddressLabel->setText(summaryAddress);
    addressLabel->setText(summaryAddress);
    summaryViewerLabel->setText(viewerText);
    if (summaryWindow && summaryWindow->launchAtLoginCheckbox) {
        summaryWindow->launchAtLoginCheckbox->setChecked(desired);
        summaryWindow->launchAtLoginCheckbox->setToolTip(launchAtLogin_.statusText());
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

bool HostProbeDelegate::hasPendingInitialInstallOnboarding() const {
    std::ifstream in(env_.installerMarker);
    if (!in) return false;
    std::string build;
    std::getline(in, build);
    build = trimmedOf(build, " \t\r\n");
    const auto current = hostBundleVersionString(env_.bundle);
    return build == current && !env_.defaults->boolean("host.initialInstallOnboarding.completed." + current);
}

// The onboarding walks through permissions the Linux desktop does not ask for; nothing to show.
void HostProbeDelegate::observeInitialInstallPermissionCompletion() {}
void HostProbeDelegate::advanceInitialInstallOnboarding() {}

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
        access->request();
        prompted = true;
    }
    if (!prompted) {
        const auto& accessibility = env_.platform.accessibility;
        const bool trusted = !accessibility || accessibility->isProcessTrusted();
        if (!trusted && !env_.defaults->boolean("host.firstRun.accessibilityPrompted")) {
            env_.defaults->set("host.firstRun.accessibilityPrompted", true);
            log("permissions: requesting Accessibility on first launch");
            accessibility->isProcessTrustedWithPrompt();
        }
    }
    triggerScreenCaptureRelaunchIfNeeded("first-run permission check");
}

void HostProbeDelegate::triggerScreenCaptureRelaunchIfNeeded(const std::string&) {}

void HostProbeDelegate::checkLocalVNC(std::int64_t generation) {
    if (!env_.probeScreenSharing) return;
    env_.probeScreenSharing([weak = weak(), generation](std::optional<std::string> error) {
        auto self = weak.lock();
        if (!self) return;
        self->onMain([generation, error](HostProbeDelegate& delegate) {
            if (generation != delegate.checkGeneration) return;  // a newer refresh owns the line
            std::string text;
            if (!error) {
                text = "Screen Sharing port 5900: reachable on this Host";
            } else if (*error == "timeout") {
                text = "Screen Sharing port 5900: not reachable (timeout). Enable macOS Screen Sharing.";
            } else {
                text = "Screen Sharing port 5900: not reachable (" + *error + ")";
            }
            delegate.log(text);
            delegate.statusLabel->setText(text);
        });
    });
}

void HostProbeDelegate::refreshDisplayState(std::int64_t generation, bool forceDisplayDiagnostics) {
    const std::uint64_t now = env_.platform.clock->uptimeNs();
    const bool stale = !cachedDisplayDiagnosticsText || !lastDisplayDiagnosticsRefreshNs ||
                       now - *lastDisplayDiagnosticsRefreshNs > static_cast<std::uint64_t>(displayDiagnosticsMaxAge * 1e9);
    if (!forceDisplayDiagnostics && !stale) {
        detailLabel->setText(*cachedDisplayDiagnosticsText);
        return;
    }
    // The server's diagnostics read its queue: never from the main queue.
    std::weak_ptr<V230HostAudioAuxServer> server = audioServer;
    const auto version = hostAppVersionString(env_.bundle);
    backgroundQueue_->async([weak = weak(), server, generation, version] {
        std::string text = "Display diagnostics unavailable";
        if (auto host = server.lock()) {
            text = L10n::format("host.diagnosticsDefaultIntroFormat",
                                "V%@ Host defaults to fixed virtual display templates for 1080p / HiDPI / HiDPI 1260. "
                                "The physical display menu controls audio and real-display fallback.",
                                version) +
                   "\n" + host->displayDiagnosticsSnapshot();
        }
        auto self = weak.lock();
        if (!self) return;
        self->onMain([generation, text](HostProbeDelegate& delegate) {
            if (generation != delegate.checkGeneration) return;
            delegate.cachedDisplayDiagnosticsText = text;
            delegate.lastDisplayDiagnosticsRefreshNs = delegate.env_.platform.clock->uptimeNs();
            delegate.detailLabel->setText(text);
        });
    });
}

void HostProbeDelegate::useDisplayButtonPressed() { refresh(true, false); }

void HostProbeDelegate::handleWorkspacePowerEvent(WorkspacePowerEvent event) {
    std::weak_ptr<V230HostAudioAuxServer> server = audioServer;
    // Going to sleep waits until capture has moved; that wait belongs on a background queue.
    backgroundQueue_->async([server, event] {
        auto host = server.lock();
        if (!host) return;
        switch (event) {
            case WorkspacePowerEvent::willSleep: host->noteHostPowerState("system will sleep", true, true); break;
            case WorkspacePowerEvent::screensDidSleep: host->noteHostPowerState("screens did sleep", true, false); break;
            case WorkspacePowerEvent::didWake: host->noteHostPowerState("system did wake", false, false); break;
            case WorkspacePowerEvent::screensDidWake: host->noteHostPowerState("screens did wake", false, false); break;
        }
    });
    if (event == WorkspacePowerEvent::didWake || event == WorkspacePowerEvent::screensDidWake) refresh(true, false);
}

void HostProbeDelegate::requestQuitMenuAction() { terminateApplication("quit menu"); }

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

void HostProbeDelegate::applicationWillTerminate(std::function<void()> done) {
    // Quitting closes the update window without cancelling its request.
    if (onlineUpdateProgressWindow) onlineUpdateProgressWindow->applicationWillTerminate();
    if (timer) timer->cancel();
    if (initialInstallOnboardingTimer) initialInstallOnboardingTimer->cancel();
    languageObserver.reset();
    workspacePowerObservers.clear();
    clipboardBridge->stop();
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
