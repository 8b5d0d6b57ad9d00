#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace qm {

class UserDefaults;

// Starting the Host when the user logs in: the desktop's login items.
class LoginItemService {
public:
    enum class Status { notRegistered = 0, enabled = 1, requiresApproval = 2, notFound = 3, unavailable = 4 };
    virtual ~LoginItemService() = default;
    virtual Status status() const = 0;
    // An error description on failure.
    virtual std::optional<std::string> registerItem() = 0;
    virtual std::optional<std::string> unregisterItem() = 0;
};

// An XDG autostart entry: "<config>/autostart/quillmere-host.desktop" starting `executable`.
class XdgAutostartLoginItems final : public LoginItemService {
public:
    XdgAutostartLoginItems(std::filesystem::path autostartFolder, std::filesystem::path executable);
    // $XDG_CONFIG_HOME/autostart, else ~/.config/autostart.
    static std::filesystem::path defaultFolder();
    Status status() const override;
    std::optional<std::string> registerItem() override;
    std::optional<std::string> unregisterItem() override;
    std::filesystem::path entryPath() const;

private:
    std::filesystem::path folder_;
    std::filesystem::path executable_;
};

class InMemoryLoginItems final : public LoginItemService {
public:
    Status status() const override { return status_; }
    std::optional<std::string> registerItem() override;
    std::optional<std::string> unregisterItem() override;
    Status status_ = Status::notRegistered;
    std::optional<std::string> failure;  // the next calls fail with this text
    int registerCalls = 0;
    int unregisterCalls = 0;
};

// The user's wish to start at login, kept apart from what the desktop reports.
class HostLaunchAtLogin {
public:
    static inline const std::string desiredKey = "host.launchAtLogin.desired";
    static inline const std::string configuredKey = "host.launchAtLogin.configured";

    HostLaunchAtLogin(std::shared_ptr<UserDefaults> defaults, std::shared_ptr<LoginItemService> service);
    // Stores the wish, registers or unregisters, returns the result text.
    std::string setEnabled(bool enabled);
    std::string statusText() const;
    // The first run turns start at login on; a lost registration of a kept wish is repaired.
    std::string configureDefaultIfNeeded();
    bool desired() const;

private:
    std::shared_ptr<UserDefaults> defaults_;
    std::shared_ptr<LoginItemService> service_;
};

}  // namespace qm
