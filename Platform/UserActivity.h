#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace qm {

// Tells the system that a user is active at the machine, which wakes the display and resets
// the idle timers.
class UserActivityService {
public:
    virtual ~UserActivityService() = default;
    // 0 on success, else the system's (negative) result code.
    virtual std::int32_t declareUserActivity(const std::string& name) = 0;
};

// Records each declaration by name; a test can make the next ones fail with a result code.
class SimulatedUserActivity final : public UserActivityService {
public:
    std::int32_t declareUserActivity(const std::string& name) override {
        std::lock_guard lock(mutex_);
        declarations_.push_back(name);
        return result_;
    }
    void setResult(std::int32_t result) {
        std::lock_guard lock(mutex_);
        result_ = result;
    }
    std::vector<std::string> declarations() const {
        std::lock_guard lock(mutex_);
        return declarations_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> declarations_;
    std::int32_t result_ = 0;
};

}  // namespace qm
