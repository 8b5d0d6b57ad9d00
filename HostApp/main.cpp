// The Host process, the composition root: builds the real platform, the application delegate
// (which makes the server and the services) and the views, and runs Qt's event loop until the
// Quit item or SIGINT/SIGTERM ends it.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

#include "HostApp/App/HostProbeDelegate.h"
#include "HostApp/Delivery/SendFilesService.h"
#include "HostApp/Server/V230HostAudioAuxServer.h"
#include "HostApp/Views/QtHostApplication.h"
#include "Platform/Accessibility.h"
#include "Platform/AccountService.h"
#include "Platform/Core/AsioDispatchQueue.h"
#include "Platform/Accessibility.h"
#include "Platform/Linux/DesktopPermissions.h"
#include "Platform/Linux/LocalURLEvents.h"
#include "Platform/Linux/PosixProcessLauncher.h"
#include "Platform/Linux/SocketPortProber.h"
#include "Platform/Linux/AsioNetwork.h"
#include "Platform/Linux/AvahiDNSService.h"
#include "Platform/Linux/LinuxAccountService.h"
#include "Platform/Linux/LogindPowerService.h"
#include "Platform/AudioCapture.h"
#include "Platform/AudioOutputDevices.h"
#include "Platform/DNSService.h"
#include "Platform/Linux/Desktop.h"
#include "Platform/Displays.h"
#include "Platform/DistributedNotifications.h"
#include "Platform/InputEvents.h"
#include "Platform/Core/LogSink.h"
#include "Platform/PowerManagement.h"
#include "Platform/Core/LogText.h"
#include "Platform/Core/ProcessMemory.h"
#include "Platform/Linux/PulseAudio.h"
#include "Platform/ScreenCapture.h"
#include "Platform/Linux/SystemDisplays.h"
#include "Platform/ToolRunner.h"
#include "QuillmereProfiles/QuillmereReleaseChannels.h"
#include "Platform/UserActivity.h"
#include "Platform/UserDefaults.h"
#include "Platform/VirtualDisplays.h"
#include "Platform/Workspace.h"
#include "Platform/Linux/X11Connection.h"
#include "Platform/Linux/X11DragPasteboard.h"
#include "Platform/Linux/X11SessionDesktop.h"
#include "Platform/Linux/XdgFileManagerDesktop.h"
#include "Platform/Linux/XTestEventPoster.h"
#include "QuillmereProfiles/ClipboardSyncBridge.h"
#include "QuillmereProfiles/FileTransferService.h"
#include "QuillmereProfiles/QuillmereL10n.h"

#ifndef QM_SOURCE_RESOURCES_DIR
#define QM_SOURCE_RESOURCES_DIR ""
#endif

namespace {

using namespace qm;

// Set when the X server went away: the Host then stops and exits with a failure code.
std::atomic<bool> xServerLost{false};

// The installed string tables (<prefix>/share/quillmere-host beside <prefix>/bin), else the
// source tree's when run from a build folder.
std::filesystem::path resourcesFolder(const HostBundleInfo& bundle) {
    std::error_code error;
    for (const auto& candidate : {bundle.bundlePath / "share" / "quillmere-host",
                                  std::filesystem::path(QM_SOURCE_RESOURCES_DIR)}) {
        if (!candidate.empty() && std::filesystem::is_directory(candidate, error)) return candidate;
    }
    return {};
}

std::string machineName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

}  // namespace

int main(int argc, char** argv) {
    // A Viewer that vanishes mid-send must not kill the Host.
    signal(SIGPIPE, SIG_IGN);
    // Video sessions come and go with the Viewers; what they free must go back to the system.
    configureAllocatorForLongRuns();

    const std::vector<std::string> arguments(argv, argv + argc);
    const auto flags = HostLaunchFlags::parse(arguments);

    // Opened with a "quillmerehost:" address (the desktop's handler for the scheme): a running
    // Host takes it and this start ends here; otherwise this Host handles it once it runs.
    std::optional<std::string> openedURL;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i].rfind("quillmerehost:", 0) == 0) openedURL = arguments[i];
    }
    std::string urlError;
    const auto urlSocket = LocalURLEventListener::defaultPath(&urlError);
    // A Host that listens but does not take the message (busy, flooded, stuck) is reported and
    // this start ends: saying it was handed over would lose it, and starting a second Host beside
    // the one holding the ports would not help.
    std::string handOffError;
    auto handOff = [&](const std::string& message) {
        const auto result = LocalURLEventListener::send(urlSocket, message, &handOffError);
        if (result == LocalURLEventListener::HandOff::notTaken)
            logLine("[QuillmereHost] could not reach the running Host: " + escapedForLog(handOffError));
        return result;
    };
    using HandOff = LocalURLEventListener::HandOff;
    if (openedURL) {
        const auto result = handOff(*openedURL);
        if (result == HandOff::taken) {
            logLine("[QuillmereHost] handed " + escapedForLog(*openedURL) + " to the running Host");
            return EXIT_SUCCESS;
        }
        if (result == HandOff::notTaken) return EXIT_FAILURE;
    }
    // "--send-files FILE..." (the desktop's send-files entry): the running Host asks where they
    // go; without one, this Host asks once it runs.
    std::error_code workingDirectoryError;
    const auto filesToSend =
        SendFilesHandOff::filesFromArguments(arguments, std::filesystem::current_path(workingDirectoryError));
    if (filesToSend && filesToSend->empty()) {
        logLine("[QuillmereHost] " + SendFilesService::noFilesError);
        return EXIT_FAILURE;
    }
    if (filesToSend) {
        const auto result = handOff(SendFilesHandOff::encode(*filesToSend));
        if (result == HandOff::taken) {
            logLine("[QuillmereHost] handed " + std::to_string(filesToSend->size()) + " file(s) to the running Host");
            return EXIT_SUCCESS;
        }
        if (result == HandOff::notTaken) return EXIT_FAILURE;
    }
    // A plain second start: the running Host shows its window, and this one does not start a
    // second service on ports the first one holds.
    if (!openedURL && !filesToSend) {
        const auto result = handOff(HostProbeDelegate::reopenMessage);
        if (result == HandOff::taken) {
            logLine("[QuillmereHost] a Host is already running; asked it to show its window");
            return EXIT_SUCCESS;
        }
        if (result == HandOff::notTaken) return EXIT_FAILURE;
    }

    const bool desktop = desktopAnswers();
    // Made before any thread starts: it blocks the stop signals, which then reach its loop.
    QtHostApplication application(argc, argv, desktop, SystemClock::shared());
    if (!desktop) logLine("[QuillmereHost] app: no desktop answers; running headless (no status item or windows shown)");

    // The X server going away (the session ended, the server crashed) stops the Host the way a
    // stop signal does, and it exits with a failure code: its picture and input are gone.
    x11::Connection::setServerLostHandler([](const std::string&) {
        if (!xServerLost.exchange(true)) ::kill(::getpid(), SIGTERM);
    });

    HostPlatform platform;
    platform.clock = SystemClock::shared();
    platform.makeQueue = [](const std::string& label) -> DispatchQueuePtr {
        return std::make_shared<AsioDispatchQueue>(label);
    };
    platform.mainQueue = application.mainQueue();
    platform.network = std::make_shared<AsioNetworkService>();
    platform.dnsService = std::make_shared<AvahiDNSServiceAdvertiser>();
    platform.accounts = std::make_shared<LinuxAccountService>();
    auto displayBackends = makeSystemDisplayBackends(platform.clock);
    logLine("[QuillmereHost] displays: " + displayBackends.description);
    auto displays = displayBackends.displays;
    platform.displays = displays;
    platform.screenCapture = displayBackends.screenCapture;
    platform.virtualDisplays = displayBackends.virtualDisplays;
    platform.configDirectory = defaultConfigDirectory();

    // System audio from PulseAudio when a server answers; otherwise the simulation's quiet tone.
    // The output device is PulseAudio's either way: it connects when needed and again after the
    // sound server restarts, and while none answers, mute and volume report themselves unavailable.
    auto audioRouting = std::make_shared<PulseAudioRouting>();
    std::string pulseError;
    if (PulseAudioOutputDevices::connect(pulseError)) {
        platform.audioCapture = std::make_shared<PulseAudioCapture>(displays, audioRouting);
    } else {
        logLine("[QuillmereHost] audio: PulseAudio unavailable (" + escapedForLog(pulseError) +
                "); playing a simulated tone");
        platform.audioCapture = std::make_shared<SimulatedAudioCapture>(displays);
    }
    auto pulseOutput = PulseAudioOutputDevices::connectWhenNeeded(audioRouting);
    platform.audioOutputDevices = pulseOutput;
    platform.screenCaptureAccess = std::make_shared<SimulatedScreenCaptureAccess>();
    platform.eventPoster = makeSystemEventPoster(platform.clock);
    platform.accessibility = std::make_shared<SimulatedAccessibility>();
    // The X session wakes its screens, switches its workspaces, locks and reports its screens'
    // sleep; without one these are simulated.
    auto session = displayBackends.description.rfind("X11", 0) == 0 ? X11SessionDesktop::open() : nullptr;
    if (session) {
        platform.userActivity = session;
        platform.sessionDesktop = session;
    } else {
        platform.userActivity = std::make_shared<SimulatedUserActivity>();
    }
    // What the user drags on the X display, offered to Viewers to pull.
    if (displayBackends.description.rfind("X11", 0) == 0) platform.dragPasteboard = X11DragPasteboard::open();
    platform.workspace = std::make_shared<SimulatedWorkspace>();
    platform.toolRunner = std::make_shared<SimulatedToolRunner>();

    std::string powerError;
    auto logind = LogindPowerService::connect(&powerError);
    if (logind) {
        platform.powerAssertions = logind;
    } else {
        logLine("[QuillmereHost] power: " + powerError + "; assertions are simulated");
        platform.powerAssertions = std::make_shared<SimulatedPowerAssertions>();
    }

    // Preferences: one JSON file per domain under the config folder.
    auto defaultsStore = std::make_shared<JsonFileUserDefaultsStore>(
        platform.configDirectory / "defaults", "com.dravon.quillmere.host",
        [](const std::string& failure) { logLine("[QuillmereHost] defaults: " + failure); });
    auto standardDefaults = defaultsStore->standard();
    defaultsStore->suite(QuillmereL10n::sharedSuiteName);
    for (const auto& problem : defaultsStore->problems()) logLine("[QuillmereHost] defaults: " + problem);

    HostProbeDelegate::Environment environment;
    environment.bundle = HostBundleInfo::current();
    auto notifications = std::make_shared<InMemoryDistributedNotificationCenter>();
    QuillmereL10n::Environment l10n;
    l10n.defaults = defaultsStore;
    l10n.resources = resourcesFolder(environment.bundle);
    l10n.preferredSystemLanguages = QuillmereL10n::systemPreferredLanguagesFromEnvironment();
    QuillmereL10n::configure(l10n);

    environment.platform = platform;
    // The permissions the application walks the user through are what the desktop answers: XTest
    // on the X display, its root window readable and the sound server's monitor source there. The
    // server keeps the stand-ins: its capture and input use the X display whenever it answers and
    // their simulations otherwise, so nothing of it waits for a permission Linux never grants.
    environment.platform.accessibility = std::make_shared<XTestAccessibility>();
    environment.platform.screenCaptureAccess = std::make_shared<X11ScreenCaptureAccess>(
        [pulseOutput]() -> std::optional<bool> {
            if (!pulseOutput) return std::nullopt;
            return pulseOutput->defaultMonitorSourceExists();
        });
    environment.shell = application.shell();
    environment.headless = !desktop;
    environment.defaults = standardDefaults;
    // The websites' roots (and with the product root the release feed) may be replaced by a setting.
    if (auto root = standardDefaults->string(QuillmereReleaseChannels::productWebsiteRootKey)) {
        QuillmereReleaseChannels::setProductWebsiteRoot(*root);
    }
    if (auto root = standardDefaults->string(QuillmereReleaseChannels::mainWebsiteRootKey)) {
        QuillmereReleaseChannels::setMainWebsiteRoot(*root);
    }
    // The desktop clipboard when a desktop answers; in memory when headless.
    if (desktop) {
        environment.pasteboard = application.desktopPasteboard();
    } else {
        environment.pasteboard = std::make_shared<InMemoryPasteboard>();
    }
    environment.loginItems = std::make_shared<XdgAutostartLoginItems>(
        XdgAutostartLoginItems::defaultFolder(),
        environment.bundle.executablePath.value_or(std::filesystem::path()));
    environment.notifications = notifications;
    environment.makeServer = [platform] { return V230HostAudioAuxServer::create(platform); };
    environment.hostName = machineName;
    environment.portProber = std::make_shared<SocketPortProber>();
    // Sleep and wake from logind, handed to the main queue.
    using PowerHandler = HostProbeDelegate::Environment::PowerHandler;
    struct PowerHandlers {
        std::mutex mutex;
        std::map<HostProbeDelegate::WorkspacePowerEvent, PowerHandler> handlers;
        // Runs the event's handler on the main queue; `handled` runs when it is done (at once
        // when nobody observes the event).
        static void deliver(const std::shared_ptr<PowerHandlers>& self, const DispatchQueuePtr& mainQueue,
                            HostProbeDelegate::WorkspacePowerEvent event, std::function<void()> handled) {
            mainQueue->async([self, event, handled = std::move(handled)] {
                PowerHandler handler;
                {
                    std::lock_guard lock(self->mutex);
                    auto found = self->handlers.find(event);
                    if (found != self->handlers.end()) handler = found->second;
                }
                if (handler) {
                    handler(handled);
                } else if (handled) {
                    handled();
                }
            });
        }
    };
    auto powerHandlers = std::make_shared<PowerHandlers>();
    environment.observeWorkspacePower = [powerHandlers](HostProbeDelegate::WorkspacePowerEvent event,
                                                        PowerHandler handler) -> std::shared_ptr<void> {
        std::lock_guard lock(powerHandlers->mutex);
        powerHandlers->handlers[event] = std::move(handler);
        return std::shared_ptr<void>(nullptr, [powerHandlers, event](void*) {
            std::lock_guard lock(powerHandlers->mutex);
            powerHandlers->handlers.erase(event);
        });
    };
    if (logind) {
        auto mainQueue = platform.mainQueue;
        // Logind holds the sleep until the preparation reports back (or its time-out).
        const bool subscribed = logind->startSleepNotifications(
            [powerHandlers, mainQueue](bool goingToSleep, std::function<void()> prepared) {
                const auto event = goingToSleep ? HostProbeDelegate::WorkspacePowerEvent::willSleep
                                                : HostProbeDelegate::WorkspacePowerEvent::didWake;
                PowerHandlers::deliver(powerHandlers, mainQueue, event, std::move(prepared));
            });
        if (!subscribed) logLine("[QuillmereHost] power: no sleep notifications from logind");
    }
    environment.flags = flags;
    // The install step's marker, found from where this Host is installed; another place can be
    // named for tests and installs with a marker of their own choosing.
    environment.installerMarker = hostInitialInstallMarker(environment.bundle);
    if (const char* marker = std::getenv("QUILLMERE_HOST_INSTALLER_MARKER"); marker && *marker) {
        environment.installerMarker = marker;
    }
    environment.processName = "QuillmereHost";
    environment.cachesDirectory = defaultCachesDirectory();

    environment.launcher = std::make_shared<PosixProcessLauncher>();
    environment.fileManager = std::make_shared<XdgFileManagerDesktop>(FileTransferService::Folders::current().home,
                                                                      environment.launcher);
    if (session) {
        // The screens' sleep and wake from the X session, handed to the main queue like logind's.
        auto mainQueue = platform.mainQueue;
        session->watchScreenSleep([powerHandlers, mainQueue](bool sleeping) {
            const auto event = sleeping ? HostProbeDelegate::WorkspacePowerEvent::screensDidSleep
                                        : HostProbeDelegate::WorkspacePowerEvent::screensDidWake;
            PowerHandlers::deliver(powerHandlers, mainQueue, event, {});
        });
    }

    auto delegate = HostProbeDelegate::create(environment);
    auto urlListener = LocalURLEventListener::listen(
        urlSocket, platform.mainQueue,
        [weak = std::weak_ptr<HostProbeDelegate>(delegate)](const std::string& message) {
            auto target = weak.lock();
            if (!target) return;
            if (message == HostProbeDelegate::reopenMessage) {
                target->handleSecondLaunch();
            } else if (auto files = SendFilesHandOff::decode(message)) {
                target->handleSendFilesRequest(*files);
            } else if (message.size() <= LocalURLEventListener::maxURLBytes) {
                target->handlePermissionURLEvent(message);
            }
        },
        &urlError);
    if (!urlListener) logLine("[QuillmereHost] links: not listening for installer links (" + escapedForLog(urlError) + ")");
    application.onStopSignal([weak = std::weak_ptr<HostProbeDelegate>(delegate)](int signalNumber) {
        if (xServerLost) logLine("[QuillmereHost] stopping: the X display went away");
        if (auto target = weak.lock()) target->terminateApplication("signal " + std::to_string(signalNumber));
    });
    application.onActivated([weak = std::weak_ptr<HostProbeDelegate>(delegate)] {
        if (auto target = weak.lock()) target->applicationDidBecomeActive();
    });
    application.exec([delegate, openedURL, filesToSend] {
        delegate->applicationDidFinishLaunching();
        if (openedURL) delegate->handlePermissionURLEvent(*openedURL);
        if (filesToSend) delegate->handleSendFilesRequest(*filesToSend);
    });
    return xServerLost ? EXIT_FAILURE : EXIT_SUCCESS;
}
