#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "HostApp/App/HostController.h"
#include "HostApp/App/HostUpdateWindows.h"
#include "HostApp/App/ViewModels.h"
#include "Platform/Core/DispatchQueue.h"
#include "QuillmereProfiles/QuillmereReleaseFeed.h"

namespace qm {

// Updates: the automatic-update preference, the launch, hourly and manual checks of the release
// feed, the countdown window that announces a new build, the hand-over to the system updater
// with its progress window, the update alerts and the website links. Owns the two update windows
// and the hourly timer.
class UpdateController : public HostControllerOf<UpdateController> {
public:
    static constexpr double hourlyUpdateInterval = 3600.0;
    static constexpr int autoUpdateCountdownSeconds = 5;

    static std::shared_ptr<UpdateController> create(HostProbeDelegate& app);
    ~UpdateController();

    void setHostAutoUpdateEnabled(bool enabled);
    void toggleAutoUpdateMenuAction(MenuItemModel& item);
    void checkForHostUpdateOnLaunch();
    void startHourlyUpdateCheck();
    void performHourlyUpdateCheck();
    void requestOnlineUpdateAction();
    void refreshOnlineUpdateButtonPresentation();
    void presentAutoUpdateCountdownWindow(const QuillmereReleaseFeed::Product& latest);
    void presentUpdateCheckFailedAlert();
    void presentHostUpToDateAlert();
    void presentAutomaticUpdaterUnavailableAlert();
    void openHostWebsite(const std::string& path, const std::optional<std::string>& fragment);
    void openMainWebsite(const std::string& path);
    // Quitting closes the progress window without cancelling its request.
    void applicationWillTerminate();

    // ---- The models (read by the views and tests) -------------------------------------------
    bool onlineUpdateRequestInProgress = false;
    std::shared_ptr<RepeatingTimer> hourlyUpdateTimer;
    std::shared_ptr<HostAutoUpdateCountdownWindow> autoUpdateCountdownWindow;
    std::shared_ptr<HostUpdateProgressWindow> onlineUpdateProgressWindow;

private:
    explicit UpdateController(HostProbeDelegate& app);
    enum class UpdateCheckKind { launch, hourly, manual };
    // Fetches the feed and hands it to the kind's result handling, if the controller still exists.
    void startUpdateCheckTask(UpdateCheckKind kind);
    void handleUpdateCheckResult(UpdateCheckKind kind, const std::optional<QuillmereReleaseFeed>& feed);
    // The manual update from the moment it is allowed to start (the flag set, the button shown).
    void beginOnlineUpdateCheck();
    void bringUpdateWindowForward(WindowModel& window);
    void storeLastUpdateCheckTime();

    DispatchQueuePtr updateFeedQueue_;  // the feed's blocking fetch
};

}  // namespace qm
