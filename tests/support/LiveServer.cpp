#include "support/LiveServer.h"
#include "Platform/VirtualDisplays.h"

#include <stdexcept>

#include "Platform/Core/AsioDispatchQueue.h"

namespace qm::test {

LiveServer::LiveServer(Setup setup) {
    network_ = std::make_shared<AsioNetworkService>();
    scriptedAccounts_ = std::make_shared<ScriptedAccountService>();
    scriptedAccounts_->setConsoleSessionState({user, "Alice Example", false, false, true});
    scriptedAccounts_->setPassword(user, password);
    recordingDNS_ = std::make_shared<RecordingDNSServiceAdvertiser>();
    displays_ = std::make_shared<SimulatedDisplayService>();
    screenCapture_ = std::make_shared<SimulatedScreenCapture>(displays_);
    simulatedAudio_ = std::make_shared<SimulatedAudioCapture>(displays_);
    simulatedOutputDevices_ = std::make_shared<SimulatedAudioOutputDevices>();
    events_ = std::make_shared<RecordingEventPoster>(SystemClock::shared());

    HostPlatform platform;
    platform.clock = SystemClock::shared();
    platform.makeQueue = [](const std::string& label) -> DispatchQueuePtr {
        return std::make_shared<AsioDispatchQueue>(label);
    };
    platform.mainQueue = platform.makeQueue("main");
    platform.network = network_;
    platform.dnsService = setup.dnsService ? setup.dnsService : recordingDNS_;
    platform.accounts = setup.accounts ? setup.accounts : scriptedAccounts_;
    platform.displays = setup.displays ? setup.displays : displays_;
    platform.screenCapture = setup.screenCapture ? setup.screenCapture : screenCapture_;
    platform.audioCapture = setup.audioCapture ? setup.audioCapture : simulatedAudio_;
    platform.audioOutputDevices = setup.audioOutputDevices ? setup.audioOutputDevices : simulatedOutputDevices_;
    platform.eventPoster = events_;
    platform.dragPasteboard = setup.dragPasteboard;
    platform.virtualDisplays = setup.virtualDisplays ? setup.virtualDisplays
                                                     : std::make_shared<SimulatedVirtualDisplayFactory>(displays_);
    platform.configDirectory = configDirectory_.path();

    auto options = setup.options;
    options.ports = ServerPorts{0, 0, 0};
    options.listenAddress = "127.0.0.1";
    if (options.advertisedName.empty()) options.advertisedName = "Quillmere Test Host";
    server_ = V230HostAudioAuxServer::create(platform, options);
    server_->onStatus = [this](const std::string& text) {
        std::lock_guard lock(mutex_);
        statuses_.push_back(text);
        ++statusCount_;
        if (statuses_.size() > keptStatuses) statuses_.pop_front();
    };
    if (setup.beforeStart) setup.beforeStart(server_, platform);
    if (setup.start) {
        setup.start(server_, platform);
    } else {
        server_->start();
    }
    if (!waitUntil([&] {
            ports_ = server_->boundPorts();
            return ports_.control != 0 && ports_.video != 0 && ports_.fileTransfer != 0;
        })) {
        throw std::runtime_error("the server did not start listening");
    }
}

LiveServer::~LiveServer() {
    server_->stopForTermination();
}

std::vector<std::string> LiveServer::statuses() {
    std::lock_guard lock(mutex_);
    return {statuses_.begin(), statuses_.end()};
}

std::size_t LiveServer::statusCount() {
    std::lock_guard lock(mutex_);
    return statusCount_;
}

bool LiveServer::waitForStatus(const std::string& needle, std::chrono::milliseconds timeout) {
    return waitUntil([&] { return countStatuses(needle) > 0; }, timeout);
}

std::size_t LiveServer::countStatuses(const std::string& needle) {
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const auto& text : statuses_)
        if (text.find(needle) != std::string::npos) ++count;
    return count;
}

}  // namespace qm::test
