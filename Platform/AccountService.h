#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Core/DispatchQueue.h"
#include "Platform/HostConsoleSessionState.h"

namespace qm {

// The answer of a password check. `reason` says why a check was rejected or could not be made;
// it never contains the password.
struct PasswordCheckResult {
    enum class Outcome { accepted, rejected, unavailable };
    Outcome outcome = Outcome::unavailable;
    std::string reason;

    static PasswordCheckResult accepted() { return {Outcome::accepted, {}}; }
    static PasswordCheckResult rejected(std::string why) { return {Outcome::rejected, std::move(why)}; }
    static PasswordCheckResult unavailable(std::string why) { return {Outcome::unavailable, std::move(why)}; }
    bool isAccepted() const { return outcome == Outcome::accepted; }
};

// The local accounts as the Host needs them: who is at the console and whether a password is
// right. Both calls may be made from any thread.
class AccountService {
public:
    virtual ~AccountService() = default;
    virtual HostConsoleSessionState currentConsoleSessionState() = 0;
    // Blocking: a wrong password can take seconds to be refused. Callers run it off their queue.
    virtual PasswordCheckResult verifyPassword(const std::string& username, std::string_view password) = 0;
};

// Refusals that do not depend on the account database: an empty user name or password (an account
// without a password must not be reachable over the network) and NUL bytes (a C string would cut
// the text there and check a different password than the one sent).
std::optional<PasswordCheckResult> precheckCredentials(std::string_view username, std::string_view password);

// The display name from a passwd GECOS field: the text before the first comma, else `username`.
std::string displayNameFromGecos(std::string_view gecos, std::string_view username);

// "key=value" lines, as logind writes its state files and `loginctl show-*` prints.
std::map<std::string, std::string> parseKeyValueLines(std::string_view text);

}  // namespace qm
