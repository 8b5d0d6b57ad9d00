#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/AccountService.h"

namespace qm {

// Accounts for tests: scripted users and console state. Verifications can be held at a gate the
// test opens, to stand for a slow password check.
class ScriptedAccountService final : public AccountService {
public:
    HostConsoleSessionState currentConsoleSessionState() override;
    PasswordCheckResult verifyPassword(const std::string& username, std::string_view password) override;

    void setConsoleSessionState(HostConsoleSessionState state);
    void setPassword(const std::string& username, std::string_view password);  // adds or replaces a user
    void removeUser(const std::string& username);
    // While set, every check answers `unavailable` with this reason.
    void setUnavailable(std::optional<std::string> reason);

    // The next `count` verifications wait until releaseHeldVerifications(); later ones do not.
    void holdNextVerifications(std::size_t count = 1);
    void releaseHeldVerifications();
    std::size_t waitingVerifications() const;
    std::size_t verificationCount() const;  // every verifyPassword call so far

private:
    mutable std::mutex mutex_;
    std::condition_variable released_;
    HostConsoleSessionState console_;
    std::map<std::string, std::string> passwords_;
    std::optional<std::string> unavailable_;
    std::size_t toHold_ = 0;
    std::size_t waiting_ = 0;
    std::size_t calls_ = 0;
    std::uint64_t releaseGeneration_ = 0;
};

}  // namespace qm
