// The Host's side of updating: the preference, the launch, hourly and manual checks, the
// countdown that announces a new build, the hand-over to the system updater with its progress
// window, the update alerts and the website links. Everything runs on the main queue; only the
// feed's network wait happens elsewhere.
#include <cstdio>

#include "HostApp/App/HostProbeDelegate.h"
#include "Platform/UserDefaults.h"
#include "QuillmereProfiles/QuillmereL10n.h"
#include "QuillmereProfiles/QuillmereReleaseChannels.h"

namespace qm {

using L10n = QuillmereL10n;

namespace {

const std::string autoUpdateEnabledKey = "host.autoUpdate.enabled";
const std::string lastPromptedBuildKey = "host.updateFeed.lastPromptedAvailableBuild";
const std::string lastCheckTimestampKey = "host.updateCheck.lastCheckTimestamp";

}  // namespace

void HostProbeDelegate::setHostAutoUpdateEnabled(bool enabled) {
    env_.defaults->set(autoUpdateEnabledKey, enabled);
    log(std::string("auto-update preference set to ") + (enabled ? "enabled" : "disabled"));
}

void HostProbeDelegate::toggleAutoUpdateMenuAction(MenuItemModel& item) {
    const bool enabled = !item.checked();
    setHostAutoUpdateEnabled(enabled);
    item.setChecked(enabled);
    // The status menu and the main menu each have the item; both show the stored preference.
    for (const auto& menu : {statusMenu, env_.shell ? env_.shell->mainMenu().menu : nullptr}) {
        if (!menu) continue;
        for (const auto& top : menu->items()) {
            if (top->action() == HostAction::toggleAutoUpdate) top->setChecked(enabled);
            if (top->submenu()) {
                if (auto inner = top->submenu()->itemWithAction(HostAction::toggleAutoUpdate)) inner->setChecked(enabled);
            }
        }
    }
}

void HostProbeDelegate::checkForHostUpdateOnLaunch() {
    if (!env_.defaults->boolean(autoUpdateEnabledKey)) return;
    startUpdateCheckTask(UpdateCheckKind::launch);
}

void HostProbeDelegate::performHourlyUpdateCheck() {
    if (!env_.defaults->boolean(autoUpdateEnabledKey)) return;
    if (autoUpdateCountdownWindow || onlineUpdateProgressWindow || onlineUpdateRequestInProgress) return;
    startUpdateCheckTask(UpdateCheckKind::hourly);
}

void HostProbeDelegate::requestOnlineUpdateAction() {
    if (onlineUpdateRequestInProgress) return;
    beginOnlineUpdateCheck();
}

void HostProbeDelegate::beginOnlineUpdateCheck() {
    onlineUpdateRequestInProgress = true;
    refreshOnlineUpdateButtonPresentation();
    startUpdateCheckTask(UpdateCheckKind::manual);
}

void HostProbeDelegate::startUpdateCheckTask(UpdateCheckKind kind) {
    auto handle = [weak = weak(), kind](std::optional<QuillmereReleaseFeed> feed) {
        if (auto self = weak.lock()) self->handleUpdateCheckResult(kind, feed);
    };
    if (env_.fetchLatestFeed) {
        env_.fetchLatestFeed(std::move(handle));
    } else {
        QuillmereReleaseFeedService::fetchLatestFeed(updateFeedQueue_, env_.platform.mainQueue, std::move(handle));
    }
}

void HostProbeDelegate::storeLastUpdateCheckTime() {
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", env_.platform.clock->wallTime());
    // The defaults hold Booleans and texts; the seconds since 1970 are kept as decimal text.
    env_.defaults->set(lastCheckTimestampKey, std::string(text));
}

void HostProbeDelegate::handleUpdateCheckResult(UpdateCheckKind kind, const std::optional<QuillmereReleaseFeed>& feed) {
    const auto version = hostAppVersionString(env_.bundle);
    const auto build = hostBundleVersionString(env_.bundle);
    switch (kind) {
        case UpdateCheckKind::launch: {
            if (!feed) return;
            if (!QuillmereReleaseFeedService::isUpdateAvailable(version, build, feed->host)) {
                env_.defaults->remove(lastPromptedBuildKey);
                return;
            }
            if (env_.defaults->string(lastPromptedBuildKey) == feed->host.build) return;
            env_.defaults->set(lastPromptedBuildKey, feed->host.build);
            storeLastUpdateCheckTime();
            presentAutoUpdateCountdownWindow(feed->host);
            return;
        }
        case UpdateCheckKind::hourly: {
            if (!feed) return;
            const bool available = QuillmereReleaseFeedService::isUpdateAvailable(version, build, feed->host);
            storeLastUpdateCheckTime();
            if (!available || env_.defaults->string(lastPromptedBuildKey) == feed->host.build) return;
            env_.defaults->set(lastPromptedBuildKey, feed->host.build);
            presentAutoUpdateCountdownWindow(feed->host);
            return;
        }
        case UpdateCheckKind::manual: {
            if (!feed) {
                presentUpdateCheckFailedAlert();
            } else if (!QuillmereReleaseFeedService::isUpdateAvailable(version, build, feed->host)) {
                presentHostUpToDateAlert();
            } else {
                try {
                    auto request = HostOnlineUpdateRequest::requestImmediateCheck(feed->host.version, feed->host.build,
                                                                                  env_.updaterLocations);
                    if (auto earlier = onlineUpdateProgressWindow) {
                        earlier->suppressCancellationOnClose = true;
                        earlier->close();
                    }
                    auto window = HostUpdateProgressWindow::create(
                        request, {env_.platform.mainQueue, env_.platform.clock, env_.updaterLocations});
                    // Let go of the window once it closes, so that the hourly checks resume; the
                    // release waits for the close to finish.
                    std::weak_ptr<HostUpdateProgressWindow> weakWindow = window;
                    window->onClosed = [weak = weak(), weakWindow] {
                        auto self = weak.lock();
                        if (!self) return;
                        self->env_.platform.mainQueue->async([weak, weakWindow] {
                            auto delegate = weak.lock();
                            auto closed = weakWindow.lock();
                            if (delegate && closed && delegate->onlineUpdateProgressWindow == closed) {
                                delegate->onlineUpdateProgressWindow.reset();
                            }
                        });
                    };
                    onlineUpdateProgressWindow = window;
                    if (env_.shell) env_.shell->attachWindow(window);
                    bringUpdateWindowForward(*window);
                } catch (const HostOnlineUpdateRequest::RequestError&) {
                    presentAutomaticUpdaterUnavailableAlert();
                }
            }
            onlineUpdateRequestInProgress = false;
            refreshOnlineUpdateButtonPresentation();
            return;
        }
    }
}

void HostProbeDelegate::presentAutoUpdateCountdownWindow(const QuillmereReleaseFeed::Product& latest) {
    if (auto held = autoUpdateCountdownWindow) held->close();
    auto window = HostAutoUpdateCountdownWindow::create(env_.platform.mainQueue, hostAppVersionString(env_.bundle),
                                                        hostBundleVersionString(env_.bundle), latest.version,
                                                        latest.build, autoUpdateCountdownSeconds);
    autoUpdateCountdownWindow = window;
    window->onUpdateTriggered = [weak = weak()] {
        auto self = weak.lock();
        if (!self) return;
        if (auto held = self->autoUpdateCountdownWindow) held->close();
        self->autoUpdateCountdownWindow.reset();
        if (!self->onlineUpdateRequestInProgress) self->beginOnlineUpdateCheck();
    };
    window->onSkipped = [weak = weak()] {
        auto self = weak.lock();
        if (!self) return;
        self->autoUpdateCountdownWindow.reset();
        self->log("auto-update skipped by user");
    };
    window->onWindowClosed = [weak = weak()] {
        if (auto self = weak.lock()) self->autoUpdateCountdownWindow.reset();
    };
    if (env_.shell) env_.shell->attachWindow(window);
    bringUpdateWindowForward(*window);
    log("auto-update countdown presented for build " + latest.build);
}

void HostProbeDelegate::bringUpdateWindowForward(WindowModel& window) {
    window.floatAboveOthers();
    window.deminiaturize();
    window.makeKeyAndOrderFront();
    if (env_.shell) env_.shell->activateIgnoringOtherApps();
    window.makeKeyAndOrderFront();
}

void HostProbeDelegate::beginUpdateSheet(const AlertModel& alert, std::function<void(int)> completion) {
    if (!summaryWindow) summaryWindow = makeSummaryWindow();
    beginHostForegroundSheet(alert, summaryWindow, std::move(completion));
}

void HostProbeDelegate::presentUpdateCheckFailedAlert() {
    // Only the automatic checks try again by themselves; with them off, the promise would be false.
    const auto message =
        env_.defaults->boolean(autoUpdateEnabledKey)
            ? L10n::text("host.updateCheckFailedMessage",
                         "Corventis Host could not reach the update service. It will try again automatically.")
            : L10n::text("host.updateCheckFailedManualMessage",
                         "Corventis Host could not reach the update service. Check the network connection and try again.");
    beginUpdateSheet({L10n::text("host.updateCheckFailedTitle", "Unable to Check for Update"), message,
                      {L10n::text("common.ok", "OK")}, AlertModel::Style::warning},
                     [](int) {});
}

void HostProbeDelegate::presentHostUpToDateAlert() {
    beginUpdateSheet({L10n::text("host.upToDateTitle", "Corventis Host Is Up to Date"),
                      L10n::format("host.upToDateMessageFormat", "%@ is already the latest version.",
                                   "V" + hostAppVersionString(env_.bundle)),
                      {L10n::text("common.ok", "OK")}},
                     [](int) {});
}

void HostProbeDelegate::presentAutomaticUpdaterUnavailableAlert() {
    beginUpdateSheet({L10n::text("host.automaticUpdaterUnavailableTitle", "Automatic Update Is Not Ready"),
                      L10n::text("host.automaticUpdaterUnavailableMessage",
                                 "Install the latest Host package once to enable future background updates."),
                      {L10n::text("host.openDownloadPage", "Open Download Page"), L10n::text("common.cancel", "Cancel")},
                      AlertModel::Style::warning},
                     [weak = weak()](int response) {
                         if (response != 1000) return;
                         if (auto self = weak.lock()) self->openHostWebsite("download", std::nullopt);
                     });
}

void HostProbeDelegate::openHostWebsite(const std::string& path, const std::optional<std::string>& fragment) {
    if (!env_.shell) return;
    auto url = env_.websiteURL ? env_.websiteURL(path, fragment) : QuillmereReleaseChannels::localizedProductURL(path, fragment);
    if (url) env_.shell->openURL(*url);
}

void HostProbeDelegate::openMainWebsite(const std::string& path) {
    if (!env_.shell) return;
    auto url = env_.mainWebsiteURL ? env_.mainWebsiteURL(path) : QuillmereReleaseChannels::localizedMainURL(path);
    if (url) env_.shell->openURL(*url);
}

}  // namespace qm
