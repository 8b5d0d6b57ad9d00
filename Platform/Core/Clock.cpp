#include "Platform/Core/Clock.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace qm {

std::uint64_t SystemClock::uptimeNs() const {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000ULL + static_cast<std::uint64_t>(ts.tv_nsec);
}

double SystemClock::wallTime() const {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void SystemClock::sleep(double seconds) const {
    if (seconds > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(nsFromSeconds(seconds)));
}

std::shared_ptr<SystemClock> SystemClock::shared() {
    static auto clock = std::make_shared<SystemClock>();
    return clock;
}

}  // namespace qm
