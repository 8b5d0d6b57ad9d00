// Construction, start and stop, status publication and the snapshot reads of the server.
#include <cstdio>
#include <future>

#include "HostApp/Server/ServerSupport.h"
#include "HostApp/Server/V230HostAudioAuxServer.h"
#include "Platform/AccountService.h"
#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"
#include "HostApp/Input/HostRemoteInput.h"
#include "HostApp/Video/HostVideoCapture.h"
#include "Platform/Displays.h"
#include "Platform/PowerManagement.h"
#include "Platform/Core/LogSink.h"

namespace qm {

namespace {
constexpr double statisticsInterval = 1.0;
constexpr double videoFlowInterval = 0.25;
constexpr double dragPollInterval = 0.5;
constexpr double terminationNoticeDelay = 0.12;
}  // namespace

std::shared_ptr<V230HostAudioAuxServer> V230HostAudioAuxServer::create(HostPlatform platform, Options options) {
    auto server =
        std::shared_ptr<V230HostAudioAuxServer>(new V230HostAudioAuxServer(std::move(platform), std::move(options)));
    server->makeSubsystems();
    checkPacketRows();
    server->registerSessionHolders();
    return server;
}

void V230HostAudioAuxServer::makeSubsystems() {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();

    HostAudioEnvironment audio;
    audio.serverQueue = queue;
    audio.makeQueue = platform_.makeQueue;
    audio.clock = platform_.clock;
    audio.audioCapture = platform_.audioCapture;
    audio.outputDevices = platform_.audioOutputDevices;
    audio.screenCaptureAccess = platform_.screenCaptureAccess;
    audio.publish = [weak](const std::string& text) {
        if (auto self = weak.lock()) self->publishFromPeer(text);
    };
    audio.sendHostStatus = [weak](const std::string& text, const ConnectionPtr& connection) {
        if (auto self = weak.lock()) self->sendHostStatus(text, connection);
    };
    audio.authorizedAudioSessions = [weak] {
        std::vector<UUID> ids;
        if (auto self = weak.lock()) {
            ids.assign(self->sessions_.authorizedAudioSessions().begin(), self->sessions_.authorizedAudioSessions().end());
        }
        return ids;
    };
    audio.audioConnection = [weak](const UUID& id) -> ConnectionPtr {
        auto self = weak.lock();
        if (!self) return nullptr;
        auto it = self->sessions_.audioSessions().find(id);
        return it == self->sessions_.audioSessions().end() ? nullptr : it->second;
    };
    audio.viewerName = [weak](const UUID& id) -> std::optional<std::string> {
        auto self = weak.lock();
        return self ? self->sessions_.viewerName(id) : std::nullopt;
    };
    audio.isPaused = [weak] {
        auto self = weak.lock();
        return self && self->isPaused;
    };
    audio.audioDisplay = [weak] {
        HostAudioEnvironment::AudioDisplay display;
        if (auto self = weak.lock()) {
            const auto& d = self->display_;
            display.audioDisplayID = audioDisplayID(d.useHeadlessVirtualDisplay(), d.physicalDisplayID(), d.selectedDisplayID());
            display.selectedDisplayID = d.selectedDisplayID();
        }
        return display;
    };
    audio_ = HostAudioServerState::create(std::move(audio));

    HostRemoteInput::ServerHooks hooks;
    hooks.publish = [weak](const std::string& text) {
        if (auto self = weak.lock()) self->publishFromPeer(text);
    };
    hooks.broadcastHostError = [weak](const std::string& text) {
        // A Viewer past its log budget does not make the Host tell every Viewer either.
        auto self = weak.lock();
        if (self && !self->dispatchingOverLogBudget()) self->broadcastHostError(text);
    };
    hooks.currentConsoleSessionState = [weak] {
        auto self = weak.lock();
        return self ? self->currentConsoleSessionState() : HostConsoleSessionState{};
    };
    hooks.viewerSessionName = [weak](const UUID& id) -> std::optional<std::string> {
        auto self = weak.lock();
        return self ? self->sessions_.viewerName(id) : std::nullopt;
    };
    hooks.viewerSessionRemoteAddress = [weak](const UUID& id) -> std::optional<std::string> {
        auto self = weak.lock();
        return self ? self->sessions_.remoteAddress(id) : std::nullopt;
    };
    hooks.selectedDisplayID = [weak]() -> DisplayID {
        auto self = weak.lock();
        return self ? self->display_.selectedDisplayID() : 0;
    };
    hooks.videoCapture = [weak]() -> std::shared_ptr<HostVideoCapture> {
        auto self = weak.lock();
        return self ? self->video_.capture() : nullptr;
    };
    hooks.pauseStream = [weak] {
        auto self = weak.lock();
        if (!self) return;
        self->isPaused = true;
        self->discardVideoCapture(false);
        self->stopAudioCapture(false, true);
    };
    hooks.resumeStream = [weak] {
        auto self = weak.lock();
        if (!self) return;
        self->isPaused = false;
        self->applyVideoCaptureMode(self->display_.currentVideoMode());
        self->audio_->startAudioCapture();
    };
    input_ = HostRemoteInput::create(platform_, queue, std::move(hooks));

    if (platform_.displays) {
        modeSwitcher_ = std::make_shared<HostDisplayModeSwitcher>(platform_.displays, platform_.clock);
        modeSwitcher_->diagnosticSink = [weak](const std::string& line) {
            if (auto self = weak.lock()) self->publish(line.rfind("[QuillmereHost] ", 0) == 0 ? line.substr(16) : line);
        };
    }
    virtualDisplay_ = std::make_shared<HeadlessVirtualDisplay>(platform_);
    // Its lines take the server's road, so those a Viewer's request causes count against it.
    virtualDisplay_->logSink = [weak](const std::string& line) {
        if (auto self = weak.lock()) self->publish(line);
    };
    powerAssertions_ = platform_.powerAssertions ? platform_.powerAssertions
                                                 : std::make_shared<SimulatedPowerAssertions>();
}

V230HostAudioAuxServer::V230HostAudioAuxServer(HostPlatform platform, Options options)
    : queue(platform.makeQueue(ServerConstants::queueLabel)),
      platform_(std::move(platform)),
      options_(std::move(options)),
      sessions_(platform_.clock) {}

V230HostAudioAuxServer::~V230HostAudioAuxServer() = default;

void V230HostAudioAuxServer::publish(const std::string& text) {
    // A line written while a Viewer's packet is handled is charged to that Viewer, by whichever
    // operation writes it.
    if (queue->isCurrent() && dispatchingSession_) {
        publishCausedBy(*dispatchingSession_, text);
        return;
    }
    writeStatus(text, LogLevel::info);
}

void V230HostAudioAuxServer::writeStatus(const std::string& text, LogLevel level) {
    logLine("[QuillmereHost] " + text, level);
    if (onStatus && (level != LogLevel::detail || LogSink::shared().writesDetail())) onStatus(text);
}

HostConsoleSessionState V230HostAudioAuxServer::currentConsoleSessionState() {
    if (!platform_.accounts) return {};
    return platform_.accounts->currentConsoleSessionState();
}

void V230HostAudioAuxServer::start() {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue->async([weak] {
        if (auto self = weak.lock()) self->startOnQueue();
    });
}

void V230HostAudioAuxServer::startOnQueue() {
    SnapshotOnExit snapshotOnExit{*this};
    if (started_ || stopping_) return;
    started_ = true;

    auto loaded = loadOrCreateHostIdentity(platform_.configDirectory);
    if (!loaded) {
        publish("identity: cannot create the Host identity keys; Viewers cannot sign in");
    } else {
        for (const auto& line : loaded->messages) publish(line);
        identity_ = loaded->keys;
        discoveryHostID = identity_->discoveryHostID();
        // A new identity was announced by the loader already.
        if (!loaded->created) publish("identity: host id " + discoveryHostID + " key " + identity_->keyFingerprint());
    }

    // Signed-in sessions stay well within the descriptors this process may open.
    const std::size_t descriptors =
        options_.descriptorLimit != 0 ? options_.descriptorLimit : SessionBound::currentDescriptorLimit();
    // Connections that have not signed in hold what the listeners' shared places allow.
    acceptBudget_ = AcceptBudget::make(options_.maxConnectionsNotSignedIn + options_.maxConnectionsAwaitingAdmission);
    sessionBound_ = SessionBound::forDescriptorLimit(descriptors, acceptBudget_->capacity());
    publish("sessions: at most " + std::to_string(sessionBound_.viewers()) + " Viewers signed in, " +
            std::to_string(sessionBound_.viewersPerGroup()) + " from one address (descriptor limit " +
            std::to_string(descriptors) + ")");

    releaseHeadlessVirtualDisplayIfIdle();
    selectDefaultCaptureDisplay();
    startListeners();
    registerDisplayChangeObserverIfNeeded();
    startTimers();
}

void V230HostAudioAuxServer::selectDefaultCaptureDisplay() {
    if (!platform_.displays) return;
    const auto main = platform_.displays->mainDisplayID();
    display_.defaultDisplayFound(main);
    if (main != 0) publish("capture display " + std::to_string(main) + " selected");
}

void V230HostAudioAuxServer::startTimers() {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    statsTimer_ = RepeatingTimer::schedule(queue, statisticsInterval, [weak] {
        if (auto self = weak.lock()) {
            self->statisticsTick();
            // A catch-all: display changes that timers and recoveries make land within a second.
            self->publishSnapshot();
        }
    });
    videoFlowTimer_ = RepeatingTimer::schedule(queue, videoFlowInterval, [weak] {
        if (auto self = weak.lock()) self->serviceVideoFlowLocked(self->platform_.clock->uptimeNs());
    });
    dragPollTimer_ = RepeatingTimer::schedule(queue, dragPollInterval, [weak] {
        if (auto self = weak.lock()) self->pollDragSnapshot();
    });
}

void V230HostAudioAuxServer::stopForTermination() {
    std::promise<void> done;
    auto future = done.get_future();
    beginTermination([&done] { done.set_value(); });
    future.wait();
}

void V230HostAudioAuxServer::beginTermination(std::function<void()> completion) {
    auto self = shared_from_this();
    queue->async([self, completion = std::move(completion)]() mutable {
        if (completion) self->terminationWaiters_.push_back(std::move(completion));
        if (self->stopped_) {
            self->finishTermination(std::move(self));
            return;
        }
        if (self->stopping_) return;  // the stop under way tells every waiter
        self->stopping_ = true;
        self->terminationFirstPhase();
        // Give the notice a moment to leave before the connections are torn down.
        self->queue->asyncAfter(terminationNoticeDelay, [self]() mutable {
            self->terminationSecondPhase();
            self->stopped_ = true;
            self->finishTermination(std::move(self));
        });
    });
}

void V230HostAudioAuxServer::finishTermination(std::shared_ptr<V230HostAudioAuxServer> self) {
    auto waiters = std::exchange(terminationWaiters_, {});
    // Let go of the server before telling the callers: its last reference must not be dropped on
    // its own queue, whose thread could then outlive the process's exit.
    self.reset();
    for (auto& waiter : waiters) waiter();
}

void V230HostAudioAuxServer::terminationFirstPhase() {
    // The one notice every connection hears, signed in or not: the Host is going away.
    const std::string text = "host service exiting";
    const auto packet = makeSharedPacket(AuxPacketType::hostStatus, Bytes(text.begin(), text.end()));
    for (const auto& [id, connection] : sessions_.audioSessions()) connection->send(packet);
    for (const auto& [id, connection] : sessions_.videoSessions()) connection->send(packet);
}

void V230HostAudioAuxServer::terminationSecondPhase() {
    for (auto* timer : {&statsTimer_, &videoFlowTimer_, &dragPollTimer_}) {
        if (*timer) (*timer)->cancel();
        timer->reset();
    }
    video_.cancelInitialStart();

    // Audio and power teardown.
    audio_->stopForTermination();
    power_.cancelGraces();
    stopVideoCaptureForTermination();

    if (displayObserverToken_ && platform_.displays) platform_.displays->removeScreenParametersObserver(*displayObserverToken_);
    displayObserverToken_.reset();
    if (bonjourRegistration_) bonjourRegistration_.reset();
    if (pathMonitor_) pathMonitor_->cancel();
    pathMonitor_.reset();
    for (auto& listener : listeners_) listener->cancel();
    listeners_.clear();
    boundPorts_ = ServerPorts{0, 0, 0};

    // Connections: removing each session runs the same clean-up as a Viewer leaving.
    std::vector<std::pair<UUID, AuxChannel>> live;
    for (const auto& [id, session] : sessions_.sessions()) live.emplace_back(id, session->channel);
    for (const auto& [id, channel] : live) removeSession(id, channel);
    // File channels still waiting for a token; cancelling reports back through onEnded, which
    // finds them gone from the table.
    for (auto& channel : sessions_.takePendingFileChannels()) channel->cancel();

    // Nothing is kept for returning Viewers after the stop: the assertions go with the graces.
    power_.cancelGraces();
    updateViewerIdleSleepAssertion();
    virtualDisplay_->stop(true);
    // Every display goes back to the mode it had before the Host first switched it.
    if (modeSwitcher_) {
        for (const auto& line : modeSwitcher_->restoreAllOriginalModes()) publish("shutdown " + line);
    }
    publish("host service stopped");
}

// ---- Snapshots -------------------------------------------------------------------------------

bool V230HostAudioAuxServer::hasConnectedViewerOnQueue() const {
    return !sessions_.authorizedAudioSessions().empty() || !sessions_.authorizedVideoSessions().empty() ||
           !sessions_.fileChannelSessions().empty();
}

void V230HostAudioAuxServer::snapshotMayHaveChanged() {
    assertOnQueue();
    if (std::exchange(snapshotPublishQueued_, true)) return;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue->async([weak] {
        auto self = weak.lock();
        if (!self) return;
        self->snapshotPublishQueued_ = false;
        self->publishSnapshot();
    });
}

void V230HostAudioAuxServer::publishSnapshot() {
    assertOnQueue();
    ++snapshotsPublished_;
    auto next = std::make_shared<Snapshot>();
    next->hasConnectedViewer = hasConnectedViewerOnQueue();
    next->hasSignedInControlViewer = !sessions_.authorizedAudioSessions().empty();
    auto nameOf = [this](const UUID& id) { return sessions_.displayName(id).value_or(std::string()); };
    for (const auto& id : sessions_.authorizedAudioSessions()) {
        next->connectionSummaries.emplace_back(nameOf(id), sessions_.remoteAddress(id).value_or(std::string()));
        if (auto name = nameOf(id); !name.empty()) next->displayNames.push_back(std::move(name));
    }
    std::sort(next->connectionSummaries.begin(), next->connectionSummaries.end());
    std::sort(next->displayNames.begin(), next->displayNames.end());
    for (const auto& [id, channel] : sessions_.fileChannels()) {
        if (sessions_.authorizedAudioSessions().contains(id)) next->fileTransferPeers.emplace_back(id, nameOf(id));
    }
    std::sort(next->fileTransferPeers.begin(), next->fileTransferPeers.end(),
              [](const auto& a, const auto& b) { return a.second < b.second; });
    next->selectedDisplayID = display_.selectedDisplayID();
    next->physicalDisplayID = display_.physicalDisplayID();
    next->headlessVirtualDisplayEnabled = display_.useHeadlessVirtualDisplay();
    next->displayLayout = display_.lastDisplayLayout();
    next->listenerFailures = listenerFailures_;
    std::shared_ptr<const Snapshot> published = std::move(next);
    {
        std::lock_guard lock(snapshotMutex_);
        snapshot_.swap(published);
    }
    // The one replaced is released outside the lock, so a reader never waits on its destruction.
}

void V230HostAudioAuxServer::registerSessionHolders() {
    // The holders that keep something per Viewer, in the order a leaving session is released
    // from them (after its own parts and the line that says it left).
    sessionHolders_ = {
        {"videoFlow", [this](const AuxSession& s) { videoFlow_.forget(s.id); },
         [this] { return videoFlow_.entryCount(); }},
        {"displayTargets", [this](const AuxSession& s) { display_.forget(s.id); },
         [this] { return display_.entryCount(); }},
        {"powerGraces", [this](const AuxSession& s) { power_.forget(s.id); }, [this] { return power_.entryCount(); }},
        {"input", [this](const AuxSession& s) { input_->forget(s.id); },
         [this] { return input_->inputState().sessionEntryCount(); }},
        {"audio", [this](const AuxSession& s) { audio_->forget(s.id, s.channel == AuxChannel::control); },
         [this] { return audio_->audioSendConnectionsSnapshot().size() + audioRoleCount(); }},
        {"dragSnapshot", [this](const AuxSession& s) { drag_.forget(s.id); }, [this] { return drag_.entryCount(); }},
    };
}

std::size_t V230HostAudioAuxServer::audioRoleCount() const {
    return (audio_->exclusiveSession() ? 1 : 0) + (audio_->hostOutputMuteSession() ? 1 : 0);
}

std::shared_ptr<const V230HostAudioAuxServer::Snapshot> V230HostAudioAuxServer::snapshot() const {
    std::lock_guard lock(snapshotMutex_);
    return snapshot_;
}

bool V230HostAudioAuxServer::hasConnectedViewer() {
    return snapshot()->hasConnectedViewer;
}

std::vector<std::pair<std::string, std::string>> V230HostAudioAuxServer::connectedViewerConnectionSummaries() {
    return snapshot()->connectionSummaries;
}

std::vector<std::string> V230HostAudioAuxServer::connectedViewerDisplayNames() {
    return snapshot()->displayNames;
}

std::vector<std::pair<UUID, std::string>> V230HostAudioAuxServer::connectedFileTransferPeers() {
    return snapshot()->fileTransferPeers;
}

std::uint32_t V230HostAudioAuxServer::selectedDisplayIDSnapshot() {
    return snapshot()->selectedDisplayID;
}

std::uint32_t V230HostAudioAuxServer::physicalDisplayIDSnapshot() {
    return snapshot()->physicalDisplayID;
}

void V230HostAudioAuxServer::requestDisplayDiagnostics(DispatchQueuePtr replyQueue, std::function<void(std::string)> completion) {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue->async([weak, replyQueue = std::move(replyQueue), completion = std::move(completion)]() mutable {
        auto self = weak.lock();
        std::string text = !self || !self->modeSwitcher_
                               ? std::string("Display diagnostics unavailable")
                               : self->display_.displayDiagnostics(*self->modeSwitcher_, *self->virtualDisplay_);
        if (replyQueue) {
            replyQueue->async([completion = std::move(completion), text = std::move(text)] { completion(text); });
        } else {
            completion(text);
        }
    });
}

std::string V230HostAudioAuxServer::displayDiagnosticsSnapshot() {
    return queue->sync([this] {
        if (!modeSwitcher_) return std::string("Display diagnostics unavailable");
        return display_.displayDiagnostics(*modeSwitcher_, *virtualDisplay_);
    });
}

bool V230HostAudioAuxServer::headlessVirtualDisplayEnabledSnapshot() {
    return snapshot()->headlessVirtualDisplayEnabled;
}

ServerPorts V230HostAudioAuxServer::boundPorts() {
    return queue->syncInline([this] { return boundPorts_; });
}

V230HostAudioAuxServer::ResourceCounts V230HostAudioAuxServer::resourceCounts() {
    return queue->syncInline([this] {
        ResourceCounts counts;
        counts.sessions = sessions_.sessions().size();
        counts.authorizedSessions = sessions_.authorizedAudioSessions().size() + sessions_.authorizedVideoSessions().size();
        counts.fileChannels = sessions_.fileChannelSessions().size() + sessions_.pendingFileChannels().size();
        for (const auto& [id, session] : sessions_.sessions()) {
            counts.signInsDelayed += session->delayedSignIn ? 1 : 0;
            counts.fileTransferTokens += session->fileTransferToken ? 1 : 0;
            counts.viewerNames += (session->displayName ? 1 : 0) + (session->remoteAddress.empty() ? 0 : 1);
        }
        counts.signInsInFlight = signInsInFlight_;
        counts.signInAddresses = signInLimits_.addressesWithAttemptsInHand();
        counts.sessionTableEntries = sessions_.entryCount();
        counts.videoFlowEntries = videoFlow_.entryCount();
        counts.audioSendConnections = audio_->audioSendConnectionsSnapshot().size();
        counts.audioRoles = audioRoleCount();
        counts.inputSessions = input_->inputState().sessionEntryCount();
        counts.graces = power_.gracesRunning();
        counts.powerAssertions = power_.assertionsHeld();
        counts.backgroundedViewers = power_.entryCount();
        // Only holders that keep something are listed, so an idle server's counts equal ResourceCounts{}.
        for (const auto& holder : sessionHolders_) {
            if (const auto entries = holder.entryCount()) counts.holderEntries[holder.name] = entries;
        }
        counts.pendingClipboardSnapshots = sessions_.clipboardsWaiting();
        return counts;
    });
}

}  // namespace qm
