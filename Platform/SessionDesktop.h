#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qm {

// The user's desktop session as a whole: its workspaces (virtual desktops), its lock, and whether
// its screens sleep. Every action returns nothing on success or why it did not happen.
class SessionDesktop {
public:
    virtual ~SessionDesktop() = default;
    // Moves to the workspace `delta` places on (wrapping round); the window manager does it.
    virtual std::optional<std::string> switchDesktop(int delta) = 0;
    // Locks the session with the session's own locker.
    virtual std::optional<std::string> lockSession() = 0;
    // Calls `handler(true)` when the screens go to sleep (blanked, saver or power saving) and
    // `handler(false)` when they wake, on a thread of the service's own. Call once.
    virtual void watchScreenSleep(std::function<void(bool sleeping)> handler) = 0;
};

// What tests script: each action's outcome is recorded and answered from a scripted result; the
// screens sleep and wake when the test says so.
class SimulatedSessionDesktop final : public SessionDesktop {
public:
    std::optional<std::string> switchDesktop(int delta) override {
        std::lock_guard lock(mutex_);
        switches_.push_back(delta);
        return failure_;
    }
    std::optional<std::string> lockSession() override {
        std::lock_guard lock(mutex_);
        ++locks_;
        return failure_;
    }
    void watchScreenSleep(std::function<void(bool)> handler) override {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }

    void setFailure(std::optional<std::string> failure) {
        std::lock_guard lock(mutex_);
        failure_ = std::move(failure);
    }
    void setScreensSleeping(bool sleeping) {
        std::function<void(bool)> handler;
        {
            std::lock_guard lock(mutex_);
            handler = handler_;
        }
        if (handler) handler(sleeping);
    }
    std::vector<int> switches() const {
        std::lock_guard lock(mutex_);
        return switches_;
    }
    int locks() const {
        std::lock_guard lock(mutex_);
        return locks_;
    }

private:
    mutable std::mutex mutex_;
    std::optional<std::string> failure_;
    std::vector<int> switches_;
    int locks_ = 0;
    std::function<void(bool)> handler_;
};

}  // namespace qm
