#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qm {

// Starting programs that outlive the Host (the relaunch script) and opening addresses with the
// desktop's opener.
class ProcessLauncher {
public:
    virtual ~ProcessLauncher() = default;
    // Starts `arguments[0]` with the rest as its arguments, detached from the Host. An error
    // description when it could not be started.
    virtual std::optional<std::string> launchDetached(const std::vector<std::string>& arguments) = 0;
    // Whether the desktop opened `url`.
    virtual bool openURL(const std::string& url) = 0;
    virtual int processID() const = 0;
};

// Records every launch and opened address; a test says what fails.
class RecordingProcessLauncher final : public ProcessLauncher {
public:
    std::optional<std::string> launchDetached(const std::vector<std::string>& arguments) override {
        std::lock_guard lock(mutex_);
        launches.push_back(arguments);
        return launchFailure;
    }
    bool openURL(const std::string& url) override {
        std::lock_guard lock(mutex_);
        openAttempts.push_back(url);
        for (const auto& prefix : openablePrefixes) {
            if (url.rfind(prefix, 0) == 0) return true;
        }
        return false;
    }
    int processID() const override { return pid; }

    std::vector<std::vector<std::string>> launches;
    std::vector<std::string> openAttempts;
    std::vector<std::string> openablePrefixes;  // addresses starting with one of these open
    std::optional<std::string> launchFailure;
    int pid = 4242;

private:
    std::mutex mutex_;
};

}  // namespace qm
