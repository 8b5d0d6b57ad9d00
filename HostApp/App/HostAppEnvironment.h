#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HostApp/App/HostBuild.h"
#include "HostApp/App/HostLaunchAtLogin.h"
#include "HostApp/App/HostOnlineUpdateRequest.h"
#include "HostApp/App/HostShell.h"
#include "Platform/FileManagerDesktop.h"
#include "Platform/HostPlatform.h"
#include "Platform/PortProbe.h"
#include "Platform/ProcessLauncher.h"
#include "QuillmereProfiles/QuillmereDiscovery.h"
#include "QuillmereProfiles/QuillmereReleaseFeed.h"

namespace qm {

class V230HostAudioAuxServer;
class UserDefaults;
class Pasteboard;
class DistributedNotificationCenter;

// The desktop's power notices the application follows.
enum class WorkspacePowerEvent { willSleep, screensDidSleep, didWake, screensDidWake };

// Written by the install step (scripts/install): the build whose permission walk-through is due.
inline const std::filesystem::path hostInitialInstallOnboardingMarkerURL =
    "/var/lib/quillmere-host/initial-install-onboarding-build";

// The machine's marker: the one above, or the one in the folder QUILLMERE_HOST_SYSTEM_STATE names
// in place of /var/lib/quillmere-host. A Host started by a test is given a folder of the test's
// own, so what is installed on the machine never reaches it.
inline std::filesystem::path hostSystemInstallMarker() {
    if (const char* folder = std::getenv("QUILLMERE_HOST_SYSTEM_STATE"); folder && *folder) {
        return std::filesystem::path(folder) / hostInitialInstallOnboardingMarkerURL.filename();
    }
    return hostInitialInstallOnboardingMarkerURL;
}

// A user's install keeps its marker under its own prefix, where the installed Host finds it from
// its own location whatever environment it is started with (a log-in, the autostart, a link).
inline std::filesystem::path installedHostMarkerPath(const std::filesystem::path& prefix) {
    return prefix / "var/lib/quillmere-host/initial-install-onboarding-build";
}

// The marker this Host reads: the one beside it when its installer wrote one there, else the
// system's. A Host whose own location is unknown reads the system's.
inline std::filesystem::path hostInitialInstallMarker(const HostBundleInfo& bundle) {
    if (bundle.bundlePath.is_absolute()) {
        const auto beside = installedHostMarkerPath(bundle.bundlePath);
        std::error_code error;
        if (std::filesystem::symlink_status(beside, error).type() != std::filesystem::file_type::not_found && !error) {
            return beside;
        }
    }
    return hostSystemInstallMarker();
}

// Everything the application is built from: the platform, the desktop and the services `main`
// (or a test) hands it. The delegate fills in what was left empty when it is made; from then on
// it and its controllers only read it.
struct HostAppEnvironment {
    HostPlatform platform;  // clock, queues (mainQueue is the application's main queue)
    std::shared_ptr<HostShell> shell;
    // No desktop answers: the shell runs offscreen and nobody sees what it shows, so nothing
    // waits for the Host's user to answer (a received batch is not held for a folder panel).
    bool headless = false;
    std::shared_ptr<UserDefaults> defaults;  // the standard domain
    std::shared_ptr<Pasteboard> pasteboard;  // the general pasteboard
    std::shared_ptr<LoginItemService> loginItems;
    std::shared_ptr<DistributedNotificationCenter> notifications;  // may be empty
    std::function<std::shared_ptr<V230HostAudioAuxServer>()> makeServer;
    std::function<std::vector<QuillmereRouteRecord>()> routeRecords;  // default: the machine's
    std::function<std::string()> hostName;                            // the machine's name
    // Connection attempts for the local Screen Sharing probe; none: no probe.
    std::shared_ptr<PortProber> portProber;
    // The relaunch script and the privacy panes; none: neither can be started.
    std::shared_ptr<ProcessLauncher> launcher;
    std::uint16_t screenSharingPort = 5900;
    // Subscribes to one of the desktop's power notifications; the handler runs on the main queue.
    // It gets a function to call once the Host has handled the event (any thread): the system
    // may hold its sleep until then.
    using PowerHandler = std::function<void(std::function<void()> handled)>;
    std::function<std::shared_ptr<void>(WorkspacePowerEvent, PowerHandler)> observeWorkspacePower;
    // The product website's page for a path and fragment; none when no address can be formed.
    std::function<std::optional<std::string>(const std::string& path, const std::optional<std::string>& fragment)>
        websiteURL;
    // The maker's main website's page for a path; none when no address can be formed.
    std::function<std::optional<std::string>(const std::string& path)> mainWebsiteURL;
    // Fetches the release feed off the main queue and answers on the main queue; empty: the
    // real feed over HTTPS.
    std::function<void(std::function<void(std::optional<QuillmereReleaseFeed>)>)> fetchLatestFeed;
    // Where the system updater's files live.
    HostOnlineUpdateRequest::Locations updaterLocations = HostOnlineUpdateRequest::Locations::system();
    // Whether the desktop has the display symbol the status item shows.
    std::function<bool()> displaySymbolAvailable;
    HostBundleInfo bundle;
    HostLaunchFlags flags;
    std::string processName = "QuillmereHost";
    std::filesystem::path cachesDirectory;
    // The user's home folder (received files are confined to it); empty: the process's.
    std::filesystem::path homeDirectory;
    // The file manager's front window, the Desktop and revealing delivered items; none: a
    // simulation with no front window.
    std::shared_ptr<FileManagerDesktop> fileManager;
    std::filesystem::path installerMarker = hostInitialInstallOnboardingMarkerURL;
};

}  // namespace qm
