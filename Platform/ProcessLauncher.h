#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qm {

// A program the Host started for the user (the desktop's settings program), followed until it
// ends, so that the Host knows when the user is done with it.
class StartedProgram {
public:
    virtual ~StartedProgram() = default;
    // Whether the program has ended; answers at once.
    virtual bool hasEnded() = 0;
};

// Starting programs that outlive the Host (the relaunch script) and opening addresses with the
// desktop's opener.
class ProcessLauncher {
public:
    virtual ~ProcessLauncher() = default;
    struct Opened {
        bool opened = false;
        // The program that shows the address, when the Host started one it can follow; none when
        // the desktop's opener took the address over.
        std::shared_ptr<StartedProgram> program;
    };
    // Starts `arguments[0]` with the rest as its arguments, detached from the Host. An error
    // description when it could not be started.
    virtual std::optional<std::string> launchDetached(const std::vector<std::string>& arguments) = 0;
    // Whether the desktop opened `url`.
    virtual bool openURL(const std::string& url) = 0;
    // Opens `url` as openURL does, and follows the program that shows it where there is one.
    virtual Opened openURLFollowingProgram(const std::string& url) { return {openURL(url), nullptr}; }
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
    // An opened address gets a program of its own, running until the test ends it.
    Opened openURLFollowingProgram(const std::string& url) override {
        if (!openURL(url)) return {};
        auto program = std::make_shared<Program>();
        std::lock_guard lock(mutex_);
        programs.push_back(program);
        return {true, program};
    }
    int processID() const override { return pid; }

    struct Program final : StartedProgram {
        bool hasEnded() override { return ended; }
        std::atomic<bool> ended{false};
    };
    // Ends every program started so far.
    void endPrograms() {
        std::lock_guard lock(mutex_);
        for (auto& program : programs) program->ended = true;
    }

    std::vector<std::shared_ptr<Program>> programs;
    std::vector<std::vector<std::string>> launches;
    std::vector<std::string> openAttempts;
    std::vector<std::string> openablePrefixes;  // addresses starting with one of these open
    std::optional<std::string> launchFailure;
    int pid = 4242;

private:
    std::mutex mutex_;
};

}  // namespace qm
