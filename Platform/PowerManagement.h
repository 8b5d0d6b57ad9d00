#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qm {

// Power-management assertions: a named reason that keeps the machine from sleeping, held until it
// is released. An id of 0 means "none".
using PowerAssertionID = std::uint32_t;
using PowerReturn = std::int32_t;

namespace PowerAssertionType {
inline constexpr const char* preventUserIdleSystemSleep = "PreventUserIdleSystemSleep";
inline constexpr const char* preventSystemSleep = "PreventSystemSleep";
}  // namespace PowerAssertionType

inline constexpr PowerReturn powerReturnSuccess = 0;
// The generic failure: the service is unavailable or refused.
inline constexpr PowerReturn powerReturnError = -5;
inline constexpr PowerReturn powerReturnBadArgument = -22;
// The level that turns an assertion on.
inline constexpr std::uint32_t powerAssertionLevelOn = 255;

class PowerAssertionService {
public:
    virtual ~PowerAssertionService() = default;
    // Takes an assertion of `type` (one of PowerAssertionType) at `level` under `name`. On success
    // returns powerReturnSuccess and stores a non-zero id in `id`; otherwise returns a non-zero
    // code and leaves `id` alone. Any thread.
    virtual PowerReturn createAssertion(const std::string& type, std::uint32_t level, const std::string& name,
                                        PowerAssertionID& id) = 0;
    // Lets go of an assertion; an unknown id gives a non-zero code. Any thread.
    virtual PowerReturn releaseAssertion(PowerAssertionID id) = 0;
};

// Counts assertions in memory: the Host's default where the system offers no power manager, and
// what tests script (a creation that fails with a given code).
class SimulatedPowerAssertions final : public PowerAssertionService {
public:
    struct Assertion {
        PowerAssertionID id = 0;
        std::string type;
        std::uint32_t level = 0;
        std::string name;
    };

    PowerReturn createAssertion(const std::string& type, std::uint32_t level, const std::string& name,
                                PowerAssertionID& id) override;
    PowerReturn releaseAssertion(PowerAssertionID id) override;

    // The next `times` creations fail with `code`.
    void failNextCreate(PowerReturn code, int times = 1);
    // Assertions held now, in the order they were created.
    std::vector<Assertion> held() const;
    int createdCount() const;
    int releasedCount() const;

private:
    mutable std::mutex mutex_;
    std::map<PowerAssertionID, Assertion> held_;
    PowerAssertionID nextID_ = 1;
    int created_ = 0;
    int released_ = 0;
    PowerReturn failureCode_ = 0;
    int failuresLeft_ = 0;
};

}  // namespace qm
