#pragma once

#include <cstdint>
#include <memory>

namespace qm {

// Time as the Host sees it: uptime for every timestamp that goes on the wire or into
// flow control, wall time for deadlines a user could read. Tests swap in ManualClock.
class Clock {
public:
    virtual ~Clock() = default;
    // Nanoseconds since an arbitrary fixed point (boot on Linux); never goes backwards.
    virtual std::uint64_t uptimeNs() const = 0;
    // Seconds since the Unix epoch.
    virtual double wallTime() const = 0;
    // Blocks the calling thread for `seconds`. Polls that wait for the system to settle sleep
    // through here, so that on a virtual clock they take no real time.
    virtual void sleep(double seconds) const = 0;
};

class SystemClock final : public Clock {
public:
    std::uint64_t uptimeNs() const override;
    double wallTime() const override;
    void sleep(double seconds) const override;
    static std::shared_ptr<SystemClock> shared();
};

constexpr std::uint64_t nsFromSeconds(double seconds) {
    return seconds <= 0 ? 0 : static_cast<std::uint64_t>(seconds * 1e9 + 0.5);
}

}  // namespace qm
