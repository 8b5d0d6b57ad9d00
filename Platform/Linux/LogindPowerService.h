#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "Platform/PowerManagement.h"

namespace qm {

// logind on the system bus: each assertion is an inhibitor lock ("idle" for idle sleep, "sleep"
// for system sleep, mode "block") whose file descriptor is kept open; releasing closes it. It can
// also tell when the system is about to sleep and when it woke (PrepareForSleep), holding a delay
// lock so that the Host finishes its preparation before the machine goes down.
class LogindPowerService final : public PowerAssertionService {
public:
    // None when the system bus cannot be reached or logind does not answer on it; `whyNot` then
    // says which.
    static std::shared_ptr<LogindPowerService> connect(std::string* whyNot = nullptr);
    ~LogindPowerService() override;
    LogindPowerService(const LogindPowerService&) = delete;
    LogindPowerService& operator=(const LogindPowerService&) = delete;

    PowerReturn createAssertion(const std::string& type, std::uint32_t level, const std::string& name,
                                PowerAssertionID& id) override;
    PowerReturn releaseAssertion(PowerAssertionID id) override;

    // Calls `handler(true, prepared)` when the system prepares to sleep and `handler(false, {})`
    // after it woke; the handler runs on the service's own thread. The sleep waits (the delay lock
    // stays held) until `prepared` is called, from any thread, or `preparationTimeout` passed.
    // False when the subscription failed. Call once.
    using SleepHandler = std::function<void(bool goingToSleep, std::function<void()> prepared)>;
    bool startSleepNotifications(SleepHandler handler);
    // Within logind's own default delay limit (5 s), which would end the wait anyway.
    static constexpr double preparationTimeout = 4.5;

    struct Bus;

private:
    explicit LogindPowerService(std::unique_ptr<Bus> bus);
    int inhibit(const std::string& what, const std::string& why, const std::string& mode, PowerReturn& code);
    void handlePrepareForSleep(bool goingToSleep);
    void takeDelayLock();

    std::unique_ptr<Bus> bus_;
    std::mutex mutex_;
    std::map<PowerAssertionID, int> fds_;
    PowerAssertionID nextID_ = 1;
    int delayFd_ = -1;
    SleepHandler sleepHandler_;
};

}  // namespace qm
