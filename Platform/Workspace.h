#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace qm {

struct RunningApplication {
    std::string bundleIdentifier;
    int processIdentifier = 0;
    // 0 regular, 1 accessory, 2 prohibited (no windows of its own to show).
    int activationPolicy = 0;
    bool isTerminated = false;
};

// The application events the workspace reports.
enum class WorkspaceApplicationEvent { didLaunch, didActivate, didUnhide };

// The string values of an application bundle's information dictionaries.
struct ApplicationBundleInfo {
    std::map<std::string, std::string> localizedInfo;
    std::map<std::string, std::string> info;
};

// The desktop's applications: what runs, where applications are, and opening them.
class WorkspaceService {
public:
    virtual ~WorkspaceService() = default;
    virtual std::vector<RunningApplication> runningApplications() const = 0;
    // Where the application with this bundle identifier is installed.
    virtual std::optional<std::filesystem::path> urlForApplication(const std::string& bundleIdentifier) const = 0;
    virtual std::optional<ApplicationBundleInfo> bundleInfo(const std::filesystem::path& applicationURL) const = 0;
    virtual bool fileExists(const std::filesystem::path& path) const = 0;
    // Opens (and, when asked, activates) an application. Call it on the main queue; the
    // completion runs once, later, with an error description or none.
    virtual void openApplication(const std::filesystem::path& applicationURL, bool activates,
                                 std::function<void(std::optional<std::string> error)> completion) = 0;
    // Calls `handler` on the posting thread after each such event; the returned function removes
    // the observer. A workspace without such events returns an empty function and never calls.
    virtual std::function<void()> addApplicationObserver(WorkspaceApplicationEvent event,
                                                         std::function<void()> handler) = 0;
};

// The Host's stand-in and what tests script: installed and running applications, existing
// paths, and how an open ends (succeeds, fails with a text, or never completes).
class SimulatedWorkspace final : public WorkspaceService {
public:
    enum class OpenOutcome { succeeds, fails, neverCompletes };

    std::vector<RunningApplication> runningApplications() const override;
    std::optional<std::filesystem::path> urlForApplication(const std::string& bundleIdentifier) const override;
    std::optional<ApplicationBundleInfo> bundleInfo(const std::filesystem::path& applicationURL) const override;
    bool fileExists(const std::filesystem::path& path) const override;
    void openApplication(const std::filesystem::path& applicationURL, bool activates,
                         std::function<void(std::optional<std::string> error)> completion) override;
    std::function<void()> addApplicationObserver(WorkspaceApplicationEvent event,
                                                 std::function<void()> handler) override;

    // Calls the observers of the event on the calling thread, as the system posts on its own.
    void postApplicationEvent(WorkspaceApplicationEvent event);
    std::size_t applicationObserverCount() const;
    void addRunningApplication(RunningApplication application);
    void installApplication(const std::string& bundleIdentifier, const std::filesystem::path& url,
                            std::optional<ApplicationBundleInfo> info = std::nullopt);
    void addExistingPath(const std::filesystem::path& path);
    void setOpenOutcome(OpenOutcome outcome, std::string errorText = "The application could not be opened.");
    // Every open asked for, in order.
    std::vector<std::filesystem::path> openedApplications() const;

private:
    mutable std::mutex mutex_;
    std::vector<RunningApplication> running_;
    std::map<std::string, std::filesystem::path> installed_;
    std::map<std::filesystem::path, ApplicationBundleInfo> infos_;
    std::set<std::filesystem::path> existing_;
    OpenOutcome outcome_ = OpenOutcome::succeeds;
    std::string errorText_;
    std::vector<std::filesystem::path> opened_;
    std::vector<std::function<void(std::optional<std::string>)>> pending_;
    std::uint64_t nextObserver_ = 1;
    std::map<std::uint64_t, std::pair<WorkspaceApplicationEvent, std::function<void()>>> observers_;
};

}  // namespace qm
