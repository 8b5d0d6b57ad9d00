// The Host process: builds the real platform and runs the session server until SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <cstdlib>

#include "HostApp/Server/HostServiceWiring.h"
#include "HostApp/Server/V230HostAudioAuxServer.h"
#include "Platform/AccountService.h"
#include "Platform/Core/AsioDispatchQueue.h"
#include "Platform/Accessibility.h"
#include "Platform/Linux/AsioNetwork.h"
#include "Platform/Linux/AvahiDNSService.h"
#include "Platform/Linux/LinuxAccountService.h"
#include "Platform/Linux/LogindPowerService.h"
#include "Platform/AudioCapture.h"
#include "Platform/AudioOutputDevices.h"
#include "Platform/DNSService.h"
#include "Platform/Displays.h"
#include "Platform/InputEvents.h"
#include "Platform/Pasteboard.h"
#include "Platform/PowerManagement.h"
#include "Platform/Core/ProcessMemory.h"
#include "Platform/Linux/PulseAudio.h"
#include "Platform/ScreenCapture.h"
#include "Platform/Linux/SystemDisplays.h"
#include "Platform/ToolRunner.h"
#include "Platform/VirtualDisplays.h"
#include "Platform/UserActivity.h"
#include "Platform/Workspace.h"
#include "Platform/Linux/XTestEventPoster.h"
#include "QuillmereProfiles/ClipboardSyncBridge.h"
#include "QuillmereProfiles/FileTransferService.h"

int main() {
    using namespace qm;

    // Block the stop signals before any thread starts, so only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A Viewer that vanishes mid-send must not kill the Host.
    signal(SIGPIPE, SIG_IGN);
    // Video sessions come and go with the Viewers; what they free must go back to the system.
    configureAllocatorForLongRuns();

    HostPlatform platform;
    platform.clock = SystemClock::shared();
    platform.makeQueue = [](const std::string& label) -> DispatchQueuePtr {
        return std::make_shared<AsioDispatchQueue>(label);
    };
    platform.mainQueue = platform.makeQueue("main");
    platform.network = std::make_shared<AsioNetworkService>();
    platform.dnsService = std::make_shared<AvahiDNSServiceAdvertiser>();
    platform.accounts = std::make_shared<LinuxAccountService>();
    // The X display $DISPLAY names when it answers, else the simulated display and its synthetic picture.
    auto displayBackends = makeSystemDisplayBackends(platform.clock);
    std::fprintf(stderr, "[QuillmereHost] displays: %s\n", displayBackends.description.c_str());
    auto displays = displayBackends.displays;
    platform.displays = displays;
    platform.screenCapture = displayBackends.screenCapture;
    platform.virtualDisplays = displayBackends.virtualDisplays;
    platform.configDirectory = defaultConfigDirectory();

    // System audio from PulseAudio when a server answers; otherwise the simulation's quiet tone.
    std::string pulseError;
    if (auto outputs = PulseAudioOutputDevices::connect(pulseError)) {
        platform.audioOutputDevices = outputs;
        platform.audioCapture = std::make_shared<PulseAudioCapture>(displays);
    } else {
        std::fprintf(stderr, "[QuillmereHost] audio: PulseAudio unavailable (%s); playing a simulated tone\n",
                     pulseError.c_str());
        platform.audioOutputDevices = std::make_shared<SimulatedAudioOutputDevices>();
        platform.audioCapture = std::make_shared<SimulatedAudioCapture>(displays);
    }
    platform.screenCaptureAccess = std::make_shared<SimulatedScreenCaptureAccess>();

    // Input goes to the X display through XTest when one answers, else to a bounded recorder.
    platform.eventPoster = makeSystemEventPoster(platform.clock);
    platform.accessibility = std::make_shared<SimulatedAccessibility>();
    platform.userActivity = std::make_shared<SimulatedUserActivity>();
    platform.workspace = std::make_shared<SimulatedWorkspace>();
    platform.toolRunner = std::make_shared<SimulatedToolRunner>();

    // Power: logind inhibitors keep the machine awake while Viewers need it, and logind's
    // PrepareForSleep tells the server of sleep and wake; else assertions are only counted.
    std::string powerError;
    auto logind = LogindPowerService::connect(&powerError);
    if (logind) {
        platform.powerAssertions = logind;
    } else {
        std::fprintf(stderr, "[QuillmereHost] power: %s; assertions are simulated\n", powerError.c_str());
        platform.powerAssertions = std::make_shared<SimulatedPowerAssertions>();
    }

    auto server = V230HostAudioAuxServer::create(platform);
    if (logind) {
        std::weak_ptr<V230HostAudioAuxServer> weakServer = server;
        const bool subscribed = logind->startSleepNotifications([weakServer](bool goingToSleep) {
            auto target = weakServer.lock();
            if (!target) return;
            // Going to sleep waits for the move of capture; the wake is queued.
            if (goingToSleep) {
                target->noteHostPowerState("system will sleep", true, true);
            } else {
                target->noteHostPowerState("system did wake", false, false);
            }
        });
        if (!subscribed) std::fprintf(stderr, "[QuillmereHost] power: no sleep notifications from logind\n");
    }

    // The clipboard and file services. The Host has no desktop clipboard attached yet, so the
    // bridge keeps Viewers' clipboards in step with an in-memory pasteboard; received files stay
    // in the staging folder until delivery exists.
    constexpr std::int64_t clipboardMaxFileBytes = 32 * 1024 * 1024;
    constexpr std::int64_t clipboardMaxTotalFileBytes = 48 * 1024 * 1024;
    constexpr std::int64_t fileChunkSize = 256 * 1024;
    auto clipboard = std::make_shared<ClipboardSyncBridge>(platform, "Viewer", std::make_shared<InMemoryPasteboard>(),
                                                           clipboardMaxFileBytes, clipboardMaxTotalFileBytes,
                                                           defaultCachesDirectory());
    auto files = std::make_shared<FileTransferService>(platform, "Viewer", fileChunkSize);
    connectHostServices(server, clipboard, files, platform.mainQueue);
    server->start();
    platform.mainQueue->async([clipboard] { clipboard->start(); });

    int received = 0;
    sigwait(&stopSignals, &received);
    std::fprintf(stderr, "[QuillmereHost] stopping (signal %d)\n", received);
    platform.mainQueue->sync([clipboard] { clipboard->stop(); });
    server->stopForTermination();
    return EXIT_SUCCESS;
}
