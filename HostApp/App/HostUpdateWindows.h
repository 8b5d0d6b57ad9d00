#pragma once

// The two update windows as models: the countdown that announces a new Host build, and the
// progress window that follows one request to the system updater. Both run on the main queue;
// every timer and delayed block holds its window weakly.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "HostApp/App/HostOnlineUpdateRequest.h"
#include "HostApp/App/ViewModels.h"
#include "Platform/Core/Clock.h"
#include "Platform/Core/DispatchQueue.h"

namespace qm {

// A bar: determinate (minimum, maximum, value) or indeterminate (animating or stopped).
class ProgressBarModel : public ViewModel {
public:
    bool indeterminate() const { return indeterminate_; }
    void setIndeterminate(bool value) { assign(indeterminate_, value); }
    bool animating() const { return animating_; }
    void setAnimating(bool value) { assign(animating_, value); }
    double minValue() const { return min_; }
    double maxValue() const { return max_; }
    void setRange(double min, double max) {
        min_ = min;
        max_ = max;
        changed();
    }
    double value() const { return value_; }
    void setValue(double value) { assign(value_, value); }

private:
    bool indeterminate_ = false;
    bool animating_ = false;
    double min_ = 0;
    double max_ = 100;
    double value_ = 0;
};

class HostAutoUpdateCountdownWindow : public WindowModel,
                                      public std::enable_shared_from_this<HostAutoUpdateCountdownWindow> {
public:
    static constexpr int width = 420;
    static constexpr int height = 280;

    // Builds the window and starts the countdown on `mainQueue`; showing it is the owner's.
    static std::shared_ptr<HostAutoUpdateCountdownWindow> create(DispatchQueuePtr mainQueue, const std::string& currentVersion,
                                                                 const std::string& currentBuild,
                                                                 const std::string& targetVersion,
                                                                 const std::string& targetBuild, int countdownSeconds);
    ~HostAutoUpdateCountdownWindow() override;

    std::shared_ptr<LabelModel> titleLabel = std::make_shared<LabelModel>();
    std::shared_ptr<LabelModel> infoLabel = std::make_shared<LabelModel>();
    std::shared_ptr<LabelModel> statusLabel = std::make_shared<LabelModel>();
    std::shared_ptr<ProgressBarModel> progressBar = std::make_shared<ProgressBarModel>();
    std::shared_ptr<LabelModel> disclaimerLabel = std::make_shared<LabelModel>();
    std::shared_ptr<ButtonModel> skipButton = std::make_shared<ButtonModel>(ButtonModel::Kind::push, "");
    std::shared_ptr<ButtonModel> updateButton = std::make_shared<ButtonModel>(ButtonModel::Kind::push, "");

    const int countdownSeconds;
    int remainingSeconds;
    std::shared_ptr<RepeatingTimer> countdownTimer;
    bool didTriggerUpdate = false;
    std::function<void()> onUpdateTriggered;
    std::function<void()> onSkipped;
    std::function<void()> onWindowClosed;

    void triggerNow();
    void skipUpdate();
    // Every close (close box, skip, the owner) ends here.
    void close();
    void closedByUser() { close(); }
    void tick();

private:
    HostAutoUpdateCountdownWindow(DispatchQueuePtr mainQueue, int countdownSeconds);
    void setupUI(const std::string& currentVersion, const std::string& targetVersion);
    void startCountdown();
    void triggerUpdate();
    void windowWillClose();
    void stopTimer();
    // Runs a callback with the window kept alive: the owner may release it from inside.
    void call(const std::function<void()>& callback);

    DispatchQueuePtr mainQueue_;
    bool closing_ = false;
};

class HostUpdateProgressWindow : public WindowModel, public std::enable_shared_from_this<HostUpdateProgressWindow> {
public:
    static constexpr int width = 400;
    static constexpr int height = 244;
    static constexpr double pollInterval = 0.5;
    static constexpr double statusTimeout = 30.0;
    static constexpr double autoDismissDelay = 5.0;

    struct Environment {
        DispatchQueuePtr mainQueue;
        std::shared_ptr<const Clock> clock;
        HostOnlineUpdateRequest::Locations locations = HostOnlineUpdateRequest::Locations::system();
    };

    // Builds the window and starts polling; showing it is the caller's.
    static std::shared_ptr<HostUpdateProgressWindow> create(HostOnlineUpdateRequest::Request request, Environment environment);
    ~HostUpdateProgressWindow() override;

    std::shared_ptr<LabelModel> titleLabel = std::make_shared<LabelModel>();
    std::shared_ptr<LabelModel> statusLabel = std::make_shared<LabelModel>();
    std::shared_ptr<ProgressBarModel> progressBar = std::make_shared<ProgressBarModel>();
    std::shared_ptr<LabelModel> noteLabel = std::make_shared<LabelModel>();
    std::shared_ptr<ButtonModel> cancelButton = std::make_shared<ButtonModel>(ButtonModel::Kind::push, "");

    const HostOnlineUpdateRequest::Request request;
    std::shared_ptr<RepeatingTimer> statusTimer;
    std::optional<HostOnlineUpdateRequest::Status::State> currentState;
    bool cancellationRequested = false;
    bool suppressCancellationOnClose = false;
    std::optional<std::uint64_t> observationStartTime;  // none: the distant future
    bool hasReceivedStatus = false;
    bool timedOut = false;
    // After the window has closed, whoever closed it (the owner lets go of it here).
    std::function<void()> onClosed;

    void cancelUpdate();
    // The close box: asks to cancel first unless that is suppressed, then closes.
    bool windowShouldClose();
    void closedByUser();
    // A plain close: cancels nothing. Polling stops.
    void close();
    // The application is quitting: close without cancelling.
    void applicationWillTerminate();
    void refreshUpdaterStatus();
    bool isCancellable() const;
    static std::string failureMessage(const std::string& failureReason);

private:
    HostUpdateProgressWindow(HostOnlineUpdateRequest::Request request, Environment environment);
    void setupUI(const std::string& version);
    void startStatusObservation();
    void requestCancellationIfPossible();
    void applyButtonRule();
    void scheduleAutoDismiss(double delay);
    void finish(const std::string& status, bool dismiss);

    Environment env_;
    DispatchWorkItemPtr autoDismiss_;
    bool closed_ = false;
};

}  // namespace qm
