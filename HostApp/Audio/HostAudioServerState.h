#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "HostApp/Audio/HostAudioCapture.h"
#include "HostApp/Audio/HostOpusEncoder.h"
#include "HostApp/Audio/HostOutputMuteController.h"
#include "Platform/AudioCapture.h"
#include "Platform/AudioOutputDevices.h"
#include "Platform/Core/Clock.h"
#include "Platform/Network.h"
#include "Platform/Core/UUID.h"
#include "QuillmereProfiles/MediaPayloads.h"

namespace qm {

// What the audio side needs of the session server and the platform. The server fills it at
// construction; every hook must hold the server weakly and is called on the server queue.
struct HostAudioEnvironment {
    DispatchQueuePtr serverQueue;
    std::function<DispatchQueuePtr(const std::string& label)> makeQueue;
    std::shared_ptr<const Clock> clock;
    std::shared_ptr<AudioCaptureService> audioCapture;           // none: capture never starts
    std::shared_ptr<AudioOutputDevices> outputDevices;           // none: muting is unavailable
    std::shared_ptr<ScreenCaptureAccess> screenCaptureAccess;    // none: access counts as granted

    std::function<void(const std::string& text)> publish;
    std::function<void(const std::string& text, const ConnectionPtr& connection)> sendHostStatus;
    // The authorised control sessions, in the server's iteration order.
    std::function<std::vector<UUID>()> authorizedAudioSessions;
    // The control connection of a connected session, or none.
    std::function<ConnectionPtr(const UUID& id)> audioConnection;
    // The Viewer's display name, or none.
    std::function<std::optional<std::string>(const UUID& id)> viewerName;
    std::function<bool()> isPaused;
    // The display audio capture should use and the display video captures (for the log line).
    struct AudioDisplay {
        DisplayID audioDisplayID = 0;
        DisplayID selectedDisplayID = 0;
    };
    std::function<AudioDisplay()> audioDisplay;
};

// The audio display rule: any display (0) while the headless virtual display is in use, else the
// physical display when there is one, else the captured display.
DisplayID audioDisplayID(bool useHeadlessVirtualDisplay, DisplayID physicalDisplayID, DisplayID selectedDisplayID);

// The session server's audio state and operations: the capture's life (start, stop, restart,
// retries), the fan-out of Opus packets to the send list, exclusive listening and the Host
// output mute, and the silent-stream watchdog. Server queue, except where noted.
class HostAudioServerState : public std::enable_shared_from_this<HostAudioServerState> {
public:
    static constexpr int maxStartRetries = 3;
    static constexpr int maxZeroFrameRecoveryAttempts = 3;
    static constexpr double watchdogWarmUpSeconds = 5.0;
    static constexpr int silentTicksBeforeRecovery = 3;

    static std::shared_ptr<HostAudioServerState> create(HostAudioEnvironment environment);

    // ---- Capture control ----
    void startAudioCapture();
    void stopAudioCapture(bool wait, bool resetRetryAttempts);
    void restartAudioCapture(double after);
    // Any thread: a report of the capture started for `generation`.
    void handleAudioCaptureStartupMessage(const std::string& message, std::uint64_t generation);

    // ---- Fan-out ----
    // Capture's sample queue: encodes the block and sends every packet to the send list.
    void broadcastAudioFrame(std::span<const std::uint8_t> pcm, std::uint64_t timestampNs);
    void updateAudioSendConnections();
    std::vector<ConnectionPtr> audioSendConnectionsSnapshot() const;

    // ---- Viewer requests ----
    void applyAudioControl(const AudioControlPayload& control, const UUID& sourceID, const ConnectionPtr& connection);
    void releaseExclusiveAudioListening(const std::string& reason);

    // ---- Session server duties ----
    // After the server dropped the session from its tables.
    void forget(const UUID& id, bool isControlChannel);
    // Termination: ends exclusive listening, gives the output back, stops capture.
    void stopForTermination();

    // The one-second statistics tick: takes and zeroes the counters, then runs the watchdog.
    enum class WatchdogAction { none, recoveryStarted, recoveryExhausted };
    struct Statistics {
        std::int64_t framesSent = 0;
        std::int64_t bytesSent = 0;
        std::int64_t captureCallbacks = 0;
        std::int64_t capturePayloads = 0;
        WatchdogAction action = WatchdogAction::none;
    };
    Statistics statisticsTick(bool screensAreSleeping);
    // The screens went to sleep or woke (`changed`), or the same state was reported again: the
    // silent-stream watchdog starts its count over, and after a change its recovery budget and
    // warm-up too.
    void noteScreensSleepingReported(bool changed);
    // Wake: the next capture start gets its full number of attempts.
    void resetStartRetryAttempts() { audioStartRetryAttempts = 0; }

    // ---- Reading the state (server queue) ----
    bool isCapturing() const { return audioCapture != nullptr; }
    std::shared_ptr<HostAudioCapture> currentCapture() const { return audioCapture; }
    std::uint64_t generation() const { return audioCaptureGeneration; }
    DisplayID activeDisplayID() const { return activeAudioCaptureDisplayID; }
    std::int64_t startRetryAttempts() const { return audioStartRetryAttempts; }
    std::int64_t zeroWindows() const { return zeroAudioWindows; }
    std::int64_t zeroFrameRecoveryAttempts() const { return audioZeroFrameRecoveryAttempts; }
    bool zeroFrameRecoveryExhausted() const { return audioZeroFrameRecoveryExhausted; }
    std::optional<UUID> exclusiveSession() const { return exclusiveAudioSessionID; }
    std::optional<UUID> hostOutputMuteSession() const { return viewerHostOutputMuteSessionID; }
    HostOpusEncoder& encoder() { return *opusEncoder; }

private:
    explicit HostAudioServerState(HostAudioEnvironment environment);
    void audioCaptureStartConfirmed(std::uint64_t generation);
    std::string nameOf(const UUID& id) const;
    bool hasAuthorizedAudioSessions() const;
    bool isAuthorized(const UUID& id) const;
    void sendStatus(const std::string& text, const ConnectionPtr& connection) const;
    void publish(const std::string& text) const;

    HostAudioEnvironment env_;

    // Server queue.
    std::shared_ptr<HostAudioCapture> audioCapture;
    std::uint64_t audioCaptureGeneration = 0;
    std::optional<double> audioCaptureWatchdogStartedAt;  // wall time
    DisplayID activeAudioCaptureDisplayID = 0;
    std::int64_t audioStartRetryAttempts = 0;
    std::int64_t framesSent = 0;
    std::int64_t bytesSent = 0;
    std::int64_t zeroAudioWindows = 0;
    std::int64_t audioZeroFrameRecoveryAttempts = 0;
    bool audioZeroFrameRecoveryExhausted = false;
    std::optional<UUID> exclusiveAudioSessionID;
    std::optional<UUID> viewerHostOutputMuteSessionID;
    HostOutputMuteController hostOutputMuteController;
    HostOutputMuteController viewerHostOutputMuteController;

    // Shared with the capture's sample queue.
    std::shared_ptr<HostOpusEncoder> opusEncoder;  // its own lock
    mutable std::mutex audioSendLock;              // guards only the list below
    std::vector<ConnectionPtr> audioSendConnections;
    AtomicInt audioCaptureCallbacks{0};
    AtomicInt audioCapturePayloads{0};
};

}  // namespace qm
