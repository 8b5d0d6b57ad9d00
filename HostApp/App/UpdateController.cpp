// The Host's side of updating: the preference, the launch, hourly and manual checks, the
// countdown that announces a new build, the hand-over to the system updater with its progress
// window, the update alerts and the website links. Everything runs on the main queue; only the
// feed's network wait happens elsewhere.
#include <cstdio>

#include "HostApp/App/UpdateController.h"

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

std::shared_ptr<UpdateController> UpdateController::create(HostProbeDelegate& app) {
    return std::shared_ptr<UpdateController>(new UpdateController(app));
}

UpdateController::UpdateController(HostProbeDelegate& app)
    : HostControllerOf(app), updateFeedQueue_(env().platform.makeQueue("v230.hostprobe.update-feed")) {}

UpdateController::~UpdateController() {
    if (hourlyUpdateTimer) hourlyUpdateTimer->cancel();
}

void UpdateController::startHourlyUpdateCheck() {
    if (hourlyUpdateTimer) hourlyUpdateTimer->cancel();
    hourlyUpdateTimer = RepeatingTimer::schedule(env().platform.mainQueue, hourlyUpdateInterval, [weak = weak()] {
        if (auto self = weak.lock()) self->performHourlyUpdateCheck();
    });
}

void UpdateController::refreshOnlineUpdateButtonPresentation() {
    const auto& summaryWindow = app_.status().summaryWindow;
    if (!summaryWindow || !summaryWindow->updateButton) return;
    auto& button = *summaryWindow->updateButton;
    button.setTitle(onlineUpdateRequestInProgress ? L10n::text("host.checkingUpdateButton", "Checking for Update…")
                                                  : L10n::text("host.updateVersionButton", "Update Version"));
    button.setEnabled(!onlineUpdateRequestInProgress);
}

void UpdateController::applicationWillTerminate() {
    if (onlineUpdateProgressWindow) onlineUpdateProgressWindow->applicationWillTerminate();
}

void UpdateController::setHostAutoUpdateEnabled(bool enabled) {
    env().defaults->set(autoUpdateEnabledKey, enabled);
    log(std::string("auto-update preference set to ") + (enabled ? "enabled" : "disabled"));
}

void UpdateController::toggleAutoUpdateMenuAction(MenuItemModel& item) {
    const bool enabled = !item.checked();
    setHostAutoUpdateEnabled(enabled);
    item.setChecked(enabled);
    app_.status().showAutoUpdateChecked(enabled);
}

void UpdateController::checkForHostUpdateOnLaunch() {
    if (!env().defaults->boolean(autoUpdateEnabledKey)) return;
    startUpdateCheckTask(UpdateCheckKind::launch);
}

void UpdateController::performHourlyUpdateCheck() {
    if (!env().defaults->boolean(autoUpdateEnabledKey)) return;
    if (autoUpdateCountdownWindow || onlineUpdateProgressWindow || onlineUpdateRequestInProgress) return;
    startUpdateCheckTask(UpdateCheckKind::hourly);
}

void UpdateController::requestOnlineUpdateAction() {
    if (onlineUpdateRequestInProgress) return;
    beginOnlineUpdateCheck();
}

void UpdateController::beginOnlineUpdateCheck() {
    onlineUpdateRequestInProgress = true;
    refreshOnlineUpdateButtonPresentation();
    startUpdateCheckTask(UpdateCheckKind::manual);
}

void UpdateController::startUpdateCheckTask(UpdateCheckKind kind) {
    auto handle = [weak = weak(), kind](std::optional<QuillmereReleaseFeed> feed) {
        if (auto self = weak.lock()) self->handleUpdateCheckResult(kind, feed);
    };
    if (env().fetchLatestFeed) {
        env().fetchLatestFeed(std::move(handle));
    } else {
        QuillmereReleaseFeedService::fetchLatestFeed(updateFeedQueue_, env().platform.mainQueue, std::move(handle));
    }
}

void UpdateController::storeLastUpdateCheckTime() {
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", env().platform.clock->wallTime());
    // The defaults hold Booleans and texts; the seconds since 1970 are kept as decimal text.
    env().defaults->set(lastCheckTimestampKey, std::string(text));
}

void UpdateController::handleUpdateCheckResult(UpdateCheckKind kind, const std::optional<QuillmereReleaseFeed>& feed) {
    const auto version = hostAppVersionString(env().bundle);
    const auto build = hostBundleVersionString(env().bundle);
    switch (kind) {
        case UpdateCheckKind::launch: {
            if (!feed) return;
            if (!QuillmereReleaseFeedService::isUpdateAvailable(version, build, feed->host)) {
                env().defaults->remove(lastPromptedBuildKey);
                return;
            }
            if (env().defaults->string(lastPromptedBuildKey) == feed->host.build) return;
            env().defaults->set(lastPromptedBuildKey, feed->host.build);
            storeLastUpdateCheckTime();
            presentAutoUpdateCountdownWindow(feed->host);
            return;
        }
        case UpdateCheckKind::hourly: {
            if (!feed) return;
            const bool available = QuillmereReleaseFeedService::isUpdateAvailable(version, build, feed->host);
            storeLastUpdateCheckTime();
            if (!available || env().defaults->string(lastPromptedBuildKey) == feed->host.build) return;
            env().defaults->set(lastPromptedBuildKey, feed->host.build);
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
                                                                                  env().updaterLocations);
                    if (auto earlier = onlineUpdateProgressWindow) {
                        earlier->suppressCancellationOnClose = true;
                        earlier->close();
                    }
                    auto window = HostUpdateProgressWindow::create(
                        request, {env().platform.mainQueue, env().platform.clock, env().updaterLocations});
                    // Let go of the window once it closes, so that the hourly checks resume; the
                    // release waits for the close to finish.
                    std::weak_ptr<HostUpdateProgressWindow> weakWindow = window;
                    window->onClosed = [weak = weak(), weakWindow] {
                        auto self = weak.lock();
                        if (!self) return;
                        self->env().platform.mainQueue->async([weak, weakWindow] {
                            auto controller = weak.lock();
                            auto closed = weakWindow.lock();
                            if (controller && closed && controller->onlineUpdateProgressWindow == closed) {
                                controller->onlineUpdateProgressWindow.reset();
                            }
                        });
                    };
                    onlineUpdateProgressWindow = window;
                    if (env().shell) env().shell->attachWindow(window);
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

void UpdateController::presentAutoUpdateCountdownWindow(const QuillmereReleaseFeed::Product& latest) {
    if (auto held = autoUpdateCountdownWindow) held->close();
    auto window = HostAutoUpdateCountdownWindow::create(env().platform.mainQueue, hostAppVersionString(env().bundle),
                                                        hostBundleVersionString(env().bundle), latest.version,
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
        log("auto-update skipped by user");
    };
    window->onWindowClosed = [weak = weak()] {
        if (auto self = weak.lock()) self->autoUpdateCountdownWindow.reset();
    };
    if (env().shell) env().shell->attachWindow(window);
    bringUpdateWindowForward(*window);
    log("auto-update countdown presented for build " + latest.build);
}

void UpdateController::bringUpdateWindowForward(WindowModel& window) {
    window.floatAboveOthers();
    window.deminiaturize();
    window.makeKeyAndOrderFront();
    if (env().shell) env().shell->activateIgnoringOtherApps();
    window.makeKeyAndOrderFront();
}

void UpdateController::presentUpdateCheckFailedAlert() {
    // Only the automatic checks try again by themselves; with them off, the promise would be false.
    const auto message =
        env().defaults->boolean(autoUpdateEnabledKey)
            ? L10n::text("host.updateCheckFailedMessage",
                         "Corventis Host could not reach the update service. It will try again automatically.")
            : L10n::text("host.updateCheckFailedManualMessage",
                         "Corventis Host could not reach the update service. Check the network connection and try again.");
    app_.status().runHostModalAlert({L10n::text("host.updateCheckFailedTitle", "Unable to Check for Update"), message,
                      {L10n::text("common.ok", "OK")}, AlertModel::Style::warning},
                     [](int) {});
}

#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
// GCC 12 reports an overlapping copy inside std::string here that cannot happen (a known false positive).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
void UpdateController::presentHostUpToDateAlert() {
    app_.status().runHostModalAlert({L10n::text("host.upToDateTitle", "Corventis Host Is Up to Date"),
                      L10n::format("host.upToDateMessageFormat", "%@ is already the latest version.",
                                   "V" + hostAppVersionString(env().bundle)),
                      {L10n::text("common.ok", "OK")}},
                     [](int) {});
}
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic pop
#endif

void UpdateController::presentAutomaticUpdaterUnavailableAlert() {
    app_.status().runHostModalAlert({L10n::text("host.automaticUpdaterUnavailableTitle", "Automatic Update Is Not Ready"),
                      L10n::text("host.automaticUpdaterUnavailableMessage",
                                 "Install the latest Host package once to enable future background updates."),
                      {L10n::text("host.openDownloadPage", "Open Download Page"), L10n::text("common.cancel", "Cancel")},
                      AlertModel::Style::warning},
                     [weak = weak()](int response) {
                         if (response != 1000) return;
                         if (auto self = weak.lock()) self->openHostWebsite("download", std::nullopt);
                     });
}

void UpdateController::openHostWebsite(const std::string& path, const std::optional<std::string>& fragment) {
    if (!env().shell) return;
    auto url = env().websiteURL ? env().websiteURL(path, fragment) : QuillmereReleaseChannels::localizedProductURL(path, fragment);
    if (url) env().shell->openURL(*url);
}

void UpdateController::openMainWebsite(const std::string& path) {
    if (!env().shell) return;
    auto url = env().mainWebsiteURL ? env().mainWebsiteURL(path) : QuillmereReleaseChannels::localizedMainURL(path);
    if (url) env().shell->openURL(*url);
}

}  // namespace qm
