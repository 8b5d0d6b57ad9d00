#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "HostApp/Server/V230HostAudioAuxServer.h"
#include "Platform/AccountService.h"
#include "Platform/Testing/ScriptedAccountService.h"
#include "Platform/Linux/AsioNetwork.h"
#include "Platform/AudioCapture.h"
#include "Platform/AudioOutputDevices.h"
#include "Platform/DNSService.h"
#include "Platform/Displays.h"
#include "Platform/DragPasteboard.h"
#include "Platform/InputEvents.h"
#include "Platform/ScreenCapture.h"
#include "Platform/VirtualDisplays.h"
#include "support/TestPlatform.h"

namespace qm::test {

// The real server on 127.0.0.1 with free ports, threaded queues and real sockets; accounts,
// displays, DNS-SD, audio (a scripted tone and in-memory output devices) and input (a recorder)
// are simulations the test can script.
class LiveServer {
public:
    static constexpr const char* user = "alice";
    static constexpr const char* password = "correct horse";

    struct Setup {
        std::shared_ptr<AccountService> accounts;          // default: scripted alice
        std::shared_ptr<DNSServiceAdvertiser> dnsService;  // default: recording
        V230HostAudioAuxServer::Options options;           // ports and address are set for you
        // default: `simulatedAudio()`, a tone on the simulated displays
        std::shared_ptr<AudioCaptureService> audioCapture = nullptr;
        // default: `simulatedOutputDevices()`
        std::shared_ptr<AudioOutputDevices> audioOutputDevices = nullptr;
        // Real display backends (an X server's) in place of the simulated display, its synthetic
        // capture and its virtual displays; all three or none.
        std::shared_ptr<DisplayService> displays = nullptr;
        std::shared_ptr<ScreenCaptureService> screenCapture = nullptr;
        std::shared_ptr<VirtualDisplayFactory> virtualDisplays = nullptr;
        // What the Host's user drags; default: nothing is ever dragged.
        std::shared_ptr<DragPasteboard> dragPasteboard = nullptr;
        // Runs once the server exists and before it starts, with the platform it was given: the
        // place to build and connect services (the clipboard bridge, the file-transfer service).
        std::function<void(const std::shared_ptr<V230HostAudioAuxServer>&, const HostPlatform&)> beforeStart = {};
        // Starts the server in place of its plain start(): the application's launch, which wires
        // and starts it the way the process does.
        std::function<void(const std::shared_ptr<V230HostAudioAuxServer>&, const HostPlatform&)> start = {};
    };
    LiveServer() : LiveServer(Setup{}) {}
    explicit LiveServer(Setup setup);
    ~LiveServer();

    V230HostAudioAuxServer& server() { return *server_; }
    std::shared_ptr<V230HostAudioAuxServer> serverPtr() { return server_; }
    ServerPorts ports() const { return ports_; }
    std::shared_ptr<ScriptedAccountService> scriptedAccounts() { return scriptedAccounts_; }
    std::shared_ptr<RecordingDNSServiceAdvertiser> recordingDNS() { return recordingDNS_; }
    std::shared_ptr<SimulatedDisplayService> displays() { return displays_; }
    std::shared_ptr<SimulatedScreenCapture> screenCapture() { return screenCapture_; }
    // The audio simulation the platform uses unless Setup gave another capture service.
    std::shared_ptr<SimulatedAudioCapture> simulatedAudio() { return simulatedAudio_; }
    std::shared_ptr<SimulatedAudioOutputDevices> simulatedOutputDevices() { return simulatedOutputDevices_; }
    // Every event remote input posted, in order.
    std::shared_ptr<RecordingEventPoster> events() { return events_; }
    const std::filesystem::path& configDirectory() const { return configDirectory_.path(); }

    // The last `keptStatuses` published status lines, oldest first. Only those are kept, so a long
    // run measures the Host rather than this log.
    static constexpr std::size_t keptStatuses = 4096;
    std::vector<std::string> statuses();
    // Every status line published so far, kept or not.
    std::size_t statusCount();
    bool waitForStatus(const std::string& needle, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::size_t countStatuses(const std::string& needle);

private:
    // Declared first so they outlive the server's threads, which may still report while it stops.
    std::mutex mutex_;
    std::deque<std::string> statuses_;
    std::size_t statusCount_ = 0;
    TemporaryDirectory configDirectory_;
    std::shared_ptr<AsioNetworkService> network_;
    std::shared_ptr<ScriptedAccountService> scriptedAccounts_;
    std::shared_ptr<RecordingDNSServiceAdvertiser> recordingDNS_;
    std::shared_ptr<SimulatedDisplayService> displays_;
    std::shared_ptr<SimulatedScreenCapture> screenCapture_;
    std::shared_ptr<SimulatedAudioCapture> simulatedAudio_;
    std::shared_ptr<SimulatedAudioOutputDevices> simulatedOutputDevices_;
    std::shared_ptr<RecordingEventPoster> events_;
    std::shared_ptr<V230HostAudioAuxServer> server_;
    ServerPorts ports_{0, 0, 0};
};

}  // namespace qm::test
