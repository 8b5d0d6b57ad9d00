#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "Platform/AccountService.h"
#include "Platform/Core/DispatchQueue.h"

namespace qm {

class AsioDispatchQueue;

// The user running the Host is the console user; logind, when the system runs it, tells whether a
// greeter owns the seat and whether the user's session is locked. Passwords are checked with PAM.
//
// The console state is read on the service's own queue: once when the service is made (so the
// constructor may take up to `loginctlTimeout`), then every `consoleRefreshInterval`.
// currentConsoleSessionState() returns the last value read and never starts or waits for a
// program, so a caller on a busy queue pays nothing; what it sees may be one interval old.
class LinuxAccountService final : public AccountService {
public:
    struct Options {
        // No file of this name ships in /etc/pam.d, so PAM uses "other" (on Debian the common-auth
        // and common-account stacks) unless an administrator adds one for the Host.
        std::string pamService = "quillmere-host";
        // Every refused check returns `failureDelay` after it began, whatever refused it: an
        // unknown user name, a wrong password or a PAM error. This replaces PAM's own delay
        // (pam_unix asks for about 2 s, which libpam randomises), so the time of a refusal tells
        // nothing about which user names exist. Tests turn it off to keep refusals fast.
        bool keepPamFailureDelay = true;
        std::chrono::milliseconds failureDelay{2000};
        std::filesystem::path logindRuntimeDirectory = "/run/systemd";
        std::filesystem::path loginctlPath = "/usr/bin/loginctl";
        std::chrono::milliseconds loginctlTimeout{1000};
        std::chrono::milliseconds consoleRefreshInterval{2000};
        // Where the console state is refreshed; nothing: on a thread the service starts for it.
        DispatchQueuePtr queue;
    };

    LinuxAccountService() : LinuxAccountService(Options{}) {}
    explicit LinuxAccountService(Options options);
    ~LinuxAccountService() override;
    LinuxAccountService(const LinuxAccountService&) = delete;
    LinuxAccountService& operator=(const LinuxAccountService&) = delete;

    // The console state as last read; never blocks on a program.
    HostConsoleSessionState currentConsoleSessionState() override;
    PasswordCheckResult verifyPassword(const std::string& username, std::string_view password) override;

    const Options& options() const { return options_; }

    // Where the console state comes from, and one reading of it on the calling thread (it may run
    // loginctl for up to `loginctlTimeout`).
    struct ConsoleSources {
        std::filesystem::path logindRuntimeDirectory;
        std::filesystem::path loginctlPath;
        std::chrono::milliseconds loginctlTimeout;
    };
    static HostConsoleSessionState readConsoleSessionState(const ConsoleSources& sources);

private:
    struct ConsoleCache {
        std::mutex mutex;
        HostConsoleSessionState state;
    };
    PasswordCheckResult checkWithPam(const std::string& username, std::string_view password);

    Options options_;
    std::shared_ptr<ConsoleCache> console_ = std::make_shared<ConsoleCache>();
    std::shared_ptr<AsioDispatchQueue> ownQueue_;  // the queue the service started, when none was given
    std::shared_ptr<RepeatingTimer> refreshTimer_;
};

}  // namespace qm
