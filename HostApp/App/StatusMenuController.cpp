// What the Host shows of its state: the summary window, the status menu lines and tooltip, the
// address and Viewer texts, start at login, and the sheets alerts run through.
#include <algorithm>
#include <cctype>
#include <set>
#include <sstream>

#include "HostApp/App/StatusMenuController.h"

#include "HostApp/App/HostProbeDelegate.h"

#include "HostApp/Server/V230HostAudioAuxServer.h"
#include "Platform/UserDefaults.h"
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
// A window the user asked for stays: its pending auto-close is dropped.
void cancelAndDrop(DispatchWorkItemPtr& item) {
    if (!item) return;
    item->cancel();
    item.reset();
}
}  // namespace

std::shared_ptr<StatusMenuController> StatusMenuController::create(HostProbeDelegate& app) {
    return std::shared_ptr<StatusMenuController>(new StatusMenuController(app));
}

StatusMenuController::StatusMenuController(HostProbeDelegate& app)
    : HostControllerOf(app), launchAtLogin_(env().defaults, env().loginItems) {
    audioStatusLabel = std::make_shared<LabelModel>(L10n::text("host.auxStarting", "Aux: starting..."));
    summaryStatusLabel = std::make_shared<LabelModel>(L10n::text("host.starting", "Corventis Host is starting..."));
    summaryAddressLabel = std::make_shared<LabelModel>(L10n::text("host.ipsChecking", "Host IPs: checking..."));
    summaryViewerLabel = std::make_shared<LabelModel>(L10n::text("host.viewerNone", "Viewer: none connected"));
}

StatusMenuController::~StatusMenuController() {
    if (summaryAutoCloseWorkItem) summaryAutoCloseWorkItem->cancel();
}

std::vector<std::string> StatusMenuController::listenerFailures() const {
    const auto& server = app_.audioServer();
    if (!server) return {};
    return server->snapshot()->listenerFailures;
}

// A Host whose listeners could not open (another Host holds the ports) must not claim to run.
std::string StatusMenuController::runningText() const {
    if (!listenerFailures().empty()) return L10n::text("host.notListening", "Corventis Host cannot accept Viewers");
    return L10n::text("host.running", "Corventis Host is running");
}

// ---- Address and Viewer texts ---------------------------------------------------------------

std::optional<std::vector<int>> StatusMenuController::ipv4Octets(const std::string& text) {
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

bool StatusMenuController::viewerAddressLikelyUsesRoute(const std::string& viewerAddress, const std::string& hostAddress) {
    auto viewer = ipv4Octets(viewerAddress);
    auto host = ipv4Octets(hostAddress);
    if (!viewer || !host) return false;
    return (*viewer)[0] == (*host)[0] && (*viewer)[1] == (*host)[1] && (*viewer)[2] == (*host)[2];
}

std::string StatusMenuController::routeAddressText(const QuillmereRouteRecord& route,
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

std::string StatusMenuController::summaryAddressText(const std::vector<QuillmereRouteRecord>& routes,
                                                  const std::vector<std::string>& currentViewerAddresses) {
    if (routes.empty()) return L10n::text("host.ipsNone", "Host IPs: none found");
    std::string text = L10n::text("host.ipsHeader", "Host IPs:");
    for (const auto& route : routes) text += "\n  " + routeAddressText(route, currentViewerAddresses);
    return text;
}

std::string StatusMenuController::menuAddressText(const std::vector<QuillmereRouteRecord>& routes,
                                               const std::vector<std::string>& currentViewerAddresses) {
    if (routes.empty()) return L10n::text("host.ipsNone", "Host IPs: none found");
    std::vector<std::string> lines;
    for (const auto& route : routes) lines.push_back(routeAddressText(route, currentViewerAddresses));
    const auto joined = joinFirstTwo(lines);
    if (routes.size() <= 2) return L10n::format("host.ipsInlineFormat", "Host IPs: %@", joined);
    return L10n::format("host.ipsInlineMoreFormat", "Host IPs: %@ + %d more", joined,
                        static_cast<std::int64_t>(routes.size() - 2));
}

std::string StatusMenuController::viewerDisplayNameSummary(const std::vector<std::string>& names) {
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

std::string StatusMenuController::viewerTextFor(const std::vector<std::pair<std::string, std::string>>& summaries) {
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

std::vector<std::string> StatusMenuController::connectedViewerAddresses() const {
    std::vector<std::string> addresses;
    if (!app_.audioServer()) return addresses;
    for (const auto& [name, address] : app_.audioServer()->connectedViewerConnectionSummaries()) {
        if (!address.empty()) addresses.push_back(address);
    }
    return addresses;
}

std::string StatusMenuController::connectedViewerText() const {
    if (!app_.audioServer()) return viewerTextFor({});
    return viewerTextFor(app_.audioServer()->connectedViewerConnectionSummaries());
}

// ---- Presentation ---------------------------------------------------------------------------

void StatusMenuController::updateHostPresentation() {
    if (!env().platform.mainQueue->isCurrent()) {
        onMain([](StatusMenuController& self) { self.updateHostPresentation(); });
        return;
    }
    const auto running = runningText();
    const auto viewerAddresses = connectedViewerAddresses();
    const auto summaryAddress = summaryAddressText(latestRouteRecords, viewerAddresses);
    const auto menuAddress = menuAddressText(latestRouteRecords, viewerAddresses);
    const auto viewerText = connectedViewerText();
    const bool desired = env().defaults->boolean(HostLaunchAtLogin::desiredKey);
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
    app_.details().addressLabel->setText(summaryAddress);
    summaryViewerLabel->setText(viewerText);
    for (const auto& checkbox : {app_.details().launchAtLoginCheckbox,
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

void StatusMenuController::refreshSummaryLocalization() {
    refreshHostMainMenuLocalization();
    refreshHostStatusMenuLocalization();
    if (!summaryWindow) return;
    auto& window = *summaryWindow;
    window.setTitle(L10n::text("host.windowTitle", "Corventis Host"));
    if (window.titleLabel) window.titleLabel->setText(runningText());
    if (window.subtitleLabel) {
        window.subtitleLabel->setText(L10n::text("host.summarySubtitle", "Viewers can connect while this Host stays open."));
    }
    if (window.detailsButton) {
        window.detailsButton->setTitle(L10n::text("host.detailsButton", "Details"));
        window.detailsButton->setHidden(true);
    }
    if (window.refreshButton) window.refreshButton->setTitle(L10n::text("host.refreshButton", "Refresh"));
    if (window.launchAtLoginCheckbox) {
        window.launchAtLoginCheckbox->setTitle(L10n::text("host.startAtLoginCheckbox", "Start Corventis Host at login"));
    }
}

// ---- Start at login -------------------------------------------------------------------------

void StatusMenuController::launchAtLoginCheckboxChanged(ButtonModel& checkbox) {
    const auto result = launchAtLogin_.setEnabled(checkbox.checked());
    log("launch-at-login: " + result);
    audioStatusLabel->setText(L10n::format("host.auxStatusFormat", "Aux: %@", result));
    updateLaunchAtLoginCheckbox();
}

void StatusMenuController::toggleLaunchAtLoginMenuAction(MenuItemModel& item) {
    const auto result = launchAtLogin_.setEnabled(!item.checked());
    log("launch-at-login: " + result);
    audioStatusLabel->setText(L10n::format("host.auxStatusFormat", "Aux: %@", result));
    item.setChecked(launchAtLogin_.desired());
    updateLaunchAtLoginCheckbox();
}

void StatusMenuController::updateLaunchAtLoginCheckbox() {
    // updateHostPresentation pushes the stored wish into all four controls.
    updateHostPresentation();
}


void StatusMenuController::setAudioStatus(const std::string& labelText) {
    audioStatusLabel->setText(labelText);
    updateHostPresentation();
}

void StatusMenuController::setLatestRouteRecords(std::vector<QuillmereRouteRecord> routes) {
    latestRouteRecords = std::move(routes);
}

// ---- Summary window and About panel ---------------------------------------------------------

std::shared_ptr<SummaryWindowModel> StatusMenuController::makeSummaryWindow() {
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
        if (auto self = weak.lock()) self->app_.launchAtLoginCheckboxChanged(sender);
    };
    window->launchAtLoginCheckbox = checkbox;
    auto details = std::make_shared<ButtonModel>(ButtonModel::Kind::push, L10n::text("host.detailsButton", "Details"));
    details->setHidden(true);
    details->setKeyEquivalent("\r");
    details->action = [weak = weak()](ButtonModel&) {
        if (auto self = weak.lock()) self->app_.showDetailWindowAction();
    };
    window->detailsButton = details;
    auto refreshButton = std::make_shared<ButtonModel>(ButtonModel::Kind::push, L10n::text("host.refreshButton", "Refresh"));
    refreshButton->action = [weak = weak()](ButtonModel&) {
        if (auto self = weak.lock()) self->app_.refreshButtonPressed();
    };
    window->refreshButton = refreshButton;
    auto update = std::make_shared<ButtonModel>(ButtonModel::Kind::push,
                                                L10n::text("host.updateVersionButton", "Update Version"));
    update->action = [weak = weak()](ButtonModel&) {
        if (auto self = weak.lock()) self->app_.requestOnlineUpdateAction();
    };
    window->updateButton = update;
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
// GCC 12 reports an overlapping copy inside std::string here that cannot happen (a known false positive).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
    window->versionLabel = std::make_shared<LabelModel>("V" + hostAppVersionString(env().bundle));
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic pop
#endif
    if (env().shell) window->menuBar = env().shell->mainMenu().menu;
    const bool checking = app_.updates().onlineUpdateRequestInProgress;
    update->setTitle(checking ? L10n::text("host.checkingUpdateButton", "Checking for Update…")
                              : L10n::text("host.updateVersionButton", "Update Version"));
    update->setEnabled(!checking);
    if (env().shell) env().shell->attachWindow(window);
    return window;
}

const std::shared_ptr<SummaryWindowModel>& StatusMenuController::ensureSummaryWindow() {
    if (!summaryWindow) summaryWindow = makeSummaryWindow();
    return summaryWindow;
}

void StatusMenuController::showSummaryWindowAction(ActionSender sender) {
    cancelAndDrop(summaryAutoCloseWorkItem);
    log(std::string("ui: show Host status requested source=") + (sender == ActionSender::menuItem ? "menu" : "unknown"));
    ensureSummaryWindow();
    updateHostPresentation();
    summaryWindow->floatAboveOthers();
    summaryWindow->deminiaturize();
    summaryWindow->orderFront();
}

void StatusMenuController::reopenSummaryWindow() {
    cancelAndDrop(summaryAutoCloseWorkItem);
    ensureSummaryWindow();
    updateHostPresentation();
    raiseSummaryWindow(true);
}

void StatusMenuController::raiseSummaryWindow(bool deminiaturizeFirst) {
    if (!summaryWindow) return;
    summaryWindow->floatAboveOthers();
    if (deminiaturizeFirst) summaryWindow->deminiaturize();
    if (summaryWindow->miniaturized()) return;
    summaryWindow->makeKeyAndOrderFront();
    if (env().shell) env().shell->activateIgnoringOtherApps();
    summaryWindow->makeKeyAndOrderFront();
}

void StatusMenuController::scheduleSummaryWindowAutoClose(double seconds) {
    if (summaryAutoCloseWorkItem) summaryAutoCloseWorkItem->cancel();
    summaryAutoCloseWorkItem = env().platform.mainQueue->asyncAfter(seconds, [weak = weak()] {
        auto self = weak.lock();
        if (!self || !self->summaryWindow) return;
        // A window showing a sheet (an onboarding or quit question) stays open; so does the window
        // of a desktop without a status area, where nothing else could bring it back.
        if (self->env().shell && !self->env().shell->hasStatusArea()) return;
        if (self->summaryWindow->visible() && !self->summaryWindow->attachedSheet()) self->summaryWindow->close();
    });
}

void StatusMenuController::showAboutPanelAction() {
    if (env().shell) env().shell->activateIgnoringOtherApps();
    if (!aboutPanel) {
        aboutPanel = std::make_shared<AboutPanelModel>();
        aboutPanel->applicationName = env().processName;
        if (env().shell) env().shell->attachWindow(aboutPanel);
    }
    aboutPanel->setTitle(L10n::format("menu.aboutFormat", "About %@", env().processName));
    aboutPanel->versionText = L10n::format("host.aboutVersionFormat", "Version %@ (%@)", hostAppVersionString(env().bundle),
                                           hostBundleVersionString(env().bundle));
    aboutPanel->makeKeyAndOrderFront();
    // Then, once it is up, the panel floats above other applications' windows; the summary and
    // detail windows keep their own level.
    onMain([](StatusMenuController& self) {
        if (!self.aboutPanel || !self.aboutPanel->visible()) return;
        self.aboutPanel->floatAboveOthers(WindowModel::modalPanelLevel);
        self.aboutPanel->makeKeyAndOrderFront();
    });
}

std::shared_ptr<WindowModel> StatusMenuController::visibleWindow() const {
    for (std::shared_ptr<WindowModel> window : {std::static_pointer_cast<WindowModel>(summaryWindow),
                                                std::static_pointer_cast<WindowModel>(app_.details().detailWindow)}) {
        if (window && window->visible()) return window;
    }
    return nullptr;
}

// ---- Foreground sheets --------------------------------------------------------------------------

std::shared_ptr<AlertSheetModel> StatusMenuController::beginHostForegroundSheet(const AlertModel& alert,
                                                                                const std::shared_ptr<WindowModel>& window,
                                                                                std::function<void(int)> completion) {
    if (!window || !env().shell) return nullptr;
    // 1. The window comes forward, floating, on the active workspace.
    window->floatAboveOthers();
    window->deminiaturize();
    window->makeKeyAndOrderFront();
    env().shell->activateIgnoringOtherApps();
    window->makeKeyAndOrderFront();

    auto sheet = std::make_shared<AlertSheetModel>(alert);
    // 2. Keeps the sheet in front of its window and both in front of other applications, while
    // the application is active and the sheet is still up on this window.
    std::function<void()> raise = [weakSelf = weak(), weakWindow = std::weak_ptr<WindowModel>(window),
                                   weakSheet = std::weak_ptr<AlertSheetModel>(sheet)] {
        auto self = weakSelf.lock();
        auto target = weakWindow.lock();
        auto up = weakSheet.lock();
        if (!self || !target || !up) return;
        if (!self->env().shell || !self->env().shell->applicationIsActive()) return;
        if (!up->visible() || up->sheetParent() != target) return;
        target->floatAboveOthers();
        up->floatAboveOthers(WindowModel::modalPanelLevel);
        target->orderFront();
        up->orderFront();
    };
    auto scheduleRaise = [queue = env().platform.mainQueue, raise] { queue->async(raise); };
    // 3. Again whenever the application becomes active or the sheet becomes key. A sheet that
    // became key is raised last when the application becomes active: with several sheets up, the
    // one the user was in stays on top of the others (and keeps the focus).
    const auto id = ++nextForegroundSheetID_;
    foregroundSheetActivationRaises_.emplace_back(id, scheduleRaise);
    sheet->onBecameKey = [weakSelf = weak(), id, scheduleRaise] {
        if (auto self = weakSelf.lock()) {
            auto& raises = self->foregroundSheetActivationRaises_;
            auto found = std::find_if(raises.begin(), raises.end(), [id](const auto& entry) { return entry.first == id; });
            if (found != raises.end()) std::rotate(found, found + 1, raises.end());
        }
        scheduleRaise();
    };
    // 4. Its end removes both observers, then answers.
    std::weak_ptr<AlertSheetModel> weakSheet = sheet;
    sheet->begin(window, [weakSelf = weak(), weakSheet, id, completion = std::move(completion)](int response) {
        if (auto self = weakSelf.lock()) {
            std::erase_if(self->foregroundSheetActivationRaises_, [id](const auto& entry) { return entry.first == id; });
        }
        if (auto ended = weakSheet.lock()) ended->onBecameKey = nullptr;
        if (completion) completion(response);
    });
    env().shell->presentSheet(window, sheet);
    // 5. Once on the next turn and once a moment later, after the window manager placed it.
    env().platform.mainQueue->async(raise);
    env().platform.mainQueue->asyncAfter(foregroundSheetSecondRaiseDelay, raise);
    return sheet;
}

void StatusMenuController::runHostModalAlert(const AlertModel& alert, std::function<void(int)> completion) {
    beginHostForegroundSheet(alert, ensureSummaryWindow(), std::move(completion));
}

void StatusMenuController::raiseForegroundSheets() {
    for (const auto& [id, raise] : foregroundSheetActivationRaises_) raise();
}

}  // namespace qm
