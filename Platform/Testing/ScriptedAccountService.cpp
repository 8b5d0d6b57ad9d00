#include "Platform/Testing/ScriptedAccountService.h"

#include "Platform/Core/Crypto.h"

namespace qm {

HostConsoleSessionState ScriptedAccountService::currentConsoleSessionState() {
    std::lock_guard lock(mutex_);
    return console_;
}

PasswordCheckResult ScriptedAccountService::verifyPassword(const std::string& username, std::string_view password) {
    std::unique_lock lock(mutex_);
    ++calls_;
    if (toHold_ > 0) {
        --toHold_;
        ++waiting_;
        const auto generation = releaseGeneration_;
        released_.wait(lock, [&] { return releaseGeneration_ != generation; });
        --waiting_;
    }
    if (unavailable_) return PasswordCheckResult::unavailable(*unavailable_);
    if (auto refused = precheckCredentials(username, password)) return *refused;
    // An unknown user is compared against a password no one can send (it holds a NUL), so both
    // refusals take the same path and give the same answer.
    static const std::string noPassword("\0", 1);
    auto it = passwords_.find(username);
    const bool known = it != passwords_.end();
    const bool matches = crypto::constantTimeEqual(known ? it->second : noPassword, password);
    if (!known || !matches) return PasswordCheckResult::rejected("wrong user name or password");
    return PasswordCheckResult::accepted();
}

void ScriptedAccountService::setConsoleSessionState(HostConsoleSessionState state) {
    std::lock_guard lock(mutex_);
    console_ = std::move(state);
}

void ScriptedAccountService::setPassword(const std::string& username, std::string_view password) {
    std::lock_guard lock(mutex_);
    passwords_[username] = std::string(password);
}

void ScriptedAccountService::removeUser(const std::string& username) {
    std::lock_guard lock(mutex_);
    passwords_.erase(username);
}

void ScriptedAccountService::setUnavailable(std::optional<std::string> reason) {
    std::lock_guard lock(mutex_);
    unavailable_ = std::move(reason);
}

void ScriptedAccountService::holdNextVerifications(std::size_t count) {
    std::lock_guard lock(mutex_);
    toHold_ = count;
}

void ScriptedAccountService::releaseHeldVerifications() {
    {
        std::lock_guard lock(mutex_);
        toHold_ = 0;
        ++releaseGeneration_;
    }
    released_.notify_all();
}

std::size_t ScriptedAccountService::waitingVerifications() const {
    std::lock_guard lock(mutex_);
    return waiting_;
}

std::size_t ScriptedAccountService::verificationCount() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

}  // namespace qm
