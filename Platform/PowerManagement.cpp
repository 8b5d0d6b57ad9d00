#include "Platform/PowerManagement.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

namespace qm {

// ---- Simulation --------------------------------------------------------------------------------

PowerReturn SimulatedPowerAssertions::createAssertion(const std::string& type, std::uint32_t level,
                                                      const std::string& name, PowerAssertionID& id) {
    std::lock_guard lock(mutex_);
    if (failuresLeft_ > 0) {
        --failuresLeft_;
        return failureCode_;
    }
    if (type != PowerAssertionType::preventUserIdleSystemSleep && type != PowerAssertionType::preventSystemSleep) {
        return powerReturnBadArgument;
    }
    const PowerAssertionID assigned = nextID_++;
    held_[assigned] = Assertion{assigned, type, level, name};
    ++created_;
    id = assigned;
    return powerReturnSuccess;
}

PowerReturn SimulatedPowerAssertions::releaseAssertion(PowerAssertionID id) {
    std::lock_guard lock(mutex_);
    if (held_.erase(id) == 0) return powerReturnBadArgument;
    ++released_;
    return powerReturnSuccess;
}

void SimulatedPowerAssertions::failNextCreate(PowerReturn code, int times) {
    std::lock_guard lock(mutex_);
    failureCode_ = code;
    failuresLeft_ = times;
}

std::vector<SimulatedPowerAssertions::Assertion> SimulatedPowerAssertions::held() const {
    std::lock_guard lock(mutex_);
    std::vector<Assertion> out;
    for (const auto& [id, assertion] : held_) out.push_back(assertion);
    return out;
}

int SimulatedPowerAssertions::createdCount() const {
    std::lock_guard lock(mutex_);
    return created_;
}

int SimulatedPowerAssertions::releasedCount() const {
    std::lock_guard lock(mutex_);
    return released_;
}

}  // namespace qm
