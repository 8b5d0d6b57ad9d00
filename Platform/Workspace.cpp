#include "Platform/Workspace.h"

namespace qm {

std::vector<RunningApplication> SimulatedWorkspace::runningApplications() const {
    std::lock_guard lock(mutex_);
    return running_;
}

std::optional<std::filesystem::path> SimulatedWorkspace::urlForApplication(const std::string& bundleIdentifier) const {
    std::lock_guard lock(mutex_);
    auto it = installed_.find(bundleIdentifier);
    if (it == installed_.end()) return std::nullopt;
    return it->second;
}

std::optional<ApplicationBundleInfo> SimulatedWorkspace::bundleInfo(const std::filesystem::path& applicationURL) const {
    std::lock_guard lock(mutex_);
    auto it = infos_.find(applicationURL);
    if (it == infos_.end()) return std::nullopt;
    return it->second;
}

bool SimulatedWorkspace::fileExists(const std::filesystem::path& path) const {
    std::lock_guard lock(mutex_);
    return existing_.contains(path);
}

void SimulatedWorkspace::openApplication(const std::filesystem::path& applicationURL, bool,
                                         std::function<void(std::optional<std::string>)> completion) {
    OpenOutcome outcome;
    std::string errorText;
    {
        std::lock_guard lock(mutex_);
        opened_.push_back(applicationURL);
        outcome = outcome_;
        errorText = errorText_;
        // Kept so that a completion that never comes does not look like a dropped one.
        if (outcome == OpenOutcome::neverCompletes) pending_.push_back(std::move(completion));
    }
    if (outcome == OpenOutcome::succeeds) completion(std::nullopt);
    if (outcome == OpenOutcome::fails) completion(errorText);
}

void SimulatedWorkspace::addRunningApplication(RunningApplication application) {
    std::lock_guard lock(mutex_);
    running_.push_back(std::move(application));
}

void SimulatedWorkspace::installApplication(const std::string& bundleIdentifier, const std::filesystem::path& url,
                                            std::optional<ApplicationBundleInfo> info) {
    std::lock_guard lock(mutex_);
    installed_[bundleIdentifier] = url;
    existing_.insert(url);
    if (info) infos_[url] = std::move(*info);
}

void SimulatedWorkspace::addExistingPath(const std::filesystem::path& path) {
    std::lock_guard lock(mutex_);
    existing_.insert(path);
}

void SimulatedWorkspace::setOpenOutcome(OpenOutcome outcome, std::string errorText) {
    std::lock_guard lock(mutex_);
    outcome_ = outcome;
    errorText_ = std::move(errorText);
}

std::vector<std::filesystem::path> SimulatedWorkspace::openedApplications() const {
    std::lock_guard lock(mutex_);
    return opened_;
}

std::function<void()> SimulatedWorkspace::addApplicationObserver(WorkspaceApplicationEvent event,
                                                                 std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    const auto token = nextObserver_++;
    observers_[token] = {event, std::move(handler)};
    return [this, token] {
        std::lock_guard lock(mutex_);
        observers_.erase(token);
    };
}

void SimulatedWorkspace::postApplicationEvent(WorkspaceApplicationEvent event) {
    std::vector<std::function<void()>> handlers;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [token, observer] : observers_) {
            if (observer.first == event) handlers.push_back(observer.second);
        }
    }
    for (const auto& handler : handlers) handler();
}

std::size_t SimulatedWorkspace::applicationObserverCount() const {
    std::lock_guard lock(mutex_);
    return observers_.size();
}

}  // namespace qm
