#include "HostApp/App/HostUpdateWindows.h"

#include "QuillmereProfiles/QuillmereL10n.h"

namespace qm {

using L10n = QuillmereL10n;
using State = HostOnlineUpdateRequest::Status::State;

namespace {

std::string countdownText(int seconds) {
    return L10n::format("update.autoCountdownFormat", "Starting update in %d seconds…", std::max(seconds, 0));
}

}  // namespace

// ---- Countdown --------------------------------------------------------------------------------

HostAutoUpdateCountdownWindow::HostAutoUpdateCountdownWindow(DispatchQueuePtr mainQueue, int seconds)
    : countdownSeconds(seconds), remainingSeconds(seconds), mainQueue_(std::move(mainQueue)) {}

std::shared_ptr<HostAutoUpdateCountdownWindow> HostAutoUpdateCountdownWindow::create(
    DispatchQueuePtr mainQueue, const std::string& currentVersion, const std::string& /*currentBuild*/,
    const std::string& targetVersion, const std::string& /*targetBuild*/, int countdownSeconds) {
    std::shared_ptr<HostAutoUpdateCountdownWindow> window(new HostAutoUpdateCountdownWindow(std::move(mainQueue), countdownSeconds));
    window->setTitle(L10n::text("update.autoTitle", "Automatic Update"));
    window->floatAboveOthers();
    window->setupUI(currentVersion, targetVersion);
    window->startCountdown();
    return window;
}

HostAutoUpdateCountdownWindow::~HostAutoUpdateCountdownWindow() { stopTimer(); }

void HostAutoUpdateCountdownWindow::setupUI(const std::string& currentVersion, const std::string& targetVersion) {
    titleLabel->setText(L10n::format("update.autoTitleFormat", "Corventis Host %@ Available", "V" + targetVersion));
    infoLabel->setText(L10n::format("update.autoInfoFormat", "You're using %@. The update will be installed automatically.",
                                    "V" + currentVersion));
    statusLabel->setText(countdownText(remainingSeconds));
    progressBar->setIndeterminate(false);
    progressBar->setRange(0, countdownSeconds);
    progressBar->setValue(countdownSeconds);
    disclaimerLabel->setText(L10n::text("update.autoDisclaimer",
                                        "Auto-update is enabled. You can change this in Host preferences.\n"
                                        "The update will download and install via the system updater."));
    skipButton->setTitle(L10n::text("update.autoSkip", "Skip This Update"));
    updateButton->setTitle(L10n::text("update.autoUpdateNow", "Update Now"));
    updateButton->setKeyEquivalent("\r");
    std::weak_ptr<HostAutoUpdateCountdownWindow> weak = weak_from_this();
    skipButton->action = [weak](ButtonModel&) {
        if (auto self = weak.lock()) self->skipUpdate();
    };
    updateButton->action = [weak](ButtonModel&) {
        if (auto self = weak.lock()) self->triggerNow();
    };
}

void HostAutoUpdateCountdownWindow::startCountdown() {
    stopTimer();
    std::weak_ptr<HostAutoUpdateCountdownWindow> weak = weak_from_this();
    countdownTimer = RepeatingTimer::schedule(mainQueue_, 1.0, [weak] {
        if (auto self = weak.lock()) self->tick();
    });
}

void HostAutoUpdateCountdownWindow::stopTimer() {
    if (countdownTimer) countdownTimer->cancel();
}

void HostAutoUpdateCountdownWindow::tick() {
    --remainingSeconds;
    progressBar->setValue(remainingSeconds);
    statusLabel->setText(countdownText(remainingSeconds));
    if (remainingSeconds <= 0) {
        stopTimer();
        triggerUpdate();
    }
}

void HostAutoUpdateCountdownWindow::call(const std::function<void()>& callback) {
    if (!callback) return;
    // The owner usually lets go of the window from inside; both stay alive until the call returns.
    auto keepAlive = shared_from_this();
    auto copy = callback;
    copy();
}

void HostAutoUpdateCountdownWindow::triggerUpdate() {
    if (didTriggerUpdate) return;
    didTriggerUpdate = true;
    skipButton->setEnabled(false);
    updateButton->setEnabled(false);
    statusLabel->setText(L10n::text("update.autoStarting", "Starting update…"));
    call(onUpdateTriggered);
}

void HostAutoUpdateCountdownWindow::triggerNow() {
    stopTimer();
    progressBar->setValue(0);
    remainingSeconds = 0;
    triggerUpdate();
}

void HostAutoUpdateCountdownWindow::skipUpdate() {
    auto keepAlive = shared_from_this();
    stopTimer();
    call(onSkipped);
    close();
}

void HostAutoUpdateCountdownWindow::close() {
    if (closing_) return;
    closing_ = true;
    auto keepAlive = shared_from_this();
    WindowModel::close();
    windowWillClose();
}

void HostAutoUpdateCountdownWindow::windowWillClose() {
    stopTimer();
    if (!didTriggerUpdate) call(onWindowClosed);
}

// ---- Progress -----------------------------------------------------------------------------------

HostUpdateProgressWindow::HostUpdateProgressWindow(HostOnlineUpdateRequest::Request request, Environment environment)
    : request(std::move(request)), env_(std::move(environment)) {}

std::shared_ptr<HostUpdateProgressWindow> HostUpdateProgressWindow::create(HostOnlineUpdateRequest::Request request,
                                                                           Environment environment) {
    std::shared_ptr<HostUpdateProgressWindow> window(new HostUpdateProgressWindow(std::move(request), std::move(environment)));
    window->setTitle(L10n::text("update.progressTitle", "Updating Host"));
    window->floatAboveOthers();
    window->setupUI("V" + window->request.targetVersion);
    window->startStatusObservation();
    return window;
}

HostUpdateProgressWindow::~HostUpdateProgressWindow() {
    if (statusTimer) statusTimer->cancel();
    if (autoDismiss_) autoDismiss_->cancel();
}

void HostUpdateProgressWindow::setupUI(const std::string& version) {
    titleLabel->setText(L10n::format("update.progressTitleFormat", "Updating to %@", version));
    statusLabel->setText(L10n::text("update.progressWaiting", "Waiting for the system updater service…"));
    progressBar->setIndeterminate(true);
    noteLabel->setText(L10n::text("update.progressNote",
                                  "This window reflects the state reported by the system updater service.\n"
                                  "Host restarts only after the installed version is verified."));
    std::weak_ptr<HostUpdateProgressWindow> weak = weak_from_this();
    cancelButton->action = [weak](ButtonModel&) {
        if (auto self = weak.lock()) self->cancelUpdate();
    };
    applyButtonRule();
}

bool HostUpdateProgressWindow::isCancellable() const {
    return !cancellationRequested && (!currentState || *currentState < State::installing);
}

void HostUpdateProgressWindow::applyButtonRule() {
    cancelButton->setTitle(isCancellable() ? L10n::text("common.cancel", "Cancel") : L10n::text("common.close", "Close"));
}

void HostUpdateProgressWindow::startStatusObservation() {
    progressBar->setAnimating(true);
    observationStartTime = env_.clock->uptimeNs();
    hasReceivedStatus = false;
    timedOut = false;
    refreshUpdaterStatus();
    std::weak_ptr<HostUpdateProgressWindow> weak = weak_from_this();
    statusTimer = RepeatingTimer::schedule(env_.mainQueue, pollInterval, [weak] {
        if (auto self = weak.lock()) self->refreshUpdaterStatus();
    });
}

void HostUpdateProgressWindow::finish(const std::string& status, bool dismiss) {
    progressBar->setAnimating(false);
    statusLabel->setText(status);
    if (dismiss) scheduleAutoDismiss(autoDismissDelay);
    applyButtonRule();
}

void HostUpdateProgressWindow::refreshUpdaterStatus() {
    if (timedOut || closed_) return;
    auto status = HostOnlineUpdateRequest::status(request, env_.locations);
    if (!status) {
        const bool waitedTooLong =
            observationStartTime && env_.clock->uptimeNs() > *observationStartTime &&
            static_cast<double>(env_.clock->uptimeNs() - *observationStartTime) / 1e9 > statusTimeout;
        if (!hasReceivedStatus && waitedTooLong) {
            timedOut = true;
            finish(L10n::text("update.progressFailed", "The system updater could not complete this update."), true);
        }
        return;
    }
    hasReceivedStatus = true;
    currentState = status->state;
    if (!status->targetVersion.empty() && !status->targetBuild.empty()) {
        titleLabel->setText(L10n::format("update.progressTitleFormat", "Updating to %@", "V" + status->targetVersion));
    }
    switch (status->state) {
        case State::queued:
        case State::checking:
            statusLabel->setText(L10n::text("update.progressWaiting", "Waiting for the system updater service…"));
            applyButtonRule();
            break;
        case State::downloading:
            statusLabel->setText(L10n::text("update.progressDownloading", "Downloading update…"));
            applyButtonRule();
            break;
        case State::verifying:
            statusLabel->setText(L10n::text("update.progressVerifying", "Verifying update…"));
            applyButtonRule();
            break;
        case State::installing:
            statusLabel->setText(L10n::text("update.progressInstalling", "Installing update…"));
            applyButtonRule();
            break;
        case State::restarting:
            statusLabel->setText(L10n::text("update.progressRestarting", "Restarting Host…"));
            applyButtonRule();
            break;
        case State::completed: {
            const bool verified = !status->targetVersion.empty() && !status->targetBuild.empty() &&
                                  status->installedVersion == status->targetVersion &&
                                  status->installedBuild == status->targetBuild;
            if (verified) {
                cancelButton->setTitle(L10n::text("common.close", "Close"));
                finish(L10n::text("update.progressVerifiedRestarting", "Installed version verified. Restarting Host…"), true);
            } else {
                progressBar->setAnimating(false);
                statusLabel->setText(L10n::text("update.progressFailed", "The system updater could not complete this update."));
            }
            break;
        }
        case State::noUpdate: finish(L10n::text("host.upToDateTitle", "Corventis Host Is Up to Date"), true); break;
        case State::deferred:
            finish(L10n::text("update.progressDeferred", "A recent installation is still in its safety cooldown."), true);
            break;
        case State::cancelled: finish(L10n::text("update.progressCancelled", "Update cancelled."), true); break;
        case State::failed: finish(failureMessage(status->failureReason), true); break;
    }
}

std::string HostUpdateProgressWindow::failureMessage(const std::string& failureReason) {
    if (failureReason == "manifest-url-rejected") {
        return L10n::text("update.progressFailedManifestURL", "This Host version does not support the update download address.");
    }
    if (failureReason == "manifest-download-failed" || failureReason == "package-download-failed") {
        return L10n::text("host.updateCheckFailedMessage",
                          "Corventis Host could not reach the update service. It will try again automatically.");
    }
    return L10n::text("update.progressFailed", "The system updater could not complete this update.");
}

void HostUpdateProgressWindow::scheduleAutoDismiss(double delay) {
    cancelButton->setHidden(true);
    // A final state is seen on every poll; the first sighting's dismissal is the one that counts.
    if (autoDismiss_) return;
    std::weak_ptr<HostUpdateProgressWindow> weak = weak_from_this();
    autoDismiss_ = env_.mainQueue->asyncAfter(delay, [weak] {
        auto self = weak.lock();
        if (!self) return;
        self->suppressCancellationOnClose = true;
        self->close();
    });
}

void HostUpdateProgressWindow::requestCancellationIfPossible() {
    if (!isCancellable()) return;
    try {
        HostOnlineUpdateRequest::cancel(request, env_.locations);
    } catch (const HostOnlineUpdateRequest::RequestError&) {
        statusLabel->setText(L10n::text("update.progressFailed", "The system updater could not complete this update."));
        return;
    }
    cancellationRequested = true;
    statusLabel->setText(L10n::text("update.progressCancelling", "Cancelling update…"));
    applyButtonRule();
}

void HostUpdateProgressWindow::cancelUpdate() {
    if (isCancellable()) {
        requestCancellationIfPossible();
    } else {
        close();
    }
}

bool HostUpdateProgressWindow::windowShouldClose() {
    if (!suppressCancellationOnClose) requestCancellationIfPossible();
    return true;
}

void HostUpdateProgressWindow::closedByUser() {
    if (windowShouldClose()) close();
}

void HostUpdateProgressWindow::applicationWillTerminate() {
    suppressCancellationOnClose = true;
    close();
}

void HostUpdateProgressWindow::close() {
    if (closed_) return;
    closed_ = true;
    auto keepAlive = shared_from_this();
    // A closed window polls no more and dismisses nothing later.
    if (statusTimer) statusTimer->cancel();
    if (autoDismiss_) autoDismiss_->cancel();
    progressBar->setAnimating(false);
    WindowModel::close();
    if (onClosed) {
        auto callback = onClosed;
        callback();
    }
}

}  // namespace qm
