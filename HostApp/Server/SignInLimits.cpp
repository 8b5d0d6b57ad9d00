#include "HostApp/Server/SignInLimits.h"

#include <algorithm>
#include <cmath>

namespace qm {

namespace {
std::uint64_t toNs(double seconds) {
    return static_cast<std::uint64_t>(std::llround(seconds * 1e9));
}
}  // namespace

double SignInLimits::delayAfter(std::uint32_t failures) const {
    if (failures <= limits_.freeFailures) return 0;
    const auto doublings = std::min<std::uint32_t>(failures - limits_.freeFailures - 1, 30);
    return std::min(limits_.maxDelay, limits_.firstDelay * std::ldexp(1.0, static_cast<int>(doublings)));
}

std::optional<double> SignInLimits::admit(const std::string& address, std::uint64_t nowNs) {
    forgetExpired(nowNs);
    auto it = entries_.find(address);
    if (it == entries_.end()) {
        if (entries_.size() >= limits_.maxAddresses && !makeRoom()) return std::nullopt;
        it = entries_.emplace(address, Entry{}).first;
    }
    Entry& entry = it->second;
    if (entry.inHand >= limits_.perAddress) return std::nullopt;
    ++entry.inHand;
    entry.lastSeenNs = nowNs;
    const double delay = delayAfter(entry.failures);
    if (delay <= 0) return 0.0;
    // Checks of a slowed address run one wait apart, also when two are in hand at once.
    const auto startNs = std::max(nowNs, entry.nextCheckNs);
    entry.nextCheckNs = startNs + toNs(delay);
    return static_cast<double>(startNs - nowNs) / 1e9;
}

bool SignInLimits::finish(const std::string& address, Outcome outcome, std::uint64_t nowNs) {
    auto it = entries_.find(address);
    if (it == entries_.end()) return false;
    Entry& entry = it->second;
    if (entry.inHand > 0) --entry.inHand;
    entry.lastSeenNs = nowNs;
    bool startsSlowDown = false;
    if (outcome == Outcome::accepted) {
        entry.failures = 0;
        entry.nextCheckNs = 0;
        entry.slowed = false;
    } else if (outcome == Outcome::refused) {
        ++entry.failures;
        entry.lastFailureNs = nowNs;
        const double delay = delayAfter(entry.failures);
        if (delay > 0) {
            entry.nextCheckNs = std::max(entry.nextCheckNs, nowNs + toNs(delay));
            startsSlowDown = !entry.slowed;
            entry.slowed = true;
        }
    }
    if (entry.inHand == 0 && entry.failures == 0) entries_.erase(it);
    return startsSlowDown;
}

void SignInLimits::forgetExpired(std::uint64_t nowNs) {
    const auto memoryNs = toNs(limits_.failureMemory);
    std::erase_if(entries_, [&](const auto& item) {
        const Entry& entry = item.second;
        return entry.inHand == 0 && (entry.failures == 0 || nowNs >= entry.lastFailureNs + memoryNs);
    });
}

bool SignInLimits::makeRoom() {
    auto oldest = entries_.end();
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->second.inHand > 0) continue;
        if (oldest == entries_.end() || it->second.lastSeenNs < oldest->second.lastSeenNs) oldest = it;
    }
    if (oldest == entries_.end()) return false;
    entries_.erase(oldest);
    return true;
}

bool SignInLimits::slowsDown(const std::string& address) const {
    auto it = entries_.find(address);
    return it != entries_.end() && delayAfter(it->second.failures) > 0;
}

std::size_t SignInLimits::addressesWithAttemptsInHand() const {
    std::size_t count = 0;
    for (const auto& [address, entry] : entries_) count += entry.inHand > 0 ? 1 : 0;
    return count;
}

}  // namespace qm
