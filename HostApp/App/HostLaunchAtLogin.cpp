#include "HostApp/App/HostLaunchAtLogin.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

#include "Platform/UserDefaults.h"
#include "Platform/UserFiles.h"
#include "QuillmereProfiles/QuillmereL10n.h"

namespace qm {

XdgAutostartLoginItems::XdgAutostartLoginItems(std::filesystem::path autostartFolder, std::filesystem::path executable)
    : folder_(std::move(autostartFolder)), executable_(std::move(executable)) {}

std::filesystem::path XdgAutostartLoginItems::defaultFolder() {
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config) {
        return std::filesystem::path(config) / "autostart";
    }
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home ? home : "/tmp") / ".config" / "autostart";
}

std::filesystem::path XdgAutostartLoginItems::entryPath() const { return folder_ / "quillmere-host.desktop"; }

namespace {

// The Exec value of a desktop entry, as the file holds it. Two rules apply one after the other:
// the argument is quoted (double quote, backtick, dollar and backslash get a backslash), then the
// value is escaped as any string value (each backslash doubled), so a path's backslash is written
// as four. A percent sign would start a field code: it is written twice.
std::string quotedExec(const std::filesystem::path& executable) {
    std::string quoted = "\"";
    for (char c : executable.string()) {
        switch (c) {
            case '"':
            case '`':
            case '$': quoted += R"(\\)"; quoted += c; break;
            case '\\': quoted += R"(\\\\)"; break;
            case '%': quoted += "%%"; break;
            case '\n': quoted += "\\n"; break;
            case '\t': quoted += "\\t"; break;
            case '\r': quoted += "\\r"; break;
            default: quoted += c;
        }
    }
    return quoted + "\"";
}

}  // namespace

LoginItemService::Status XdgAutostartLoginItems::status() const {
    std::error_code error;
    if (executable_.empty() || !std::filesystem::exists(executable_, error)) return Status::notFound;
    std::ifstream in(entryPath());
    if (!in) return Status::notRegistered;
    // An entry left by a copy of the Host elsewhere does not start this one: it counts as missing,
    // so a kept wish rewrites it.
    // An entry the desktop's settings switched off (Hidden=true) does not start anything either.
    const std::string wanted = "Exec=" + quotedExec(executable_);
    bool ours = false;
    for (std::string line; std::getline(in, line);) {
        if (line == wanted) ours = true;
        if (line.rfind("Hidden=", 0) == 0 && line.substr(7) == "true") return Status::notRegistered;
    }
    return ours ? Status::enabled : Status::notRegistered;
}

std::optional<std::string> XdgAutostartLoginItems::registerItem() {
    std::error_code error;
    std::filesystem::create_directories(folder_, error);
    if (error) return error.message();
    // The folder may be a link to one that others can write: the entry goes through a new file
    // of a random name, never through a name someone could have planted a link at.
    std::ostringstream out;
    out << "[Desktop Entry]\nType=Application\nName=Corventis Host\nExec=" << quotedExec(executable_)
        << "\nX-GNOME-Autostart-enabled=true\nNoDisplay=false\n";
    std::string failure;
    if (!replaceFile(entryPath(), out.str(), 0644, failure))
        return "could not write " + entryPath().string() + ": " + failure;
    return std::nullopt;
}

std::optional<std::string> XdgAutostartLoginItems::unregisterItem() {
    std::error_code error;
    std::filesystem::remove(entryPath(), error);
    if (error) return error.message();
    return std::nullopt;
}

std::optional<std::string> InMemoryLoginItems::registerItem() {
    ++registerCalls;
    if (failure) return failure;
    status_ = Status::enabled;
    return std::nullopt;
}

std::optional<std::string> InMemoryLoginItems::unregisterItem() {
    ++unregisterCalls;
    if (failure) return failure;
    status_ = Status::notRegistered;
    return std::nullopt;
}

HostLaunchAtLogin::HostLaunchAtLogin(std::shared_ptr<UserDefaults> defaults, std::shared_ptr<LoginItemService> service)
    : defaults_(std::move(defaults)), service_(std::move(service)) {}

bool HostLaunchAtLogin::desired() const { return defaults_ && defaults_->boolean(desiredKey); }

std::string HostLaunchAtLogin::setEnabled(bool enabled) {
    if (defaults_) defaults_->set(desiredKey, enabled);
    std::optional<std::string> failure;
    if (!service_) {
        failure = "login items are unavailable";
    } else if (enabled) {
        if (service_->status() != LoginItemService::Status::enabled) failure = service_->registerItem();
    } else {
        failure = service_->unregisterItem();
    }
    if (failure) return QuillmereL10n::format("host.startAtLoginFailedFormat", "Start at login update failed: %@", *failure);
    return enabled ? QuillmereL10n::text("host.startAtLoginEnabledShort", "Start at login enabled")
                   : QuillmereL10n::text("host.startAtLoginDisabledShort", "Start at login disabled");
}

std::string HostLaunchAtLogin::statusText() const {
    switch (service_ ? service_->status() : LoginItemService::Status::unavailable) {
        case LoginItemService::Status::notRegistered:
            return QuillmereL10n::text("host.startAtLoginDisabledStatus", "Start at login is disabled");
        case LoginItemService::Status::enabled:
            return QuillmereL10n::text("host.startAtLoginEnabledStatus", "Start at login is enabled");
        case LoginItemService::Status::requiresApproval:
            return QuillmereL10n::text("host.startAtLoginApprovalStatus",
                                       "Start at login is waiting for approval in System Settings");
        case LoginItemService::Status::notFound:
            return QuillmereL10n::text("host.startAtLoginApplicationsStatus",
                                       "Start at login requires the app to stay in Applications");
        default:
            return QuillmereL10n::text("host.startAtLoginUnavailableStatus", "Start at login status is unavailable");
    }
}

std::string HostLaunchAtLogin::configureDefaultIfNeeded() {
    if (defaults_ && !defaults_->boolean(configuredKey)) {
        defaults_->set(configuredKey, true);
        defaults_->set(desiredKey, true);
        return setEnabled(true);
    }
    if (desired() && service_ && service_->status() != LoginItemService::Status::enabled) return setEnabled(true);
    return statusText();
}

}  // namespace qm
